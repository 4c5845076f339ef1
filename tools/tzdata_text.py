#!/usr/bin/env python3
"""Writes the IANA time zone database for the Windows programs: the folder tzdata that ships
beside vexlor.exe, in the text form that the time zone library reads there.

Usage: tools/tzdata_text.py TZDATA.ZI FOLDER

TZDATA.ZI is the build machine's /usr/share/zoneinfo/tzdata.zi (Debian's tzdata): the whole
database as the input of zic, the compiler of the zone files that the Linux programs read, in
its compact form, where keywords, months and weekdays are abbreviated ("R", "Ap", "lastSu",
"o" for only) and a zone's continuation lines have no leading tab. The library takes only the
long form, so every abbreviation is written out; nothing else changes, and Windows and Linux
read one and the same database. FOLDER receives:
  version           the database's version ("2025b")
  etcetera          every rule, zone and link (the library reads the files of the source
                    distribution by name; one of those names holds them all)
  windowsZones.xml  an empty mapping of Windows zone names (the library requires the file; the
                    program never asks for the machine's own zone through it)
  README.txt        what this folder is
"""
import os
import sys

MONTHS = ['January', 'February', 'March', 'April', 'May', 'June', 'July', 'August',
          'September', 'October', 'November', 'December']
DAYS = ['Sunday', 'Monday', 'Tuesday', 'Wednesday', 'Thursday', 'Friday', 'Saturday']


def fail(message):
    sys.exit(f'tzdata_text: {message}')


def expand(word, names, what):
    """The unique name that `word` abbreviates (case does not matter), in three letters."""
    found = [n for n in names if n.lower().startswith(word.lower())]
    if len(found) != 1:
        fail(f'{word!r} is not one {what}')
    return found[0][:3]


def day(word):
    """A day of the month: 5, lastSu, Su>=8, Sa<=30."""
    if word.isdigit():
        return word
    if word.lower().startswith('last'):
        return 'last' + expand(word[4:], DAYS, 'weekday')
    for op in ('>=', '<='):
        if op in word:
            name, number = word.split(op)
            return expand(name, DAYS, 'weekday') + op + number
    fail(f'{word!r} is not a day')


def until(fields):
    """The UNTIL columns of a zone line: YEAR [MONTH [DAY [TIME]]]."""
    out = list(fields)
    if len(out) > 1:
        out[1] = expand(out[1], MONTHS, 'month')
    if len(out) > 2:
        out[2] = day(out[2])
    return out


def year(word):
    for long in ('minimum', 'maximum', 'only'):
        if len(word) >= 1 and long.startswith(word.lower()) and not word.isdigit():
            return long[:3] if long != 'only' else 'only'
    if not word.lstrip('-').isdigit():
        fail(f'{word!r} is not a year')
    return word


def convert(lines):
    out, version = [], None
    for number, raw in enumerate(lines, 1):
        line = raw.split('#', 1)[0].rstrip()
        if raw.startswith('# version '):
            version = raw.split()[2]
        if not line.strip():
            continue
        f = line.split()
        keyword = f[0].lower()
        if f[0][0].isalpha() and 'rule'.startswith(keyword):
            if len(f) != 10:
                fail(f'line {number}: a rule has 10 fields')
            f[0:5] = ['Rule', f[1], year(f[2]), year(f[3]), f[4]]
            f[5] = expand(f[5], MONTHS, 'month')
            f[6] = day(f[6])
            out.append('\t'.join(f))
        elif f[0][0].isalpha() and 'zone'.startswith(keyword):
            if len(f) < 5:
                fail(f'line {number}: a zone has at least 5 fields')
            out.append('\t'.join(['Zone'] + f[1:5] + until(f[5:])))
        elif f[0][0].isalpha() and 'link'.startswith(keyword):
            if len(f) != 3:
                fail(f'line {number}: a link has 3 fields')
            out.append('\t'.join(['Link'] + f[1:]))
        elif f[0][0].isalpha():
            fail(f'line {number}: unknown line {f[0]!r}')
        else:  # a zone's continuation: STDOFF RULES FORMAT [UNTIL]
            if len(f) < 3:
                fail(f'line {number}: a continuation line has at least 3 fields')
            out.append('\t\t\t\t' + '\t'.join(f[0:3] + until(f[3:])))
    if version is None:
        fail('no "# version" line')
    return version, out


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    source, folder = sys.argv[1], sys.argv[2]
    with open(source, encoding='utf-8') as f:
        version, lines = convert(f.read().splitlines())
    os.makedirs(folder, exist_ok=True)
    files = {
        'version': version + '\n',
        'etcetera': f'# The IANA time zone database {version}, written out from the compact form '
                    f'of zic\'s input.\n' + '\n'.join(lines) + '\n',
        'windowsZones.xml': '<supplementalData>\n<windowsZones>\n'
                            '<mapTimezones otherVersion="" typeVersion="">\n'
                            '</mapTimezones>\n</windowsZones>\n</supplementalData>\n',
        'README.txt': f'The IANA time zone database, version {version}, for the option '
                      f'--recorder-zone\r\nof vexlor.exe. Its data is in the public domain.\r\n',
    }
    for name, text in files.items():
        path = os.path.join(folder, name)
        data = text.encode('utf-8')
        # Rewritten only when it changes, so that what depends on it is not made again.
        if not os.path.exists(path) or open(path, 'rb').read() != data:
            with open(path, 'wb') as f:
                f.write(data)


if __name__ == '__main__':
    main()
