#!/usr/bin/env python3
"""Draws the program's icon, a small step grid with drum hits, and writes every file made
from it into OUTDIR (the build runs it; nothing it writes is committed):

  tamborix.ico                  32 x 32 and 16 x 16, 32-bit, for the Windows build
  tamborix_icon.inc             the 32 x 32 pixels as 0xAARRGGBB words, for the Linux layer
  tamborix.svg                  the drawing as vectors, for the icon theme's "scalable" size
  hicolor/NxN/apps/tamborix.png the icon theme's sizes, 16 to 256

The drawing is defined on a 32-unit square: a black frame, a 4 x 4 grid of 7-unit cells
with 1-unit lines (the last cell ends at 28, black from there to 32), the first column in
the bar-start colour, and round hits of radius 2.5. Sizes up to 32 are drawn pixel by pixel
on a grid of (size - 1) // 4 pixel cells, so that small icons keep sharp one-pixel lines;
larger sizes are the 32-unit drawing scaled, each pixel the average of 4 x 4 samples.

Usage: make_icon.py OUTDIR"""
import os
import struct
import sys
import zlib

# The grid's own colours: plain cells, bar-start cells, hits, lines.
PLAIN = (255, 255, 238)
BAR = (221, 204, 153)
HIT = (32, 32, 32)
ACCENT = (204, 0, 0)
LINE = (96, 96, 96)
FRAME = (0, 0, 0)

# Hits of the 4 x 4 grid (row, column); row 0 is drawn at the top.
HITS = {(0, 0): ACCENT, (0, 2): HIT, (1, 1): HIT, (1, 3): HIT, (2, 0): HIT, (2, 2): HIT, (3, 0): HIT, (3, 3): ACCENT}

THEME_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
UNITS, CELL, HIT_RADIUS = 32, 7, 2.5


def grid_colour(x, y, cell, radius):
    """Colour at point (x, y) of a grid of `cell`-sized cells with 1-wide lines."""
    if x < 1 or y < 1 or x >= 4 * cell or y >= 4 * cell:
        return FRAME
    if x % cell < 1 or y % cell < 1:
        return LINE
    r, c = int(y // cell), int(x // cell)
    if (r, c) in HITS:
        cx, cy = c * cell + cell / 2, r * cell + cell / 2
        if (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2:
            return HITS[(r, c)]
    return BAR if c == 0 else PLAIN


def pixels(size):
    """Rows top to bottom of (r, g, b, a) for a size x size icon."""
    if size <= UNITS:
        cell = (size - 1) // 4
        return [[grid_colour(x + 0.5, y + 0.5, cell, cell / 2 - 1) + (255,) for x in range(size)]
                for y in range(size)]
    n = 4
    scale = UNITS / size
    img = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0, 0, 0]
            for j in range(n):
                for i in range(n):
                    col = grid_colour((x + (i + 0.5) / n) * scale, (y + (j + 0.5) / n) * scale, CELL, HIT_RADIUS)
                    acc[0] += col[0]
                    acc[1] += col[1]
                    acc[2] += col[2]
            row.append(tuple(round(v / (n * n)) for v in acc) + (255,))
        img.append(row)
    return img


def svg():
    rgb = lambda c: "#%02x%02x%02x" % c
    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d">'
             % (UNITS, UNITS, UNITS, UNITS),
             '<rect width="%d" height="%d" fill="%s"/>' % (UNITS, UNITS, rgb(FRAME)),
             '<rect x="1" y="1" width="%d" height="%d" fill="%s"/>' % (4 * CELL - 1, 4 * CELL - 1, rgb(LINE))]
    for r in range(4):
        for c in range(4):
            parts.append('<rect x="%d" y="%d" width="%d" height="%d" fill="%s"/>'
                         % (c * CELL + 1, r * CELL + 1, CELL - 1, CELL - 1, rgb(BAR if c == 0 else PLAIN)))
    for (r, c), colour in sorted(HITS.items()):
        parts.append('<circle cx="%g" cy="%g" r="%g" fill="%s"/>'
                     % (c * CELL + CELL / 2, r * CELL + CELL / 2, HIT_RADIUS, rgb(colour)))
    return "\n".join(parts) + "\n</svg>\n"


def png(size):
    img = pixels(size)
    raw = b"".join(b"\0" + bytes(v for px in row for v in px) for row in img)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA, not interlaced
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def dib(size):
    img = pixels(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(img) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    return header + xor + bytes(mask_row * size)


def ico(sizes):
    images = [dib(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def inc(size):
    words = ["0x%02X%02X%02X%02Xu" % (a, r, g, b) for row in pixels(size) for (r, g, b, a) in row]
    lines = [", ".join(words[i:i + 8]) + "," for i in range(0, len(words), 8)]
    return ("/* The %d x %d icon \"TAMBORIX\" as 0xAARRGGBB words, rows top to bottom; written by\n"
            "** make_icon.py. */\n" % (size, size)) + "\n".join(lines) + "\n"


def write(path, data):
    """Writes only when the content differs, so that a rerun rebuilds nothing."""
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return
    except OSError:
        pass
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.replace(path + ".tmp", path)


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    out = argv[1]
    write(os.path.join(out, "tamborix.ico"), ico([32, 16]))
    write(os.path.join(out, "tamborix_icon.inc"), inc(32))
    write(os.path.join(out, "tamborix.svg"), svg())
    for s in THEME_SIZES:
        write(os.path.join(out, "hicolor", "%dx%d" % (s, s), "apps", "tamborix.png"), png(s))


if __name__ == "__main__":
    main(sys.argv)
