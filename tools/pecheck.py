#!/usr/bin/env python3
"""Checks that each deliverable is a PE file Windows 2000 loads and runs.

    pecheck.py ALLOWLIST FILE:SUBSYSTEM [FILE:SUBSYSTEM ...]

SUBSYSTEM is gui or console.  For each file: 32-bit x86 (machine 0x14c,
PE32 optional header), the given subsystem, OS and subsystem version 5.0,
a version resource naming the product "Kiv Image Printer" with a file
description and version, and every imported DLL!function (plain and
delay-loaded) listed in
ALLOWLIST, a text file of lines 'DLL!Function  <first Windows version>'.
An import that is not listed fails the check: adding it to the list is a
conscious decision, with its documented minimum Windows version.
"""
import struct
import sys

SUBSYSTEMS = {"gui": 2, "console": 3}


def read_allowlist(path):
    allowed = set()
    with open(path, encoding="utf-8") as f:
        for n, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            entry = line.split()[0]
            if "!" not in entry or len(line.split()) < 2:
                raise SystemExit(f"{path}:{n}: want 'DLL!Function  version': {line!r}")
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
        if self.magic != 0x10B:
            raise ValueError(f"optional header magic {self.magic:#x}, not PE32")
        (self.os_major, self.os_minor, _, _, self.sub_major, self.sub_minor) = \
            struct.unpack_from("<HHHHHH", d, opt + 40)
        self.subsystem = struct.unpack_from("<H", d, opt + 68)[0]
        ndirs = struct.unpack_from("<I", d, opt + 92)[0]
        self.dirs = [struct.unpack_from("<II", d, opt + 96 + 8 * i) for i in range(ndirs)]
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
        while True:
            t = struct.unpack_from("<I", self.data, o)[0]
            if t == 0:
                return
            yield f"#{t & 0xFFFF}" if t & 0x80000000 else self.cstr(t + 2)
            o += 4

    def version_strings(self):
        """The StringFileInfo texts of the RT_VERSION resource, as a dict."""
        if len(self.dirs) <= 2 or not self.dirs[2][0]:
            return None
        base = self.off(self.dirs[2][0])
        d = self.data

        def entries(off):
            named, ids = struct.unpack_from("<HH", d, off + 12)
            for i in range(named + ids):
                yield struct.unpack_from("<II", d, off + 16 + 8 * i)

        for type_id, sub in entries(base):
            if type_id != 16 or not sub & 0x80000000:
                continue
            # type -> name -> language -> data entry
            node = sub & 0x7FFFFFFF
            for _ in range(2):
                _, child = next(entries(base + node))
                node = child & 0x7FFFFFFF
                if not child & 0x80000000:
                    break
            rva, size = struct.unpack_from("<II", d, base + node)
            blob = d[self.off(rva):self.off(rva) + size]
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
        return None

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


def check(path, subsystem, allowed):
    errors = []
    try:
        pe = PE(path)
    except (OSError, ValueError) as e:
        return [f"{path}: not a readable PE file: {e}"], 0
    if pe.machine != 0x14C:
        errors.append(f"machine {pe.machine:#x}, want 0x14c (x86)")
    if pe.subsystem != SUBSYSTEMS[subsystem]:
        errors.append(f"subsystem {pe.subsystem}, want {SUBSYSTEMS[subsystem]} ({subsystem})")
    if (pe.os_major, pe.os_minor) != (5, 0):
        errors.append(f"OS version {pe.os_major}.{pe.os_minor}, want 5.0")
    if (pe.sub_major, pe.sub_minor) != (5, 0):
        errors.append(f"subsystem version {pe.sub_major}.{pe.sub_minor}, want 5.0")
    version = pe.version_strings()
    if version is None:
        errors.append("no version resource")
    else:
        if version.get("ProductName") != "Kiv Image Printer":
            errors.append(f"version resource names product {version.get('ProductName')!r}")
        if not version.get("FileDescription") or not version.get("FileVersion"):
            errors.append("version resource lacks a file description or version")
    imports = pe.imports()
    for dll, func in imports:
        if (dll.lower(), func) not in allowed:
            errors.append(f"import {dll}!{func} is not in the Windows 2000 list")
    return [f"{path}: {e}" for e in errors], len(imports)


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    allowed = read_allowlist(argv[1])
    failed = 0
    for arg in argv[2:]:
        path, _, subsystem = arg.rpartition(":")
        if subsystem not in SUBSYSTEMS:
            print(f"{arg}: want FILE:gui or FILE:console", file=sys.stderr)
            return 2
        errors, count = check(path, subsystem, allowed)
        if errors:
            failed += 1
            print("\n".join(errors))
        else:
            print(f"{path}: x86, {subsystem}, 5.0, version resource, {count} imports all in the list")
    print(f"{len(argv) - 2 - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
