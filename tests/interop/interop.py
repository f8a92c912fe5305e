#!/usr/bin/python3
"""Checks the library's conversions against image tools nobody here wrote.

Peers: netpbm (bmptopnm, ppmtobmp, pamfile, pnmtoplainpnm), ImageMagick 6
(convert-im6.q16) and Pillow. Conversions run through the driver program,
which calls the library the way its exports do and exits with the status.

Groups (one CTest test each):
  writers   24-bit BMPs written by ImageMagick (124-byte information header,
            pixels at byte 138), ImageMagick BMP3, Pillow, ppmtobmp, and
            top-down versions, at odd widths. Each converts to a PBM that
            netpbm and Pillow read with the right size and with the pixels
            of the per-channel threshold applied to the input as netpbm and
            Pillow read it; that PBM converts back to a BMP that Pillow and
            bmptopnm read with the right size and pixels.
  pbms      PBMs in the layout the library writes (LF and CR LF line ends),
            read by netpbm and Pillow as the oracle, convert to BMPs that
            Pillow and bmptopnm read back pixel for pixel.
  compact   The compact outputs: raw PBMs ("P4", --raw) that netpbm,
            ImageMagick and Pillow read with the pixels of the threshold,
            and 1-bit BMPs (--bpp 1) that they read with the PBM's pixels,
            at widths on both sides of whole bytes and 32-bit rows.

The other variants these writers make (palettes, RLE, masks, the OS/2
header) are checked by bmp_variants.py.

A missing peer skips the group (exit 77) with the reason, except when the
environment variable CI is "true": there it is a failure.
"""

import argparse
import os
import random
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile

SKIP = 77
IMAGEMAGICK = "/usr/bin/convert-im6.q16"
NETPBM = ("bmptopnm", "ppmtobmp", "pamfile", "pnmtoplainpnm")
THRESHOLD = 100
WHITE = (255, 255, 255)
BLACK = (0, 0, 0)

# Odd widths, with heights that make some pictures end exactly on a 30-token
# line (3 x 10, 45 x 2) and some not.
SIZES = [(1, 1), (1, 7), (3, 2), (3, 10), (5, 7), (7, 3), (29, 4), (31, 5), (33, 9), (45, 2), (101, 13)]
# Channel values around the threshold, so that every per-channel decision
# is exercised; the rest are random.
EDGE_VALUES = (0, 1, 98, 99, 100, 101, 254, 255)


class CheckFailed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CheckFailed(message)


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, check=False, **kwargs)


# ---- peers ----------------------------------------------------------------


def missing_peers():
    missing = [tool for tool in NETPBM if shutil.which(tool) is None]
    if not os.access(IMAGEMAGICK, os.X_OK):
        missing.append(IMAGEMAGICK)
    try:
        import PIL.Image  # noqa: F401
    except ImportError:
        missing.append("Pillow (python3-pil) for " + sys.executable)
    return missing


def pillow_pixels(path):
    """(width, height, [(r, g, b)...] top row first) as Pillow reads the file."""
    from PIL import Image

    with Image.open(path) as image:
        image.load()
        rgb = image.convert("RGB")
        return rgb.width, rgb.height, list(rgb.getdata())


