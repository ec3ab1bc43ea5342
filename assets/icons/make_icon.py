#!/usr/bin/env python3
"""Draws the 32 x 32 window icon (a metronome with a green beat light) into metronome.png."""
import os
import struct
import zlib

SIZE = 32
BODY = (150, 90, 40, 255)
FACE = (235, 220, 190, 255)
ARM = (40, 40, 40, 255)
LAMP = (0, 255, 0, 255)
CLEAR = (0, 0, 0, 0)


def inside_body(x, y, inset):
    # A trapezoid: narrow at the top (row 2), wide at the bottom (row 29).
    if y < 2 + inset or y > 29 - inset:
        return False
    half = 4 + (y - 2) * 10 / 27 - inset
    return abs(x + 0.5 - 16) <= half


def pixel(x, y):
    # The arm leans from the pivot (16, 24) up to the right.
    t = (24 - y) / 18
    if 0 <= t <= 1 and abs(x + 0.5 - (16 + 6 * t)) < 1.0:
        return ARM
    if (x - 22) ** 2 + (y - 8) ** 2 <= 5:
        return LAMP
    if inside_body(x, y, 2):
        return FACE
    if inside_body(x, y, 0):
        return BODY
    return CLEAR


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


rows = b"".join(b"\0" + b"".join(bytes(pixel(x, y)) for x in range(SIZE)) for y in range(SIZE))
png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
       + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "metronome.png"), "wb") as f:
    f.write(png)
