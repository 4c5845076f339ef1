#!/usr/bin/env python3
"""Checks of the Windows programs from the Linux side: vexlor.exe runs under wine, the files it
writes are read with Linux tools (ffprobe, ImageMagick) and compared with the Linux build's.

    wine_checks.py CHECK --wine-run tools/wine_run --prefix PREFIX --exe vexlor.exe [...]

Checks: imports, version, same-output, paths, interrupt, console, zip, installer. Exit status
0 passed,
1 failed, 77 skipped (a tool or the Linux build is missing; the reason is printed).
"""

import argparse
import glob
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import zipfile

SKIP = 77
# System libraries every Windows has; anything else (libstdc++-6.dll, libgcc_s_seh-1.dll,
# libwinpthread-1.dll, zlib1.dll, ...) would have to ship beside the program.
SYSTEM_DLLS = {
    'kernel32.dll', 'user32.dll', 'gdi32.dll', 'shell32.dll', 'comctl32.dll', 'comdlg32.dll',
    'advapi32.dll', 'ole32.dll', 'shlwapi.dll', 'version.dll', 'msvcrt.dll', 'ucrtbase.dll',
    'bcrypt.dll', 'ws2_32.dll'
}


class Skip(Exception):
    pass


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Context:
    def __init__(self, args):
        self.args = args
        self.wine_run = os.path.abspath(args.wine_run)
        self.prefix = os.path.abspath(args.prefix)
        self.exe = os.path.abspath(args.exe)
        self.source = os.path.abspath(args.source_dir)
        self.host_cli = os.path.abspath(args.host_cli) if args.host_cli else None

    def wine(self, argv, cwd=None, env=None, **kw):
        """Runs a Windows program under wine; returns the CompletedProcess (bytes)."""
        return subprocess.run([self.wine_run, self.prefix] + argv, cwd=cwd, env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=600, **kw)

    def vexlor_exe(self, args, cwd=None):
        return self.wine([self.exe] + args, cwd=cwd)

    def need_host_cli(self):
        if not self.host_cli or not os.access(self.host_cli, os.X_OK):
            raise Skip('the Linux build of vexlor is needed (configure with '
                       '-DVEXLOR_HOST_CLI=build/src/cli/vexlor; `make test` does)')
        return self.host_cli

    def data(self, name):
        return os.path.join(self.source, 'tests', 'data', 'x264', name)


def need_tool(name):
    if shutil.which(name) is None:
        raise Skip(f'{name} is not installed (make deps)')


def run(argv, **kw):
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=600, **kw)


def riff_problem(path):
    """The first structural fault of an AVI file, or None."""
    with open(path, 'rb') as f:
        b = f.read()
    if len(b) < 12 or b[:4] != b'RIFF' or b[8:12] != b'AVI ':
        return 'no RIFF AVI header'
    if struct.unpack_from('<I', b, 4)[0] != len(b) - 8:
        return 'RIFF size does not match the file'
    pos, seen = 12, []
    while pos + 8 <= len(b):
        tag, size = b[pos:pos + 4], struct.unpack_from('<I', b, pos + 4)[0]
        if pos + 8 + size > len(b):
            return f'{tag!r} runs past the end'
        seen.append(b[pos + 8:pos + 12] if tag == b'LIST' else tag)
        pos += 8 + size + (size & 1)
    if seen != [b'hdrl', b'movi', b'idx1']:
        return f'top-level chunks {seen}'
    return None


def ffprobe_video(path):
    p = run(['ffprobe', '-v', 'error', '-count_frames', '-select_streams', 'v:0', '-show_entries',
             'stream=codec_name,width,height,nb_read_frames', '-of', 'compact=p=0', path])
    check(p.returncode == 0 and not p.stderr.strip(),
          f'ffprobe refuses {path}: {p.stderr.decode(errors="replace").strip()}')
    return p.stdout.decode().strip()


# ---- the checks ----

