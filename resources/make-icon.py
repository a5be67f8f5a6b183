#!/usr/bin/env python3
"""Draws the installer's icon, one 48x48 32-bit image, and writes brenvelt.ico.
The artwork: a teal rounded square holding a white box with a downward arrow.
The image is stored as PNG (8-bit RGBA), which Windows reads in icons since 6.0 and
which is a tenth of the size of the same image as a bitmap."""
import struct
import sys
import zlib

SIZE = 48


def inside_rounded(x, y, r=9):
    cx = min(max(x, r), SIZE - 1 - r)
    cy = min(max(y, r), SIZE - 1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def pixel(x, y):
    if not inside_rounded(x, y):
        return (0, 0, 0, 0)
    # A vertical teal gradient.
    t = y / (SIZE - 1)
    base = (int(30 + 20 * t), int(150 - 50 * t), int(160 - 40 * t), 255)
    white = (250, 250, 250, 255)
    # The arrow: a shaft and a head pointing down into an open box.
    if 21 <= x <= 26 and 8 <= y <= 24:
        return white
    if 25 <= y <= 32 and abs(x - 23.5) <= 33 - y:
        return white
    if 36 <= y <= 39 and 10 <= x <= 37:
        return white
    if 29 <= y <= 39 and (10 <= x <= 13 or 34 <= x <= 37):
        return white
    return base


def png():
    raw = b""
    for y in range(SIZE):
        raw += b"\x00" + b"".join(bytes(pixel(x, y)) for x in range(SIZE))  # filter 0, RGBA

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    ihdr = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8 bits per channel, RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


image = png()
ico = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16) + image
with open(sys.argv[1] if len(sys.argv) > 1 else "brenvelt.ico", "wb") as f:
    f.write(ico)
