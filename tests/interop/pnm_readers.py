#!/usr/bin/python3
"""Checks that the tool reads the PGMs, PPMs and PAMs other programs write.

Writers: netpbm (pgmramp, ppmpat, pamdepth for maxvals 1, 2, 256 and 65535,
pnmtoplainpnm for plain files, pamtopam and pamstack for PAM, alpha
included), ImageMagick 6 (16-bit, plain, and a PAM with alpha) and Pillow
(L, RGB and 16-bit grey). Each file is read back by its writer's own reader
(netpbm's pamtable, ImageMagick's raw output, Pillow); the samples it sees,
scaled to 8 bits as (v x 255 + M div 2) div M and laid over white by their
alpha as (c x a + 255 x (255 - a) + 127) div 255, must give the bits the
tool writes: under the channels rule (white when red, green and blue each
reach 100) and under luma (white when (299 R + 587 G + 114 B) div 1000
reaches 128).

A missing peer skips (exit 77) with the reason, except when the environment
variable CI is "true": there it fails.

    pnm_readers.py --tool PATH [--emulator CMD] [--keep]
"""

import argparse
import os
import shlex
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import interop  # noqa: E402
from interop import check, run  # noqa: E402

WIDTH, HEIGHT = 37, 11
IDENTIFY = "/usr/bin/identify-im6.q16"


def shell(command, output, stdin=None):
    """Runs a shell pipeline of peers into `output`."""
    result = subprocess.run(command, shell=True, capture_output=True, check=False, stdin=stdin)
    check(result.returncode == 0, "%s failed: %s" % (command, result.stderr.decode(errors="replace")))
    with open(output, "wb") as f:
        f.write(result.stdout)


# ---- the writers' own readers: (width, height, maxval, depth, [samples]) ----


def netpbm_samples(path):
    info = run(["pamfile", "-machine", path])
    check(info.returncode == 0, "pamfile rejected %s" % path)
    fields = info.stdout.decode().rsplit(":", 1)[1].split()
    width, height, depth, maxval = (int(f) for f in fields[2:6])
    table = run(["pamtable", path])
    check(table.returncode == 0, "pamtable rejected %s" % path)
    samples = [int(s) for s in table.stdout.decode().replace("|", " ").split()]
    check(len(samples) == width * height * depth, "pamtable gave %d samples" % len(samples))
    return width, height, maxval, depth, samples


def imagemagick_samples(path, depth):
    """ImageMagick's own reading, as 16-bit samples (exact for every maxval
    that divides 65535, which are the ones written here)."""
    width, height = (int(v) for v in run([IDENTIFY, "-format", "%w %h", path]).stdout.split())
    channels = {1: "gray", 3: "rgb", 4: "rgba"}[depth]
    raw = run([interop.IMAGEMAGICK, path, "-depth", "16", channels + ":-"])
    check(raw.returncode == 0, "ImageMagick cannot read %s" % path)
    data = raw.stdout
    samples = [data[i] << 8 | data[i + 1] for i in range(0, len(data), 2)]
    check(len(samples) == width * height * depth, "ImageMagick gave %d samples" % len(samples))
    return width, height, 65535, depth, samples


def pillow_samples(path):
    from PIL import Image

    with Image.open(path) as image:
        image.load()
        maxval = 65535 if image.mode in ("I;16", "I;16B", "I") else 255
        depth = len(image.getbands())
        data = list(image.getdata())
    samples = [s for pixel in data for s in (pixel if isinstance(pixel, tuple) else (pixel,))]
    return image.width, image.height, maxval, depth, samples


# ---- the rules -------------------------------------------------------------


