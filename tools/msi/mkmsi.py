#!/usr/bin/env python3
"""Builds the Windows Installer packages of the Kiv Image Printer.

    mkmsi.py --out DIR [--version V] [--sign-pfx PFX --sign-pass-file FILE
             [--sign-timestamp URL]] [--previous ARCH MSI ...]
             --build ARCH PRODUCT_FOLDER DRIVER_FOLDER ACTION_DLL [--build ...]

For each build's ARCH (x86 or x64) it writes DIR/KivImagePrinter-V-ARCH.msi:

1. The setup folder, staged in DIR/setup-ARCH: every file of the product
   folder, the driver files setup copies from its folder (the names of its
   driver-file table and system-file list in setup/filesteps.cpp) from the
   driver folder, and a qprinter.ini that switches every dialog off.  A
   missing driver file stops the build with its name.  The product folder
   itself is never changed: signing works on the staged copies.
2. With a certificate, the staged programs and DLLs of the product folder
   are Authenticode-signed (osslsigncode); the driver files are the driver
   maker's and are packed as delivered.
3. wixl builds the package from kivprinter.wxs.in, with ACTION_DLL (the
   build's kivmsica.dll) in its Binary table, and msibuild fixes what
   wixl cannot write: the custom actions become type 34 (an executable run
   in a folder, the setup folder) with their command lines, each of
   setup's two actions gets its rollback action, the earlier-version row
   of the Upgrade table includes this version (a rebuilt package of the
   same version replaces the installed one instead of adding a second
   entry), every file with a version resource gets its version and
   language, and the setup folder gets its short name.  msiinfo then reads
   every fixed row back; the build fails unless each holds what was
   written and the actions sit where they belong.
4. With a certificate, the package is signed too.  A time-stamping
   server's address adds an RFC 3161 time stamp to every signature.

Windows Installer removes the earlier version inside the transaction and
compares file versions before it does: a file whose version went down
would be kept in its newer version.  Given the previous package of an
architecture (--previous), the build fails when a file of the new one has
a lower version than the same file there.

The version defaults to the project's (CMakeLists.txt).  UpgradeCode and
component GUIDs are fixed per architecture; every build gets a new
ProductCode, so each package is a major upgrade of the one before.
"""
import argparse
import os
import re
import shutil
import string
import struct
import subprocess
import sys
import tempfile
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

# Fixed per architecture: the UpgradeCode ties every version together, and
# the component GUIDs are made from it and the file's name.
UPGRADE_CODES = {
    'x86': '{6E0C4B2A-9A55-4F0E-8E43-1D3B7C2F5A10}',
    'x64': '{6E0C4B2A-9A55-4F0E-8E43-1D3B7C2F5A64}',
}
PROGRAM_FILES = {'x86': 'ProgramFilesFolder', 'x64': 'ProgramFiles64Folder'}
# Windows Installer refuses the x64 package on 32-bit Windows by its
# template; the x86 package says itself that 64-bit Windows needs the other
# (its setup would refuse there only after the files are in).
ARCH_CONDITIONS = {
    'x86': '    <Condition Message="This package is for 32-bit Windows. On 64-bit Windows, install the '
           'x64 package of the Kiv Image Printer.">NOT VersionNT64</Condition>',
    'x64': '',
}
# Deferred (1024), in the system's context (2048), an executable (2) run in
# the folder its Source names (32); the exit code is checked.
CA_TYPE = 1024 + 2048 + 34
# The same as a rollback action (256) whose exit code is not checked (64):
# a rollback goes on whatever one action of it gives.
ROLLBACK_TYPE = CA_TYPE + 256 + 64
QUIET_OPTIONS = 'first=0\r\nfinal=0\r\nstatus=0\r\n'
SETUP_DIR_NAMES = 'KIVSETUP|Kiv Image Printer Setup'
# Setup's log, in the setup folder: only administrators may write there, so
# no user can point LocalSystem's appending at a file of their choice.
SETUP_LOG = 'kivsetup.log'
# Where the actions go: right after / right before these actions.
PLACES = [('RemoveExistingProducts', 'after', 'InstallInitialize'),
          ('KivTrayAutostart', 'after', 'AppSearch'),
          ('KivRemoveAllUsers', 'after', 'KivTrayAutostart'),
          ('KivSetupRemove', 'before', 'RemoveFiles'),
          ('KivSetupRemoveRollback', 'before', 'KivSetupRemove'),
          ('KivSetupInstallRollback', 'after', 'InstallFiles'),
          ('KivSetupInstall', 'after', 'KivSetupInstallRollback'),
          ('KivReportRestart', 'after', 'InstallFinalize')]
