#!/usr/bin/env python3
"""A virtual X server of its own for the dialog checks and the screenshots.

    virtual_screen.py [--size WxHxD] [--dpi N] [--] COMMAND [ARG...]

runs COMMAND with DISPLAY and XAUTHORITY set for a fresh Xvfb, and ends the server after it.
Xvfb picks a free display number itself and writes it to a pipe once it takes connections
(-displayfd), so nothing is started before the server is up and no two runs share a number;
only clients holding the cookie made for this server may connect. The exit status is
COMMAND's, 1 when the server did not start, 77 when Xvfb is not installed (the test suite
counts that as skipped). From Python: `with VirtualScreen() as screen:` and screen.env.
"""

import argparse
import os
import secrets
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

SKIP = 77
START_DEADLINE = 120  # seconds for the server to take connections, on a busy machine
FAMILY_LOCAL = 256
COOKIE_NAME = b'MIT-MAGIC-COOKIE-1'


class ScreenError(Exception):
    pass


def write_authority(path, cookie):
    """An authority file holding one cookie for this host's local connections to any display
    number (the number is not known before the server starts)."""
    def counted(data):
        return struct.pack('>H', len(data)) + data
    entry = (struct.pack('>H', FAMILY_LOCAL) + counted(socket.gethostname().encode()) +
             counted(b'') + counted(COOKIE_NAME) + counted(cookie))
    with os.fdopen(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), 'wb') as f:
        f.write(entry)


def read_line(fd, deadline):
    """The first line written to the pipe `fd`; what came before the end of the pipe or the
    deadline when no whole line came."""
    data = b''
    while b'\n' not in data:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, 64)
        if not chunk:
            break
        data += chunk
    return data.split(b'\n', 1)[0].decode('ascii', errors='replace').strip()


class VirtualScreen:
    """A running Xvfb: `display` (":N") and `env`, this process's environment for its clients."""

    def __init__(self, size='1024x768x24', dpi=96):
        self.server = None
        self.folder = tempfile.mkdtemp(prefix='vexlor-screen-')
        try:
            self._start(size, dpi)
        except BaseException:
            self.close()
            raise

    def _start(self, size, dpi):
        authority = os.path.join(self.folder, 'authority')
        write_authority(authority, secrets.token_bytes(16))
        log_path = os.path.join(self.folder, 'server.log')
        read_end, write_end = os.pipe()
        try:
            with open(log_path, 'wb') as log:
                # -noreset: the server keeps its state while no client is connected.
                self.server = subprocess.Popen(
                    ['Xvfb', '-displayfd', str(write_end), '-auth', authority, '-nolisten', 'tcp',
                     '-noreset', '-screen', '0', size, '-dpi', str(dpi)],
                    pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            os.close(write_end)
            write_end = None
            number = read_line(read_end, time.monotonic() + START_DEADLINE)
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)
        if not number.isdigit():
            try:  # the pipe ends before the server has quite exited
                code = self.server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                code = None
            with open(log_path, 'rb') as log:
                said = log.read().decode(errors='replace').strip().splitlines()[-3:]
            raise ScreenError((f'Xvfb ended with status {code}' if code is not None else
                               f'Xvfb took no connections within {START_DEADLINE} seconds') +
                              ''.join('\n  ' + line for line in said))
        self.display = ':' + number
        self.env = dict(os.environ, DISPLAY=self.display, XAUTHORITY=authority)
        self.env.pop('WAYLAND_DISPLAY', None)

    def close(self):
        if self.server is not None:
            self.server.terminate()
            try:
                self.server.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()
            self.server = None
        if self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def main():
    ap = argparse.ArgumentParser(usage=__doc__.split('\n')[2].strip())
    ap.add_argument('--size', default='1024x768x24', help='the screen, WIDTHxHEIGHTxDEPTH')
    ap.add_argument('--dpi', type=int, default=96)
    ap.add_argument('command', nargs=argparse.REMAINDER)
    args = ap.parse_args()
    command = args.command[1:] if args.command[:1] == ['--'] else args.command
    if not command:
        ap.error('no command given')
    if shutil.which('Xvfb') is None:
        print('skipped: Xvfb is not installed (Debian: xvfb)', file=sys.stderr)
        return SKIP
    # Ended from outside (a test's timeout): end the command and the server too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    try:
        with VirtualScreen(args.size, args.dpi) as screen:
            code = subprocess.run(command, env=screen.env).returncode
    except ScreenError as e:
        print(e, file=sys.stderr)
        return 1
    return 128 - code if code < 0 else code


if __name__ == '__main__':
    sys.exit(main())
