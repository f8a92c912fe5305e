#!/usr/bin/python3
"""BMP variants written by image tools nobody here wrote, converted by bmp2pbm.

For every file, every token of our PBM must be the threshold of the colour a
peer decodes for that pixel: white when each channel value v of maximum M has
v * 255 >= 100 * M. netpbm keeps each file's own channel maximum (31 for a
5-bit channel), so the rule is applied to its samples exactly; Pillow gives
8-bit values.

Each writer names the peer that decodes its files correctly, and why:
  both     Pillow and bmptopnm, which must agree;
  pillow   bmptopnm cannot read it (ImageMagick's RLE8);
  netpbm   Pillow 9.4 refuses the masks ("Unsupported BMP bitfields
           layout": ImageMagick's 16-bit 4-4-4-4).
ImageMagick itself is never the oracle: IM 6.9 scales 4-bit channels so that
6 of 15 reads dark, where the rule (6 * 255 >= 100 * 15) makes it light.

Groups (one CTest test each):
  writers   Pillow (1, L, P, RGB, RGBA), ImageMagick (BMP2, BMP3, V4, V5,
            palettes of 2, 16 and 256 colours, RLE8, 16-bit subtypes,
            32-bit) and netpbm (ppmtobmp -bpp 1/4/8/24, -windows, -os2).
  refusals  those files cut short or with their pixel offset moved into their
            palette are refused, and the output is left untouched.

Same skip and CI conventions as interop.py.
"""

import os
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import interop  # noqa: E402
from interop import CheckFailed, check, run  # noqa: E402

SIZES = [(1, 1), (7, 5), (33, 9), (101, 13)]
IM = interop.IMAGEMAGICK


def quantised(pixels, colours):
    """The picture reduced to at most `colours` colours, so that a writer can
    keep the palette depth asked for."""
    from PIL import Image

    image = Image.new("RGB", (len(pixels), 1))
    image.putdata(pixels)
    if colours == 2:
        return [(255, 255, 255) if min(p) >= 100 else (0, 0, 0) for p in pixels]
    return list(image.quantize(colors=colours).convert("RGB").getdata())


def pillow_white(path):
    w, h, pixels = interop.pillow_pixels(path)
    return w, h, [min(p) >= 100 for p in pixels]


def netpbm_white(path):
    """bmptopnm's decoding, with the rule applied at its own channel maximum."""
    raw = run(["bmptopnm", path])
    check(raw.returncode == 0, "bmptopnm rejected %s: %s" % (path, raw.stderr.decode(errors="replace")))
    plain = run(["pnmtoplainpnm"], input=raw.stdout)
    check(plain.returncode == 0, "pnmtoplainpnm failed on %s" % path)
    tokens = []
    for line in plain.stdout.split(b"\n"):
        tokens.extend(line.split(b"#", 1)[0].split())
    magic, w, h = tokens[0], int(tokens[1]), int(tokens[2])
    if magic == b"P1":
        digits = b"".join(tokens[3:])
        return w, h, [d == ord("0") for d in digits]
    maxval = int(tokens[3])
    samples = [int(t) for t in tokens[4:]]
    per = 1 if magic == b"P2" else 3
    return w, h, [all(s * 255 >= 100 * maxval for s in samples[i : i + per]) for i in range(0, len(samples), per)]


def our_white(path):
    """The tokens of a PBM in our layout: "0" white."""
    data = interop.read_bytes(path)
    lines = data.split(b"\n", 3)
    check(lines[0] == b"P1" and lines[1] == b"# Created by Quorvel", "%s: not our PBM header" % path)
    w, h = (int(v) for v in lines[2].split(b" "))
    body = lines[3] if len(lines) > 3 else b""
    tokens = body.replace(b"\n", b"").split(b" ")[:-1] if body else []
    check(len(tokens) == w * h, "%s: %d tokens for %d x %d" % (path, len(tokens), w, h))
    return w, h, [t == b"0" for t in tokens]


def pillow_save(mode, **options):
    def write(ppm, bmp):
        from PIL import Image

        with Image.open(ppm) as image:
            image.convert(mode).save(bmp, format="BMP", **options)

    return write