def check_imports(ctx):
    """The programs need no DLL beside them: only system libraries are imported."""
    for exe in sorted(set([ctx.exe] + ctx.args.program)):
        p = run([ctx.args.objdump, '-p', exe])
        check(p.returncode == 0, f'objdump failed on {exe}')
        dlls = [line.split(':', 1)[1].strip() for line in p.stdout.decode().splitlines()
                if line.strip().startswith('DLL Name:')]
        check(dlls, f'no imports found in {exe}')
        foreign = [d for d in dlls if d.lower() not in SYSTEM_DLLS]
        check(not foreign, f'{os.path.basename(exe)} imports {", ".join(foreign)}')
        # The dialog program opens no console window; the command-line tool is a console one.
        subsystem = [line.split()[1] for line in p.stdout.decode().splitlines()
                     if line.startswith('Subsystem')]
        wanted = '00000002' if 'gui' in os.path.basename(exe) else '00000003'
        check(subsystem == [wanted], f'{os.path.basename(exe)}: subsystem {subsystem}')
        print(f'{os.path.basename(exe)}: subsystem {wanted[-1]}, {", ".join(dlls)}')


def version_resource(exe):
    """(fixed file version, {string name: value}) from the PE's VERSIONINFO resource."""
    with open(exe, 'rb') as f:
        b = f.read()
    at = b.find(struct.pack('<I', 0xFEEF04BD))
    check(at >= 0, 'no VS_FIXEDFILEINFO in the executable')
    _, _, ms, ls, pms, pls = struct.unpack_from('<6I', b, at)
    fixed = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    check((pms, pls) == (ms, ls), 'file and product versions differ')
    strings = {}
    for key in ('FileVersion', 'ProductVersion', 'ProductName', 'OriginalFilename'):
        k = b.find((key + '\0').encode('utf-16-le'), at)
        check(k >= 0, f'no {key} in the version resource')
        v = k + len((key + '\0').encode('utf-16-le'))
        v += (4 - v % 4) % 4  # the value starts on a 32-bit boundary
        end = v
        while b[end:end + 2] != b'\0\0':
            end += 2
        strings[key] = b[v:end].decode('utf-16-le')
    return fixed, strings


def check_version(ctx):
    """One version number: `--version`, and the executable's VERSIONINFO."""
    version = ctx.args.version
    p = ctx.vexlor_exe(['--version'])
    check(p.returncode == 0, f'--version exit status {p.returncode}')
    check(p.stdout.decode().strip() == f'vexlor {version}', f'--version says {p.stdout!r}')
    fixed, strings = version_resource(ctx.exe)
    numbers = tuple(int(x) for x in version.split('.')) + (0,)
    check(fixed == numbers[:4], f'VERSIONINFO file version {fixed}, expected {numbers[:4]}')
    check(strings['FileVersion'] == version and strings['ProductVersion'] == version,
          f'VERSIONINFO strings {strings}')
    check(strings['OriginalFilename'] == os.path.basename(ctx.exe), f'{strings}')
    print(f'vexlor {version}: {strings}')
    # Every program carries the version; the dialog's manifest asks for the common controls 6
    # and per-monitor DPI awareness.
    for exe in ctx.args.program:
        fixed, strings = version_resource(exe)
        check(fixed == numbers[:4] and strings['OriginalFilename'] == os.path.basename(exe),
              f'{os.path.basename(exe)}: VERSIONINFO {fixed} {strings}')
        if 'gui' in os.path.basename(exe):
            with open(exe, 'rb') as f:
                b = f.read()
            for needle in (b'Microsoft.Windows.Common-Controls', b'PerMonitorV2',
                           b'<longPathAware', b'>UTF-8<'):
                check(needle in b, f'{os.path.basename(exe)}: no {needle!r} in the manifest')
        print(f'{os.path.basename(exe)}: {strings}')