def pixels_of(maxval, depth, samples):
    """8-bit (r, g, b) of each pixel, by the scaling and alpha rules."""
    eight = [(v * 255 + maxval // 2) // maxval for v in samples]
    pixels = []
    for i in range(0, len(eight), depth):
        c = eight[i : i + depth]
        if depth in (2, 4):
            a = c[-1]
            c = [(v * a + 255 * (255 - a) + 127) // 255 for v in c[:-1]]
        pixels.append((c[0], c[0], c[0]) if len(c) == 1 else tuple(c))
    return pixels


def p4_rows(width, height, black):
    out = bytearray()
    for y in range(height):
        for x in range(0, width, 8):
            byte = 0
            for bit in range(8):
                if x + bit < width and black[y * width + x + bit]:
                    byte |= 0x80 >> bit
            out.append(byte)
    return bytes(out)


def expect_tool(tool, path, read):
    width, height, maxval, depth, samples = read(path)
    pixels = pixels_of(maxval, depth, samples)
    rules = {
        "channels": lambda p: min(p) < 100,
        "luma": lambda p: (299 * p[0] + 587 * p[1] + 114 * p[2]) // 1000 < 128,
    }
    for method, black in rules.items():
        result = run([*tool, "--raw", "--method", method, path, "-"])
        check(result.returncode == 0, "the tool refused %s: %s" % (path, result.stderr.decode(errors="replace")))
        header = b"P4\n# Created by Quorvel\n%d %d\n" % (width, height)
        check(result.stdout.startswith(header), "%s: header %r" % (path, result.stdout[: len(header)]))
        want = p4_rows(width, height, [black(p) for p in pixels])
        if result.stdout[len(header) :] != want:
            raise interop.CheckFailed("%s under %s: the bits differ from the rule's" % (path, method))


# ---- the cases -------------------------------------------------------------


def cases(tool, work):
    src = os.path.join(work, "src")
    # Sources: a grey ramp and a colour pattern from netpbm, and an RGBA
    # picture with alpha 0, 128 and 255 in turn from Pillow.
    shell("pgmramp -diagonal %d %d" % (WIDTH, HEIGHT), src + ".pgm")
    shell("ppmpat -g2 -color=rgb:e0/10/40,rgb:30/c8/70 %d %d" % (WIDTH, HEIGHT), src + ".ppm")
    shell("pgmramp -lr %d %d" % (WIDTH, HEIGHT), src + ".alpha.pgm")

    def rgba_png():
        from PIL import Image

        image = Image.new("RGBA", (WIDTH, HEIGHT))
        image.putdata([((x * 7) % 256, (y * 23) % 256, (x * y) % 256, (0, 128, 255)[(x + y) % 3])
                       for y in range(HEIGHT) for x in range(WIDTH)])
        image.save(src + ".png")

    def pillow(mode, name):
        def write():
            from PIL import Image

            with Image.open(src + ".ppm") as image:
                picture = image.convert("L" if mode != "RGB" else "RGB")
                if mode == "I":  # Pillow writes it as a PGM of maxval 65535
                    picture = picture.point(lambda v: v * 257, "I")
                picture.save(os.path.join(work, name))
        return write

    netpbm = {
        "pgmramp.pgm": "cat %s.pgm" % src,
        "ppmpat.ppm": "cat %s.ppm" % src,
        "maxval1.pgm": "pamdepth 1 %s.pgm" % src,
        "maxval2.ppm": "pamdepth 2 %s.ppm" % src,
        "maxval256.pgm": "pamdepth 256 %s.pgm" % src,
        "maxval65535.ppm": "pamdepth 65535 %s.ppm" % src,
        "plain.pgm": "pnmtoplainpnm %s.pgm" % src,
        "plain65535.ppm": "pamdepth 65535 %s.ppm | pnmtoplainpnm" % src,
        "pamtopam.pam": "pamtopam < %s.ppm" % src,
        "grey.pam": "pamtopam < %s.pgm" % src,
        "rgb_alpha.pam": "pamstack -tupletype=RGB_ALPHA %s.ppm %s.alpha.pgm" % (src, src),
        "grey_alpha.pam": "pamstack -tupletype=GRAYSCALE_ALPHA %s.pgm %s.alpha.pgm" % (src, src),
    }
    imagemagick = {
        "im16.ppm": ("%s %s.ppm -depth 16 ppm:-" % (interop.IMAGEMAGICK, src), 3),
        "implain.pgm": ("%s %s.pgm -compress none pgm:-" % (interop.IMAGEMAGICK, src), 1),
        "imalpha.pam": ("%s %s.png pam:-" % (interop.IMAGEMAGICK, src), 4),
    }
    result = [("sources", rgba_png)]
    for name, command in netpbm.items():
        path = os.path.join(work, name)
        result.append(("netpbm " + name, lambda c=command, p=path: (shell(c, p), expect_tool(tool, p, netpbm_samples))))
    for name, (command, depth) in imagemagick.items():
        path = os.path.join(work, name)
        result.append(("ImageMagick " + name, lambda c=command, p=path, d=depth: (
            shell(c, p), expect_tool(tool, p, lambda q: imagemagick_samples(q, d)))))
    for mode, name in (("L", "pillow.pgm"), ("RGB", "pillow.ppm"), ("I", "pillow16.pgm")):
        path = os.path.join(work, name)
        result.append(("Pillow " + name, lambda w=pillow(mode, name), p=path: (w(), expect_tool(tool, p, pillow_samples))))
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tool", required=True, help="the quorvelpbm tool")
    parser.add_argument("--emulator", default="", help="command that runs the tool (cross builds)")
    parser.add_argument("--keep", action="store_true", help="keep the work directory for inspection")
    args = parser.parse_args()
    missing = interop.missing_peers() + [p for p in ("pgmramp", "ppmpat", "pamtable", "pamstack", "pamdepth")
                                         if shutil.which(p) is None]
    if missing:
        message = "interop pnm readers: missing peer(s): %s" % ", ".join(missing)
        if os.environ.get("CI") == "true":
            print("FAILED: " + message + " (required when CI=true)")
            return 1
        print("SKIPPED: " + message)
        return interop.SKIP
    work = tempfile.mkdtemp(prefix="qpbm-pnm-readers-")
    return interop.run_cases("interop pnm readers", cases([*shlex.split(args.emulator), os.path.abspath(args.tool)], work), work, args.keep)


if __name__ == "__main__":
    sys.exit(main())
