#!/usr/bin/python3
"""Checks TIFF in and out against libtiff's tools, netpbm, ImageMagick and Pillow.

Group readers:
Pillow writes RGB, grey and bilevel pictures uncompressed and with PackBits,
LZW, Deflate, JPEG (colour and grey) and CCITT G3 and G4 (bilevel), a
palette and RGBA (unassociated alpha); netpbm's pamtotiff writes grey of 2,
4 and 16 bits, MinIsWhite grey, and 16-bit RGB; tiffcp makes tiled and
two-page files. Each converts, under several methods, to the same raw PBM as
the PNM that tifftopnm makes of it (of the page asked for with --page).
RGBA is checked against Pillow's pixels laid over white, since tifftopnm
drops alpha.

Group writer: 1-bit TIFFs (--to tiff, G4, PackBits and none) that tiffinfo
describes as one MinIsWhite page of that compression, and that tifftopnm,
ImageMagick and Pillow read with the pixels of the plain PBM of the same
conversion.

Conversions run through the codec driver. A missing peer skips (exit 77)
with the reason, except when the environment variable CI is "true".
"""

import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import interop  # noqa: E402
from interop import check  # noqa: E402
from jpeg_files import photo  # noqa: E402
from png_files import METHODS, convert, pillow_pam, shell  # noqa: E402


def tiffs(work, width, height):
    image = photo(width, height, 6)
    out = []

    def pillow(name, picture, **options):
        path = os.path.join(work, "pillow-%s.tif" % name)
        picture.save(path, **options)
        out.append(("Pillow " + name, path, []))
        return path

    for compression in ("raw", "packbits", "tiff_lzw", "tiff_adobe_deflate", "jpeg"):
        pillow("rgb-" + compression, image, compression=compression)
        pillow("grey-" + compression, image.convert("L"), compression=compression)
    bilevel = image.convert("L").point(lambda v: 255 if v > 110 else 0).convert("1")
    for compression in ("raw", "packbits", "group3", "group4", "tiff_lzw"):
        pillow("bilevel-" + compression, bilevel, compression=compression)
    pillow("palette", image.quantize(50))
    rgba = image.convert("RGBA")
    rgba.putalpha(image.convert("L"))
    out.append(("Pillow RGBA", pillow("rgba", rgba), ["pillow"]))
    out.pop(-2)

    def pgm(name, maxval, channels=1):
        path = os.path.join(work, name)
        samples = [(x * 37 + y * 11) % (maxval + 1) for y in range(height) for x in range(width * channels)]
        wide = maxval > 255
        with open(path, "wb") as f:
            f.write(b"%s\n%d %d\n%d\n" % (b"P5" if channels == 1 else b"P6", width, height, maxval))
            f.write(b"".join(s.to_bytes(2 if wide else 1, "big") for s in samples))
        return path

    for name, source, options in (
        ("grey 2-bit", pgm("g3.pgm", 3), []),
        ("grey 4-bit", pgm("g15.pgm", 15), []),
        ("grey 16-bit", pgm("g65535.pgm", 65535), ["byrow"]),
        ("grey MinIsWhite", pgm("g255.pgm", 255), ["-miniswhite"]),
        ("RGB 16-bit", pgm("c65535.ppm", 65535, 3), ["byrow"]),
    ):
        path = os.path.join(work, "pamtotiff-%s.tif" % name.replace(" ", "-"))
        shell(["pamtotiff", *[o for o in options if o != "byrow"], source], path)
        out.append(("pamtotiff " + name, path, ["byrow"] if "byrow" in options else []))
    for name, source, options in (
        ("tiled RGB", "pillow-rgb-raw.tif", ["-t", "-w", "16", "-l", "16", "-c", "lzw"]),
        ("tiled G4", "pillow-bilevel-raw.tif", ["-t", "-w", "32", "-l", "16", "-c", "g4"]),
        ("rows per strip 3", "pillow-grey-raw.tif", ["-r", "3", "-c", "zip"]),
    ):
        path = os.path.join(work, "tiffcp-%s.tif" % name.replace(" ", "-"))
        shell(["tiffcp", *options, os.path.join(work, source), path], path + ".log")
        out.append(("tiffcp " + name, path, []))
    two = os.path.join(work, "two-pages.tif")
    shell(["tiffcp", os.path.join(work, "pillow-grey-raw.tif"), os.path.join(work, "pillow-rgb-tiff_lzw.tif"), two], two + ".log")
    out.append(("tiffcp two pages, page 2", two, ["page", "2"]))
    return out


