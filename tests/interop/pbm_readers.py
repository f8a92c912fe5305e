#!/usr/bin/python3
"""Checks that the library reads the PBMs other programs write.

Writers: netpbm (pnmtoplainpnm and pamtopnm -plain for plain PBM, pamtopnm
and pbmmake for raw), ImageMagick 6 (-compress none for plain, the default
for raw) and Pillow (raw). Each writes pictures of several sizes, odd widths
and one above 1000 x 1000; the library converts each to a BMP (through the
driver program), and the BMP, read by Pillow, must hold the picture that the
writer's own reader sees in the PBM: netpbm's pnmtoplainpnm for netpbm,
ImageMagick's own conversion to plain PPM for ImageMagick, Pillow for Pillow.

Same conventions as interop.py: a missing peer skips (exit 77) with the
reason, except when the environment variable CI is "true": there it fails.

    pbm_readers.py --driver PATH [--emulator CMD] [--keep]
"""

import os
import random
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import interop  # noqa: E402
from interop import BLACK, WHITE, check, run  # noqa: E402

# Odd widths, widths around a byte of raw pixels, and one over 1000 x 1000.
SIZES = [(1, 1), (3, 2), (7, 5), (8, 3), (9, 4), (17, 1), (33, 9), (101, 13), (1203, 1001)]


def random_bits(width, height, seed):
    """True for black, top row first: runs of either, so that rows differ."""
    rng = random.Random(seed)
    bits, black = [], False
    for _ in range(width * height):
        if rng.random() < 0.3:
            black = not black
        bits.append(black)
    return bits


def write_raw_pbm(path, width, height, black):
    """The source picture, written here from the raw PBM layout."""
    out = bytearray(b"P4\n%d %d\n" % (width, height))
    for y in range(height):
        row = black[y * width : (y + 1) * width]
        for x in range(0, width, 8):
            byte = 0
            for bit, b in enumerate(row[x : x + 8]):
                if b:
                    byte |= 0x80 >> bit
            out.append(byte)
    with open(path, "wb") as f:
        f.write(out)


def shell_out(command, output):
    result = run(command)
    check(result.returncode == 0, "%s failed: %s" % (command[0], result.stderr.decode(errors="replace")))
    with open(output, "wb") as f:
        f.write(result.stdout)


# ---- writers: (write(source, output), magic written, reader) -------------


def netpbm_reader(path):
    with open(path, "rb") as f:
        return interop.netpbm_plain(f.read(), path)


def imagemagick_reader(path):
    result = run([interop.IMAGEMAGICK, path, "-compress", "none", "ppm:-"])
    check(result.returncode == 0, "ImageMagick cannot read %s: %s" % (path, result.stderr.decode(errors="replace")))
    return interop.parse_plain_pnm(result.stdout)


def pillow_write(source, output):
    from PIL import Image

    with Image.open(source) as image:
        image.save(output, format="PPM")  # a mode "1" picture is saved as raw PBM


def pbmmake(width, height):
    """pbmmake makes its own picture: a grey checkerboard of single pixels."""
    def write(source, output, plain):
        shell_out(["pbmmake", "-gray", *(["-plain"] if plain else []), str(width), str(height)], output)
    return write


WRITERS = {
    "pnmtoplainpnm": (lambda s, o: shell_out(["pnmtoplainpnm", s], o), b"P1", netpbm_reader),
    "pamtopnm -plain": (lambda s, o: shell_out(["pamtopnm", "-plain", s], o), b"P1", netpbm_reader),
    "pamtopnm": (lambda s, o: shell_out(["pamtopnm", s], o), b"P4", netpbm_reader),
    "imagemagick -compress none": (
        lambda s, o: shell_out([interop.IMAGEMAGICK, s, "-compress", "none", "pbm:-"], o), b"P1", imagemagick_reader),
    "imagemagick": (lambda s, o: shell_out([interop.IMAGEMAGICK, s, "pbm:-"], o), b"P4", imagemagick_reader),
    "pillow": (pillow_write, b"P4", interop.pillow_pixels),
}


def cases(library, work):
    def run_case(name, write, magic, reader, width, height):
        stem = os.path.join(work, name.replace(" ", "_"))
        write_raw_pbm(stem + ".src.pbm", width, height, random_bits(width, height, name))
        write(stem + ".src.pbm", stem + ".pbm")
        with open(stem + ".pbm", "rb") as f:
            check(f.read(2) == magic, "%s did not write %s" % (name, magic.decode()))
        w, h, expected = reader(stem + ".pbm")
        check((w, h) == (width, height), "%s: the writer's reader sees %dx%d" % (name, w, h))
        check(set(expected) <= {BLACK, WHITE}, "%s: the writer's reader sees grey" % name)
        library.convert_ok("pbm2bmp", stem + ".pbm", stem + ".bmp")
        interop.expect_pixels("Pillow reading " + stem + ".bmp", interop.pillow_pixels(stem + ".bmp"), width, height,
                              expected)
        for path in (stem + ".src.pbm", stem + ".pbm", stem + ".bmp"):
            os.remove(path)

    result = []
    for name, (write, magic, reader) in WRITERS.items():
        for width, height in SIZES:
            case = "%s %dx%d" % (name, width, height)
            result.append((case, lambda c=case, w=write, m=magic, r=reader, s=(width, height): run_case(c, w, m, r, *s)))
    for plain in (True, False):
        for width, height in ((5, 3), (1001, 1002)):
            case = "pbmmake%s %dx%d" % (" -plain" if plain else "", width, height)
            write = lambda s, o, w=width, h=height, p=plain: pbmmake(w, h)(s, o, p)  # noqa: E731
            result.append((case, lambda c=case, wr=write, m=b"P1" if plain else b"P4", s=(width, height):
                           run_case(c, wr, m, netpbm_reader, *s)))
    return result


def netpbm_writers_missing():
    if shutil.which("pbmmake") is None or shutil.which("pamtopnm") is None:
        return ["pbmmake and pamtopnm (netpbm)"]
    return []


if __name__ == "__main__":
    sys.exit(interop.script_main("interop pbm readers", __doc__.split("\n")[0], {"readers": cases},
                                 netpbm_writers_missing()))