# A rollback is sequenced just before the action it undoes, with its
# condition.  It runs setup with /rollback, which acts only when that
# action completed (a failed run has undone itself).  The undo of an
# installation works in the Program Files folder, which outlives the
# rollback of the setup folder's files; reinstalling needs the setup
# folder, whose files come back before it runs.
ROLLBACKS = {'KivSetupInstallRollback': ('KivSetupInstall', None, ' /uninstall /quiet /rollback', ''),
             'KivSetupRemoveRollback': ('KivSetupRemove', 'SETUPDIR', ' /quiet /package /rollback',
                                        ' [KIVTRAYARG]')}


class BuildError(Exception):
    pass


def run(args, **kw):
    p = subprocess.run(args, capture_output=True, text=True, **kw)
    # wixl and msibuild report some faults only as GLib messages.
    if p.returncode != 0 or re.search(r'WARNING|CRITICAL', p.stderr):
        raise BuildError('%s failed (exit code %d):\n%s%s' % (
            ' '.join(args[:2]), p.returncode, p.stdout, p.stderr))
    return p.stdout


def project_version():
    with open(os.path.join(ROOT, 'CMakeLists.txt')) as f:
        m = re.search(r'project\(\S+\s+VERSION\s+([0-9.]+)', f.read())
    if not m:
        raise BuildError('no project version in CMakeLists.txt')
    return m.group(1)


def driver_file_names():
    """The names setup copies from its folder that no product folder has:
    its driver-file table and its system-file list."""
    with open(os.path.join(ROOT, 'setup', 'filesteps.cpp')) as f:
        source = f.read()
    names = []
    for table in ('g_aDriverFiles', 'g_apszSystemFiles'):
        m = re.search(table + r'\[[^\]]*\]\s*=\s*\{(.*?)\};', source, re.S)
        if not m:
            raise BuildError('setup/filesteps.cpp has no table %s' % table)
        names += re.findall(r'L"([^"]+)"', m.group(1))
    return names


def is_short_name(name):
    return re.fullmatch(r'[A-Za-z0-9_~-]{1,8}(\.[A-Za-z0-9_~-]{1,3})?', name) is not None


def stage(arch, product, drivers, dest, leave_out):
    if not os.path.isfile(os.path.join(product, 'kivsetup.exe')):
        raise BuildError('%s is no product folder: it has no kivsetup.exe' % product)
    if not os.path.isdir(drivers):
        raise BuildError('no %s driver folder %s' % (arch, drivers))
    missing = [n for n in driver_file_names() if not os.path.isfile(os.path.join(drivers, n))]
    if missing:
        raise BuildError('the %s driver folder %s lacks %s' % (arch, drivers, ', '.join(missing)))
    shutil.rmtree(dest, ignore_errors=True)
    os.makedirs(dest)
    ours = sorted(n for n in os.listdir(product) if n != 'qprinter.ini')
    for n in ours:
        shutil.copyfile(os.path.join(product, n), os.path.join(dest, n))
    for n in driver_file_names():
        if n != leave_out:
            shutil.copyfile(os.path.join(drivers, n), os.path.join(dest, n))
    with open(os.path.join(dest, 'qprinter.ini'), 'w', newline='') as f:
        f.write(QUIET_OPTIONS)
    names = sorted(os.listdir(dest))
    long_names = [n for n in names if not is_short_name(n)]
    if long_names:   # wixl writes no short names
        raise BuildError('not an 8.3 file name: %s' % ', '.join(long_names))
    return names, [n for n in ours if n.lower().endswith(('.exe', '.dll'))]


