#!/usr/bin/env python3
"""Checks the conformance harness's verdicts against a stand-in decoder with known faults."""

import os
import stat
import subprocess
import sys
import tempfile

HARNESS = sys.argv[1]

# The stand-in prints what the stream file tells it to: "pictures N", "wrong K" (picture K gets a
# bad md5), "segv", "asan", "hang", "exit N", "refuse" (no picture, said as vexlor says it).
FAKE = r'''#!/usr/bin/env python3
import os, signal, sys, time
if sys.argv[2] == '--help':
    sys.exit(0)
words = open(sys.argv[2]).read().split()
n = int(words[words.index('pictures') + 1]) if 'pictures' in words else 0
wrong = int(words[words.index('wrong') + 1]) if 'wrong' in words else -1
for i in range(n):
    print(f'{i} 176x144 {("f" if i == wrong else "0") * 32}', flush=True)
if 'asan' in words:
    print('==1==ERROR: AddressSanitizer: heap-buffer-overflow', file=sys.stderr)
if 'segv' in words:
    os.kill(os.getpid(), signal.SIGSEGV)
if 'hang' in words:
    while True:  # until the harness gives up on it
        time.sleep(60)
if 'exit' in words:
    sys.exit(int(words[words.index('exit') + 1]))
if 'refuse' in words:
    print('error: no picture decoded from ' + sys.argv[2] + ' (unsupported: High profile)',
          file=sys.stderr)
    sys.exit(1)
'''

STREAMS = [  # name, expect, stream file text, reference pictures
    ('good', 'bitexact', 'pictures 3', 3),
    ('wrong', 'bitexact', 'pictures 3 wrong 2', 3),
    ('short', 'bitexact', 'pictures 2', 3),
    ('segv', 'bitexact', 'pictures 3 segv', 3),
    ('asan', 'robust', 'pictures 1 asan', 0),
    ('hang', 'robust', 'hang', 0),
    ('exit', 'robust', 'exit 3', 0),
    ('refused', 'rejected', 'pictures 0 refuse', 0),
    ('leaky', 'rejected', 'pictures 1', 0),
]

failures = []


# Only the stand-in that never ends meets the harness's time limit: it runs alone with a short
# one, every other stand-in with a limit that no machine, however busy, comes near.
WITHOUT_HANG = ','.join(name for name, *_ in STREAMS if name != 'hang')


def run(folder, fake, *args, timeout='300'):
    env = dict(os.environ, VEXLOR_CONFORMANCE_DIR=folder)
    env.pop('VEXLOR_CLI', None)
    p = subprocess.run([sys.executable, HARNESS, '--vexlor', fake, '--timeout', timeout, *args],
                       capture_output=True, text=True, env=env)
    verdicts = {}
    for line in p.stdout.splitlines():
        parts = line.split()
        if parts and parts[0] in ('PASS', 'FAIL'):
            verdicts[parts[1]] = (parts[0], line)
    last = p.stdout.strip().splitlines()[-1] if p.stdout.strip() else ''
    return p.returncode, verdicts, last


def expect(what, cond):
    if not cond:
        failures.append(what)


with tempfile.TemporaryDirectory() as tmp:
    folder = os.path.join(tmp, 'conformance')
    os.makedirs(os.path.join(folder, 'streams'))
    os.makedirs(os.path.join(folder, 'reference'))
    with open(os.path.join(folder, 'MANIFEST.tsv'), 'w') as m:
        m.write('stream\texpect\tpictures\tsize\tfeatures\tnote\n')
        for name, kind, text, refs in STREAMS:
            m.write(f'{name}\t{kind}\t{refs}\t176x144\t\t\n')
            with open(os.path.join(folder, 'streams', name), 'w') as f:
                f.write(text)
            with open(os.path.join(folder, 'reference', name + '.md5'), 'w') as f:
                f.writelines(f'{i} 176x144 {"0" * 32}\n' for i in range(refs))
    fake = os.path.join(tmp, 'fake-vexlor')
    with open(fake, 'w') as f:
        f.write(FAKE)
    os.chmod(fake, os.stat(fake).st_mode | stat.S_IXUSR)

    # Full expectation: only the clean streams pass.
    rc, v, last = run(folder, fake, '--only', WITHOUT_HANG)
    expect('exact: exit status 1', rc == 1)
    expect('exact: closing line', last == '2 passed, 6 failed')
    expect('exact: verdicts', {k for k, x in v.items() if x[0] == 'PASS'} == {'good', 'refused'})
    expect('exact: first differing picture named', 'first differing picture 2' in v['wrong'][1])
    expect('exact: signal named', 'signal 11' in v['segv'][1])
    expect('exact: sanitizer named', 'sanitizer' in v['asan'][1])
    expect('exact: exit status named', 'exit status 3' in v['exit'][1])

    # A decoder that never ends fails, at every level, once the time limit has passed.
    rc, v, last = run(folder, fake, '--only', 'hang', '--expect', 'runs', timeout='1')
    expect('hang: exit status 1', rc == 1 and last == '0 passed, 1 failed')
    expect('hang: timeout named', 'no end after' in v['hang'][1])

    # Count level: a wrong picture is tolerated, a missing one is not.
    rc, v, last = run(folder, fake, '--expect', 'count', '--only', 'wrong,short,leaky')
    expect('count: verdicts', (v['wrong'][0], v['short'][0], v['leaky'][0]) ==
           ('PASS', 'FAIL', 'FAIL'))
    expect('count: closing line', last == '1 passed, 2 failed')

    # Runs level: faults still fail; per-stream levels override the default.
    rc, v, last = run(folder, fake, '--only', WITHOUT_HANG, '--expect', 'runs', '--exact', 'wrong',
                      '--count', 'short')
    expect('runs: verdicts', {k for k, x in v.items() if x[0] == 'FAIL'} ==
           {'wrong', 'short', 'segv', 'asan', 'exit'})

    rc, v, last = run(folder, fake, '--only', 'good,leaky', '--expect', 'runs')
    expect('only + runs: all pass', rc == 0 and last == '2 passed, 0 failed')
    expect('only + runs: note on full pass', 'meets the full expectation' in v['good'][1])

    rc, _, _ = run(folder, fake, '--only', 'nosuch')
    expect('unknown name: exit status 2', rc == 2)
    rc, _, last = run(os.path.join(tmp, 'absent'), fake)
    expect('absent folder: skipped', rc == 77 and 'skipped' in last)

for f in failures:
    print('harness self-test failed:', f)
print('harness self-test:', 'ok' if not failures else f'{len(failures)} failures')
sys.exit(1 if failures else 0)
