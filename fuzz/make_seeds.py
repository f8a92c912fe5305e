#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: a few small inputs per target,
built from the file layouts, each reaching a different part of its converter.

    make_seeds.py OUTPUT_DIR    # makes OUTPUT_DIR/{bmp2pbm,pbm2bmp,header}/
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
        "j_six_per_line": b"P1\n# J\n6 10\n" + b"0 0 0 0 1 0\n" * 6 + b"1 0 0 0 1 0\n0 1 1 1 0 0\n" + b"0 0 0 0 0 0\n" * 2,
        "no_separators": b"P1 5 3 010101010101010",
        "raster_comments": b"P1#c\n3#c\r2 0 # 1 1\r1\t0 1 1",
        "raw_p4": b"P4\n# c\n8 1\n\xaa",
        "raw_9x3_padding": b"P4 9 3\n\x80\xff\x7f\x7f\x00\x80",
        "raw_cut": b"P4 17 4\n\x12\x34",
        "leading_zeros": b"P1 007 002\n" + b"01" * 7,
        "too_large": pbm(1001, 1, tokens=0),
        "too_large_for_bmp": b"P4 40000 40000\n",
        "signed": b"P1 -2 2\n0 0 0 0",
        "over_int32": b"P1 2147483648 1\n0",
    },
    # The first byte picks the magic: even "P1", odd "P4".
    "header": {
        "plain_640x480_crlf": b"\x00\r\n640 480\r\n",
        "raw_1000x99": b"\x01\n1000 99\n",
        "comments": b"\x00#c\n3#c\r2\n",
        "signs": b"\x00 +12 -0\n",
        "leading_zeros": b"\x01 " + b"0" * 30 + b"12 1\n",
        "over_int32": b"\x00 2147483648 1\n",
        "int32_max": b"\x00 1 2147483647\n",
        "no_separator": b"\x00640 480\n",
        "raw_comment_after_height": b"\x01 2 2#c\n",
        "letters": b"\x00 abc 7\n",
        "nul": b"\x00 12 3\x004\n",
        "pipe_limit": b"\x00 1001 1\n",
        "long_comment": b"\x00#" + b"c" * 70000 + b"\n1 1\n",
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
