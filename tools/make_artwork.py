#!/usr/bin/env python3
"""Draws the dialog's pictures and writes them under src/ui/resources/.

  bitmap129.bmp   400 x 200, 8 bits per pixel: the dialog's background picture
  icon128_32.png  32 x 32, 256 colours with transparency: the window icon
  icon128_16.png  16 x 16, the same icon drawn for the small size
  icon128.ico     the icon for the Windows resources: 32 x 32 and 16 x 16, each in 16 and
                  256 colours, transparency as the 1-bit mask

Only the Python standard library is used; the output is deterministic, so running
the script again reproduces the committed files byte for byte.

usage: tools/make_artwork.py [OUTPUT_DIR]
"""
import math
import os
import struct
import sys
import zlib

# --------------------------------------------------------------------------- canvas


def clamp(v, lo=0.0, hi=1.0):
    return lo if v < lo else hi if v > hi else v


def mix(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def hex_colour(h):
    return tuple(int(h[i:i + 2], 16) / 255.0 for i in (1, 3, 5))


class Canvas:
    """Floating-point RGBA canvas; shapes are painted with analytic coverage."""

    def __init__(self, w, h, fill=(0.0, 0.0, 0.0), alpha=1.0):
        self.w, self.h = w, h
        self.px = [[list(fill) + [alpha] for _ in range(w)] for _ in range(h)]

    def blend(self, x, y, colour, a):
        if a <= 0.0 or not (0 <= x < self.w and 0 <= y < self.h):
            return
        p = self.px[y][x]
        # "over" compositing on straight alpha
        out_a = a + p[3] * (1.0 - a)
        if out_a <= 0.0:
            return
        for i in range(3):
            p[i] = (colour[i] * a + p[i] * p[3] * (1.0 - a)) / out_a
        p[3] = out_a

    def shade(self, x0, y0, x1, y1, coverage, colour, opacity=1.0, samples=4):
        """Paints colour over the box [x0,x1) x [y0,y1) where coverage(px, py) is in [0, 1];
        coverage is sampled samples x samples times per pixel."""
        x0, y0 = max(0, int(math.floor(x0))), max(0, int(math.floor(y0)))
        x1, y1 = min(self.w, int(math.ceil(x1))), min(self.h, int(math.ceil(y1)))
        n = samples * samples
        offs = [(i + 0.5) / samples for i in range(samples)]
        for y in range(y0, y1):
            for x in range(x0, x1):
                c = 0.0
                for oy in offs:
                    for ox in offs:
                        c += coverage(x + ox, y + oy)
                self.blend(x, y, colour, opacity * c / n)


def rounded_box(cx, cy, hw, hh, r):
    """Inside test of a rounded rectangle centred at (cx, cy) with half sizes hw, hh."""
    def inside(x, y):
        dx = max(abs(x - cx) - (hw - r), 0.0)
        dy = max(abs(y - cy) - (hh - r), 0.0)
        return 1.0 if dx * dx + dy * dy <= r * r else 0.0
    return inside


def ring(cx, cy, r_in, r_out):
    def inside(x, y):
        d = math.hypot(x - cx, y - cy)
        return 1.0 if r_in <= d <= r_out else 0.0
    return inside


def triangle(a, b, c):
    def edge(p, q, x, y):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])

    def inside(x, y):
        e1, e2, e3 = edge(a, b, x, y), edge(b, c, x, y), edge(c, a, x, y)
        return 1.0 if (e1 >= 0 and e2 >= 0 and e3 >= 0) or (e1 <= 0 and e2 <= 0 and e3 <= 0) else 0.0
    return inside


def segment(p, q, half_width):
    px, py = p
    qx, qy = q
    vx, vy = qx - px, qy - py
    ll = vx * vx + vy * vy

    def inside(x, y):
        t = clamp(((x - px) * vx + (y - py) * vy) / ll)
        d = math.hypot(x - (px + t * vx), y - (py + t * vy))
        return 1.0 if d <= half_width else 0.0
    return inside


# --------------------------------------------------------------------------- palette