def file_version(path):
    """(version, language) of a PE file's version resource, or None."""
    with open(path, 'rb') as f:
        data = f.read()
    at = data.find(struct.pack('<I', 0xFEEF04BD))
    if not path.lower().endswith(('.exe', '.dll')) or at < 0:
        return None
    ms, ls = struct.unpack_from('<II', data, at + 8)
    version = '%d.%d.%d.%d' % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    # The Translation value: its name, padded to 32 bits, then language
    # and code page.
    name = 'Translation\0'.encode('utf-16-le')
    t = data.find(name, at)
    if t < 0:
        raise BuildError('%s has a version but no translation' % path)
    t += len(name)
    t += -t % 4
    return version, str(struct.unpack_from('<H', data, t)[0])


def version_key(version):
    return tuple(int(n) for n in version.split('.'))


def sign(path, signing):
    pfx, pass_file, timestamp = signing
    signed = path + '.signed'
    run(['osslsigncode', 'sign', '-pkcs12', pfx, '-readpass', pass_file, '-h', 'sha256',
         '-n', 'Kiv Image Printer', '-i', 'http://www.kivimageprinter.example/']
        + (['-ts', timestamp] if timestamp else []) + ['-in', path, '-out', signed])
    os.replace(signed, path)


def write_source(arch, version, names, action_dll, path):
    win64 = ' Win64="yes"' if arch == 'x64' else ''
    components, refs = [], []
    for n in names:
        guid = uuid.uuid5(uuid.UUID(UPGRADE_CODES[arch]), n.lower())
        components.append(
            '          <Component Id="C_%s" Guid="{%s}"%s>\n'
            '            <File Id="%s" Name="%s" Source="%s" KeyPath="yes"/>\n'
            '          </Component>' % (n, str(guid).upper(), win64, n, n, n))
        refs.append('      <ComponentRef Id="C_%s"/>' % n)
    with open(os.path.join(HERE, 'kivprinter.wxs.in')) as f:
        template = string.Template(f.read())
    with open(path, 'w') as f:
        f.write(template.substitute(version=version, arch=arch, upgrade_code=UPGRADE_CODES[arch],
                                    program_files=PROGRAM_FILES[arch], arch_condition=ARCH_CONDITIONS[arch],
                                    components='\n'.join(components), component_refs='\n'.join(refs),
                                    win64=win64, action_dll=action_dll))


def table(msi, name):
    """The rows of a table, as lists of texts (msiinfo export)."""
    lines = run(['msiinfo', 'export', msi, name]).splitlines()
    return [line.split('\t') for line in lines[3:] if line]


