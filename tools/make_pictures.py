#!/usr/bin/env python3
"""Writes the window's pictures into app/res: the background of Image1, the
arrow glyph of BitBtn1 and the program icon. Run: python3 tools/make_pictures.py
"""
import math
import os
import struct

RES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "app", "res")


def bmp24(width, height, pixel):
    """A bottom-up 24-bit BMP; pixel(x, y) gives (r, g, b) with y from the top."""
    stride = (width * 3 + 3) & ~3
    rows = bytearray()
    for y in range(height - 1, -1, -1):
        row = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        rows += row + bytes(stride - len(row))
    header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    file_header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(rows), 0, 0, 14 + 40)
    return file_header + header + bytes(rows)


# The darkest and the lightest blue of the background. White text keeps a
# contrast of at least 4.5:1 (WCAG) over the lightest: about 4.8:1.
BASE = (22, 58, 135)
LIGHTEST = (72, 112, 188)


def background(x, y):
    """Mid-blue with lighter curved bands sweeping from lower left to upper right."""
    u, v = x / 239.0, 1.0 - y / 319.0
    s = v - 1.25 * u + 0.45 * (u - 0.5) ** 2 * 4 - 0.15 * math.sin(math.pi * v)
    band = 0.5 + 0.5 * math.cos(s * 2 * math.pi * 2.2)
    light = (band ** 6 * 0.55 + 0.12 * v) / 0.67  # 0 to 1
    return tuple(int(b + (l - b) * light) for b, l in zip(BASE, LIGHTEST))


def in_arrow(x, y):
    head = y <= 8 and abs(x - 8) <= y
    shaft = 8 < y <= 15 and 5 <= x <= 11
    return head or shaft


def arrow(x, y):
    if not in_arrow(x, y):
        return (255, 0, 255)
    edge = any(not in_arrow(x + dx, y + dy) or not (0 <= x + dx < 17 and 0 <= y + dy < 17)
               for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
    return (0, 0, 0) if edge or y == 0 else (0, 0x80, 0x80)


def icon32():
    """A 32 x 32 32-bit icon: the arrow on a rounded blue tile."""
    pixels = bytearray()
    for y in range(31, -1, -1):
        for x in range(32):
            inside = max(abs(x - 15.5), abs(y - 15.5)) < 15 and math.hypot(
                max(abs(x - 15.5) - 11, 0), max(abs(y - 15.5) - 11, 0)) < 4
            ax, ay = (x - 7) * 17 // 18, (y - 6) * 17 // 20
            if inside and 0 <= ax < 17 and 0 <= ay < 17 and in_arrow(ax, ay):
                r, g, b = arrow(ax, ay)
                if (r, g, b) == (0, 0x80, 0x80):
                    r, g, b = 255, 255, 255
                pixels += bytes((b, g, r, 255))
            elif inside:
                r, g, b = background(x * 7, y * 10)
                pixels += bytes((b, g, r, 255))
            else:
                pixels += bytes(4)
    mask = bytes(4 * 32)
    header = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    image = header + bytes(pixels) + mask
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 32, 32, 0, 0, 1, 32,
                                                          len(image), 6 + 16)
    return directory + image


def main():
    os.makedirs(RES, exist_ok=True)
    with open(os.path.join(RES, "background.bmp"), "wb") as f:
        f.write(bmp24(240, 320, background))
    with open(os.path.join(RES, "arrow.bmp"), "wb") as f:
        f.write(bmp24(17, 17, arrow))
    with open(os.path.join(RES, "VeskoUpgrade.ico"), "wb") as f:
        f.write(icon32())


if __name__ == "__main__":
    main()
