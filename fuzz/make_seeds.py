#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: a few small inputs per target,
built from the file layouts, each reaching a different part of its converter.

    make_seeds.py OUTPUT_DIR    # makes OUTPUT_DIR/{bmp2pbm,pbm2bmp,header,methods,pnm,codecs,writers}/
"""

import os
import struct
import sys
import zlib


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


def variant(width, height, bits, compression=0, info_size=40, palette=None, masks=None, data=None, top_down=False,
            colors_used=0, alpha_mask=False):
    """A BMP of any variant: a core header when info_size is 12, masks after a
    40-byte header or inside a larger one, a palette, then `data` (default:
    rows of bytes running through every value)."""
    core = info_size == 12
    if core:
        info = struct.pack("<IHHHH", 12, width, height, 1, bits)
    else:
        info = struct.pack("<IiiHHIIiiII", info_size, width, -height if top_down else height, 1, bits, compression,
                           0, 2835, 2835, colors_used, 0)
    after = b""
    if masks is not None:
        packed = struct.pack("<III", *masks) + (struct.pack("<I", 0xFF000000) if alpha_mask else b"")
        if info_size >= 52:
            info = info[:40] + packed[:16]
        else:
            after = packed
    info += bytes(info_size - len(info))
    entries = palette if palette is not None else []
    table = b"".join(bytes(e[:3]) + (b"" if core else b"\0") for e in entries)
    if data is None:
        stride = (width * bits + 31) // 32 * 4
        data = bytes((37 * i + 11) % 256 for i in range(stride * height))
    offset = 14 + len(info) + len(after) + len(table)
    return b"BM" + struct.pack("<IHHI", offset + len(data), 0, 0, offset) + info + after + table + data


GREYS = [(v, v, v) for v in (0, 99, 100, 255)]
RAMP = [(v, (v * 3) % 256, 255 - v) for v in range(0, 256)]
# RLE streams with every escape: runs, literal runs odd and even, a run past
# the row end, a move, an end of line at the start of a row, end of bitmap.
RLE8 = bytes([3, 1, 0, 3, 4, 5, 6, 0, 0, 20, 2, 0, 0, 0, 0, 0, 2, 1, 1, 2, 7, 0, 4, 1, 2, 3, 4, 0, 0, 0, 1])
RLE4 = bytes([3, 0x12, 0, 3, 0x45, 0x60, 0, 0, 20, 0x21, 0, 0, 0, 0, 0, 2, 1, 1, 2, 0x7F, 0, 4, 0x12, 0x34, 0, 1])


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
        "2x2_8bit_no_palette": bmp(2, 2, bit_count=8),
        "2x2_rle_24bit": bmp(2, 2, compression=1),
        "9x3_1bit": variant(9, 3, 1, palette=GREYS[:2]),
        "9x3_2bit": variant(9, 3, 2, palette=GREYS),
        "9x3_2bit_short_palette": variant(9, 3, 2, palette=GREYS[:3], colors_used=3),
        "5x3_4bit_core": variant(5, 3, 4, info_size=12, palette=RAMP[::16]),
        "7x2_8bit": variant(7, 2, 8, palette=RAMP),
        "7x2_8bit_top_down_v5": variant(7, 2, 8, info_size=124, palette=RAMP, top_down=True),
        "6x2_16bit_555": variant(6, 2, 16),
        "6x2_16bit_565": variant(6, 2, 16, compression=3, masks=(0xF800, 0x07E0, 0x001F)),
        "6x2_16bit_444_v4": variant(6, 2, 16, compression=3, info_size=108, masks=(0x0F00, 0x00F0, 0x000F)),
        "6x2_16bit_bad_mask": variant(6, 2, 16, compression=3, masks=(0xF00F, 0x07E0, 0x001F)),
        "5x2_32bit": variant(5, 2, 32),
        "5x2_32bit_alpha_fields": variant(5, 2, 32, compression=6, masks=(0xFF0000, 0xFF00, 0xFF), alpha_mask=True),
        "5x2_32bit_fields_56": variant(5, 2, 32, compression=3, info_size=56, masks=(0x3FF00000, 0xFFC00, 0x3FF)),
        "8x6_rle8": variant(8, 6, 8, compression=1, palette=RAMP, data=RLE8),
        "8x6_rle4": variant(8, 6, 4, compression=2, palette=RAMP[::16], data=RLE4),
        "8x6_rle8_truncated": variant(8, 6, 8, compression=1, palette=RAMP, data=RLE8[:9]),
        "1x1_core_24bit": variant(1, 1, 24, info_size=12),
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
    # The first byte is the luma threshold, the rest a PGM, PPM or PAM.
    "pnm": {
        "p2_ramp": b"\x80P2 4 2 15\n0 5 10 15\n15 10 5 0\n",
        "p3_comments": b"\x80P3#c\n2 1 255\n255 0 0 # red\n0 0 255\n",
        "p5_255": b"\x40P5 3 2 255\n" + bytes([0, 64, 128, 192, 255, 1]),
        "p5_16bit": b"\x40P5 2 1 1000\n\x03\xe8\x01\xf4",
        "p6_short": b"\x80P6 2 2 255\n" + bytes(5),
        "p6_two_pictures": b"\x80P6 1 1 255\n\xff\xff\xffP6 1 1 255\n\x00\x00\x00",
        "p2_over_maxval": b"\x80P2 2 1 7\n3 8\n",
        "pam_rgb_alpha": b"\x80P7\nWIDTH 2\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"
        + bytes([255, 0, 0, 128, 0, 0, 0, 0]),
        "pam_bw": b"\x80P7\nWIDTH 3\nHEIGHT 1\nDEPTH 1\nMAXVAL 1\nTUPLTYPE BLACKANDWHITE\nENDHDR\n\x00\x01\x00",
        "pam_cmyk": b"\x80P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE CMYK\nENDHDR\n\x00\x00\x00\x00",
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
        "long_comment": b"\x00#" + b"c" * 4000 + b"\n1 1\n",
    },
}


def png(width, height, depth, colour, rows, chunks=(), interlace=0):
    """A PNG from its layout: unfiltered rows, zlib at its default level."""

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    ihdr = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, interlace)
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
    for kind, body in chunks:
        out += chunk(kind, body)
    return out + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


def tiff(width, height, bits, samples, photometric, strip):
    """A little-endian TIFF of one uncompressed strip."""
    entries = [(256, 4, 1, width), (257, 4, 1, height), (258, 3, 1, bits), (259, 3, 1, 1), (262, 3, 1, photometric),
               (273, 4, 1, 8), (277, 3, 1, samples), (278, 4, 1, height), (279, 4, 1, len(strip))]
    body = strip + b"\0" * (len(strip) % 2)
    directory = struct.pack("<H", len(entries))
    for tag, kind, count, value in entries:
        directory += struct.pack("<HHI", tag, kind, count) + (struct.pack("<HH", value, 0) if kind == 3 else struct.pack("<I", value))
    return b"II*\0" + struct.pack("<I", 8 + len(body)) + body + directory + b"\0\0\0\0"


def codec_seeds():
    """PNG and TIFF built here, and JPEGs where Pillow is at hand."""
    seeds = {
        "png_grey1": png(9, 2, 1, 0, b"\0\xa5\x80\0\x5a\x00"),
        "png_grey16_trns": png(2, 1, 16, 0, b"\0\x12\x34\xff\xff", [(b"tRNS", b"\x12\x34")]),
        "png_palette_trns": png(3, 1, 2, 3, b"\0\x1b", [(b"PLTE", bytes(range(9))), (b"tRNS", b"\x80")]),
        "png_rgba8": png(2, 1, 8, 6, b"\0" + bytes([255, 0, 0, 128, 0, 0, 0, 0])),
        "png_grey_alpha_interlaced": png(3, 3, 8, 4, b"\0\x10\x20" + b"\0\x30\x40\x50\x60" + b"\0\x70\x80" * 2, interlace=1),
        "png_cut": png(8, 8, 8, 2, bytes(200))[:60],
        "png_cut_in_idat": png(16, 16, 8, 0, bytes((i * 89 + i // 17 * 7) % 256 if i % 17 else 0 for i in range(272)))[:-60],
        "tiff_bilevel": tiff(11, 2, 1, 1, 0, b"\xa5\x5a\x0f\xf0"),
        "tiff_grey8": tiff(3, 2, 8, 1, 1, bytes([0, 128, 255, 1, 2, 3])),
        "tiff_cut": tiff(40, 40, 8, 1, 1, bytes(1600))[:300],
    }
    try:
        import io

        from PIL import Image
    except ImportError:
        return seeds
    image = Image.new("RGB", (19, 11))
    image.putdata([((x * 13) % 256, (y * 23) % 256, (x * y) % 256) for y in range(11) for x in range(19)])
    for name, picture, options in (
        ("jpeg_baseline", image, {}),
        ("jpeg_progressive", image, {"progressive": True}),
        ("jpeg_grey", image.convert("L"), {}),
        ("jpeg_cmyk", image.convert("CMYK"), {}),
    ):
        buffer = io.BytesIO()
        picture.save(buffer, "JPEG", **options)
        seeds[name] = buffer.getvalue()
    seeds["jpeg_cut"] = seeds["jpeg_baseline"][: len(seeds["jpeg_baseline"]) // 2]
    return seeds


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    # The codecs target: the first byte is the luma threshold.
    SEEDS["codecs"] = {name: b"\x80" + data for name, data in codec_seeds().items()}
    # The writers target: a picture of every reader behind the output byte
    # (format, variant, method, reader thread) and a threshold, each format
    # once per picture, the options turning from one picture to the next.
    pictures = {name: data[1:] for name, data in SEEDS["codecs"].items()}
    pictures.update({name: data for name, data in list(SEEDS["bmp2pbm"].items())[:6]})
    pictures.update({name: data for name, data in list(SEEDS["pbm2bmp"].items())[:4]})
    pictures.update({name: data[1:] for name, data in list(SEEDS["pnm"].items())[:4]})
    SEEDS["writers"] = {
        f"{name}_{pick:02x}": bytes((pick, 128)) + data
        for k, (name, data) in enumerate(pictures.items())
        for pick in (f | (k % 4) << 2 | ((k + f) % 7) << 4 | (k % 2) << 7 for f in range(4))
    }
    # The methods target: BMP seeds behind two bytes of options (method, raw
    # and invert; threshold or window).
    SEEDS["methods"] = {
        f"{name}_{a:02x}{b:02x}": bytes((a, b)) + data
        for name, data in SEEDS["bmp2pbm"].items()
        for a, b in ((0x08, 100), (0x01, 128), (0x0A, 0), (0x13, 0), (0x0C, 0), (0x05, 0), (0x0E, 7))
    }
    for target, seeds in SEEDS.items():
        folder = os.path.join(sys.argv[1], target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