def parse_plain_pnm(data):
    """(width, height, [(r, g, b)...]) of a plain PNM (P1, P2 or P3) text."""
    tokens = []
    for line in data.split(b"\n"):
        tokens.extend(line.split(b"#", 1)[0].split())
    magic = tokens[0]
    check(magic in (b"P1", b"P2", b"P3"), "netpbm gave %r, not a plain PNM" % magic[:8])
    width, height = int(tokens[1]), int(tokens[2])
    if magic == b"P1":
        # Plain PBM samples are single digits and may be written without spaces.
        digits = b"".join(tokens[3:])
        check(len(digits) == width * height, "plain PBM holds %d samples, not %d" % (len(digits), width * height))
        return width, height, [BLACK if d == ord("1") else WHITE for d in digits]
    maxval = int(tokens[3])
    samples = [int(t) * 255 // maxval for t in tokens[4:]]
    per_pixel = 1 if magic == b"P2" else 3
    check(len(samples) == width * height * per_pixel, "plain PNM holds the wrong number of samples")
    if per_pixel == 1:
        return width, height, [(s, s, s) for s in samples]
    return width, height, [tuple(samples[i : i + 3]) for i in range(0, len(samples), 3)]


def netpbm_plain(raw, what):
    result = run(["pnmtoplainpnm"], input=raw)
    check(result.returncode == 0, "pnmtoplainpnm rejected %s: %s" % (what, result.stderr.decode(errors="replace")))
    return parse_plain_pnm(result.stdout)


def netpbm_bmp_pixels(path):
    result = run(["bmptopnm", path])
    check(result.returncode == 0, "bmptopnm rejected %s: %s" % (path, result.stderr.decode(errors="replace")))
    return netpbm_plain(result.stdout, path)


def netpbm_pbm_pixels(path):
    """Size from pamfile and pixels from pnmtoplainpnm, both netpbm."""
    result = run(["pamfile", "-machine", path])
    check(result.returncode == 0, "pamfile rejected %s: %s" % (path, result.stderr.decode(errors="replace")))
    fields = result.stdout.decode().rsplit(":", 1)[1].split()
    check(fields[:2] == ["PBM", "PLAIN"], "pamfile says %s is %s" % (path, " ".join(fields[:2])))
    width, height = int(fields[2]), int(fields[3])
    with open(path, "rb") as f:
        w, h, pixels = netpbm_plain(f.read(), path)
    check((w, h) == (width, height), "pamfile and pnmtoplainpnm disagree on the size of %s" % path)
    return width, height, pixels


# ---- pictures -------------------------------------------------------------


def random_picture(width, height, seed):
    rng = random.Random(seed)
    choose = lambda: rng.choice(EDGE_VALUES) if rng.random() < 0.7 else rng.randrange(256)  # noqa: E731
    return [(choose(), choose(), choose()) for _ in range(width * height)]


def write_ppm(path, width, height, pixels):
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (width, height))
        f.write(bytes(channel for pixel in pixels for channel in pixel))


def threshold(pixels):
    """The conversion rule: white when red, green and blue are each >= 100."""
    return [WHITE if min(pixel) >= THRESHOLD else BLACK for pixel in pixels]


def write_pbm_layout(path, width, height, pixels, line_end=b"\n"):
    """The layout the library writes: three header lines, then a token per
    pixel, a line end after every 30th token of the file."""
    out = bytearray(b"P1" + line_end + b"# Created by Quorvel" + line_end + b"%d %d" % (width, height) + line_end)
    for i, pixel in enumerate(pixels, 1):
        out += b"1 " if pixel == BLACK else b"0 "
        if i % 30 == 0:
            out += line_end
    with open(path, "wb") as f:
        f.write(out)


class BmpHeader:
    def __init__(self, data):
        check(len(data) >= 54 and data[:2] == b"BM", "not a BMP")
        self.file_size, = struct.unpack_from("<I", data, 2)
        self.pixel_offset, = struct.unpack_from("<I", data, 10)
        self.info_size, self.width, self.height = struct.unpack_from("<Iii", data, 14)
        self.bit_count, = struct.unpack_from("<H", data, 28)
        self.compression, = struct.unpack_from("<I", data, 30)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def make_top_down(bottom_up_path, path):
    """The same picture with its rows stored top first and a negative height."""
    data = bytearray(read_bytes(bottom_up_path))
    h = BmpHeader(data)
    check(h.height > 0 and h.bit_count == 24, "expected a bottom-up 24-bit BMP")
    stride = (h.width * 3 + 3) // 4 * 4
    start = h.pixel_offset
    rows = [data[start + r * stride : start + (r + 1) * stride] for r in range(h.height)]
    data[start : start + stride * h.height] = b"".join(reversed(rows))
    struct.pack_into("<i", data, 22, -h.height)
    with open(path, "wb") as f:
        f.write(data)


