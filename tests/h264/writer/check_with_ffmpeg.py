#!/usr/bin/env python3
"""Cross-checks the writer's streams with ffmpeg used as a black box.

Run the h264 tests with VEXLOR_WRITER_DUMP=DIR, then: check_with_ffmpeg.py DIR
For every DIR/NAME.264 the pictures ffmpeg decodes are compared with DIR/NAME.yuv (the
pictures the test expects). ffmpeg knows no slice groups, so streams with several slice groups
cannot be checked this way; its output order may differ where the stream leaves order open, so
both the order and the set of pictures are reported.
"""
import hashlib
import os
import subprocess
import sys


def frames(data, size):
    return [data[i:i + size] for i in range(0, len(data), size)]


def main(d):
    for name in sorted(os.listdir(d)):
        if not name.endswith('.264'):
            continue
        base = os.path.join(d, name[:-4])
        want = open(base + '.yuv', 'rb').read()
        probe = subprocess.run(['ffprobe', '-v', 'error', '-select_streams', 'v:0',
                                '-show_entries', 'stream=width,height', '-of', 'csv=p=0',
                                base + '.264'], capture_output=True, text=True).stdout.split()
        try:
            w, h = map(int, probe[0].split(',')[:2])
        except (IndexError, ValueError):
            w = h = 0
        if w <= 0 or h <= 0:
            print(f'{name}: not decodable by ffmpeg')
            continue
        got = subprocess.run(['ffmpeg', '-v', 'error', '-i', base + '.264', '-fps_mode', 'passthrough', '-f', 'rawvideo',
                              '-pix_fmt', 'yuv420p', '-'], capture_output=True).stdout
        size = w * h * 3 // 2
        g = [hashlib.md5(f).hexdigest()[:8] for f in frames(got, size)]
        e = [hashlib.md5(f).hexdigest()[:8] for f in frames(want, size)]
        order = 'same order' if g == e else 'ORDER DIFFERS'
        sets = 'same pictures' if sorted(g) == sorted(e) else 'PICTURES DIFFER'
        print(f'{name}: {len(g)} decoded, {len(e)} expected; {order}; {sets}')
        if g != e:
            print('   got ', ' '.join(g))
            print('   want', ' '.join(e))


if __name__ == '__main__':
    main(sys.argv[1])