def reader_cases(library, work):
    width, height = 67, 29

    def case(name, path, how):
        reference = path + ".pnm"
        page = []
        if how[:1] == ["pillow"]:
            pillow_pam(path, reference)
        elif how[:1] == ["page"]:
            # tifftopnm reads the first page: tiffsplit makes the page asked for one.
            page = ["--page", how[1]]
            prefix = path + "-page-"
            shell(["tiffsplit", path, prefix], prefix + "log")
            shell(["tifftopnm", prefix + "aa" + "abcdefghij"[int(how[1]) - 1] + ".tif"], reference)
        else:
            # -byrow keeps 16-bit samples whole; the default reading takes 8 bits.
            shell(["tifftopnm", *(["-byrow"] if how == ["byrow"] else []), path], reference)
        for method in METHODS:
            mine = convert(library, path, path + ".pbm", "--raw", *page, *method)
            peer = convert(library, reference, reference + ".pbm", "--raw", *method)
            check(mine == peer, "%s under %s: the PBM differs from the one of the peer's pixels" % (name, method[1]))

    return [(name, lambda n=name, p=path, h=how: case(n, p, h)) for name, path, how in tiffs(work, width, height)]


def writer_cases(library, work):
    names = {"g4": "CCITT Group 4", "packbits": "PackBits", "none": "None"}

    def case(width, height, compression):
        source = os.path.join(work, "%dx%d.ppm" % (width, height))
        photo(width, height, width).save(source)
        tif = os.path.join(work, "%dx%d-%s.tif" % (width, height, compression))
        convert(library, source, tif, "--to", "tiff", "--compression", compression, "--method", "atkinson")
        plain = os.path.join(work, "%dx%d.pbm" % (width, height))
        convert(library, source, plain, "--method", "atkinson")
        _, _, pixels = interop.netpbm_pbm_pixels(plain)
        info = interop.run(["tiffinfo", tif])
        text = info.stdout.decode(errors="replace")
        check(info.returncode == 0 and text.count("TIFF Directory") == 1, "tiffinfo: %s" % text)
        for field in ("Compression Scheme: " + names[compression], "Photometric Interpretation: min-is-white"):
            check(field in text, "tiffinfo does not say %r of %s" % (field, tif))
        result = interop.run(["tifftopnm", tif])
        check(result.returncode == 0, "tifftopnm rejected %s" % tif)
        interop.expect_pixels("tifftopnm reading " + tif, interop.netpbm_plain(result.stdout, tif), width, height, pixels)
        interop.expect_pixels("Pillow reading " + tif, interop.pillow_pixels(tif), width, height, pixels)
        interop.expect_pixels("ImageMagick reading " + tif, interop.imagemagick_pixels(tif), width, height, pixels)

    sizes = [(1, 1), (9, 2), (33, 17), (1203, 121)]
    return [
        ("%dx%d %s" % (w, h, c), lambda w=w, h=h, c=c: case(w, h, c))
        for w, h in sizes
        for c in ("g4", "packbits", "none")
    ]


if __name__ == "__main__":
    tools = ("tifftopnm", "pamtotiff", "tiffcp", "tiffsplit", "tiffinfo")
    missing = [tool for tool in tools if shutil.which(tool) is None]
    groups = {"readers": reader_cases, "writer": writer_cases}
    sys.exit(interop.script_main("tiff", __doc__.split("\n")[0], groups, missing))