# ---- writers --------------------------------------------------------------


def imagemagick(ppm, bmp, *options, prefix=""):
    result = run([IMAGEMAGICK, ppm, *options, prefix + bmp])
    check(result.returncode == 0, "ImageMagick failed: %s" % result.stderr.decode(errors="replace"))


def ppmtobmp(ppm, bmp, *options):
    with open(bmp, "wb") as out:
        result = subprocess.run(["ppmtobmp", *options, ppm], stdout=out, stderr=subprocess.PIPE, check=False)
    check(result.returncode == 0, "ppmtobmp failed: %s" % result.stderr.decode(errors="replace"))


def pillow_save(ppm, bmp, mode="RGB"):
    from PIL import Image

    with Image.open(ppm) as image:
        image.convert(mode).save(bmp, format="BMP")


# name -> (write(ppm, bmp, work_dir), information header size, pixel offset)
def writer_table():
    def top_down(write):
        def make(ppm, bmp, work):
            plain = os.path.join(work, "bottom-up.bmp")
            write(ppm, plain, work)
            make_top_down(plain, bmp)

        return make

    im_default = lambda ppm, bmp, work: imagemagick(ppm, bmp, "-type", "TrueColor")  # noqa: E731
    pillow = lambda ppm, bmp, work: pillow_save(ppm, bmp)  # noqa: E731
    return {
        "imagemagick": (im_default, 124, 138),
        "imagemagick-bmp3": (lambda p, b, w: imagemagick(p, b, "-type", "TrueColor", prefix="BMP3:"), 40, 54),
        "pillow": (pillow, 40, 54),
        "ppmtobmp": (lambda p, b, w: ppmtobmp(p, b, "-bpp=24"), 40, 54),
        "imagemagick-top-down": (top_down(im_default), 124, 138),
        "pillow-top-down": (top_down(pillow), 40, 54),
    }


# ---- the library ----------------------------------------------------------


class Library:
    def __init__(self, driver, emulator=()):
        self.command = [*emulator, driver]

    def convert(self, direction, source, target, *options):
        """(exit status, message) of one conversion."""
        result = run([*self.command, *options, direction, source, target])
        message = result.stderr.decode(errors="replace").strip()
        # A signal, bad usage or a sanitizer report is never a clean refusal.
        check(
            0 <= result.returncode < 125 and "Sanitizer" not in message and "runtime error:" not in message,
            "%s %s: the driver failed (exit %d): %s" % (direction, source, result.returncode, message),
        )
        return result.returncode, message

    def convert_ok(self, direction, source, target, *options):
        status, message = self.convert(direction, source, target, *options)
        check(status == 0, "%s %s refused (status %d): %s" % (direction, source, status, message))


