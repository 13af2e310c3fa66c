#!/usr/bin/env python3
"""Checks that each deliverable is a PE file its first Windows loads and runs.

    pecheck.py --arch x86|x64 ALLOWLIST FILE:SUBSYSTEM[:LEVEL] [...]

SUBSYSTEM is gui or console, or imports for a program that is no
deliverable (a probe that links a library whole): then only its machine,
kind, versions and imports are checked.  LEVEL, where given, is the execution level
(asInvoker, requireAdministrator) that the program's manifest must ask for,
in a trustInfo element of the urn:schemas-microsoft-com:asm.v2 namespace
(the form Windows 2000, XP and 2003 accept).  For each file, by the
build's architecture:

    x86  machine 0x14c (i386), PE32,  OS and subsystem version 5.0 (Windows 2000)
    x64  machine 0x8664 (AMD64), PE32+, OS and subsystem version 5.2 (the first
         Windows on x64: XP x64 / Server 2003 x64)

and for both: the given subsystem, a version resource naming the product
"Kiv Image Printer" with a file description and version, and every
imported DLL!function (plain and delay-loaded) listed in ALLOWLIST, a text
file of lines 'DLL!Function  <first Windows version>  [x86|x64]'.  An
entry without the last column holds for both builds; one with it only for
that build.  An import that is not listed fails the check: adding it to
the list is a conscious decision, with its documented minimum Windows
version.
"""
import re
import struct
import sys

SUBSYSTEMS = {"gui": 2, "console": 3}

# What each build's files must be: machine, optional header magic (PE32 or
# PE32+), and the OS and subsystem version of its first Windows.
ARCHS = {
    "x86": {"machine": 0x14C, "magic": 0x10B, "kind": "PE32", "version": (5, 0)},
    "x64": {"machine": 0x8664, "magic": 0x20B, "kind": "PE32+", "version": (5, 2)},
}


def read_allowlist(path, arch):
    allowed = set()
    with open(path, encoding="utf-8") as f:
        for n, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            words = line.split()
            entry = words[0]
            if "!" not in entry or len(words) not in (2, 3) or \
                    (len(words) == 3 and words[2] not in ARCHS):
                raise SystemExit(f"{path}:{n}: want 'DLL!Function  version  [x86|x64]': {line!r}")
            if len(words) == 3 and words[2] != arch:
                continue
            dll, func = entry.split("!", 1)
            allowed.add((dll.lower(), func))
    return allowed