def make_recordings(ctx, folder):
    """The sample and a multi-channel recording with audio, passthrough frames and damage."""
    cli = ctx.need_host_cli()
    recordings = {'sample.kvr': None}
    shutil.copy(os.path.join(ctx.source, 'samples', 'sample.kvr'), folder)
    args = [cli, 'mkrec', '-o', os.path.join(folder, 'site.kvr'), '--fps', '25', '--start',
            '1700000000', '--audio', '3', '--audio', '12', '--passthrough', '7',
            '--damage', 'garbage:4', '--damage', 'kind255:3', '--damage', 'endmark:2',
            '--damage', 'truncate:100']
    for channel, name in ((0, 'deblock_weak'), (3, 'odd_size'), (12, 'refs_slices'),
                          (15, 'qp51')):
        args += ['--channel', f'{channel}={ctx.data(name + ".264")}']
    p = run(args)
    check(p.returncode == 0, f'mkrec: {p.stdout.decode()} {p.stderr.decode()}')
    recordings['site.kvr'] = args
    return recordings


def listing(folder):
    return sorted(f for f in os.listdir(folder) if not f.endswith('.kvr'))


def check_same_output(ctx):
    """vexlor.exe writes the same bytes as the Linux build: AVI, MP4, Matroska and PNG files, status lines,
    recordings made by mkrec, and ffprobe and ImageMagick accept what it wrote."""
    cli = ctx.need_host_cli()
    need_tool('ffprobe')
    need_tool('identify')
    need_tool('compare')
    with tempfile.TemporaryDirectory() as tmp:
        linux, windows = os.path.join(tmp, 'linux'), os.path.join(tmp, 'windows')
        os.mkdir(linux)
        recordings = make_recordings(ctx, linux)
        shutil.copytree(linux, windows)
        # probe prints local times: one zone for both (an offset without summer time, which
        # both C runtimes read the same way).
        zone = dict(os.environ, TZ='NST3:30')
        for rec in recordings:
            for command in (['probe', rec], ['convert', rec], ['snapshot', rec],
                            ['convert', rec, '--format', 'mp4,mkv']):
                a = run([cli] + command, cwd=linux, env=zone)
                b = ctx.wine([ctx.exe] + command, cwd=windows, env=zone)
                check(a.returncode == b.returncode == 0,
                      f'{command}: exit status {a.returncode} on Linux, {b.returncode} on '
                      f'Windows: {b.stdout.decode(errors="replace")}')
                check(a.stdout == b.stdout,
                      f'{command}: the output differs:\n{a.stdout!r}\n{b.stdout!r}')
                print(f'{" ".join(command)}: {b.stdout.decode().strip().splitlines()[-1]}')
        check(listing(linux) == listing(windows),
              f'files differ: {listing(linux)} / {listing(windows)}')
        for name in listing(windows):
            with open(os.path.join(linux, name), 'rb') as f:
                a = f.read()
            with open(os.path.join(windows, name), 'rb') as f:
                b = f.read()
            check(a == b, f'{name}: {len(a)} bytes on Linux, {len(b)} on Windows, not identical')
            path = os.path.join(windows, name)
            if name.endswith(('.avi', '.mp4', '.mkv')):
                if name.endswith('.avi'):
                    problem = riff_problem(path)
                    check(problem is None, f'{name}: {problem}')
                probe = ffprobe_video(path)
                check('codec_name=h264' in probe, f'{name}: {probe}')
                print(f'{name}: identical, {len(b)} bytes; ffprobe: {probe}')
            elif name.endswith('.png'):
                identify = run(['identify', '-format', '%m %w %h', path])
                check(identify.returncode == 0 and identify.stdout.startswith(b'PNG '),
                      f'identify on {name}: {identify.stdout!r} {identify.stderr!r}')
                p = run(['compare', '-metric', 'AE', os.path.join(linux, name), path, 'null:'])
                check(p.returncode == 0 and p.stderr.strip() == b'0',
                      f'compare {name}: {p.stderr!r}')
                print(f'{name}: identical; identify: {identify.stdout.decode()}')
        for suffix in ('.avi', '.mp4', '.mkv'):
            check(any(n.endswith(suffix) for n in listing(windows)), f'no {suffix} file written')

        # The report and the recorder's clock: the same files and report (but for the run's own
        # times, system, program and recording's folder), and verify accepts what vexlor.exe wrote.
        rec = next(iter(recordings))
        command = ['convert', rec, '--format', 'mkv', '--report', '--recorder-zone',
                   'Europe/Berlin', '--clock-offset', '+1m', '-o', 'evidence']
        a = run([cli] + command, cwd=linux, env=zone)
        b = ctx.wine([ctx.exe] + command, cwd=windows, env=zone)
        check(a.returncode == b.returncode == 0, f'{command}: {b.stdout!r} {b.stderr!r}')
        reports = []
        for folder in (linux, windows):
            with open(os.path.join(folder, 'evidence', rec[:-4] + '.report.json')) as f:
                report = json.load(f)
            for key in ('run', 'command_line', 'report_sha256'):
                report.pop(key)
            report['recording'].pop('path')  # outside the report's folder: absolute
            reports.append(report)
        check(reports[0] == reports[1], f'the reports differ:\n{reports[0]}\n{reports[1]}')
        p = ctx.wine([ctx.exe, 'verify', os.path.join('evidence', rec[:-4] + '.report.json')],
                     cwd=windows)
        check(p.returncode == 0, f'verify under wine: {p.stdout!r} {p.stderr!r}')
        print(f'report: identical but for the run; verify: {p.stdout.decode().splitlines()[-1]}')

        # mkrec's recording, written by the Windows program (binary mode: no byte added).
        args = recordings['site.kvr']
        out = os.path.join(windows, 'again.kvr')
        p = ctx.wine([ctx.exe] + args[1:3] + [out] + args[4:])
        check(p.returncode == 0, f'mkrec under wine: {p.stderr.decode(errors="replace")}')
        with open(os.path.join(linux, 'site.kvr'), 'rb') as f:
            a = f.read()
        with open(out, 'rb') as f:
            b = f.read()
        check(a == b, 'mkrec under wine wrote another recording than the Linux build')
        print(f'mkrec: identical recordings of {len(b)} bytes')