def median_cut(colours, count):
    """colours: list of (tuple, weight). Returns up to `count` palette entries."""
    boxes = [colours]
    while len(boxes) < count:
        best, best_score, best_axis = None, 0.0, 0
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            dims = len(box[0][0])
            for axis in range(dims):
                lo = min(c[0][axis] for c in box)
                hi = max(c[0][axis] for c in box)
                score = (hi - lo) * math.sqrt(sum(c[1] for c in box))
                if score > best_score:
                    best, best_score, best_axis = i, score, axis
        if best is None:
            break
        box = sorted(boxes.pop(best), key=lambda c: c[0][best_axis])
        total = sum(c[1] for c in box)
        acc, cut = 0, 1
        for j, c in enumerate(box):
            acc += c[1]
            if acc * 2 >= total:
                cut = max(1, min(len(box) - 1, j + 1))
                break
        boxes += [box[:cut], box[cut:]]
    palette = []
    for box in boxes:
        total = sum(c[1] for c in box)
        dims = len(box[0][0])
        palette.append(tuple(int(round(sum(c[0][k] * c[1] for c in box) / total))
                             for k in range(dims)))
    return palette


def quantise(canvas, with_alpha, count=256):
    """Maps the canvas to `count` colours with light error diffusion. Returns (palette, rows)."""
    w, h = canvas.w, canvas.h
    dims = 4 if with_alpha else 3

    def to8(p):
        v = [int(round(clamp(p[i]) * 255)) for i in range(dims)]
        if with_alpha and v[3] == 0:
            v = [0, 0, 0, 0]
        return tuple(v)

    hist = {}
    for row in canvas.px:
        for p in row:
            c = to8(p)
            hist[c] = hist.get(c, 0) + 1
    if len(hist) <= count:
        palette = sorted(hist)
    else:
        palette = median_cut(sorted(hist.items()), count)
    cache = {}

    def nearest(c):
        key = tuple(c)
        hit = cache.get(key)
        if hit is None:
            hit = min(range(len(palette)),
                      key=lambda i: sum((palette[i][k] - c[k]) ** 2 for k in range(dims)))
            cache[key] = hit
        return hit

    err = [[[0.0] * dims for _ in range(w + 2)] for _ in range(2)]
    rows = []
    for y in range(h):
        cur, nxt = err[y % 2], err[(y + 1) % 2]
        for e in nxt:
            e[:] = [0.0] * dims
        row = []
        for x in range(w):
            want = [to8(canvas.px[y][x])[k] + cur[x + 1][k] * 0.75 for k in range(dims)]
            c = [int(round(clamp(v, 0, 255))) for v in want]
            i = nearest(c)
            row.append(i)
            e = [want[k] - palette[i][k] for k in range(dims)]
            for k in range(dims):
                cur[x + 2][k] += e[k] * 7 / 16
                nxt[x][k] += e[k] * 3 / 16
                nxt[x + 1][k] += e[k] * 5 / 16
                nxt[x + 2][k] += e[k] * 1 / 16
        rows.append(row)
    return palette, rows


# --------------------------------------------------------------------------- writers


def write_bmp8(path, palette, rows):
    h, w = len(rows), len(rows[0])
    stride = (w + 3) & ~3
    pal = b"".join(struct.pack("<BBBB", c[2], c[1], c[0], 0) for c in palette)
    pal += b"\0" * (1024 - len(pal))
    pixels = b"".join(bytes(r) + b"\0" * (stride - w) for r in reversed(rows))
    offset = 14 + 40 + 1024
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 0, len(pixels), 3780, 3780,
                       len(palette), 0)
    with open(path, "wb") as f:
        f.write(header + info + pal + pixels)


