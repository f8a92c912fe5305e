#!/usr/bin/python3
"""Checks PNG in and out against netpbm, ImageMagick 6 and Pillow.

Groups (one CTest test each):
  readers  PNGs that Pillow (modes 1, L, LA, P with and without
           transparency, RGB, RGBA, I;16) and netpbm's pnmtopng (grey at
           1, 2, 4, 8 and 16 bits, grey and RGB with alpha or a transparent
           colour, palettes, interlaced) write. Each converts to the same
           raw PBM, under several methods, as the PAM that netpbm's
           pngtopam -alphapam makes of it: the PNG reader hands over the
           pixels a netpbm reading of the file has, by the same sample rules.
           A transparent colour on grey or RGB is the exception: pngtopam
           leaves its pixels opaque, so there the PAM is Pillow's RGBA.
  writer   1-bit PNGs (--to png) that pngtopnm, ImageMagick and Pillow read
           with the pixels of the plain PBM of the same conversion.

Conversions run through the codec driver, which picks the reader by the
first bytes. A missing peer skips (exit 77) with the reason, except when the
environment variable CI is "true": there it fails.
"""

import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import interop  # noqa: E402
from interop import check, run  # noqa: E402

METHODS = (["--method", "luma"], ["--method", "channels"], ["--method", "floyd-steinberg"], ["--method", "otsu"])


def convert(library, source, target, *options):
    result = run([*library.command, *options, source, target])
    message = result.stderr.decode(errors="replace").strip()
    check(
        result.returncode == 0,
        "%s: the driver gave status %d: %s" % (os.path.basename(source), result.returncode, message),
    )
    with open(target, "rb") as f:
        return f.read()


def shell(command, output, input_bytes=None):
    result = run(command, input=input_bytes)
    check(result.returncode == 0, "%s failed: %s" % (command[0], result.stderr.decode(errors="replace")))
    with open(output, "wb") as f:
        f.write(result.stdout)


def random_rgba(width, height, seed):
    rng = random.Random(seed)
    edge = (0, 1, 99, 100, 127, 128, 254, 255)
    value = lambda: rng.choice(edge) if rng.random() < 0.5 else rng.randrange(256)  # noqa: E731
    return [(value(), value(), value(), value()) for _ in range(width * height)]


def pillow_pngs(work, width, height):
    """(name, path) of the PNGs Pillow writes of one random picture."""
    from PIL import Image

    rgba = Image.new("RGBA", (width, height))
    rgba.putdata(random_rgba(width, height, 5))
    pictures = {
        "1": rgba.convert("1"),
        "L": rgba.convert("L"),
        "LA": rgba.convert("LA"),
        "RGB": rgba.convert("RGB"),
        "RGBA": rgba,
        "P": rgba.convert("RGB").quantize(37),
        "I16": rgba.convert("L").point(lambda v: v * 257, "I").convert("I;16"),
    }
    out = []
    for name, image in pictures.items():
        path = os.path.join(work, "pillow-%s.png" % name)
        image.save(path)
        out.append(("Pillow " + name, path))
    # A palette with transparency (tRNS), some entries half clear.
    p = pictures["P"]
    path = os.path.join(work, "pillow-P-trns.png")
    p.save(path, transparency=bytes((i * 37) % 256 for i in range(37)))
    out.append(("Pillow P with tRNS", path))
    return out


