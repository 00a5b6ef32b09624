#!/usr/bin/env python3
"""Draws the program's icon, a small step grid with drum hits, and writes it twice:
tamborix.ico (32 x 32 and 16 x 16, 32-bit, for the Windows build) and tamborix_icon.inc
(the 32 x 32 pixels as 0xAARRGGBB words, for the Linux layer). Run it from this folder
after changing the drawing; both outputs are committed."""
import struct

# The grid's own colours: plain cells, bar-start cells, hits, lines.
PLAIN = (255, 255, 238)
BAR = (221, 204, 153)
HIT = (32, 32, 32)
ACCENT = (204, 0, 0)
LINE = (96, 96, 96)
FRAME = (0, 0, 0)

# Hits of the 4 x 4 grid (row, column); row 0 is drawn at the top.
HITS = {(0, 0): ACCENT, (0, 2): HIT, (1, 1): HIT, (1, 3): HIT, (2, 0): HIT, (2, 2): HIT, (3, 0): HIT, (3, 3): ACCENT}


def pixels(size):
    """Rows top to bottom of (r, g, b, a) for a size x size icon."""
    cell = (size - 1) // 4
    img = []
    for y in range(size):
        row = []
        for x in range(size):
            if x == 0 or y == 0 or x >= 4 * cell or y >= 4 * cell:
                row.append(FRAME + (255,))
                continue
            if x % cell == 0 or y % cell == 0:
                row.append(LINE + (255,))
                continue
            r, c = y // cell, x // cell
            colour = BAR if c == 0 else PLAIN
            if (r, c) in HITS:
                cx, cy = c * cell + cell / 2, r * cell + cell / 2
                if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= (cell / 2 - 1) ** 2:
                    colour = HITS[(r, c)]
            row.append(colour + (255,))
        img.append(row)
    return img


def dib(size):
    img = pixels(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(img) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    return header + xor + bytes(mask_row * size)


def write_ico(path, sizes):
    images = [dib(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


def write_inc(path, size):
    words = ["0x%02X%02X%02X%02Xu" % (a, r, g, b) for row in pixels(size) for (r, g, b, a) in row]
    lines = [", ".join(words[i:i + 8]) + "," for i in range(0, len(words), 8)]
    with open(path, "w") as f:
        f.write("/* The 32 x 32 icon \"TAMBORIX\" as 0xAARRGGBB words, rows top to bottom; written by\n"
                "** make_icon.py together with tamborix.ico. */\n")
        f.write("\n".join(lines) + "\n")


write_ico("tamborix.ico", [32, 16])
write_inc("tamborix_icon.inc", 32)
