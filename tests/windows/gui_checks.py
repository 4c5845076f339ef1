#!/usr/bin/python3
"""Checks of the dialog program vexlor-gui.exe under wine on a virtual X server (Xvfb), driven
as a person drives it: xdotool clicks and types, a file is dropped onto the dialog through XDND
(xdnd_drop.py), and dialog_probe.exe, a console helper in the same wine session, reads the
status line (FindWindowW and GetDlgItemTextW) and the controls' places on the screen.

    gui_checks.py CHECK --prefix PREFIX --gui vexlor-gui.exe --probe dialog_probe.exe
                  --source-dir DIR --work DIR [--screenshot OUT.png]

Checks: open-convert, drop, close-converting, stalled-window, refuse-2gb, keys. Every wait
polls for what it waits for, with a generous deadline. Exit status 0 passed, 1 failed, 77
skipped (a tool is missing, or wine does not take drops; the reason is printed).
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, '..', '..', 'tools')]
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from virtual_screen import ScreenError, VirtualScreen  # noqa: E402
from wine_checks import (SKIP, Failure, Skip, check, need_tool, riff_problem,  # noqa: E402
                         run_check)

DEADLINE = 120      # seconds for the dialog, the file dialog or a text to appear
CONVERT_DEADLINE = 600
TYPING_DEADLINE = 60  # for the typed keys to reach the file name field
BACKGROUND = (400, 200)
FILTERS = ('MPEG Files (*.ms2;*.m4v;*.kvr)', 'All Files (*.*)')


def run(argv, **kw):
    kw.setdefault('stdin', subprocess.DEVNULL)
    kw.setdefault('capture_output', True)
    return subprocess.run(argv, timeout=kw.pop('timeout', 600), **kw)


def windows_path(path):
    """A host path as the Windows programs see it: drive Z: is the host's root."""
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def wait_until(what, condition, seconds=DEADLINE):
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f'{what} within {seconds} seconds')
        time.sleep(0.1)


