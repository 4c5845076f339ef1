#!/usr/bin/env python3
"""Builds the Debian package of a Linux build with CPack into a scratch folder, checks it with
dpkg-deb, unpacks it with dpkg -x and runs the programs from the unpacked tree.

    deb_check.py --build-dir build --source-dir . --version 0.1.0 [--gui]

Exit status 0 passed, 1 failed, 77 skipped (dpkg-deb or cpack missing).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

SKIP = 77


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def run(argv, **kw):
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=600, **kw)


def text(p):
    return (p.stdout + p.stderr).decode(errors='replace')


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('--build-dir', required=True)
    ap.add_argument('--source-dir', required=True)
    ap.add_argument('--version', required=True)
    ap.add_argument('--gui', action='store_true', help='the build has vexlor-gui')
    args = ap.parse_args()
    for tool in ('cpack', 'dpkg-deb', 'dpkg-shlibdeps'):
        if shutil.which(tool) is None:
            print(f'skipped: {tool} is not installed (make deps)')
            return SKIP
    try:
        with tempfile.TemporaryDirectory() as tmp:
            check_package(args, tmp)
    except Failure as e:
        print(f'FAILED: {e}')
        return 1
    print('passed')
    return 0


def check_package(args, tmp):
    out = os.path.join(tmp, 'out')
    p = run(['cpack', '-G', 'DEB', '--config', os.path.join(args.build_dir, 'CPackConfig.cmake'),
             '-B', out, '-D', f'CPACK_OUTPUT_FILE_PREFIX={out}'])
    check(p.returncode == 0, f'cpack: {text(p)}')
    deb = os.path.join(out, f'vexlor_{args.version}_amd64.deb')
    check(os.path.isfile(deb), f'no {os.path.basename(deb)}: {os.listdir(out)}')

    info = run(['dpkg-deb', '--info', deb])
    check(info.returncode == 0, f'dpkg-deb --info: {text(info)}')
    fields = {}
    for line in info.stdout.decode().splitlines():
        if line.startswith(' ') and ':' in line and not line.startswith('  '):
            key, value = line.strip().split(':', 1)
            fields[key] = value.strip()
    check(fields.get('Package') == 'vexlor', f'Package: {fields}')
    check(fields.get('Version') == args.version, f'Version: {fields}')
    check(fields.get('Architecture') == 'amd64', f'Architecture: {fields}')
    depends = [d.strip().split()[0] for d in fields.get('Depends', '').split(',') if d.strip()]
    wanted = ['libc6', 'libstdc++6', 'libssl3', 'libdate-tz3', 'tzdata'] + (
        ['libqt6widgets6', 'libqt6core6'] if args.gui else [])
    for package in wanted:
        check(package in depends, f'Depends lacks {package}: {fields.get("Depends")}')
    print(f'Depends: {fields.get("Depends")}')

    contents = run(['dpkg-deb', '--contents', deb])
    check(contents.returncode == 0, f'dpkg-deb --contents: {text(contents)}')
    paths = {line.split()[-1] for line in contents.stdout.decode().splitlines() if line.strip()}
    expected = ['./usr/bin/vexlor', './usr/share/doc/vexlor/README.md',
                './usr/share/doc/vexlor/copyright']
    if args.gui:
        expected += ['./usr/bin/vexlor-gui', './usr/share/applications/vexlor.desktop',
                     './usr/share/icons/hicolor/16x16/apps/vexlor.png',
                     './usr/share/icons/hicolor/32x32/apps/vexlor.png']
    for path in expected:
        check(path in paths, f'{path} is not in the package')
    print(f'{len(paths)} entries, among them {", ".join(expected)}')

    root = os.path.join(tmp, 'root')
    p = run(['dpkg', '-x', deb, root])
    check(p.returncode == 0, f'dpkg -x: {text(p)}')
    vexlor = os.path.join(root, 'usr', 'bin', 'vexlor')
    p = run([vexlor, '--version'])
    check(p.returncode == 0 and p.stdout.decode().strip() == f'vexlor {args.version}',
          f'vexlor --version: {text(p)}')
    work = os.path.join(tmp, 'work')
    os.mkdir(work)
    shutil.copy(os.path.join(args.source_dir, 'samples', 'sample.kvr'), work)
    p = run([vexlor, 'convert', 'sample.kvr'], cwd=work)
    last = p.stdout.decode().strip().splitlines()[-1:] or ['']
    check(p.returncode == 0 and last[0] == 'Done. Average FPS = 24.59', f'convert: {text(p)}')
    written = sorted(f for f in os.listdir(work) if f.endswith('.avi'))
    check(written == ['sample_01.avi', 'sample_03.avi', 'sample_06.avi'], f'wrote {written}')
    print(f'vexlor from the package: {p.stdout.decode().strip().splitlines()[-1]}, {written}')
    if args.gui:
        gui = os.path.join(root, 'usr', 'bin', 'vexlor-gui')
        p = run(['ldd', gui])
        check(p.returncode == 0 and b'not found' not in p.stdout, f'ldd vexlor-gui: {text(p)}')
        if shutil.which('desktop-file-validate'):
            p = run(['desktop-file-validate',
                     os.path.join(root, 'usr', 'share', 'applications', 'vexlor.desktop')])
            check(p.returncode == 0 and not p.stdout.strip(), f'desktop entry: {text(p)}')
        print('vexlor-gui: every library found; the desktop entry is valid')


if __name__ == '__main__':
    sys.exit(main())
