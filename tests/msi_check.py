#!/usr/bin/env python3
"""The package of one build on Linux: msi_check.py tables ARCH PRODUCT_FOLDER PACKAGES VERSION (read with
msiinfo; fixture msi in msi.cmake), msi_check.py signing ARCH PRODUCT_FOLDER STAND_INS ACTION_DLL (a throwaway
certificate; a previous package with a higher file version)."""
import glob, os, shutil, subprocess, sys, tempfile

MKMSI = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tools', 'msi', 'mkmsi.py')
DRIVER_FILES = {'kiv.gpd', 'kivui.dll', 'kivuni.dll', 'kivuni.ini', 'unidrv.dll', 'unidrv.hlp',
                'unidrvui.dll', 'unires.dll', 'stdnames.gpd', 'kivimg30.dll'}
failures = []
check = lambda ok, what: ok or failures.append(what)

def table(msi, name):
    # Exporting a table with streams (Binary) writes them beside it.
    with tempfile.TemporaryDirectory() as tmp:
        out = subprocess.run(['msiinfo', 'export', os.path.abspath(msi), name], capture_output=True, text=True,
                             check=True, cwd=tmp).stdout
    return sorted(line.split('\t') for line in out.splitlines()[3:])

def tables(arch, product, packages, version):
    msi, earlier = (glob.glob(os.path.join(packages, k, '*.msi'))[0] for k in ('current', 'earlier'))
    setup, log = '"[SETUPDIR]kivsetup.exe" ', ' /log "[SETUPDIR]kivsetup.log"'
    programs = 'ProgramFiles64Folder' if arch == 'x64' else 'ProgramFilesFolder'
    check(table(msi, 'CustomAction') == [['KivRemoveAllUsers', '51', 'KIVREMOVEARG', '/allusers', ''],
                                         ['KivReportRestart', '65', 'KivMsiAction', 'KivReportRestart', ''],
                                         ['KivSetupInstall', '3106', 'SETUPDIR',
                                          setup + '/quiet /package' + log + ' [KIVTRAYARG]', ''],
                                         ['KivSetupInstallRollback', '3426', programs,
                                          setup + '/uninstall /quiet /rollback' + log, ''],
                                         ['KivSetupRemove', '3106', 'SETUPDIR',
                                          setup + '/uninstall /quiet' + log + ' [KIVREMOVEARG]', ''],
                                         ['KivSetupRemoveRollback', '3426', 'SETUPDIR',
                                          setup + '/quiet /package /rollback' + log + ' [KIVTRAYARG]', ''],
                                         ['KivTrayAutostart', '51', 'KIVTRAYARG', '/trayautostart', '']],
          table(msi, 'CustomAction'))
    check([r[0] for r in table(msi, 'Binary')] == ['KivMsiAction'], table(msi, 'Binary'))
    # The tray's machine-wide autostart value, in the build's own view.
    check(table(msi, 'RegLocator') == [['KivTrayRunSearch', '2', 'Software\\Microsoft\\Windows\\CurrentVersion\\Run',
                                        'kivtray', '18' if arch == 'x64' else '2']], table(msi, 'RegLocator'))
    check(table(msi, 'RemoveFile') == [['KivSetupLog', 'C_kivsetup.exe', 'kivsetup.log', 'SETUPDIR', '2']],
          table(msi, 'RemoveFile'))
    seq = sorted(table(msi, 'InstallExecuteSequence'), key=lambda r: int(r[2]))
    at = {r[0]: i for i, r in enumerate(seq)}
    # The earlier version goes inside the transaction; each rollback comes
    # right before its action.
    for action, condition, neighbour, step in (('RemoveExistingProducts', '', 'InstallInitialize', 1),
                                               ('KivTrayAutostart', 'KIVTRAYRUN', 'AppSearch', 1),
                                               ('KivRemoveAllUsers', 'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE',
                                                'AppSearch', 2),
                                               ('KivSetupRemove', 'REMOVE="ALL"', 'RemoveFiles', -1),
                                               ('KivSetupRemoveRollback', 'REMOVE="ALL"', 'RemoveFiles', -2),
                                               ('KivSetupInstallRollback', 'NOT Installed', 'InstallFiles', 1),
                                               ('KivSetupInstall', 'NOT Installed', 'InstallFiles', 2),
                                               ('KivReportRestart', '', 'InstallFinalize', 1)):
        check(seq[at[neighbour] + step][:2] == [action, condition], (action, seq))
    files = {r[2]: r[4:6] for r in table(msi, 'File')}
    check(set(files) == set(os.listdir(product)) | DRIVER_FILES, files)
    # Our programs and DLLs carry the product's version; the stand-ins none.
    ours = {n for n in os.listdir(product) if n.endswith(('.exe', '.dll'))}
    check(all(v == ([version, '1033'] if n in ours else ['', '']) for n, v in files.items()), files)
    props, old = (dict(r[:2] for r in table(p, 'Property')) for p in (msi, earlier))
    for key, value in (('ALLUSERS', '1'), ('ARPNOMODIFY', '1'), ('ARPNOREPAIR', '1'), ('ProductVersion', version),
                       ('UpgradeCode', old['UpgradeCode'])):
        check(props.get(key) == value, (key, props.get(key)))
    check(props['ProductCode'] != old['ProductCode'], 'one product code for two builds')
    # The same components in every build; 64-bit ones in a 64-bit package.
    comps = table(msi, 'Component')
    check(comps == table(earlier, 'Component') and len({c[1] for c in comps}) == len(comps), comps)
    check({c[3] for c in comps} == {'256' if arch == 'x64' else '0'}, comps)
    info = subprocess.run(['msiinfo', 'suminfo', msi], capture_output=True, text=True).stdout
    check('Template: %s;1033' % ('x64' if arch == 'x64' else 'Intel') in info, info)
    check(['SETUPDIR', 'ProgramFiles64Folder' if arch == 'x64' else 'ProgramFilesFolder',
           'KIVSETUP|Kiv Image Printer Setup'] in table(msi, 'Directory'), table(msi, 'Directory'))
    conditions = [['NOT KIVNEWERFOUND', 'A newer version of the Kiv Image Printer is already installed.']] + (
        [['NOT VersionNT64', 'This package is for 32-bit Windows. On 64-bit Windows, install the x64 package of '
          'the Kiv Image Printer.']] if arch == 'x86' else [])
    check(table(msi, 'LaunchCondition') == sorted(conditions), table(msi, 'LaunchCondition'))

