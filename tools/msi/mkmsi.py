#!/usr/bin/env python3
"""Builds the Windows Installer packages of the Kiv Image Printer.

    mkmsi.py --out DIR [--version V] [--sign-pfx PFX --sign-pass-file FILE
             [--sign-timestamp URL]] --build ARCH PRODUCT_FOLDER DRIVER_FOLDER [--build ...]

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
3. wixl builds the package from kivprinter.wxs.in, and msibuild fixes what
   wixl cannot write: the custom actions become type 34 (an executable run
   in a folder, the setup folder) with their command lines, the earlier-
   version row of the Upgrade table includes this version (a rebuilt
   package of the same version replaces the installed one instead of
   adding a second entry), and the setup folder gets its short name.
   msiinfo then reads every fixed row back; the build fails unless each
   holds what was written and the actions sit where they belong.
4. With a certificate, the package is signed too.  A time-stamping
   server's address adds an RFC 3161 time stamp to every signature.

The version defaults to the project's (CMakeLists.txt).  UpgradeCode and
component GUIDs are fixed per architecture; every build gets a new
ProductCode, so each package is a major upgrade of the one before.
"""
import argparse
import os
import re
import shutil
import string
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
QUIET_OPTIONS = 'first=0\r\nfinal=0\r\nstatus=0\r\n'
SETUP_DIR_NAMES = 'KIVSETUP|Kiv Image Printer Setup'
# Setup's log, in the setup folder: only administrators may write there, so
# no user can point LocalSystem's appending at a file of their choice.
SETUP_LOG = 'kivsetup.log'
# Where the actions go: right after / right before these standard actions.
PLACES = [('RemoveExistingProducts', 'after', 'InstallValidate'),
          ('KivTrayAutostart', 'after', 'AppSearch'),
          ('KivSetupRemove', 'before', 'RemoveFiles'),
          ('KivSetupInstall', 'after', 'InstallFiles')]


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


def sign(path, signing):
    pfx, pass_file, timestamp = signing
    signed = path + '.signed'
    run(['osslsigncode', 'sign', '-pkcs12', pfx, '-readpass', pass_file, '-h', 'sha256',
         '-n', 'Kiv Image Printer', '-i', 'http://www.kivimageprinter.example/']
        + (['-ts', timestamp] if timestamp else []) + ['-in', path, '-out', signed])
    os.replace(signed, path)


def write_source(arch, version, names, path):
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
                                    win64=win64))


def table(msi, name):
    """The rows of a table, as lists of texts (msiinfo export)."""
    lines = run(['msiinfo', 'export', msi, name]).splitlines()
    return [line.split('\t') for line in lines[3:] if line]


def fix_tables(msi, arch, version):
    setup = '"[SETUPDIR]kivsetup.exe"'
    log = ' /log "[SETUPDIR]%s"' % SETUP_LOG
    actions = {'KivSetupInstall': setup + ' /quiet /package' + log + ' [KIVTRAYARG]',
               'KivSetupRemove': setup + ' /uninstall /quiet' + log}
    upgrade_row = [UPGRADE_CODES[arch], '0.0.0', version, '', '768', '', 'KIVOLDERFOUND']
    queries = ["UPDATE CustomAction SET Type=%d, Source='SETUPDIR', Target='%s' WHERE Action='%s'"
               % (CA_TYPE, target, action) for action, target in actions.items()]
    # The property-setting action runs in the installer's own process
    # (wixl adds a context bit that means nothing for it).
    queries.append("UPDATE CustomAction SET Type=51 WHERE Action='KivTrayAutostart'")
    # The rows' keys include their attributes: replace the row.
    queries += ["DELETE FROM Upgrade WHERE ActionProperty='KIVOLDERFOUND'",
                "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Attributes, ActionProperty) "
                "VALUES ('%s', '0.0.0', '%s', 768, 'KIVOLDERFOUND')" % (UPGRADE_CODES[arch], version),
                "UPDATE Directory SET DefaultDir='%s' WHERE Directory='SETUPDIR'" % SETUP_DIR_NAMES]
    # Setup's log goes with setup once a removal has succeeded (wixl knows
    # no RemoveFile element, but makes the table).
    queries += ["INSERT INTO RemoveFile (FileKey, Component_, FileName, DirProperty, InstallMode) "
                "VALUES ('KivSetupLog', 'C_kivsetup.exe', '%s', 'SETUPDIR', 2)" % SETUP_LOG]
    cmd = ['msibuild', msi]
    for q in queries:
        cmd += ['-q', q]
    run(cmd)

    # Read back.
    got = {r[0]: r[1:4] for r in table(msi, 'CustomAction')}
    if got.get('KivTrayAutostart') != ['51', 'KIVTRAYARG', '/trayautostart']:
        raise BuildError('custom action KivTrayAutostart reads back as %s' % got.get('KivTrayAutostart'))
    for action, target in actions.items():
        if got.get(action) != [str(CA_TYPE), 'SETUPDIR', target]:
            raise BuildError('custom action %s reads back as %s' % (action, got.get(action)))
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


def build(arch, product, drivers, out, version, signing, leave_out):
    dest = os.path.join(out, 'setup-' + arch)
    names, programs = stage(arch, product, drivers, dest, leave_out)
    if signing:
        for n in programs:
            sign(os.path.join(dest, n), signing)
    msi = os.path.join(out, 'KivImagePrinter-%s-%s.msi' % (version, arch))
    with tempfile.TemporaryDirectory() as tmp:
        wxs = os.path.join(tmp, 'kivprinter.wxs')
        write_source(arch, version, names, wxs)
        built = os.path.join(tmp, 'package.msi')
        run(['wixl', '-a', arch, '-o', built, wxs], cwd=dest)   # the sources by their names
        fix_tables(built, arch, version)
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
    ap.add_argument('--build', nargs=3, action='append', required=True,
                    metavar=('ARCH', 'PRODUCT_FOLDER', 'DRIVER_FOLDER'))
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
        for arch, product, drivers in a.build:
            if arch not in UPGRADE_CODES:
                raise BuildError('%s is no architecture (x86 or x64)' % arch)
        os.makedirs(a.out, exist_ok=True)
        if not a.sign_pfx:
            print('mkmsi: no SIGN_PFX given: nothing is signed')
        for arch, product, drivers in a.build:
            msi = build(arch, product, drivers, a.out, version, signing, a.test_leave_out)
            print('mkmsi: %s package%s: %s' % (arch, ' (signed)' if a.sign_pfx else '', os.path.abspath(msi)))
    except (BuildError, OSError) as e:
        print('mkmsi: %s' % e, file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