def expect_pixels(what, got, width, height, pixels):
    w, h, p = got
    check((w, h) == (width, height), "%s: size %dx%d, expected %dx%d" % (what, w, h, width, height))
    if p != pixels:
        first = next(i for i, (a, b) in enumerate(zip(p, pixels)) if a != b)
        raise CheckFailed(
            "%s: pixel (%d, %d) is %s, expected %s" % (what, first % width, first // width, p[first], pixels[first])
        )


def check_bmp_output(path, width, height, pixels):
    """A BMP the library wrote, read by Pillow and by bmptopnm."""
    data = read_bytes(path)
    header = BmpHeader(data)
    check(header.file_size == len(data), "%s: bfSize %d, file has %d bytes" % (path, header.file_size, len(data)))
    expect_pixels("Pillow reading " + path, pillow_pixels(path), width, height, pixels)
    expect_pixels("bmptopnm reading " + path, netpbm_bmp_pixels(path), width, height, pixels)


def check_pbm_output(path, width, height, pixels):
    """A PBM the library wrote, read by netpbm and by Pillow."""
    expect_pixels("netpbm reading " + path, netpbm_pbm_pixels(path), width, height, pixels)
    expect_pixels("Pillow reading " + path, pillow_pixels(path), width, height, pixels)


# ---- groups ---------------------------------------------------------------


def writer_cases(library, work):
    cases = []
    for name, (write, info_size, pixel_offset) in writer_table().items():
        for width, height in SIZES:
            cases.append(("%s %dx%d" % (name, width, height), write, info_size, pixel_offset, width, height))
    # Rows wider than a block of rows (87,381 pixels), read in pieces.
    write, info_size, pixel_offset = writer_table()["pillow"]
    cases.append(("pillow 10000x2", write, info_size, pixel_offset, 10000, 2))
    cases.append(("pillow 90001x1", write, info_size, pixel_offset, 90001, 1))

    def run_case(name, write, info_size, pixel_offset, width, height):
        stem = os.path.join(work, name.replace(" ", "_"))
        source = random_picture(width, height, name)
        write_ppm(stem + ".ppm", width, height, source)
        write(stem + ".ppm", stem + ".bmp", work)

        # The writer made what this case is about, losslessly.
        header = BmpHeader(read_bytes(stem + ".bmp"))
        check(
            (header.bit_count, header.compression, header.info_size, header.pixel_offset)
            == (24, 0, info_size, pixel_offset),
            "%s wrote a %d-bit BMP, compression %d, %d-byte header, pixels at %d"
            % (name, header.bit_count, header.compression, header.info_size, header.pixel_offset),
        )
        check((header.height < 0) == ("top-down" in name), "%s: unexpected row order" % name)
        by_pillow = pillow_pixels(stem + ".bmp")
        by_netpbm = netpbm_bmp_pixels(stem + ".bmp")
        expect_pixels("Pillow reading the input", by_pillow, width, height, source)
        expect_pixels("bmptopnm reading the input", by_netpbm, width, height, source)

        # The threshold, applied to the input as the peers read it.
        expected = threshold(by_netpbm[2])
        check(expected == threshold(by_pillow[2]), "peers disagree on the threshold")
        library.convert_ok("bmp2pbm", stem + ".bmp", stem + ".pbm")
        check_pbm_output(stem + ".pbm", width, height, expected)

        if width <= 1000:  # the most PBM to BMP holds
            library.convert_ok("pbm2bmp", stem + ".pbm", stem + ".back.bmp")
            check_bmp_output(stem + ".back.bmp", width, height, expected)

    return [(c[0], lambda c=c: run_case(*c)) for c in cases]


def pbm_cases(library, work):
    sizes = SIZES + [(1000, 3), (1, 1000), (1000, 1000)]
    cases = []
    for width, height in sizes:
        for line_end in (b"\n", b"\r\n"):
            # The full 1000 x 1000 picture once is enough.
            if (width, height) == (1000, 1000) and line_end != b"\n":
                continue
            name = "pbm %dx%d %s" % (width, height, "LF" if line_end == b"\n" else "CRLF")
            cases.append((name, width, height, line_end))

    def run_case(name, width, height, line_end):
        stem = os.path.join(work, name.replace(" ", "_"))
        pixels = threshold(random_picture(width, height, name))
        write_pbm_layout(stem + ".pbm", width, height, pixels, line_end)

        # The oracle is the input as netpbm and Pillow read it.
        by_netpbm = netpbm_pbm_pixels(stem + ".pbm")
        expect_pixels("netpbm reading the input", by_netpbm, width, height, pixels)
        expect_pixels("Pillow reading the input", pillow_pixels(stem + ".pbm"), width, height, by_netpbm[2])

        library.convert_ok("pbm2bmp", stem + ".pbm", stem + ".bmp")
        check_bmp_output(stem + ".bmp", width, height, by_netpbm[2])

    return [(c[0], lambda c=c: run_case(*c)) for c in cases]


def imagemagick_pixels(path):
    """The pixels as ImageMagick reads the file, through a plain PPM."""
    result = run([IMAGEMAGICK, path, "-compress", "none", "ppm:-"])
    check(result.returncode == 0, "ImageMagick rejected %s: %s" % (path, result.stderr.decode(errors="replace")))
    return parse_plain_pnm(result.stdout)


def compact_cases(library, work):
    sizes = [(1, 1), (7, 3), (8, 2), (9, 5), (31, 4), (32, 3), (33, 7), (65, 2), (101, 13), (1000, 3)]

    def run_case(name, width, height):
        stem = os.path.join(work, name.replace(" ", "_"))
        source = random_picture(width, height, name)
        write_ppm(stem + ".ppm", width, height, source)
        pillow_save(stem + ".ppm", stem + ".bmp")
        expected = threshold(source)

        library.convert_ok("bmp2pbm", stem + ".bmp", stem + ".pbm", "--raw")
        with open(stem + ".pbm", "rb") as f:
            check(f.read(2) == b"P4", "--raw wrote no raw PBM")
        result = run(["pamfile", "-machine", stem + ".pbm"])
        check(result.stdout.decode().rsplit(":", 1)[1].split()[:2] == ["PBM", "RAW"], "pamfile: not a raw PBM")
        with open(stem + ".pbm", "rb") as f:
            expect_pixels("netpbm reading " + stem + ".pbm", netpbm_plain(f.read(), stem), width, height, expected)
        expect_pixels("Pillow reading " + stem + ".pbm", pillow_pixels(stem + ".pbm"), width, height, expected)
        expect_pixels("ImageMagick reading " + stem + ".pbm", imagemagick_pixels(stem + ".pbm"), width, height,
                      expected)

        library.convert_ok("pbm2bmp", stem + ".pbm", stem + ".1.bmp", "--bpp=1")
        header = BmpHeader(read_bytes(stem + ".1.bmp"))
        check(header.bit_count == 1, "--bpp 1 wrote a %d-bit BMP" % header.bit_count)
        check_bmp_output(stem + ".1.bmp", width, height, expected)
        expect_pixels("ImageMagick reading " + stem + ".1.bmp", imagemagick_pixels(stem + ".1.bmp"), width, height,
                      expected)

    return [(n, lambda c=(n, w, h): run_case(*c)) for n, w, h in (("%dx%d" % s, *s) for s in sizes)]


GROUPS = {"writers": writer_cases, "pbms": pbm_cases, "compact": compact_cases}


def script_main(title, description, groups, extra_missing=()):
    """The command line of an interop script: --driver, --group when there are
    several groups, --emulator, --keep. Runs the chosen group's cases, or
    skips (exit 77) when a peer is missing, which fails when CI is "true"."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--driver", required=True, help="the conversion driver program")
    if len(groups) > 1:
        parser.add_argument("--group", required=True, choices=sorted(groups))
    parser.add_argument("--emulator", default="", help="command that runs the driver (cross builds)")
    parser.add_argument("--keep", action="store_true", help="keep the work directory for inspection")
    args = parser.parse_args()
    group = args.group if len(groups) > 1 else next(iter(groups))
    name = title + " " + group if len(groups) > 1 else title

    missing = missing_peers() + list(extra_missing)
    if missing:
        message = "%s: missing peer(s): %s" % (name, ", ".join(missing))
        if os.environ.get("CI") == "true":
            print("FAILED: " + message + " (required when CI=true)")
            return 1
        print("SKIPPED: " + message)
        return SKIP

    work = tempfile.mkdtemp(prefix="qpbm-%s-" % name.replace(" ", "-"))
    library = Library(os.path.abspath(args.driver), shlex.split(args.emulator))
    return run_cases(name, groups[group](library, work), work, args.keep)


def run_cases(title, cases, work, keep):
    """Runs (name, check) pairs, prints each failure and a count; the exit code."""
    failures = 0
    for name, case in cases:
        try:
            case()
        except CheckFailed as error:
            failures += 1
            print("FAIL %s: %s" % (name, error))
    print("%s: %d cases, %d failed" % (title, len(cases), failures))
    if keep:
        print("work directory kept: " + work)
    else:
        shutil.rmtree(work)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(script_main("interop", __doc__.split("\n")[0], GROUPS))
