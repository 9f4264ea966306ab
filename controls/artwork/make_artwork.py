#!/usr/bin/env python3
"""Draws Veltrane's own artwork: the skin of the graph control and the program icon.

The skin is an 853 x 400 palette picture (256 colours) of a dark instrument panel: a slate
surface lit from the upper left, with a faint brushed texture and scan lines. The graph
control shows its top-left part, so everything worth seeing lies there. The icon is a dial
with a red needle, drawn at 32 x 32 and 16 x 16 pixels.

Only the Python standard library is used, and every number is fixed, so running this again
gives the same pictures:

    python3 controls/artwork/make_artwork.py            # rewrite the PNG files
    python3 controls/artwork/make_artwork.py --check    # exit 1 when they differ
"""

import math
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

SKIN_WIDTH = 853
SKIN_HEIGHT = 400


# ---------------------------------------------------------------------------- PNG files


def png_chunk(kind, payload):
    body = kind + payload
    return struct.pack(">I", len(payload)) + body + struct.pack(">I", zlib.crc32(body))


def encode_png(width, height, palette, rows, transparent=None):
    """8-bit palette PNG; rows are bytes of palette indices."""
    header = struct.pack(">IIBBBBB", width, height, 8, 3, 0, 0, 0)
    raw = b"".join(b"\x00" + bytes(row) for row in rows)
    out = b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header)
    out += png_chunk(b"PLTE", b"".join(bytes(c) for c in palette))
    if transparent is not None:
        out += png_chunk(b"tRNS", bytes(255 if i != transparent else 0
                                         for i in range(len(palette))))
    out += png_chunk(b"IDAT", zlib.compress(raw, 9))
    return out + png_chunk(b"IEND", b"")


def png_content(data):
    """Header, palette, transparency and pixels of a PNG: what --check compares, so that
    another zlib version's compression does not count as a change."""
    pos = 8
    parts = {}
    idat = b""
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind = data[pos + 4:pos + 8]
        payload = data[pos + 8:pos + 8 + length]
        if kind == b"IDAT":
            idat += payload
        else:
            parts[kind] = payload
        pos += 12 + length
    return parts.get(b"IHDR"), parts.get(b"PLTE"), parts.get(b"tRNS"), zlib.decompress(idat)


# ---------------------------------------------------------------------------- the skin


class Lcg:
    """A small fixed random sequence, the same on every machine."""

    def __init__(self, start):
        self.state = start

    def next(self):
        self.state = (self.state * 1103515245 + 12345) & 0x7FFFFFFF
        return self.state / 0x7FFFFFFF


BAYER8 = [
    [0, 32, 8, 40, 2, 34, 10, 42],
    [48, 16, 56, 24, 50, 18, 58, 26],
    [12, 44, 4, 36, 14, 46, 6, 38],
    [60, 28, 52, 20, 62, 30, 54, 22],
    [3, 35, 11, 43, 1, 33, 9, 41],
    [51, 19, 59, 27, 49, 17, 57, 25],
    [15, 47, 7, 39, 13, 45, 5, 37],
    [63, 31, 55, 23, 61, 29, 53, 21],
]

# The panel's colours from darkest to lightest: ink blue, slate, a cool steel highlight.
RAMP = [(0.0, (4, 7, 11)), (0.45, (24, 35, 47)), (0.8, (50, 72, 90)), (1.0, (92, 124, 142))]


def ramp_colour(t):
    for (t0, c0), (t1, c1) in zip(RAMP, RAMP[1:]):
        if t <= t1:
            f = (t - t0) / (t1 - t0)
            return tuple(round(a + (b - a) * f) for a, b in zip(c0, c1))
    return RAMP[-1][1]


def skin_level(x, y, row_grain):
    # Light from the upper left of the visible part, falling off softly.
    dx = (x - 250) / 520.0
    dy = (y - 10) / 260.0
    light = max(0.0, 1.0 - math.sqrt(dx * dx + dy * dy)) ** 1.6
    level = 0.30 + 0.40 * light
    # Darker towards the right and bottom edges of the whole bitmap.
    level *= 1.0 - 0.35 * (max(0.0, x - 620) / 233.0) ** 2
    level *= 1.0 - 0.35 * (max(0.0, y - 220) / 180.0) ** 2
    # Brushed metal: each row a little lighter or darker, and scan lines.
    level += row_grain[y]
    if y % 2:
        level *= 0.94
    return min(1.0, max(0.0, level))


def make_skin():
    palette = [ramp_colour(i / 255.0) for i in range(256)]
    rng = Lcg(20240611)
    grain = [0.0] * SKIN_HEIGHT
    smooth = 0.0
    for y in range(SKIN_HEIGHT):
        smooth = 0.6 * smooth + 0.4 * (rng.next() - 0.5)
        grain[y] = 0.035 * smooth
    rows = []
    for y in range(SKIN_HEIGHT):
        bayer = BAYER8[y % 8]
        row = bytearray(SKIN_WIDTH)
        for x in range(SKIN_WIDTH):
            value = skin_level(x, y, grain) * 255.0 + (bayer[x % 8] + 0.5) / 64.0 - 0.5
            row[x] = min(255, max(0, int(value + 0.5)))
        rows.append(row)
    return encode_png(SKIN_WIDTH, SKIN_HEIGHT, palette, rows)


