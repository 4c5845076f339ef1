#!/usr/bin/env python3
"""tools/virtual_screen.py: who may connect, the exit status it reports, no server left behind."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

HELPER = sys.argv[1]
# Names the display and keeps a copy of the cookie, before the command proper.
SHOW = 'echo "server $DISPLAY" >&2; cp "$XAUTHORITY" "$KEEP"; '

CASES = [  # name, helper options, command, exit status, text in the output
    ('cookie holder connects', [], SHOW + 'xdotool getdisplaygeometry', 0, '800 600'),
    ('stranger refused', [], SHOW + 'XAUTHORITY=/dev/null xdotool getdisplaygeometry', 1, ''),
    ('status passed on', [], SHOW + 'exit 3', 3, ''),
    ('signal passed on', [], SHOW + 'kill -KILL $$', 128 + 9, ''),
    ('server fails', ['--size', 'bogus'], 'true', 1, 'Xvfb ended with status 1'),
]


def problems(options, command, status, text, env):
    p = subprocess.run([sys.executable, HELPER, '--size', '800x600x24'] + options +
                       ['--', 'sh', '-c', command], env=env, capture_output=True, text=True,
                       timeout=300)
    found = [f'status {p.returncode}'] if p.returncode != status else []
    found += [f'no "{text}"'] if text not in p.stdout + p.stderr else []
    server = re.search(r'^server (:\d+)$', p.stderr, re.M)
    if command.startswith(SHOW) and not server:
        found.append('the command did not run')
    elif server and subprocess.run(['xdotool', 'getdisplaygeometry'], capture_output=True,
                                   env=dict(env, DISPLAY=server[1], XAUTHORITY=env['KEEP']),
                                   timeout=60).returncode == 0:
        found.append('the server outlived the command')
    return found + [p.stdout + p.stderr] if found else []


if shutil.which('Xvfb') is None or shutil.which('xdotool') is None:
    print('skipped: Xvfb or xdotool is not installed')
    sys.exit(77)
failed = 0
with tempfile.TemporaryDirectory() as tmp:
    for name, *case in CASES:
        found = problems(*case, dict(os.environ, KEEP=os.path.join(tmp, 'cookie')))
        if found:
            failed += 1
            print(f'FAILED {name}: ' + '\n'.join(found))
sys.exit(1 if failed else 0)
