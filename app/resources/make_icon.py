#!/usr/bin/env python3
"""Draws the application icon, EmberdaleUpdater.png (an ember: a glowing disc with a bright core),
with the Python standard library only. The PNG is committed; run this again after changing it:
    python3 app/resources/make_icon.py app/resources/EmberdaleUpdater.png
"""

import math
import struct
import sys
import zlib

SIZE = 64
OUTER = (214, 64, 28)   # the disc's rim
INNER = (255, 214, 120)  # its core


def pixel(x, y):
    cx = cy = (SIZE - 1) / 2
    r = math.hypot(x - cx, y - cy) / (SIZE / 2 - 2)
    alpha = max(0.0, min(1.0, (1.0 - r) * (SIZE / 2 - 2)))  # anti-aliased edge
    t = min(1.0, r * r)
    rgb = [round(i + (o - i) * t) for i, o in zip(INNER, OUTER)]
    return bytes(rgb + [round(255 * alpha)])


def png(width, height, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    raw = b"".join(b"\0" + row for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


if __name__ == "__main__":
    rows = [b"".join(pixel(x, y) for x in range(SIZE)) for y in range(SIZE)]
    with open(sys.argv[1], "wb") as f:
        f.write(png(SIZE, SIZE, rows))