def netpbm_pngs(work, width, height):
    """(name, path) of the PNGs pnmtopng writes, from PNMs made here."""
    rng = random.Random(9)
    out = []

    def pnm(name, magic, maxval, channels):
        samples = [rng.randrange(maxval + 1) for _ in range(width * height * channels)]
        wide = maxval > 255
        body = b"".join(s.to_bytes(2 if wide else 1, "big") for s in samples)
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            f.write(b"%s\n%d %d\n%d\n" % (magic, width, height, maxval) + body)
        return path

    for maxval in (1, 3, 15, 255, 65535):
        grey = pnm("grey-%d.pgm" % maxval, b"P5", maxval, 1)
        for interlace in ([], ["-interlace"]):
            path = os.path.join(work, "grey-%d%s.png" % (maxval, "-i" if interlace else ""))
            shell(["pnmtopng", *interlace, grey], path)
            out.append(("pnmtopng grey maxval %d %s" % (maxval, " ".join(interlace)), path))
    for maxval in (255, 65535):
        colour = pnm("rgb-%d.ppm" % maxval, b"P6", maxval, 3)
        alpha = pnm("alpha-%d.pgm" % maxval, b"P5", maxval, 1)
        for name, options in (
            ("rgb", []),
            ("rgb-alpha", ["-alpha", alpha]),
            ("rgb-interlaced", ["-interlace"]),
        ):
            path = os.path.join(work, "%s-%d.png" % (name, maxval))
            shell(["pnmtopng", *options, colour], path)
            out.append(("pnmtopng %s maxval %d" % (name, maxval), path))
        grey = os.path.join(work, "grey-%d.pgm" % maxval)
        path = os.path.join(work, "grey-alpha-%d.png" % maxval)
        shell(["pnmtopng", "-alpha", alpha, grey], path)
        out.append(("pnmtopng grey with alpha maxval %d" % maxval, path))
    # A transparent colour (tRNS) on RGB and on grey, and a small palette.
    few = os.path.join(work, "few.ppm")
    with open(few, "wb") as f:
        colours = [(0, 0, 0), (255, 0, 0), (10, 200, 30), (255, 255, 255), (120, 120, 120)]
        f.write(b"P6\n%d %d\n255\n" % (width, height))
        f.write(bytes(c for _ in range(width * height) for c in rng.choice(colours)))
    few_grey = os.path.join(work, "few.pgm")
    with open(few_grey, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (width, height))
        f.write(bytes(rng.choice((0, 77, 128, 200, 255)) for _ in range(width * height)))
    for name, options, source in (
        ("palette", [], few),
        ("palette transparent red", ["-transparent", "rgb:ff/00/00"], few),
        ("palette interlaced", ["-interlace"], few),
        ("rgb transparent green", ["-force", "-transparent", "rgb:0a/c8/1e"], few),
        ("grey transparent 77", ["-force", "-transparent", "rgb:4d/4d/4d"], few_grey),
    ):
        path = os.path.join(work, name.replace(" ", "-") + ".png")
        shell(["pnmtopng", *options, source], path)
        out.append(("pnmtopng " + name, path))
    return out


def pillow_pam(png, pam):
    """The PNG as Pillow reads it, laid on RGBA, as a PAM."""
    from PIL import Image

    with Image.open(png) as image:
        rgba = image.convert("RGBA")
    with open(pam, "wb") as f:
        f.write(b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n" % rgba.size)
        f.write(bytes(c for pixel in rgba.getdata() for c in pixel))


def reader_cases(library, work):
    width, height = 37, 23

    def case(name, path):
        pam = path + ".pam"
        if "transparent" in name and "palette" not in name:
            pillow_pam(path, pam)
        else:
            shell(["pngtopam", "-alphapam", path], pam)
        for method in METHODS:
            mine = convert(library, path, path + ".pbm", "--raw", *method)
            peer = convert(library, pam, pam + ".pbm", "--raw", *method)
            check(mine == peer, "%s under %s: the PBM differs from the one of pngtopam's PAM" % (name, method[1]))

    pngs = pillow_pngs(work, width, height) + netpbm_pngs(work, width, height)
    return [(name, lambda n=name, p=path: case(n, p)) for name, path in pngs]


def writer_cases(library, work):
    def case(width, height):
        from PIL import Image

        source = os.path.join(work, "%dx%d.png" % (width, height))
        image = Image.new("RGBA", (width, height))
        image.putdata(random_rgba(width, height, width))
        image.save(source)
        png = os.path.join(work, "%dx%d-bw.png" % (width, height))
        convert(library, source, png, "--to", "png", "--method", "floyd-steinberg")
        plain = os.path.join(work, "%dx%d-bw.pbm" % (width, height))
        convert(library, source, plain, "--method", "floyd-steinberg")
        _, _, pixels = interop.netpbm_pbm_pixels(plain)
        interop.expect_pixels("Pillow reading " + png, interop.pillow_pixels(png), width, height, pixels)
        interop.expect_pixels("ImageMagick reading " + png, interop.imagemagick_pixels(png), width, height, pixels)
        result = run(["pngtopnm", png])
        check(result.returncode == 0, "pngtopnm rejected %s" % png)
        interop.expect_pixels("pngtopnm reading " + png, interop.netpbm_plain(result.stdout, png), width, height, pixels)
        with Image.open(png) as written:
            check(written.mode == "1" and written.info.get("interlace", 0) == 0, "%s is %s" % (png, written.mode))

    sizes = [(1, 1), (7, 3), (8, 8), (9, 2), (33, 17), (200, 150), (1203, 7)]
    return [("%dx%d" % s, lambda s=s: case(*s)) for s in sizes]


GROUPS = {"readers": reader_cases, "writer": writer_cases}


if __name__ == "__main__":
    sys.exit(interop.script_main("png", __doc__.split("\n")[0], GROUPS))
