#!/usr/bin/python3
"""Checks JPEG in against libjpeg-turbo's djpeg and Pillow.

JPEGs that Pillow (baseline, progressive, grey, 4:4:4, 4:2:2 and 4:2:0
subsampling), cjpeg (progressive, grey, RGB without YCbCr, restart markers,
arithmetic coding) and ImageMagick (progressive) write convert, under several
methods, to the same raw PBM as the PPM or PGM that djpeg makes of them:
the reader hands over libjpeg's pixels with its defaults.

CMYK JPEGs (Pillow's, ImageMagick's) are checked against the ink Pillow
reads, laid on white by the reader's rule: each of red, green and blue is
((255 - colour ink) * (255 - black ink) + 127) div 255.

Conversions run through the codec driver. A missing peer skips (exit 77)
with the reason, except when the environment variable CI is "true".
"""

import os
import random
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import interop  # noqa: E402
from interop import check, run  # noqa: E402
from png_files import METHODS, convert, shell  # noqa: E402


def photo(width, height, seed):
    """A Pillow RGB picture of smooth areas and hard edges."""
    from PIL import Image

    rng = random.Random(seed)
    image = Image.new("RGB", (width, height))
    image.putdata(
        [
            ((x * 7 + y * 3) % 256, (x * y) % 256, rng.choice((0, 60, 128, 200, 255)) if x % 9 < 3 else 128)
            for y in range(height)
            for x in range(width)
        ]
    )
    return image


def jpegs(work, width, height):
    image = photo(width, height, 3)
    ppm = os.path.join(work, "photo.ppm")
    image.save(ppm)
    out = []

    def pillow(name, picture, **options):
        path = os.path.join(work, "pillow-%s.jpg" % name)
        picture.save(path, **options)
        out.append(("Pillow " + name, path))

    pillow("baseline", image, quality=85)
    pillow("progressive", image, quality=85, progressive=True)
    pillow("grey", image.convert("L"))
    pillow("444", image, subsampling=0)
    pillow("422", image, subsampling=1)
    pillow("420", image, subsampling=2, quality=40)
    for name, options in (
        ("progressive", ["-progressive"]),
        ("grey", ["-grayscale"]),
        ("rgb", ["-rgb"]),
        ("restart", ["-restart", "1"]),
        ("arithmetic", ["-arithmetic"]),
        ("optimized", ["-optimize", "-quality", "30"]),
    ):
        path = os.path.join(work, "cjpeg-%s.jpg" % name)
        shell(["cjpeg", *options, ppm], path)
        out.append(("cjpeg " + name, path))
    path = os.path.join(work, "imagemagick-progressive.jpg")
    result = run([interop.IMAGEMAGICK, ppm, "-interlace", "Plane", "-quality", "70", path])
    check(result.returncode == 0, "ImageMagick failed: %s" % result.stderr.decode(errors="replace"))
    out.append(("ImageMagick progressive", path))
    return out


def cmyk_jpegs(work, width, height):
    image = photo(width, height, 4)
    out = []
    path = os.path.join(work, "pillow-cmyk.jpg")
    image.convert("CMYK").save(path, quality=90)
    out.append(("Pillow CMYK", path))
    ppm = os.path.join(work, "cmyk-source.ppm")
    image.save(ppm)
    path = os.path.join(work, "imagemagick-cmyk.jpg")
    result = run([interop.IMAGEMAGICK, ppm, "-colorspace", "CMYK", "-quality", "90", path])
    check(result.returncode == 0, "ImageMagick failed: %s" % result.stderr.decode(errors="replace"))
    out.append(("ImageMagick CMYK", path))
    return out


def on_white(jpeg, ppm):
    """The CMYK ink Pillow reads, laid on white by the reader's rule, as a PPM."""
    from PIL import Image

    with Image.open(jpeg) as image:
        check(image.mode == "CMYK", "%s is %s to Pillow, not CMYK" % (jpeg, image.mode))
        ink = list(image.getdata())
        size = image.size
    pixels = bytearray()
    for c, m, y, k in ink:
        pixels += bytes(((255 - i) * (255 - k) + 127) // 255 for i in (c, m, y))
    with open(ppm, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % size + bytes(pixels))


def reader_cases(library, work):
    width, height = 83, 45

    def case(name, path, cmyk):
        reference = path + ".pnm"
        if cmyk:
            on_white(path, reference)
        else:
            shell(["djpeg", "-pnm", path], reference)
        for method in METHODS:
            mine = convert(library, path, path + ".pbm", "--raw", *method)
            peer = convert(library, reference, reference + ".pbm", "--raw", *method)
            check(mine == peer, "%s under %s: the PBM differs from the one of the peer's pixels" % (name, method[1]))

    cases = [(n, p, False) for n, p in jpegs(work, width, height)]
    cases += [(n, p, True) for n, p in cmyk_jpegs(work, width, height)]
    return [(name, lambda n=name, p=path, c=cmyk: case(n, p, c)) for name, path, cmyk in cases]


if __name__ == "__main__":
    missing = [tool for tool in ("djpeg", "cjpeg") if shutil.which(tool) is None]
    sys.exit(
        interop.script_main(
            "jpeg", __doc__.split("\n")[0], {"readers": reader_cases}, [m + " (libjpeg-turbo-progs)" for m in missing]
        )
    )