def imagemagick(*options, prefix=""):
    def write(ppm, bmp):
        result = run([IM, ppm, *options, prefix + bmp])
        check(result.returncode == 0, "ImageMagick failed: %s" % result.stderr.decode(errors="replace"))

    return write


def ppmtobmp(*options):
    def write(ppm, bmp):
        with open(bmp, "wb") as out:
            result = subprocess.run(["ppmtobmp", *options, ppm], stdout=out, stderr=subprocess.PIPE, check=False)
        check(result.returncode == 0, "ppmtobmp failed: %s" % result.stderr.decode(errors="replace"))

    return write


# name -> (write, colours to quantise to first or None, (info size, bits, compression), oracle)
WRITERS = {
    "pillow 1": (pillow_save("1"), None, (40, 1, 0), "both"),
    "pillow L": (pillow_save("L"), None, (40, 8, 0), "both"),
    "pillow P": (pillow_save("P"), None, (40, 8, 0), "both"),
    "pillow RGB": (pillow_save("RGB"), None, (40, 24, 0), "both"),
    "pillow RGBA": (pillow_save("RGBA"), None, (40, 32, 0), "both"),
    "imagemagick BMP2": (imagemagick("-type", "TrueColor", prefix="BMP2:"), None, (12, 24, 0), "both"),
    "imagemagick BMP3": (imagemagick("-type", "TrueColor", prefix="BMP3:"), None, (40, 24, 0), "both"),
    "imagemagick V5": (imagemagick("-type", "TrueColor"), None, (124, 24, 0), "both"),
    "imagemagick V4 monochrome": (imagemagick("-monochrome"), None, (108, 1, 0), "both"),
    "imagemagick V5 2 colours": (imagemagick("-colors", "2", "-type", "Palette", "-compress", "None"), None,
                                 (124, 1, 0), "both"),
    "imagemagick V5 16 colours": (imagemagick("-colors", "16", "-type", "Palette", "-compress", "None"), None,
                                  (124, 4, 0), "both"),
    "imagemagick V5 256 colours": (imagemagick("-type", "Palette", "-compress", "None"), 256, (124, 8, 0), "both"),
    "imagemagick BMP3 RLE8": (imagemagick("-type", "Palette", prefix="BMP3:"), 256, (40, 8, 1), "pillow"),
    "imagemagick V5 RLE8": (imagemagick("-type", "Palette", "-compress", "RLE"), 256, (124, 8, 1), "pillow"),
    "imagemagick RGB565": (imagemagick("-define", "bmp:subtype=RGB565"), None, (124, 16, 3), "both"),
    "imagemagick RGB555": (imagemagick("-define", "bmp:subtype=RGB555"), None, (124, 16, 3), "both"),
    "imagemagick ARGB1555": (imagemagick("-alpha", "on", "-define", "bmp:subtype=ARGB1555"), None, (124, 16, 3),
                             "both"),
    "imagemagick ARGB4444": (imagemagick("-alpha", "on", "-define", "bmp:subtype=ARGB4444"), None, (124, 16, 3),
                             "netpbm"),
    "imagemagick 32-bit": (imagemagick("-alpha", "on", "-type", "TrueColorAlpha"), None, (124, 32, 3), "both"),
    "imagemagick BMP3 32-bit": (imagemagick("-alpha", "on", "-define", "bmp3:alpha=true", prefix="BMP3:"), None,
                                (40, 32, 0), "both"),
    "ppmtobmp -bpp 1": (ppmtobmp("-bpp=1"), 2, (40, 1, 0), "both"),
    "ppmtobmp -bpp 4": (ppmtobmp("-bpp=4"), 16, (40, 4, 0), "both"),
    "ppmtobmp -bpp 8": (ppmtobmp("-bpp=8"), 256, (40, 8, 0), "both"),
    "ppmtobmp -bpp 24": (ppmtobmp("-bpp=24"), None, (40, 24, 0), "both"),
    "ppmtobmp -windows": (ppmtobmp("-windows"), 256, (40, 8, 0), "both"),
    "ppmtobmp -os2 1-bit": (ppmtobmp("-os2", "-bpp=1"), 2, (12, 1, 0), "both"),
    "ppmtobmp -os2 4-bit": (ppmtobmp("-os2", "-bpp=4"), 16, (12, 4, 0), "both"),
    "ppmtobmp -os2 24-bit": (ppmtobmp("-os2", "-bpp=24"), None, (12, 24, 0), "both"),
}


