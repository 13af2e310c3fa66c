#!/usr/bin/env python3
"""Draws the tray icon of the Kiv Image Printer and writes it as a Windows
icon file with a 16x16 and a 32x32 image.

    mkicon.py OUTPUT.ico

The artwork: a printer with a picture sheet in its feed and a printed
sheet in its output tray.  Both images use the 16-colour palette that
every Windows version shows unchanged (4 bits per pixel with an AND mask),
so Windows 2000 draws them as they are drawn here.
"""
import struct
import sys

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
# Letters of the drawings: '.' is transparent.
INK = {"k": 0, "G": 2, "g": 7, "d": 8, "L": 10, "y": 11, "b": 12, "c": 14, "w": 15, "n": 4}

SMALL = [
    "................",
    "...kkkkkkkkkk...",
    "...kwwwwwwwwk...",
    "...kwccccyywk...",
    "...kwcccccywk...",
    "...kwLLccccwk...",
    "..kkkkkkkkkkkk..",
    ".kggggggggggggk.",
    ".kgwwwwwwwwwwgk.",
    ".kggggggggggLgk.",
    ".kddddddddddddk.",
    ".kkkkkkkkkkkkkk.",
    "..kwwwwwwwwwwk..",
    "..kwbbbbbbbbwk..",
    "..kkkkkkkkkkkk..",
    "................",
]


def draw_large():
    """The 32x32 image, drawn from shapes: more detail than the small one."""
    size = 32
    img = [["."] * size for _ in range(size)]

    def rect(x0, y0, x1, y1, ink):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                img[y][x] = ink

    def frame(x0, y0, x1, y1, ink="k"):
        for x in range(x0, x1 + 1):
            img[y0][x] = img[y1][x] = ink
        for y in range(y0, y1 + 1):
            img[y][x0] = img[y][x1] = ink

    # The picture sheet in the feed: sky, sun, green hills.
    rect(7, 1, 24, 13, "w")
    frame(7, 1, 24, 13)
    rect(9, 3, 22, 11, "c")
    for y in range(3, 12):
        for x in range(9, 23):
            if (x - 19) ** 2 + (y - 5) ** 2 <= 4:
                img[y][x] = "y"
            # two hills
            if y >= 11 - max(0, 3 - abs(x - 12) // 2) or y >= 11 - max(0, 2 - abs(x - 19) // 2):
                img[y][x] = "L"
            if y == 11:
                img[y][x] = "G"
    # The printer's body with a light top edge, a paper slot, a lamp and a
    # shaded base.
    rect(1, 12, 30, 24, "g")
    frame(1, 12, 30, 24)
    rect(2, 13, 29, 13, "w")
    rect(2, 13, 2, 23, "w")
    rect(5, 17, 26, 18, "k")
    rect(6, 17, 25, 17, "d")
    rect(25, 14, 27, 15, "L")
    frame(24, 14, 28, 15, "G")
    rect(25, 14, 27, 15, "L")
    rect(2, 21, 29, 23, "d")
    rect(1, 24, 30, 24, "k")
    # The printed sheet in the output tray, with lines of print.
    rect(5, 24, 26, 30, "w")
    frame(5, 24, 26, 30)
    for y in (26, 28):
        rect(8, y, 23, y, "n")
    rect(8, 29, 16, 29, "b")
    return ["".join(row) for row in img]


def bmp_image(rows):
    size = len(rows)
    assert all(len(r) == size for r in rows), "rows must be square"
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    xor = b""
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    mask = b""
    for row in reversed(rows):  # bottom-up
        nibbles = [INK.get(ch, 0) for ch in row]
        line = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2))
        xor += line + b"\0" * (xor_stride - len(line))
        mline = bytearray(and_stride)
        for x, ch in enumerate(row):
            if ch == ".":
                mline[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(mline)
    return header + palette + xor + mask


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    images = [(16, bmp_image(SMALL)), (32, bmp_image(draw_large()))]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, data in images:
        entries += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += entries + b"".join(data for _, data in images)
    with open(argv[1], "wb") as f:
        f.write(out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
