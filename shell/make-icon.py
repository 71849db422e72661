#!/usr/bin/env python3
"""Draws VelmoMon's icons from one design, a smart card standing in a card
reader drawn on a 32 by 32 grid in the 16 standard colours:
  VelmoMon.ico      the design itself, one 32 by 32 image in 16 colours (4 bits
                    per pixel): the program's icon and the about box's image;
  VelmoMonTray.ico  the notification area's images, 16, 20, 24, 32 and 48
                    pixels in 32-bit colour with alpha, the design resampled
                    by the area each pixel covers.
    usage: shell/make-icon.py [FOLDER]   (default: the folder of this script)"""
import os
import struct
import sys

SIZE = 32
TRAY_SIZES = (16, 20, 24, 32, 48)
SUBPIXELS = 8  # samples per pixel and direction when resampling
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


def icon_file(images):
    """An .ico file of (width, colours, bits per pixel, image bytes) entries."""
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for width, colours, bits, image in images:
        entries += struct.pack("<BBBBHHII", width, width, colours, 0, 1, bits, len(image), offset)
        offset += len(image)
    return directory + entries + b"".join(image for _, _, _, image in images)


def bitmap_header(width, bits, size):
    return struct.pack("<IiiHHIIiiII", 40, width, width * 2, 1, bits, 0, size, 0, 0, 16 if bits == 4 else 0, 0)


def mask_rows(transparent, width):
    """The AND mask, bottom-up, each row padded to 32 bits."""
    stride = (width + 31) // 32 * 4
    rows = []
    for row in reversed(transparent):
        bits = 0
        for clear in row:
            bits = bits << 1 | (1 if clear else 0)
        rows.append((bits << (stride * 8 - width)).to_bytes(stride, "big"))
    return b"".join(rows)


def design_image(pixels):
    colour_rows = []
    for row in reversed(pixels):  # bitmaps are stored bottom-up
        nibbles = [0 if p is CLEAR else p for p in row]
        colour_rows.append(bytes(nibbles[i] << 4 | nibbles[i + 1] for i in range(0, SIZE, 2)))
    colours = b"".join(colour_rows)
    mask = mask_rows([[p is CLEAR for p in row] for row in pixels], SIZE)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return bitmap_header(SIZE, 4, len(colours) + len(mask)) + palette + colours + mask


def resampled(pixels, width):
    """Rows of (red, green, blue, alpha): each pixel the mean of the design
    over the area it covers, its colour weighted by coverage."""
    samples = width * SUBPIXELS
    rows = []
    for y in range(width):
        row = []
        for x in range(width):
            red = green = blue = covered = 0
            for sy in range(y * SUBPIXELS, (y + 1) * SUBPIXELS):
                source = pixels[(2 * sy + 1) * SIZE // (2 * samples)]
                for sx in range(x * SUBPIXELS, (x + 1) * SUBPIXELS):
                    p = source[(2 * sx + 1) * SIZE // (2 * samples)]
                    if p is CLEAR:
                        continue
                    r, g, b = PALETTE[p]
                    red, green, blue, covered = red + r, green + g, blue + b, covered + 1
            if covered:
                row.append((round(red / covered), round(green / covered), round(blue / covered),
                            round(255 * covered / SUBPIXELS ** 2)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def true_colour_image(rows, width):
    colours = b"".join(struct.pack("<BBBB", b, g, r, a) for row in reversed(rows) for r, g, b, a in row)
    mask = mask_rows([[a == 0 for _, _, _, a in row] for row in rows], width)
    return bitmap_header(width, 32, len(colours) + len(mask)) + colours + mask


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    pixels = draw()
    with open(os.path.join(folder, "VelmoMon.ico"), "wb") as f:
        f.write(icon_file([(SIZE, 16, 4, design_image(pixels))]))
    tray = [(width, 0, 32, true_colour_image(resampled(pixels, width), width)) for width in TRAY_SIZES]
    with open(os.path.join(folder, "VelmoMonTray.ico"), "wb") as f:
        f.write(icon_file(tray))


if __name__ == "__main__":
    main()