def layout(data):
    info, = struct.unpack_from("<I", data, 14)
    if info == 12:
        return 12, struct.unpack_from("<H", data, 24)[0], 0
    bits, compression = struct.unpack_from("<HI", data, 28)
    return info, bits, compression


def make(work, name, size):
    write, colours, expected_layout, oracle = WRITERS[name]
    width, height = size
    stem = os.path.join(work, "%s_%dx%d" % (name.replace(" ", "_").replace("/", "_"), width, height))
    pixels = interop.random_picture(width, height, stem)
    if colours:
        pixels = quantised(pixels, colours)
    interop.write_ppm(stem + ".ppm", width, height, pixels)
    write(stem + ".ppm", stem + ".bmp")
    got = layout(interop.read_bytes(stem + ".bmp"))
    if size == (1, 1):  # one colour: palette writers drop to 1 bit, uncompressed
        got, expected_layout = got[0], expected_layout[0]
    check(got == expected_layout, "%s wrote (header, bits, compression) %s, expected %s" % (name, got, expected_layout))
    return stem, oracle


def writer_cases(library, work):
    def run_case(name, size):
        stem, oracle = make(work, name, size)
        if oracle == "both":
            expected = pillow_white(stem + ".bmp")
            check(netpbm_white(stem + ".bmp") == expected, "Pillow and bmptopnm disagree")
        else:
            expected = (pillow_white if oracle == "pillow" else netpbm_white)(stem + ".bmp")
        library.convert_ok("bmp2pbm", stem + ".bmp", stem + ".pbm")
        got = our_white(stem + ".pbm")
        check(got[:2] == expected[:2], "size %s, %s reads %s" % (got[:2], oracle, expected[:2]))
        if got[2] != expected[2]:
            first = next(i for i, (a, b) in enumerate(zip(got[2], expected[2])) if a != b)
            raise CheckFailed("pixel (%d, %d) differs from %s" % (first % size[0], first // size[0], oracle))

    return [("%s %dx%d" % (name, *size), lambda n=name, s=size: run_case(n, s)) for name in WRITERS for size in SIZES]


def refusal_cases(library, work):
    def refused(stem, data, reason):
        path = stem + ".bad.bmp"
        with open(path, "wb") as f:
            f.write(data)
        sentinel = b"sentinel: must survive a refused conversion\n"
        with open(stem + ".pbm", "wb") as f:
            f.write(sentinel)
        status, message = library.convert("bmp2pbm", path, stem + ".pbm")
        check(status != 0, "converted, expected a refusal")
        check(reason in message, "refused with %r, expected %r" % (message, reason))
        check(interop.read_bytes(stem + ".pbm") == sentinel, "the existing output was changed")

    def cut(name):
        stem, _ = make(work, name, (7, 5))
        data = interop.read_bytes(stem + ".bmp")
        refused(stem, data[:-4], "pixel data is truncated")

    def offset_into_palette(name):
        stem, _ = make(work, name, (7, 5))
        data = bytearray(interop.read_bytes(stem + ".bmp"))
        offset, = struct.unpack_from("<I", data, 10)
        struct.pack_into("<I", data, 10, offset - 4)
        refused(stem, bytes(data), "points into the headers, masks or palette")

    cases = [("%s cut short" % n, lambda n=n: cut(n)) for n in ("pillow 1", "ppmtobmp -os2 4-bit", "pillow RGBA")]
    cases += [("%s offset into its palette" % n, lambda n=n: offset_into_palette(n))
              for n in ("pillow P", "imagemagick V5 16 colours", "ppmtobmp -os2 1-bit")]
    return cases


GROUPS = {"writers": writer_cases, "refusals": refusal_cases}


if __name__ == "__main__":
    sys.exit(interop.script_main("bmp variants", __doc__.split("\n")[0], GROUPS))