def windows_path(drive, *parts):
    return drive + '\\' + '\\'.join(parts)


def check_paths(ctx):
    """File names outside ASCII, drive letters, backslashes and forward slashes, spaces, paths
    longer than 260 characters: the recording opens, the files get the right names."""
    need_tool('ffprobe')
    drive_link = os.path.join(ctx.prefix, 'dosdevices', 'v:')
    with tempfile.TemporaryDirectory() as tmp:
        # Drive V: of the prefix is this scratch folder.
        if os.path.lexists(drive_link):
            os.remove(drive_link)
        os.symlink(tmp, drive_link)
        try:
            folder = os.path.join(tmp, 'Aufnahmen', 'März 2024')
            os.makedirs(folder)
            name = 'Überwachung_東口'
            shutil.copy(os.path.join(ctx.source, 'samples', 'sample.kvr'),
                        os.path.join(folder, name + '.kvr'))
            cases = [
                windows_path('V:', 'Aufnahmen', 'März 2024', name + '.kvr'),
                'V:/Aufnahmen/März 2024/' + name + '.kvr',
                'v:\\Aufnahmen/März 2024\\..\\März 2024\\' + name + '.kvr',
            ]
            for path in cases:
                p = ctx.vexlor_exe(['convert', path])
                check(p.returncode == 0, f'convert {path}: {p.returncode} {p.stdout!r}')
                for channel in ('01', '03', '06'):
                    avi = os.path.join(folder, f'{name}_{channel}.avi')
                    check(os.path.isfile(avi), f'convert {path}: no {avi}')
                    check(riff_problem(avi) is None, f'{avi}: {riff_problem(avi)}')
                    os.remove(avi)
                print(f'convert {path}: {p.stdout.decode().strip().splitlines()[-1]}')
            pictures = os.path.join(tmp, 'Bilder östlich')
            os.mkdir(pictures)
            p = ctx.vexlor_exe(['snapshot', cases[0], '-o', 'V:\\Bilder östlich'])
            check(p.returncode == 0, f'snapshot: {p.stdout!r} {p.stderr!r}')
            check(sorted(os.listdir(pictures)) == [f'{name}_{c}.png' for c in ('01', '03', '06')],
                  f'snapshot wrote {os.listdir(pictures)}')
            print(f'snapshot: {sorted(os.listdir(pictures))}')

            # Longer than 260 characters, in the current folder's terms and as a full path.
            deep = tmp
            parts = []
            while len(windows_path('V:', *parts)) < 300:
                parts.append(f'Ordner Nummer {len(parts):02d} mit einem längeren Namen')
            deep = os.path.join(tmp, *parts)
            os.makedirs(deep)
            shutil.copy(os.path.join(ctx.source, 'samples', 'sample.kvr'),
                        os.path.join(deep, 'lang.kvr'))
            long_path = windows_path('V:', *parts, 'lang.kvr')
            check(len(long_path) > 260, 'the long path is not long')
            p = ctx.vexlor_exe(['convert', long_path])
            check(p.returncode == 0, f'convert of a {len(long_path)}-character path: '
                  f'{p.returncode} {p.stdout!r}')
            for channel in ('01', '03', '06'):
                avi = os.path.join(deep, f'lang_{channel}.avi')
                check(os.path.isfile(avi) and riff_problem(avi) is None, f'{avi}')
            probe = ffprobe_video(os.path.join(deep, 'lang_01.avi'))
            print(f'convert of a {len(long_path)}-character path: {probe}')
        finally:
            os.remove(drive_link)