class PE:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, nsect, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", d, opt)[0]
        if self.magic not in (0x10B, 0x20B):
            raise ValueError(f"optional header magic {self.magic:#x}, neither PE32 nor PE32+")
        (self.os_major, self.os_minor, _, _, self.sub_major, self.sub_minor) = \
            struct.unpack_from("<HHHHHH", d, opt + 40)
        self.subsystem = struct.unpack_from("<H", d, opt + 68)[0]
        # PE32+ has 8-byte image base and stack and heap sizes: its data
        # directories start 16 bytes later, and its import thunks are 8 bytes.
        wide = self.magic == 0x20B
        dirs_at = opt + (112 if wide else 96)
        self.thunk_size = 8 if wide else 4
        ndirs = struct.unpack_from("<I", d, dirs_at - 4)[0]
        self.dirs = [struct.unpack_from("<II", d, dirs_at + 8 * i) for i in range(ndirs)]
        self.sections = []
        sect = opt + opt_size
        for i in range(nsect):
            _, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", d, sect + 40 * i)
            self.sections.append((va, max(vsize, rawsize), rawptr))

    def off(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return rva - va + raw
        raise ValueError(f"RVA {rva:#x} in no section")

    def cstr(self, rva):
        o = self.off(rva)
        return self.data[o:self.data.index(b"\0", o)].decode("ascii")

    def thunks(self, rva):
        o = self.off(rva)
        fmt = "<Q" if self.thunk_size == 8 else "<I"
        by_ordinal = 1 << (8 * self.thunk_size - 1)
        while True:
            t = struct.unpack_from(fmt, self.data, o)[0]
            if t == 0:
                return
            yield f"#{t & 0xFFFF}" if t & by_ordinal else self.cstr((t & 0x7FFFFFFF) + 2)
            o += self.thunk_size

    def resource(self, type_id):
        """The data of the first resource of the type, or None."""
        if len(self.dirs) <= 2 or not self.dirs[2][0]:
            return None
        base = self.off(self.dirs[2][0])
        d = self.data

        def entries(off):
            named, ids = struct.unpack_from("<HH", d, off + 12)
            for i in range(named + ids):
                yield struct.unpack_from("<II", d, off + 16 + 8 * i)

        for tid, sub in entries(base):
            if tid != type_id or not sub & 0x80000000:
                continue
            # type -> name -> language -> data entry
            node = sub & 0x7FFFFFFF
            for _ in range(2):
                _, child = next(entries(base + node))
                node = child & 0x7FFFFFFF
                if not child & 0x80000000:
                    break
            rva, size = struct.unpack_from("<II", d, base + node)
            return d[self.off(rva):self.off(rva) + size]
        return None

    def version_strings(self):
        """The StringFileInfo texts of the RT_VERSION resource, as a dict."""
        blob = self.resource(16)
        if blob is None:
            return None
        texts = blob.decode("utf-16-le", "replace").split("\0")
        found = {}
        # Each String is three WORDs (lengths, type), its key and its
        # value; the WORDs decode as stray characters before the key.
        for i, t in enumerate(texts):
            for key in ("ProductName", "FileDescription", "FileVersion"):
                if t.endswith(key) and key not in found:
                    rest = [v for v in texts[i + 1:] if v]
                    found[key] = rest[0] if rest else ""
        return found

    def execution_level(self):
        """The level the RT_MANIFEST resource asks for in an asm.v2
        trustInfo element; None without one."""
        blob = self.resource(24)
        if blob is None:
            return None
        text = blob.decode("utf-8", "replace")
        trust = re.search(r'<trustInfo\s+xmlns="urn:schemas-microsoft-com:asm\.v2".*?</trustInfo>', text, re.S)
        level = trust and re.search(r'<requestedExecutionLevel\s+level="([^"]*)"', trust.group(0))
        return level.group(1) if level else None

    def imports(self):
        found = []
        if len(self.dirs) > 1 and self.dirs[1][0]:
            o = self.off(self.dirs[1][0])
            while True:
                oft, _, _, name, ft = struct.unpack_from("<IIIII", self.data, o)
                if name == 0:
                    break
                dll = self.cstr(name)
                found += [(dll, f) for f in self.thunks(oft or ft)]
                o += 20
        if len(self.dirs) > 13 and self.dirs[13][0]:
            o = self.off(self.dirs[13][0])
            while True:
                _, name, _, _, int_rva, _, _, _ = struct.unpack_from("<8I", self.data, o)
                if name == 0:
                    break
                dll = self.cstr(name)
                found += [(dll, f) for f in self.thunks(int_rva)]
                o += 32
        return found


def version_errors(pe):
    version = pe.version_strings()
    if version is None:
        return ["no version resource"]
    errors = []
    if version.get("ProductName") != "Kiv Image Printer":
        errors.append(f"version resource names product {version.get('ProductName')!r}")
    if not version.get("FileDescription") or not version.get("FileVersion"):
        errors.append("version resource lacks a file description or version")
    return errors


def check(path, subsystem, level, arch, allowed):
    errors = []
    want = ARCHS[arch]
    major, minor = want["version"]
    try:
        pe = PE(path)
    except (OSError, ValueError) as e:
        return [f"{path}: not a readable PE file: {e}"], 0
    if pe.machine != want["machine"]:
        errors.append(f"machine {pe.machine:#x}, want {want['machine']:#x} ({arch})")
    if pe.magic != want["magic"]:
        errors.append(f"optional header magic {pe.magic:#x}, want {want['magic']:#x} ({want['kind']})")
    if subsystem in SUBSYSTEMS and pe.subsystem != SUBSYSTEMS[subsystem]:
        errors.append(f"subsystem {pe.subsystem}, want {SUBSYSTEMS[subsystem]} ({subsystem})")
    if (pe.os_major, pe.os_minor) != (major, minor):
        errors.append(f"OS version {pe.os_major}.{pe.os_minor}, want {major}.{minor}")
    if (pe.sub_major, pe.sub_minor) != (major, minor):
        errors.append(f"subsystem version {pe.sub_major}.{pe.sub_minor}, want {major}.{minor}")
    if subsystem in SUBSYSTEMS:
        errors += version_errors(pe)
    if level and pe.execution_level() != level:
        errors.append(f"manifest asks for execution level {pe.execution_level()!r}, want {level!r}")
    imports = pe.imports()
    for dll, func in imports:
        if (dll.lower(), func) not in allowed:
            errors.append(f"import {dll}!{func} is not in the list for {arch}")
    return [f"{path}: {e}" for e in errors], len(imports)


def main(argv):
    if len(argv) < 5 or argv[1] != "--arch" or argv[2] not in ARCHS:
        print(__doc__, file=sys.stderr)
        return 2
    arch = argv[2]
    want = ARCHS[arch]
    allowed = read_allowlist(argv[3], arch)
    files = argv[4:]
    failed = 0
    for arg in files:
        path, subsystem, level = (arg.split(":") + [""])[:3]
        if subsystem not in SUBSYSTEMS and subsystem != "imports":
            print(f"{arg}: want FILE:gui, FILE:console or FILE:imports, then :LEVEL for a manifest",
                  file=sys.stderr)
            return 2
        errors, count = check(path, subsystem, level, arch, allowed)
        if errors:
            failed += 1
            print("\n".join(errors))
        else:
            version = "%d.%d" % want["version"]
            manifest = f"manifest {level}, " if level else ""
            resource = "version resource, " if subsystem in SUBSYSTEMS else ""
            print(f"{path}: {arch} {want['kind']}, {subsystem}, {version}, {resource}{manifest}"
                  f"{count} imports all in the list")
    print(f"{len(files) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
