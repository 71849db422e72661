#!/usr/bin/env python3
"""Draws VelmoMon.ico: a smart card standing in a card reader, one 32 by 32
image in the 16 standard colours (4 bits per pixel).
    usage: shell/make-icon.py [OUTPUT]   (default: VelmoMon.ico beside this script)"""
import os
import struct
import sys

SIZE = 32
# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, OLIVE, NAVY, SILVER, GREY, LIME, YELLOW, BLUE, WHITE = 0, 3, 4, 7, 8, 10, 11, 12, 15
CLEAR = None


def rectangle(pixels, left, top, right, bottom, colour):
    for y in range(top, bottom + 1):
        for x in range(left, right + 1):
            pixels[y][x] = colour


def framed(pixels, left, top, right, bottom, fill, frame=BLACK):
    rectangle(pixels, left, top, right, bottom, frame)
    rectangle(pixels, left + 1, top + 1, right - 1, bottom - 1, fill)


def draw():
    pixels = [[CLEAR] * SIZE for _ in range(SIZE)]
    # The reader's top face with the slot the card stands in.
    framed(pixels, 2, 17, 29, 21, SILVER)
    rectangle(pixels, 7, 19, 24, 19, BLACK)
    # The card: white with a blue band and a gold contact chip.
    framed(pixels, 8, 1, 23, 19, WHITE)
    rectangle(pixels, 9, 3, 22, 4, BLUE)
    framed(pixels, 10, 6, 16, 12, YELLOW, OLIVE)
    rectangle(pixels, 10, 9, 16, 9, OLIVE)
    rectangle(pixels, 13, 6, 13, 12, OLIVE)
    rectangle(pixels, 17, 14, 21, 14, GREY)
    rectangle(pixels, 10, 16, 21, 16, GREY)
    # The reader's front with its light and a shadow line.
    framed(pixels, 2, 20, 29, 29, GREY)
    rectangle(pixels, 3, 21, 28, 21, SILVER)
    framed(pixels, 23, 24, 26, 26, LIME, NAVY)
    rectangle(pixels, 3, 28, 28, 28, BLACK)
    return pixels


def icon_bytes(pixels):
    colour_rows, mask_rows = [], []
    for row in reversed(pixels):  # bitmaps are stored bottom-up
        nibbles = [0 if p is CLEAR else p for p in row]
        colour_rows.append(bytes(nibbles[i] << 4 | nibbles[i + 1] for i in range(0, SIZE, 2)))
        bits = 0
        for p in row:
            bits = bits << 1 | (1 if p is CLEAR else 0)
        mask_rows.append(bits.to_bytes(SIZE // 8, "big"))
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(b"".join(colour_rows)) + len(b"".join(mask_rows)), 0, 0, 16, 0)
    image = header + palette + b"".join(colour_rows) + b"".join(mask_rows)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "VelmoMon.ico")
    with open(output, "wb") as f:
        f.write(icon_bytes(draw()))


if __name__ == "__main__":
    main()