def check_interrupt(ctx):
    """Ctrl-C (SIGINT reaches the program as the console's Ctrl-C event) stops the conversion
    as on Linux: exit status 130, the open AVI file closed and valid, the channel not reached
    yet without a file."""
    cli = ctx.need_host_cli()
    with tempfile.TemporaryDirectory() as tmp:
        p = run([cli, 'mkrec', '-o', os.path.join(tmp, 'long.kvr'),
                 '--channel', '0=' + ctx.data('deblock_weak.264'),
                 '--channel', '1=' + ctx.data('qp51.264')])
        check(p.returncode == 0, f'mkrec: {p.stderr!r}')
        # The conversion holds after channel 1's first frame, the recording's first, until it
        # is cancelled (the tests' hold point), so the interrupt always arrives before channel
        # 2's file is opened.
        env = dict(os.environ, VEXLOR_TEST_HOLD='CH_01')
        proc = subprocess.Popen([ctx.wine_run, ctx.prefix, ctx.exe, 'convert', 'long.kvr'],
                                cwd=tmp, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        # The program waits at the hold point for ever; should the text looked for never come,
        # a watchdog ends it so that the check fails with what it printed instead of hanging.
        watchdog = threading.Timer(300, proc.kill)
        watchdog.start()
        seen = b''
        signalled = False
        try:
            while True:
                chunk = proc.stdout.read1(4096)
                if not chunk:
                    break
                seen += chunk
                if not signalled and b'Writing Progress' in seen:
                    proc.send_signal(signal.SIGINT)
                    signalled = True
            err = proc.stderr.read()
            code = proc.wait(timeout=600)
        finally:
            watchdog.cancel()
        text = seen.decode(errors='replace')
        check(signalled, f'the conversion never reached channel 1: {text}')
        check(code == 130, f'exit status {code}, expected 130: {text} {err!r}')
        check('Done' not in text, f'it went on: {text}')
        check(b'Cancelled.' in err, f'standard error: {err!r}')
        written = sorted(f for f in os.listdir(tmp) if f.endswith('.avi'))
        check(written == ['long_01.avi'], f'files written: {written}')
        avi = os.path.join(tmp, 'long_01.avi')
        problem = riff_problem(avi)
        check(problem is None, f'long_01.avi: {problem}')
        with open(avi, 'rb') as f:
            header = f.read(144)
        scale, rate = struct.unpack_from('<2I', header, 128)
        check((scale, rate) == (1, 24), f'timing {rate}/{scale}, expected the default 24/1')
        if shutil.which('ffprobe'):
            ffprobe_video(avi)
        print(f'exit status {code}; long_01.avi valid with the default timing')


def check_console(ctx):
    """In a console the status line is redrawn in place: the window ends with one line."""
    cli = ctx.need_host_cli()
    need_tool('tmux')
    with tempfile.TemporaryDirectory() as tmp:
        rec = os.path.join(tmp, 't.kvr')
        p = run([cli, 'mkrec', '-o', rec, '--channel', '0=' + ctx.data('refs_slices.264'),
                 '--channel', '4=' + ctx.data('qp51.264')])
        check(p.returncode == 0, f'mkrec: {p.stderr!r}')
        server = ['tmux', '-L', f'vexlor-{os.getpid()}', '-f', '/dev/null']
        channel = 'vexlor-done'
        quoted = ' '.join(f"'{a}'" for a in (ctx.wine_run, ctx.prefix, ctx.exe, 'convert', rec))
        # The window stays (the shell blocks on a channel nobody signals) until the server ends.
        tmux = ' '.join(server)
        shell = (f'{quoted}; echo "exit status $?"; {tmux} wait-for -S {channel}; '
                 f'{tmux} wait-for {channel}-never')
        try:
            p = run(server + ['new-session', '-d', '-x', '100', '-y', '20', shell],
                    env=dict(os.environ, TERM='xterm'))
            check(p.returncode == 0, f'tmux: {p.stderr!r}')
            # Returns when the program has ended (also when that happened first).
            run(server + ['wait-for', channel])
            screen = run(server + ['capture-pane', '-p']).stdout.decode()
        finally:
            run(server + ['kill-server'])
        lines = [line.rstrip() for line in screen.splitlines() if line.strip()]
        check(lines[-1] == 'exit status 0', f'screen:\n{screen}')
        check(len(lines) == 2 and lines[0].startswith('Done. Average FPS = '),
              f'the status line was not redrawn in place; screen:\n{screen}')
        print(f'screen: {lines}')


# The time zone database beside vexlor.exe.
TZDATA = ['tzdata/version', 'tzdata/etcetera', 'tzdata/windowsZones.xml', 'tzdata/README.txt']


def check_zip(ctx):
    """The zip holds vexlor.exe, README.txt, the licence and the time zone database; its
    vexlor.exe converts the sample."""
    zip_path = ctx.args.zip
    check(os.path.isfile(zip_path), f'{zip_path} is missing')
    top = os.path.basename(zip_path)[:-len('.zip')]
    with zipfile.ZipFile(zip_path) as z:
        names = sorted(z.namelist())
        programs = [os.path.basename(p) for p in ctx.args.program or [ctx.exe]]
        expected = programs + ['README.txt', 'LICENSE.txt'] + TZDATA
        check(names == sorted(f'{top}/{n}' for n in expected), f'zip contents: {names}')
        with tempfile.TemporaryDirectory() as tmp:
            z.extractall(tmp)
            exe = os.path.join(tmp, top, 'vexlor.exe')
            readme = open(os.path.join(tmp, top, 'README.txt'), 'rb').read()
            check(b'\r\n' in readme and b'vexlor.exe convert' in readme, 'README.txt')
            check(b'Copyright' in open(os.path.join(tmp, top, 'LICENSE.txt'), 'rb').read(),
                  'LICENSE.txt')
            work = os.path.join(tmp, 'work')
            os.mkdir(work)
            shutil.copy(os.path.join(ctx.source, 'samples', 'sample.kvr'), work)
            p = ctx.wine([exe, 'convert', 'sample.kvr'], cwd=work)
            out = p.stdout.decode(errors='replace')
            check(p.returncode == 0, f'convert: exit status {p.returncode}: {out}')
            check(out.splitlines()[-1] == 'Done. Average FPS = 24.59', out)
            check(listing(work) == ['sample_01.avi', 'sample_03.avi', 'sample_06.avi'],
                  f'files: {listing(work)}')
            print(f'{names}; convert: {out.splitlines()[-1]}')


def files_below(folder):
    found = set()
    for base, dirs, files in os.walk(folder):
        for name in dirs + files:
            found.add(os.path.relpath(os.path.join(base, name), folder))
    return found


def check_installer(ctx):
    """The setup program, silently into a fresh prefix, for all users and for the current user:
    the files, the Start-menu shortcut, PATH when asked for; the installed vexlor.exe converts
    the sample; the silent uninstall takes everything away again."""
    setup = os.path.abspath(ctx.args.setup)
    check(os.path.isfile(setup), f'{setup} is missing')
    need_tool('wineboot')
    with tempfile.TemporaryDirectory() as tmp:
        prefix, home = os.path.join(tmp, 'prefix'), os.path.join(tmp, 'home')
        os.mkdir(home)
        # A prefix of its own, with its own server; no menu entries or links in the real home.
        env = dict(os.environ, WINEPREFIX=prefix, HOME=home, WINEDEBUG='-all',
                   WINEDLLOVERRIDES='mscoree,mshtml=,winemenubuilder.exe=d')
        for name in ('DISPLAY', 'WAYLAND_DISPLAY', 'XDG_CONFIG_HOME', 'XDG_DATA_HOME'):
            env.pop(name, None)

        def wine(argv, cwd=None):
            return run(['wine'] + argv, env=env, cwd=cwd)

        def settle():
            # Every program of the prefix has ended (the uninstaller goes on in a copy of
            # itself after the one started has returned) and the registry is on disk.
            run(['wineserver', '--wait'], env=env)

        p = run(['wineboot', '--init'], env=env)
        settle()
        drive_c = os.path.join(prefix, 'drive_c')
        check(os.path.isdir(drive_c), f'wineboot: {p.stderr.decode(errors="replace")}')
        before = files_below(drive_c)

        work = os.path.join(tmp, 'work')
        os.mkdir(work)
        shutil.copy(os.path.join(ctx.source, 'samples', 'sample.kvr'), work)
        program_files = os.path.join(drive_c, 'Program Files', 'Vexlor')
        for mode in ('AllUsers', 'CurrentUser'):
            p = wine([setup, '/S', f'/{mode}', '/PATH'])
            settle()
            check(p.returncode == 0, f'{mode} install: exit status {p.returncode}')
            if mode == 'AllUsers':
                folder = program_files
            else:
                found = glob.glob(os.path.join(drive_c, 'users', '*', 'AppData', 'Local',
                                               'Programs', 'Vexlor'))
                check(len(found) == 1, f'per-user install folder: {found}')
                folder = found[0]
            check(os.path.isdir(folder), f'{mode}: nothing in {folder}')
            names = sorted(os.listdir(folder))
            check(names == ['LICENSE.txt', 'README.txt', 'Uninstall.exe', 'tzdata',
                            'vexlor-gui.exe', 'vexlor.exe'], f'{mode}: installed {names}')
            check(sorted(os.listdir(os.path.join(folder, 'tzdata'))) ==
                  sorted(n.split('/')[1] for n in TZDATA), f'{mode}: tzdata')
            new = files_below(drive_c) - before
            links = [f for f in new if f.endswith(os.path.join('Programs', 'Vexlor.lnk'))]
            check(len(links) == 1, f'{mode}: Start-menu shortcut: {links}')
            registry = registry_text(prefix, mode)
            check('Software\\\\Vexlor' in registry, f'{mode}: no settings key')
            windows_folder = windows_install_path(drive_c, folder)
            check(path_value(registry, mode).lower().find(windows_folder.lower()) >= 0,
                  f'{mode}: PATH is {path_value(registry, mode)!r}')

            for f in os.listdir(work):
                if f.endswith('.avi'):
                    os.remove(os.path.join(work, f))
            p = wine([os.path.join(folder, 'vexlor.exe'), 'convert', 'sample.kvr'], cwd=work)
            out = p.stdout.decode(errors='replace')
            check(p.returncode == 0 and out.splitlines()[-1:] == ['Done. Average FPS = 24.59'],
                  f'{mode}: the installed vexlor.exe: {out}')
            print(f'{mode}: {os.path.relpath(folder, drive_c)} {names}; {links[0]}; PATH has it; '
                  f'convert: {out.splitlines()[-1]}')

            p = wine([os.path.join(folder, 'Uninstall.exe'), '/S', f'/{mode}'])
            settle()
            check(p.returncode == 0, f'{mode} uninstall: exit status {p.returncode}')
            # What may be left: the uninstaller's copy of itself in the temporary folder
            # (removed by Windows at the next start), and the user's programs folder, a folder
            # of the system's (FOLDERID_UserProgramFiles) that the per-user install created.
            left = sorted(f for f in files_below(drive_c) - before
                          if 'Temp' not in f.split(os.sep) and
                          not f.endswith(os.path.join('AppData', 'Local', 'Programs')))
            check(not left, f'{mode}: left behind: {left}')
            registry = registry_text(prefix, mode)
            check('Software\\\\Vexlor' not in registry and
                  'Uninstall\\\\Vexlor' not in registry, f'{mode}: registry keys left')
            check(windows_folder.lower() not in path_value(registry, mode).lower(),
                  f'{mode}: PATH still has it: {path_value(registry, mode)!r}')
            print(f'{mode}: uninstalled, nothing left')


def registry_text(prefix, mode):
    name = 'system.reg' if mode == 'AllUsers' else 'user.reg'
    with open(os.path.join(prefix, name), encoding='utf-8', errors='replace') as f:
        return f.read()


def path_value(registry, mode):
    """The PATH value of the install mode's environment key, as the registry file has it."""
    key = ('[System\\\\CurrentControlSet\\\\Control\\\\Session Manager\\\\Environment]'
           if mode == 'AllUsers' else '[Environment]')
    at = registry.find(key)
    if at < 0:
        return ''
    end = registry.find('\n[', at + 1)
    for line in registry[at:end if end > 0 else None].splitlines():
        if line.lower().startswith('"path"='):
            value = line.split('=', 1)[1]
            if value.startswith('str(2):'):
                value = value[len('str(2):'):]
            return value.strip('"').replace('\\\\', '\\')
    return ''


def windows_install_path(drive_c, folder):
    return 'C:\\' + os.path.relpath(folder, drive_c).replace('/', '\\')


CHECKS = {
    'imports': check_imports,
    'version': check_version,
    'same-output': check_same_output,
    'paths': check_paths,
    'interrupt': check_interrupt,
    'console': check_console,
    'zip': check_zip,
    'installer': check_installer,
}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('check', choices=sorted(CHECKS))
    ap.add_argument('--wine-run', required=True)
    ap.add_argument('--prefix', required=True)
    ap.add_argument('--exe', required=True, help='vexlor.exe')
    ap.add_argument('--program', action='append', default=[],
                    help='a program of the zip (repeat; default: the one of --exe)')
    ap.add_argument('--source-dir', required=True)
    ap.add_argument('--host-cli', help='the Linux build of vexlor')
    ap.add_argument('--objdump', default='x86_64-w64-mingw32-objdump')
    ap.add_argument('--version', dest='version', default='')
    ap.add_argument('--zip')
    ap.add_argument('--setup', help='the installer, vexlor-VERSION-setup.exe')
    args = ap.parse_args()
    return run_check(lambda: CHECKS[args.check](Context(args)))


def run_check(function):
    """Runs a check and prints its outcome; the exit status (0 passed, 1 failed, 77 skipped)."""
    try:
        function()
    except Skip as e:
        print(f'skipped: {e}')
        return SKIP
    except Failure as e:
        print(f'FAILED: {e}')
        return 1
    print('passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())