def fix_tables(msi, arch, version, versions):
    setup = '"[SETUPDIR]kivsetup.exe"'
    log = ' /log "[SETUPDIR]%s"' % SETUP_LOG
    actions = {'KivSetupInstall': setup + ' /quiet /package' + log + ' [KIVTRAYARG]',
               'KivSetupRemove': setup + ' /uninstall /quiet' + log + ' [KIVREMOVEARG]'}
    # Each rollback: its row, and its condition and place in the sequence.
    rollbacks, places = {}, {}
    sequence = {r[0]: r for r in table(msi, 'InstallExecuteSequence')}
    for rollback, (action, folder, switches, tail) in ROLLBACKS.items():
        rollbacks[rollback] = [str(ROLLBACK_TYPE), folder or PROGRAM_FILES[arch], setup + switches + log + tail]
        places[rollback] = (sequence[action][1], int(sequence[action][2]) - 1)
    upgrade_row = [UPGRADE_CODES[arch], '0.0.0', version, '', '768', '', 'KIVOLDERFOUND']
    queries = ["UPDATE CustomAction SET Type=%d, Source='SETUPDIR', Target='%s' WHERE Action='%s'"
               % (CA_TYPE, target, action) for action, target in actions.items()]
    # The property-setting actions and the restart report (a DLL, 1, whose
    # result is ignored, 64) run in the installer's own session: wixl adds
    # a context bit that means nothing for them.
    queries += ["UPDATE CustomAction SET Type=51 WHERE Action='%s'" % a
                for a in ('KivTrayAutostart', 'KivRemoveAllUsers')]
    queries += ["UPDATE CustomAction SET Type=65 WHERE Action='KivReportRestart'"]
    # The rows' keys include their attributes: replace the row.
    queries += ["DELETE FROM Upgrade WHERE ActionProperty='KIVOLDERFOUND'",
                "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Attributes, ActionProperty) "
                "VALUES ('%s', '0.0.0', '%s', 768, 'KIVOLDERFOUND')" % (UPGRADE_CODES[arch], version),
                "UPDATE Directory SET DefaultDir='%s' WHERE Directory='SETUPDIR'" % SETUP_DIR_NAMES]
    # Setup's log goes with setup once a removal has succeeded (wixl knows
    # no RemoveFile element, but makes the table).
    queries += ["INSERT INTO RemoveFile (FileKey, Component_, FileName, DirProperty, InstallMode) "
                "VALUES ('KivSetupLog', 'C_kivsetup.exe', '%s', 'SETUPDIR', 2)" % SETUP_LOG]
    for rollback, (ca_type, folder, target) in rollbacks.items():
        condition, number = places[rollback]
        queries += ["INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('%s', %s, '%s', '%s')"
                    % (rollback, ca_type, folder, target),
                    "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('%s', '%s', %d)"
                    % (rollback, condition.replace("'", "''"), number)]
    queries += ["UPDATE File SET Version='%s', Language='%s' WHERE File='%s'" % (v, lang, name)
                for name, (v, lang) in versions.items()]
    cmd = ['msibuild', msi]
    for q in queries:
        cmd += ['-q', q]
    run(cmd)

    # Read back.
    got = {r[0]: r[1:4] for r in table(msi, 'CustomAction')}
    for action, row in (('KivTrayAutostart', ['51', 'KIVTRAYARG', '/trayautostart']),
                        ('KivRemoveAllUsers', ['51', 'KIVREMOVEARG', '/allusers']),
                        ('KivReportRestart', ['65', 'KivMsiAction', 'KivReportRestart'])):
        if got.get(action) != row:
            raise BuildError('custom action %s reads back as %s' % (action, got.get(action)))
    for action, target in actions.items():
        if got.get(action) != [str(CA_TYPE), 'SETUPDIR', target]:
            raise BuildError('custom action %s reads back as %s' % (action, got.get(action)))
    for rollback in ROLLBACKS:
        if got.get(rollback) != rollbacks[rollback]:
            raise BuildError('rollback %s reads back as %s' % (rollback, got.get(rollback)))
    files = {r[0]: (r[4], r[5]) for r in table(msi, 'File')}
    for name, (v, lang) in versions.items():
        if files.get(name) != (v, lang):
            raise BuildError('file %s reads back as version %s' % (name, files.get(name)))
    if upgrade_row not in table(msi, 'Upgrade'):
        raise BuildError('the Upgrade table lacks %s' % upgrade_row)
    if ['SETUPDIR', PROGRAM_FILES[arch], SETUP_DIR_NAMES] not in table(msi, 'Directory'):
        raise BuildError('the setup folder is not %s under %s' % (SETUP_DIR_NAMES, PROGRAM_FILES[arch]))
    sequence = sorted(table(msi, 'InstallExecuteSequence'), key=lambda r: int(r[2]))
    order = [r[0] for r in sequence]
    for action, where, standard in PLACES:
        i = order.index(standard) + (1 if where == 'after' else -1)
        if action not in order or order[i] != action:
            raise BuildError('%s is not right %s %s: %s' % (action, where, standard, order))
    conditions = {r[0]: r[1] for r in sequence}
    for rollback, (action, folder, switches, tail) in ROLLBACKS.items():
        if conditions[rollback] != conditions[action]:
            raise BuildError('rollback %s runs on %s, not on %s' % (rollback, conditions[rollback],
                                                                  conditions[action]))


def check_versions(arch, versions, previous):
    """No file's version lower than in the previous package."""
    if not previous:
        return
    before = {r[0]: r[4] for r in table(previous, 'File') if r[4] and r[4][0].isdigit()}
    lower = ['%s %s (was %s)' % (n, v, before[n]) for n, (v, lang) in sorted(versions.items())
             if n in before and version_key(v) < version_key(before[n])]
    if lower:
        raise BuildError('the %s package would ship lower versions than %s: %s'
                         % (arch, previous, ', '.join(lower)))