def signing(arch, product, standins, action):
    before = {n: open(os.path.join(product, n), 'rb').read() for n in os.listdir(product)}
    with tempfile.TemporaryDirectory() as tmp:
        key, cert, pfx, pw = (os.path.join(tmp, n) for n in ('key.pem', 'cert.pem', 'cert.pfx', 'pass'))
        open(pw, 'w').write('throwaway\n')
        for args in (['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', cert, '-days', '1',
                      '-subj', '/CN=Kiv Image Printer test', '-addext', 'extendedKeyUsage=codeSigning'],
                     ['pkcs12', '-export', '-in', cert, '-inkey', key, '-out', pfx, '-passout', 'file:' + pw]):
            subprocess.run(['openssl'] + args, check=True, capture_output=True)
        subprocess.run([sys.executable, MKMSI, '--out', tmp, '--sign-pfx', pfx, '--sign-pass-file', pw,
                        '--build', arch, product, standins, action], check=True)
        programs = [n for n in os.listdir(product) if n.endswith(('.exe', '.dll'))]
        check('kivsetup.exe' in programs, programs)
        for f in [os.path.join(tmp, 'setup-' + arch, n) for n in programs] + glob.glob(os.path.join(tmp, '*.msi')):
            v = subprocess.run(['osslsigncode', 'verify', '-CAfile', cert, '-in', f], capture_output=True, text=True)
            check(v.returncode == 0, 'verify %s:\n%s%s' % (f, v.stdout, v.stderr))
        # Against a previous package whose kivtray.exe was newer, the
        # build fails and names it.
        previous = os.path.join(tmp, 'previous.msi')
        shutil.copyfile(glob.glob(os.path.join(tmp, '*.msi'))[0], previous)
        subprocess.run(['msibuild', previous, '-q', "UPDATE File SET Version='99.0.0.0' WHERE File='kivtray.exe'"],
                       check=True)
        p = subprocess.run([sys.executable, MKMSI, '--out', os.path.join(tmp, 'next'), '--previous', arch, previous,
                            '--build', arch, product, standins, action], capture_output=True, text=True)
        check(p.returncode == 1 and 'kivtray.exe' in p.stderr and 'was 99.0.0.0' in p.stderr, p.stderr)
    check({n: open(os.path.join(product, n), 'rb').read() for n in os.listdir(product)} == before,
          'the product folder was changed')

if __name__ == '__main__':
    globals()[sys.argv[1]](*sys.argv[2:])
    for f in failures:
        print('FAILED: %s' % (f,))
    sys.exit(1 if failures else 0)
