#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: a few small inputs per target,
built from the file layouts, each reaching a different part of its converter.

    make_seeds.py OUTPUT_DIR    # makes OUTPUT_DIR/{bmp2pbm,pbm2bmp,dimension_line}/
"""

import os
import struct
import sys


def bmp(width, height, top_down=False, info_size=40, gap=0, bit_count=24, compression=0, cut=0, value=None):
    """A BMP whose pixels run through values on both sides of the threshold."""
    stride = (width * 3 + 3) // 4 * 4
    offset = 14 + info_size + gap
    pixels = bytearray()
    for row in range(height):
        line = bytearray()
        for x in range(width):
            v = value if value is not None else (37 * (row * width + x)) % 256
            line += bytes((v, (v + 99) % 256, (v + 100) % 256))
        pixels += line + bytes(stride - len(line))
    size = offset + len(pixels)
    header = b"BM" + struct.pack("<IHHI", size, 0, 0, offset)
    info = struct.pack("<IiiHHII", info_size, width, -height if top_down else height, 1, bit_count, compression,
                       len(pixels))
    info += bytes(info_size - len(info))
    data = header + info + bytes(gap) + pixels
    return data[: len(data) - cut] if cut else data


def pbm(width, height, line_end=b"\n", tokens=None, comment=b"# Created by Quorvel"):
    out = b"P1" + line_end + comment + line_end + b"%d %d" % (width, height) + line_end
    count = width * height if tokens is None else tokens
    for i in range(count):
        out += b"0 " if (i * 7) % 3 else b"1 "
        if (i + 1) % 30 == 0:
            out += line_end
    return out


SEEDS = {
    "bmp2pbm": {
        "1x1_white": bmp(1, 1, value=100),
        "3x2": bmp(3, 2),
        "31x2": bmp(31, 2),
        "5x3_top_down": bmp(5, 3, top_down=True),
        "4x2_info124": bmp(4, 2, info_size=124),
        "2x2_gap": bmp(2, 2, gap=6),
        "0x3": bmp(0, 3),
        "3x0": bmp(3, 0),
        "3x2_truncated": bmp(3, 2, cut=1),
        "2x2_8bit": bmp(2, 2, bit_count=8),
        "2x2_rle": bmp(2, 2, compression=1),
        "header_only": bmp(1, 1)[:54],
    },
    "pbm2bmp": {
        "2x2": pbm(2, 2),
        "10x3": pbm(10, 3),
        "31x1": pbm(31, 1),
        "7x5_crlf": pbm(7, 5, b"\r\n"),
        "4x4_short": pbm(4, 4, tokens=9),
        "3x3_trailing_lf": pbm(3, 3, tokens=3) + b"\n",
        "0x4": pbm(0, 4),
        "line_over_99": pbm(32, 1, tokens=30)[:-1] + b"x" * 39 + b"0 1 \n",
        "no_comment": b"P1\n3 1\n0 1 0 ",
        "raw_p4": b"P4\n# c\n8 1\n\xaa",
        "too_large": pbm(1001, 1, tokens=0),
    },
    "dimension_line": {
        "640x480_crlf": b"640 480\r\n",
        "1000x99": b"1000 99\n",
        "signs": b" +12 -0\n",
        "negative": b"-1 3\n",
        "long": b"1" * 24 + b" 1\n",
        "no_space": b"640480\n",
        "no_line_feed": b"640 480",
        "letters": b"abc 7\n",
        "nul": b"12 3\x004\n",
        "over_99": b"1 " + b"2" * 120 + b"\n",
    },
}


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    for target, seeds in SEEDS.items():
        folder = os.path.join(sys.argv[1], target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