def add_test_failure(msi, action):
    """For the tests only: a deferred action that fails right after the
    action named, on its condition (the sequence leaves room after each of
    setup's actions)."""
    condition, number = {r[0]: (r[1], int(r[2])) for r in table(msi, 'InstallExecuteSequence')}[action]
    run(['msibuild', msi, '-q',
         "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES "
         "('KivTestFailure', %d, 'SETUPDIR', '\"[SystemFolder]cmd.exe\" /c exit 1')" % CA_TYPE, '-q',
         "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('KivTestFailure', '%s', %d)"
         % (condition.replace("'", "''"), number + 1)])


def build(arch, product, drivers, action_dll, out, version, signing, leave_out, previous, fail_after):
    dest = os.path.join(out, 'setup-' + arch)
    names, programs = stage(arch, product, drivers, dest, leave_out)
    if not os.path.isfile(action_dll):
        raise BuildError('no %s package action %s' % (arch, action_dll))
    if signing:
        for n in programs:
            sign(os.path.join(dest, n), signing)
    msi = os.path.join(out, 'KivImagePrinter-%s-%s.msi' % (version, arch))
    with tempfile.TemporaryDirectory() as tmp:
        wxs = os.path.join(tmp, 'kivprinter.wxs')
        # wixl takes only paths relative to its folder.
        write_source(arch, version, names, os.path.relpath(action_dll, dest), wxs)
        built = os.path.join(tmp, 'package.msi')
        run(['wixl', '-a', arch, '-o', built, wxs], cwd=dest)   # the sources by their names
        # Signing changes no version resource.
        versions = {n: v for n, v in ((n, file_version(os.path.join(dest, n))) for n in names) if v}
        check_versions(arch, versions, previous)
        fix_tables(built, arch, version, versions)
        if fail_after:
            add_test_failure(built, fail_after)
        if signing:
            sign(built, signing)
        shutil.move(built, msi)
    return msi


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('--out', required=True)
    ap.add_argument('--version')
    ap.add_argument('--sign-pfx')
    ap.add_argument('--sign-pass-file')
    ap.add_argument('--sign-timestamp', metavar='URL')
    # For the tests only: a package whose setup fails.
    ap.add_argument('--test-leave-out', metavar='DRIVER_FILE', help=argparse.SUPPRESS)
    # For the tests only: a package that fails right after one of its actions.
    ap.add_argument('--test-fail-after', metavar='ACTION', help=argparse.SUPPRESS)
    ap.add_argument('--previous', nargs=2, action='append', default=[], metavar=('ARCH', 'MSI'))
    ap.add_argument('--build', nargs=4, action='append', required=True,
                    metavar=('ARCH', 'PRODUCT_FOLDER', 'DRIVER_FOLDER', 'ACTION_DLL'))
    a = ap.parse_args()
    try:
        version = a.version or project_version()
        if not re.fullmatch(r'\d+(\.\d+){2,3}', version):
            raise BuildError('%s is no package version (three or four numbers)' % version)
        if bool(a.sign_pfx) != bool(a.sign_pass_file) or (a.sign_timestamp and not a.sign_pfx):
            raise BuildError('signing needs both SIGN_PFX and SIGN_PASS_FILE (and a time stamp a signature)')
        signing = (a.sign_pfx, a.sign_pass_file, a.sign_timestamp) if a.sign_pfx else None
        for f in filter(None, (a.sign_pfx, a.sign_pass_file)):
            if not os.path.isfile(f):
                raise BuildError('no file %s' % f)
        for arch in [b[0] for b in a.build] + [p[0] for p in a.previous]:
            if arch not in UPGRADE_CODES:
                raise BuildError('%s is no architecture (x86 or x64)' % arch)
        previous = dict(a.previous)
        for f in previous.values():
            if not os.path.isfile(f):
                raise BuildError('no previous package %s' % f)
        os.makedirs(a.out, exist_ok=True)
        if not a.sign_pfx:
            print('mkmsi: no SIGN_PFX given: nothing is signed')
        for arch, product, drivers, action_dll in a.build:
            msi = build(arch, product, drivers, action_dll, a.out, version, signing, a.test_leave_out,
                        previous.get(arch), a.test_fail_after)
            print('mkmsi: %s package%s: %s' % (arch, ' (signed)' if a.sign_pfx else '', os.path.abspath(msi)))
    except (BuildError, OSError) as e:
        print('mkmsi: %s' % e, file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