# ---------------------------------------------------------------------------- the icon


def mix(a, b, f):
    return tuple(x + (y - x) * f for x, y in zip(a, b))


def coverage(distance, pixel):
    """Share of a pixel covered by a shape whose signed distance is given in pixels."""
    return min(1.0, max(0.0, 0.5 - distance / pixel))


def rounded_square_distance(x, y, size, radius):
    half = size / 2.0
    qx = abs(x - half) - (half - radius)
    qy = abs(y - half) - (half - radius)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def segment_distance(x, y, ax, ay, bx, by):
    px, py, vx, vy = x - ax, y - ay, bx - ax, by - ay
    t = max(0.0, min(1.0, (px * vx + py * vy) / (vx * vx + vy * vy)))
    return math.hypot(px - vx * t, py - vy * t)


def icon_colour(x, y, size):
    """Colour and opacity of the icon at (x, y), in a size x size square."""
    s = size / 32.0
    inside = coverage(rounded_square_distance(x, y, size, 6 * s), 1.0)
    if inside <= 0.0:
        return (0, 0, 0), 0.0
    # Panel: slate, lighter at the top, with a thin light rim.
    colour = mix((52, 74, 94), (14, 20, 28), y / size)
    rim = coverage(abs(rounded_square_distance(x, y, size, 6 * s) + 0.75 * s) - 0.6 * s, 1.0)
    colour = mix(colour, (120, 150, 170), 0.6 * rim)

    cx, cy, radius = 16 * s, 19 * s, 11 * s
    angle = math.degrees(math.atan2(cy - y, x - cx))
    dist = math.hypot(x - cx, y - cy)
    # The dial's arc over the upper half, and its ticks.
    if 15 <= angle <= 165:
        arc = coverage(abs(dist - radius) - 0.9 * s, 1.0)
        colour = mix(colour, (214, 222, 228), arc)
        ticks = 5 if size >= 32 else 3
        for i in range(ticks):
            a = math.radians(20 + 140 * i / (ticks - 1))
            ox, oy = cx + math.cos(a) * radius, cy - math.sin(a) * radius
            ix, iy = cx + math.cos(a) * (radius - 4 * s), cy - math.sin(a) * (radius - 4 * s)
            tick = coverage(segment_distance(x, y, ox, oy, ix, iy) - 0.8 * s, 1.0)
            colour = mix(colour, (214, 222, 228), tick)
    # The needle, a little right of the middle: the device is almost on time.
    a = math.radians(70)
    nx, ny = cx + math.cos(a) * (radius - 1.5 * s), cy - math.sin(a) * (radius - 1.5 * s)
    needle = coverage(segment_distance(x, y, cx, cy, nx, ny) - 1.1 * s, 1.0)
    colour = mix(colour, (236, 48, 40), needle)
    hub = coverage(dist - 2.4 * s, 1.0)
    colour = mix(colour, (236, 236, 236), hub)
    return colour, inside


def make_icon(size):
    samples = 4
    pixels = []
    for y in range(size):
        row = []
        for x in range(size):
            total = [0.0, 0.0, 0.0]
            alpha = 0.0
            for sy in range(samples):
                for sx in range(samples):
                    c, a = icon_colour(x + (sx + 0.5) / samples, y + (sy + 0.5) / samples, size)
                    total = [t + v * a for t, v in zip(total, c)]
                    alpha += a
            if alpha / (samples * samples) < 0.5:
                row.append(None)
            else:
                row.append(tuple(int(v / alpha + 0.5) for v in total))
        pixels.append(row)

    # Index 0 is transparent; the other 255 entries hold the icon's colours, made coarser
    # step by step until they fit.
    step = 1
    while True:
        def quantise(c):
            return tuple(min(255, (v // step) * step + step // 2) for v in c)
        colours = sorted({quantise(c) for row in pixels for c in row if c is not None})
        if len(colours) <= 255:
            break
        step *= 2
    index = {c: i + 1 for i, c in enumerate(colours)}
    palette = [(0, 0, 0)] + colours
    rows = [bytes(0 if c is None else index[quantise(c)] for c in row) for row in pixels]
    return encode_png(size, size, palette, rows, transparent=0)


# ---------------------------------------------------------------------------- main

ARTWORK = {
    "skin.png": make_skin,
    "icon32.png": lambda: make_icon(32),
    "icon16.png": lambda: make_icon(16),
}


def main(argv):
    check = "--check" in argv
    stale = []
    for name, make in ARTWORK.items():
        path = os.path.join(HERE, name)
        data = make()
        if check:
            try:
                with open(path, "rb") as f:
                    same = png_content(f.read()) == png_content(data)
            except (OSError, ValueError, struct.error, zlib.error):
                same = False
            if not same:
                stale.append(name)
        else:
            with open(path, "wb") as f:
                f.write(data)
    if stale:
        print("artwork differs from what make_artwork.py draws: " + ", ".join(stale))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