def png_chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data +
            struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def write_png8(path, palette, rows):
    h, w = len(rows), len(rows[0])
    ihdr = struct.pack(">IIBBBBB", w, h, 8, 3, 0, 0, 0)
    plte = b"".join(bytes(c[:3]) for c in palette)
    trns = bytes(c[3] for c in palette) if len(palette[0]) == 4 else b""
    raw = b"".join(b"\0" + bytes(r) for r in rows)
    data = b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) + png_chunk(b"PLTE", plte)
    if trns:
        data += png_chunk(b"tRNS", trns)
    data += png_chunk(b"IDAT", zlib.compress(raw, 9)) + png_chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(data)


def ico_image(palette, rows, bits):
    """One image of an icon file: the DIB header (height doubled for the mask), the palette,
    the colour rows and the 1-bit transparency mask, both bottom-up. Palette entries carry
    alpha; a pixel below half opacity is transparent."""
    h, w = len(rows), len(rows[0])
    colours = 1 << bits
    pal = b"".join(struct.pack("<BBBB", c[2], c[1], c[0], 0) for c in palette)
    pal += b"\0" * (4 * colours - len(pal))
    xor_stride = ((w * bits + 31) // 32) * 4
    and_stride = ((w + 31) // 32) * 4
    xor, mask = b"", b""
    for row in reversed(rows):
        line = bytearray(xor_stride)
        bits_row = bytearray(and_stride)
        for x, i in enumerate(row):
            transparent = palette[i][3] < 128
            index = 0 if transparent else i
            if bits == 8:
                line[x] = index
            else:
                line[x // 2] |= index << (4 if x % 2 == 0 else 0)
            if transparent:
                bits_row[x // 8] |= 0x80 >> (x % 8)
        xor += bytes(line)
        mask += bytes(bits_row)
    info = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, bits, 0, len(xor) + len(mask), 0, 0,
                       0, 0)
    return info + pal + xor + mask


def write_ico(path, images):
    """images: (palette, rows, bits) for each entry of the icon file."""
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries, data = b"", b""
    for palette, rows, bits in images:
        blob = ico_image(palette, rows, bits)
        w, h = len(rows[0]), len(rows)
        entries += struct.pack("<BBBBHHII", w % 256, h % 256, 16 if bits == 4 else 0, 0, 1,
                               bits, len(blob), offset + len(data))
        data += blob
    with open(path, "wb") as f:
        f.write(header + entries + data)


# --------------------------------------------------------------------------- pictures

# The dialog's own colour in the default widget palette; the picture fades into it at its
# right and bottom edges so that a dialog larger than the picture shows no seam.
WINDOW = hex_colour("#efefef")


def draw_background():
    w, h = 400, 200
    top, bottom = hex_colour("#dfe7ef"), hex_colour("#e8edf2")
    cv = Canvas(w, h)
    for y in range(h):
        for x in range(w):
            c = mix(top, bottom, y / (h - 1))
            # a soft light area behind the buttons in the middle column
            d = math.hypot((x - 197) / 150.0, (y - 100) / 95.0)
            c = mix(c, (0.965, 0.975, 0.985), 0.55 * clamp(1.0 - d) ** 2)
            # fade into the window colour near the right and bottom edges
            t = max(clamp((x - 360) / 40.0), clamp((y - 178) / 22.0))
            c = mix(c, WINDOW, t * t)
            cv.px[y][x][:3] = list(c)

    # thin accent band along the top edge
    accent = hex_colour("#3f7f95")
    for y in range(0, 4):
        for x in range(w):
            fade = clamp((380 - x) / 80.0)
            cv.blend(x, y, accent, (0.85 if y < 3 else 0.35) * fade)

    # film strip at the lower left, fading out to the right
    strip = hex_colour("#b7c5d2")
    hole = hex_colour("#f1f4f7")
    frame = hex_colour("#cdd8e2")
    sy0, sy1 = 163, 191

    def strip_fade(x):
        return clamp((130 - x) / 60.0)

    cv.shade(0, sy0, 131, sy1, lambda x, y: strip_fade(x), strip, 0.9, samples=1)
    for i in range(0, 10):
        hx = 6 + i * 13
        cv.shade(hx - 4, sy0 + 1, hx + 4, sy0 + 7, rounded_box(hx, sy0 + 4, 3, 2, 1.2), hole,
                 0.9 * strip_fade(hx))
        cv.shade(hx - 4, sy1 - 7, hx + 4, sy1 - 1, rounded_box(hx, sy1 - 4, 3, 2, 1.2), hole,
                 0.9 * strip_fade(hx))
    for i in range(0, 4):
        fx = 18 + i * 34
        cv.shade(fx - 15, sy0 + 8, fx + 15, sy1 - 8, rounded_box(fx, (sy0 + sy1) / 2, 14, 5.5, 1.5),
                 frame, 0.9 * strip_fade(fx))

    # a faint aperture watermark at the right
    lens = hex_colour("#c4d0db")
    cx, cy = 346, 116
    cv.shade(cx - 44, cy - 44, cx + 44, cy + 44, ring(cx, cy, 36, 40), lens, 0.8)
    cv.shade(cx - 30, cy - 30, cx + 30, cy + 30, ring(cx, cy, 25.5, 27.5), lens, 0.7)
    for k in range(6):
        a = math.radians(k * 60 + 15)
        b = math.radians(k * 60 + 75)
        p = (cx + 26.5 * math.cos(a), cy + 26.5 * math.sin(a))
        q = (cx + 11 * math.cos(b), cy + 11 * math.sin(b))
        cv.shade(cx - 30, cy - 30, cx + 30, cy + 30, segment(p, q, 0.8), lens, 0.7)
    return cv


def draw_icon(size):
    s = size / 32.0
    cv = Canvas(size, size, (0, 0, 0), alpha=0.0)
    body_top, body_bottom = hex_colour("#4a93aa"), hex_colour("#1f4d64")
    body = rounded_box(16 * s, 16 * s, 15 * s, 15 * s, 5 * s)
    for y in range(size):
        # vertical gradient for the body, painted row by row
        colour = mix(body_top, body_bottom, y / max(1, size - 1))
        cv.shade(0, y, size, y + 1, body, colour, samples=6)
    white = (1.0, 1.0, 1.0)
    if size >= 24:
        # film frame: an outlined rectangle with sprocket marks on both sides, and a play mark
        frame_outer = rounded_box(16 * s, 16 * s, 10 * s, 8 * s, 1.5 * s)
        frame_inner = rounded_box(16 * s, 16 * s, 8.2 * s, 6.2 * s, 0.8 * s)
        for k in range(3):
            y = (11 + 5 * k) * s
            for x in (3.3 * s, 28.7 * s):
                cv.shade(0, 0, size, size, rounded_box(x, y, 1.0 * s, 1.1 * s, 0.4 * s), white,
                         0.7, samples=6)
        play = triangle((13.2 * s, 11.6 * s), (13.2 * s, 20.4 * s), (20.6 * s, 16 * s))
    else:
        # the small icon keeps the frame one pixel wide on the pixel grid, and a larger mark
        frame_outer = rounded_box(8, 8, 6, 5, 0.5)
        frame_inner = rounded_box(8, 8, 5, 4, 0.01)
        play = triangle((6, 5), (6, 11), (11, 8))
    cv.shade(0, 0, size, size, lambda x, y: frame_outer(x, y) * (1 - frame_inner(x, y)), white,
             0.9, samples=6)
    cv.shade(0, 0, size, size, play, white, 1.0, samples=6)
    return cv


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "src", "ui", "resources")
    os.makedirs(out, exist_ok=True)
    palette, rows = quantise(draw_background(), with_alpha=False)
    write_bmp8(os.path.join(out, "bitmap129.bmp"), palette, rows)
    ico = []
    for size in (32, 16):
        icon = draw_icon(size)
        palette, rows = quantise(icon, with_alpha=True)
        write_png8(os.path.join(out, "icon128_%d.png" % size), palette, rows)
        ico.append((palette, rows, 8))
        palette, rows = quantise(icon, with_alpha=True, count=16)
        ico.append((palette, rows, 4))
    write_ico(os.path.join(out, "icon128.ico"), ico)


if __name__ == "__main__":
    main()