class Session:
    """A virtual X server and a wine session on it, in the dialog tests' prefix."""

    def __init__(self, args):
        for tool in ('Xvfb', 'xdotool', 'import', 'wine', 'wineserver'):
            need_tool(tool)
        if not os.path.isfile(os.path.join(args.prefix, '.vexlor-ready')):
            raise Failure(f'the wine prefix {args.prefix} is not ready')
        self.args = args
        self.gui = None
        try:
            self.screen = VirtualScreen('1024x768x24', 96)
        except ScreenError as e:
            raise Failure(str(e))
        self.env = dict(self.screen.env, WINEPREFIX=os.path.abspath(args.prefix),
                        WINEDEBUG='-all', WINEDLLOVERRIDES='mscoree,mshtml=,winemenubuilder.exe=d')
        # The server and wine's services, detached from any output we read (see tools/wine_run).
        quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, capture_output=False)
        try:
            run(['wineserver', '--persistent'], env=self.env, **quiet)
            run(['wine', 'cmd.exe', '/c', 'exit', '0'], env=self.env, **quiet)
        except BaseException:
            self.close()
            raise

    def close(self):
        if self.gui and self.gui.poll() is None:
            self.gui.kill()
            self.gui.wait()
        run(['wineserver', '--kill'], env=self.env)
        run(['wineserver', '--wait'], env=self.env)
        self.screen.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # ---- the program and the probe ----

    def start(self, cwd, hold=None, settings=None):
        env = dict(self.env, **(settings or {}))
        if hold:
            env['VEXLOR_TEST_HOLD'] = hold
        self.gui = subprocess.Popen(['wine', self.args.gui], cwd=cwd, env=env,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        self.wait_status('None Select')
        self.window = wait_until('the dialog did not appear on the screen', lambda: self.xdotool(
            'search', '--onlyvisible', '--name', '^Vexlor$').split())[0]

    def probe(self, *argv, timeout=DEADLINE + 60):
        p = run(['wine', self.args.probe] + list(argv), env=self.env, timeout=timeout)
        return p.returncode, p.stdout.decode('utf-8', errors='replace').strip()

    def status(self):
        code, text = self.probe('status')
        check(code == 0, 'the dialog is not there')
        return text

    def wait_status(self, prefix, seconds=DEADLINE, exact=None):
        code, text = self.probe('wait-status', prefix, str(seconds), timeout=seconds + 60)
        check(code == 0, f'the status line did not show "{prefix}" within {seconds} seconds '
                         f'(it reads "{text}")')
        if exact is not None:
            check(text == exact, f'the status line reads "{text}", expected "{exact}"')
        return text

    def geometry(self, styles=None):
        """{'client': (x, y, w, h), 1000: (x, y, w, h, visible), ...} in screen pixels; the
        window styles and extended styles into `styles` ({'client': (style, ex), id: ...})."""
        code, out = self.probe('geometry')
        check(code == 0, 'no geometry: the dialog is not there')
        places = {}
        for line in out.splitlines():
            f = line.split()
            key = 'client' if f[0] == 'client' else int(f[1])
            numbers = f[1:5] if f[0] == 'client' else f[3:7]
            places[key] = tuple(int(v) for v in numbers)
            if f[0] == 'control':
                places[key] += (f[2] == 'visible',)
            if styles is not None:
                styles[key] = (int(f[-2], 16), int(f[-1], 16))
        return places

    def wait_exit(self, seconds=DEADLINE):
        try:
            code = self.gui.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            raise Failure(f'vexlor-gui.exe did not end within {seconds} seconds')
        self.gui = None
        return code

    # ---- input ----

    def xdotool(self, *argv):
        p = run(['xdotool'] + list(argv), env=self.env)
        return p.stdout.decode().strip()

    def point_at(self, x, y):
        self.xdotool('mousemove', '--sync', str(x), str(y))

    def click_at(self, x, y):
        self.point_at(x, y)
        self.xdotool('click', '1')

    def click(self, control):
        x, y, w, h, visible = self.geometry()[control]
        check(visible, f'control {control} is hidden')
        self.click_at(x + w // 2, y + h // 2)

    def key(self, name):
        self.xdotool('key', '--clearmodifiers', name)

    def open_chooser(self):
        """OPEN KVR; waits for the open-file dialog with the keyboard focus in it, and points
        at it (the keyboard follows the pointer on a screen without a window manager)."""
        self.click(1000)
        code, out = self.probe('wait-chooser', str(DEADLINE))
        check(code == 0, 'the open-file dialog did not appear with the focus in it')
        x, y, w, h = (int(v) for v in out.split()[1:5])
        self.point_at(x + w // 2, y + h // 2)

    def check_filters(self):
        """The open-file dialog's file types are the recordings', then every file."""
        code, out = self.probe('chooser-filters', timeout=60)
        check(code == 0, 'the file type list of the open-file dialog cannot be read')
        check(out.splitlines() == list(FILTERS), f'the file types offered: {out.splitlines()}')
        print(f'file types offered: {out.splitlines()}')

    def choose(self, path):
        """OPEN KVR, then the path typed into the open-file dialog. The file name field is read
        back before Enter: a key lost on its way is typed again, never a wrong path taken."""
        self.open_chooser()
        typed = windows_path(path)
        for attempt in range(3):
            self.xdotool('type', '--delay', '20', typed)
            try:
                wait_until('the file name field did not take the path', lambda: self.probe(
                    'chooser-text', timeout=60) == (0, typed), TYPING_DEADLINE)
                break
            except Failure:
                code, text = self.probe('chooser-text', timeout=60)
                print(f'attempt {attempt + 1}: the file name field reads "{text}"; typed again')
                check(self.probe('chooser-clear', timeout=60)[0] == 0, 'could not clear it')
        else:
            raise Failure(f'the file name field never read "{typed}"')
        self.key('Return')
        code, _ = self.probe('wait-no-chooser', str(DEADLINE))
        check(code == 0, 'the open-file dialog did not take the path')

    def cancel_chooser(self):
        self.open_chooser()
        self.check_filters()
        self.key('Escape')
        code, _ = self.probe('wait-no-chooser', str(DEADLINE))
        check(code == 0, 'the open-file dialog did not close on Escape')

    def grab(self):
        """The screen as (width, height, RGB bytes)."""
        p = run(['import', '-window', 'root', '-depth', '8', 'ppm:-'], env=self.env)
        check(p.returncode == 0, f'import: {p.stderr!r}')
        return read_ppm(p.stdout)

    def save_window(self, out):
        p = run(['import', '-window', 'root', '-crop', self.window_crop(), '+repage', out],
                env=self.env)
        check(p.returncode == 0, f'import: {p.stderr!r}')

    def window_icon_sizes(self):
        """The sizes of the window's icons in _NET_WM_ICON, None without python3-xlib."""
        try:
            from Xlib import Xatom, display
        except ImportError:
            print('not checked: the window icons (python3-xlib is not installed)')
            return None
        os.environ['XAUTHORITY'] = self.env['XAUTHORITY']  # where python3-xlib finds the cookie
        d = display.Display(self.env['DISPLAY'])
        try:
            window = d.create_resource_object('window', int(self.window))
            prop = window.get_full_property(d.intern_atom('_NET_WM_ICON'), Xatom.CARDINAL)
        finally:
            d.close()
        values, sizes, i = list(prop.value) if prop else [], [], 0
        while i + 2 <= len(values):  # width, height, then width x height pixels
            sizes.append((values[i], values[i + 1]))
            i += 2 + values[i] * values[i + 1]
        return sizes

    def window_crop(self):
        out = self.xdotool('getwindowgeometry', '--shell', self.window)
        g = dict(line.split('=', 1) for line in out.splitlines() if '=' in line)
        return f'{g["WIDTH"]}x{g["HEIGHT"]}+{g["X"]}+{g["Y"]}'


# ---- pictures ----

def read_ppm(data):
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b'#':
            pos = data.index(b'\n', pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    check(fields[0] == b'P6' and fields[3] == b'255', 'unexpected picture format')
    w, h = int(fields[1]), int(fields[2])
    return w, h, data[pos + 1:pos + 1 + 3 * w * h]


def read_bmp8(path):
    """An 8-bit BMP as (width, height, RGB bytes, top row first)."""
    with open(path, 'rb') as f:
        b = f.read()
    offset = struct.unpack_from('<I', b, 10)[0]
    w, h, _, bits = struct.unpack_from('<iiHH', b, 18)
    colours = struct.unpack_from('<I', b, 46)[0] or 256
    check(bits == 8, f'{path}: {bits} bits per pixel')
    palette = [b[54 + 4 * i:54 + 4 * i + 3][::-1] for i in range(colours)]
    stride = (w + 3) & ~3
    rows = []
    for y in range(abs(h)):
        row = b[offset + y * stride:offset + y * stride + w]
        rows.append(b''.join(palette[i] for i in row))
    if h > 0:
        rows.reverse()
    return w, abs(h), b''.join(rows)


# Window styles of dialog template 102.
WS_POPUP, WS_VISIBLE, WS_DISABLED, WS_CAPTION = 0x80000000, 0x10000000, 0x08000000, 0x00C00000
WS_SYSMENU, WS_TABSTOP, DS_MODALFRAME = 0x00080000, 0x00010000, 0x80
WS_EX_APPWINDOW, WS_EX_CLIENTEDGE, WS_EX_TRANSPARENT = 0x40000, 0x200, 0x20
ES_CENTER, ES_AUTOHSCROLL, ES_READONLY, BS_TYPEMASK, BS_OWNERDRAW = 0x1, 0x80, 0x800, 0xF, 0xB


def check_template(session):
    """The dialog and its controls as template 102 makes them, and the background button as
    the dialog's initialisation leaves it: owner-drawn, disabled, 400 x 200 at the origin."""
    styles = {}
    places = session.geometry(styles)

    def has(key, bits, ex=False):
        value = styles[key][1 if ex else 0]
        check(value & bits == bits, f'{key}: style {value:#x} lacks {bits:#x}')

    has('client', WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | WS_VISIBLE)
    has('client', WS_EX_APPWINDOW, ex=True)
    for hidden in (1, 2):
        check(not places[hidden][4], f'control {hidden} is visible')
    for shown in (1000, 1001, 1002, 1006):
        check(places[shown][4], f'control {shown} is hidden')
    has(1000, WS_TABSTOP)
    has(1001, WS_TABSTOP)
    # The edit control drops WS_BORDER itself when it draws the client edge instead.
    has(1002, WS_TABSTOP | ES_CENTER | ES_AUTOHSCROLL | ES_READONLY)
    has(1002, WS_EX_CLIENTEDGE | WS_EX_TRANSPARENT, ex=True)
    has(1006, WS_DISABLED)
    check(styles[1006][0] & BS_TYPEMASK == BS_OWNERDRAW,
          f'control 1006 is not owner-drawn: {styles[1006][0]:#x}')
    cx, cy, _, _ = places['client']
    check(places[1006][:4] == (cx, cy) + BACKGROUND, f'control 1006 at {places[1006][:4]}')
    # Icon 128 as the window's big and small icons, as wine hands them to the X server.
    sizes = session.window_icon_sizes()
    if sizes is not None:
        check(sizes == [(32, 32), (16, 16)], f'the window icons: {sizes}')
        print(f'window icons: {sizes}')
    print(f'template 102: client area {places["client"][2]} x {places["client"][3]}; '
          f'1006 owner-drawn, disabled, {BACKGROUND[0]} x {BACKGROUND[1]} at the origin')


def check_background(session, args):
    """Bitmap 129 is painted unscaled at the client area's origin, beneath the controls. The
    screen is grabbed again until it shows that (a part just uncovered, by the open-file dialog
    for one, is repainted when the program gets to it), up to the deadline."""
    pw, ph, picture = read_bmp8(os.path.join(args.source_dir, 'src', 'ui', 'resources',
                                             'bitmap129.bmp'))
    check((pw, ph) == BACKGROUND, f'bitmap 129 is {pw} x {ph}')
    places = session.geometry()
    cx, cy, cw, ch = places['client']
    covered = [p[:4] for k, p in places.items() if k != 'client' and k != 1006 and p[4]]
    width, height = min(cw, pw), min(ch, ph)

    def inside(x, y, r):
        return r[0] <= x < r[0] + r[2] and r[1] <= y < r[1] + r[3]

    def picture_pixel(x, y):
        i = 3 * (y * pw + x)
        return picture[i:i + 3]

    def compare():
        sw, sh, screen = session.grab()

        def screen_pixel(x, y):
            i = 3 * ((cy + y) * sw + cx + x)
            return screen[i:i + 3]

        compared = 0
        for y in range(height):
            for x in range(width):
                if any(inside(cx + x, cy + y, r) for r in covered):
                    continue
                check(screen_pixel(x, y) == picture_pixel(x, y),
                      f'pixel {x},{y} of the client area is {screen_pixel(x, y).hex()}, the '
                      f'picture has {picture_pixel(x, y).hex()}')
                compared += 1
        check(compared > width * height // 2,
              f'only {compared} pixels of the picture are visible')
        # The commands and the status line are drawn over the picture, not hidden by it.
        for control in (1000, 1001, 1002):
            x0, y0, w, h, _ = places[control]
            same = sum(screen_pixel(x - cx, y - cy) == picture_pixel(x - cx, y - cy)
                       for y in range(y0, y0 + h) for x in range(x0, x0 + w)
                       if 0 <= x - cx < width and 0 <= y - cy < height)
            check(same < w * h // 2, f'control {control} is hidden by the picture')
        return compared

    deadline = time.monotonic() + DEADLINE
    while True:
        try:
            compared = compare()
            break
        except Failure:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.5)
    print(f'bitmap 129 unscaled at the origin: {compared} pixels compared, client area '
          f'{cw} x {ch}')


# ---- files ----

def check_avi(path, probe=True):
    problem = riff_problem(path)
    check(problem is None, f'{os.path.basename(path)}: {problem}')
    if probe and shutil.which('ffprobe'):
        p = run(['ffprobe', '-v', 'error', '-select_streams', 'v:0', '-show_entries',
                 'stream=codec_name,width,height', '-of', 'compact=p=0', path])
        out = p.stdout.decode().strip()
        check(p.returncode == 0 and not p.stderr.strip() and 'codec_name=h264' in out,
              f'ffprobe refuses {path}: {p.stderr.decode(errors="replace")} {out}')
        return out
    return 'valid RIFF'


def avi_files(folder):
    return sorted(f for f in os.listdir(folder) if f.endswith('.avi'))


def sample_copy(args, folder, name='cam.kvr'):
    path = os.path.join(folder, name)
    shutil.copy(os.path.join(args.source_dir, 'samples', 'sample.kvr'), path)
    return path


# ---- the checks ----

def check_open_convert(args, work):
    """OPEN KVR through the open-file dialog, CONVERT, the final text, the AVI files; the
    picture; Enter ends the program."""
    recording = sample_copy(args, work)
    with Session(args) as s:
        s.start(work)
        s.choose(recording)
        s.wait_status('Z:', exact=windows_path(recording))
        s.click(1001)
        s.wait_status('Done. Average FPS = ', CONVERT_DEADLINE, exact='Done. Average FPS = 24.59')
        print(f'status: {s.status()}')
        check(avi_files(work) == ['cam_01.avi', 'cam_03.avi', 'cam_06.avi'],
              f'files written: {avi_files(work)}')
        for name in avi_files(work):
            print(f'{name}: {check_avi(os.path.join(work, name))}')
        check_template(s)
        check_background(s, args)
        shot = args.screenshot or os.path.join(work, 'dialog.png')
        s.save_window(shot)
        print(f'saved {shot}')
        # Enter in the status line ends the dialog through its hidden default button.
        s.click(1002)
        s.key('Return')
        code = s.wait_exit()
        check(code == 0, f'exit status {code}')
        print('Enter ended the program with status 0')


def check_drop(args, work):
    """A recording dropped onto the dialog is opened like a chosen one."""
    need_tool('xdotool')
    recording = sample_copy(args, work, 'dropped.kvr')
    with Session(args) as s:
        s.start(work)
        cx, cy, cw, ch = s.geometry()['client']
        p = run([sys.executable, os.path.join(HERE, 'xdnd_drop.py'), s.window,
                 str(cx + cw // 4), str(cy + ch // 4), recording], env=s.env, timeout=120)
        out = p.stdout.decode().strip()
        if p.returncode == SKIP:
            raise Skip(out)
        # The window answered the drag but refused or dropped the file: the program's fault.
        check(p.returncode != 3, f'the dialog did not take the drop ({out})')
        if p.returncode != 0:
            raise Skip(f'wine did not take the drop ({out})')
        s.wait_status('Z:', exact=windows_path(recording))
        print(f'dropped: {s.status()}')
        s.click(1001)
        s.wait_status('Done. Average FPS = ', CONVERT_DEADLINE, exact='Done. Average FPS = 24.59')
        check(avi_files(work) == ['dropped_01.avi', 'dropped_03.avi', 'dropped_06.avi'],
              f'files written: {avi_files(work)}')
        s.key('Escape')
        check(s.wait_exit() == 0, 'exit status')


def check_close_converting(args, work):
    """Closing the dialog during a conversion cancels it and waits: the files stay valid."""
    recording = sample_copy(args, work)
    with Session(args) as s:
        # The conversion holds in channel 2's pass (its second file) until it is cancelled.
        s.start(work, hold='CH_03')
        s.choose(recording)
        s.wait_status('Z:')
        s.click(1001)
        print(f'status: {s.wait_status("CH_03. Writing Progress = ", CONVERT_DEADLINE)}')
        code, _ = s.probe('close')
        check(code == 0, 'the dialog could not be closed')
        code = s.wait_exit()
        check(code == 0, f'exit status {code}')
    # Under their final names, and no temporary file left behind.
    check(sorted(os.listdir(work)) == ['cam.kvr', 'cam_01.avi', 'cam_03.avi'],
          f'files left: {sorted(os.listdir(work))}')
    print(f'cam_01.avi (finished): {check_avi(os.path.join(work, "cam_01.avi"))}')
    print(f'cam_03.avi (interrupted): {check_avi(os.path.join(work, "cam_03.avi"), False)}')


def check_stalled_window(args, work):
    """The window thread stalls from CONVERT until the conversion has ended, while its queue
    takes at most four progress messages: the last text still arrives."""
    recording = sample_copy(args, work)
    with Session(args) as s:
        s.start(work, settings={'VEXLOR_TEST_STALL': '1', 'VEXLOR_TEST_QUEUE_LIMIT': '4'})
        s.choose(recording)
        s.wait_status('Z:')
        s.click(1001)
        s.wait_status('Done. Average FPS = ', CONVERT_DEADLINE, exact='Done. Average FPS = 24.59')
        print(f'status: {s.status()}')
        check(avi_files(work) == ['cam_01.avi', 'cam_03.avi', 'cam_06.avi'],
              f'files written: {avi_files(work)}')
        s.key('Escape')
        check(s.wait_exit() == 0, 'exit status')


def check_refuse_2gb(args, work):
    """A recording of 2 GB is refused; the open-file dialog offers the recordings and every
    file, and cancelling it shows "None Select"."""
    big = os.path.join(work, 'big.kvr')
    with open(big, 'wb') as f:
        f.truncate(1 << 31)
    try:
        with Session(args) as s:
            s.start(work)
            s.choose(big)
            s.wait_status('Can', exact='Can Not Accept File Than 2GB')
            print(f'status: {s.status()}')
            s.choose(sample_copy(args, work))
            s.wait_status('Z:')
            s.cancel_chooser()
            s.wait_status('None Select', exact='None Select')
            print('cancelled: None Select')
            s.key('Escape')
            check(s.wait_exit() == 0, 'exit status')
    finally:
        os.remove(big)


def check_keys(args, work):
    """Escape ends the program, and so does Enter; a click on the picture does nothing."""
    with Session(args) as s:
        s.start(work)
        cx, cy, _, _ = s.geometry()['client']
        # A click on the picture does nothing: the status line keeps its text, and the picture
        # takes no keyboard focus from the dialog (Escape still ends it).
        s.click_at(cx + 5, cy + 5)
        s.click_at(cx + 390, cy + 190)
        check(s.status() == 'None Select', f'after clicks on the picture: "{s.status()}"')
        s.key('Escape')
        check(s.wait_exit() == 0, 'exit status after Escape')
        print('Escape ended the program')
        s.start(work)
        s.click(1002)
        s.key('KP_Enter')
        check(s.wait_exit() == 0, 'exit status after Enter')
        print('Enter ended the program')


CHECKS = {
    'open-convert': check_open_convert,
    'drop': check_drop,
    'close-converting': check_close_converting,
    'stalled-window': check_stalled_window,
    'refuse-2gb': check_refuse_2gb,
    'keys': check_keys,
}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('check', choices=sorted(CHECKS))
    ap.add_argument('--prefix', required=True)
    ap.add_argument('--gui', required=True, help='vexlor-gui.exe')
    ap.add_argument('--probe', required=True, help='dialog_probe.exe')
    ap.add_argument('--source-dir', required=True)
    ap.add_argument('--work', required=True, help='a folder for scratch files')
    ap.add_argument('--screenshot', help='where open-convert saves the finished dialog')
    args = ap.parse_args()
    os.makedirs(args.work, exist_ok=True)

    def in_scratch_folder():
        with tempfile.TemporaryDirectory(dir=args.work) as work:
            CHECKS[args.check](args, work)
    return run_check(in_scratch_folder)


if __name__ == '__main__':
    sys.exit(main())
