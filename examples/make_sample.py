#!/usr/bin/env python3
"""Writes examples/sample.bmp: a 640 x 480 24-bit BMP of shapes and gradients
whose channels cross the black-and-white threshold (100) in many places.

Standard library only, deterministic: running it again gives the same bytes.
Usage: make_sample.py [OUTPUT]
"""
import math
import struct
import sys

WIDTH, HEIGHT = 640, 480


def clamp(v):
    return max(0, min(255, int(v)))


def pixel(x, y):
    """Blue, green, red of the pixel at column x, row y from the top."""
    # Background: blue rises left to right, green top to bottom, both through
    # the threshold in the middle, so the background splits into quadrants.
    b = 40 + 120 * x / (WIDTH - 1)
    g = 40 + 120 * y / (HEIGHT - 1)
    r = 180

    # A sun: red falls off from its centre, crossing the threshold on a ring.
    d = math.hypot(x - 470, y - 150)
    if d < 110:
        b, g, r = 220, 230, 100 + 100 * math.cos(d / 110 * math.pi)

    # Concentric rings alternating just below and at the threshold.
    d = math.hypot(x - 160, y - 330)
    if d < 120:
        level = 99 if int(d / 12) % 2 else 100
        b, g, r = level, 200, 200

    # A house: a square body and a triangular roof, dark on light.
    if 330 <= x < 450 and 320 <= y < 430:
        b, g, r = 170, 170, 170
        if 370 <= x < 410 and 370 <= y < 430:
            b, g, r = 60, 90, 140  # the door
    if 310 <= x < 470 and 250 <= y < 320 and abs(x - 390) <= (y - 250) * 80 / 70:
        b, g, r = 30, 40, 150

    # Stripes of single channels at 99 and 100 along the bottom edge.
    if y >= 450:
        band = x // 80
        level = 100 if band % 2 else 99
        b, g, r = 255, 255, 255
        if band // 2 % 3 == 0:
            b = level
        elif band // 2 % 3 == 1:
            g = level
        else:
            r = level
    return clamp(b), clamp(g), clamp(r)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "examples/sample.bmp"
    stride = (WIDTH * 3 + 3) // 4 * 4
    image_size = stride * HEIGHT
    header = struct.pack("<2sIHHI", b"BM", 54 + image_size, 0, 0, 54)
    header += struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 24, 0, image_size, 0, 0, 0, 0)
    rows = []
    for stored in range(HEIGHT):  # bottom row first
        y = HEIGHT - 1 - stored
        row = bytearray()
        for x in range(WIDTH):
            row += bytes(pixel(x, y))
        row += bytes(stride - len(row))
        rows.append(bytes(row))
    with open(out, "wb") as f:
        f.write(header + b"".join(rows))


if __name__ == "__main__":
    main()
