#!/usr/bin/python3
"""The Pillow peer: BMP to plain PBM with the same threshold and the same
layout as quorvelpbm bmp2pbm, byte for byte.

    pillow_bmp2pbm.py IN.bmp OUT.pbm

A pixel is white ("0 ") when blue, green and red are each at least 100, else
black ("1 "); a line feed follows every 30th token of the file. Pillow does
the pixel work; the text is built with bytes operations a block of lines at a
time, so memory stays bounded.
"""
import sys

from PIL import Image, ImageChops

THRESHOLD = 100
TOKENS_PER_LINE = 30
LINES_PER_BLOCK = 100_000


def main(src, dst):
    with Image.open(src) as im:
        rgb = im.convert("RGB")
    light = [0] * THRESHOLD + [255] * (256 - THRESHOLD)
    red, green, blue = (band.point(light) for band in rgb.split())
    white = ImageChops.darker(ImageChops.darker(red, green), blue)  # 255 only if all three are light
    digits = white.tobytes().translate(bytes.maketrans(b"\x00\xff", b"10"))

    width, height = rgb.size
    block = TOKENS_PER_LINE * LINES_PER_BLOCK
    with open(dst, "wb") as out:
        out.write(b"P1\n# Created by Quorvel\n%d %d\n" % (width, height))
        for start in range(0, len(digits), block):
            part = digits[start : start + block]
            tokens = bytearray(2 * len(part))
            tokens[0::2] = part
            tokens[1::2] = b" " * len(part)
            step = 2 * TOKENS_PER_LINE
            lines = [tokens[i : i + step] for i in range(0, len(tokens), step)]
            out.write(b"\n".join(lines))
            if len(part) % TOKENS_PER_LINE == 0:
                out.write(b"\n")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: pillow_bmp2pbm.py IN.bmp OUT.pbm")
    main(sys.argv[1], sys.argv[2])
