#!/usr/bin/python3
"""Make the black-and-white gallery and measure the methods' quality.

Usage:
    /usr/bin/python3 docs/gallery/make_gallery.py build/tools/quorvelpbm [--out docs/gallery]

Needs Debian's Python with Pillow, numpy, SciPy and scikit-image's bundled
sample pictures (`apt-get install python3-pil python3-skimage`), and for the
peers netpbm and ImageMagick 6 (`apt-get install netpbm imagemagick`; the
script calls /usr/bin/convert-im6.q16, not a `convert` found on the path).

It writes into --out:
  photo.png       a photo through every method, captioned
  document.png    an unevenly lit page scan through every method
  order.png       flat greys through serpentine Floyd-Steinberg (ours) and
                  through the same rule run left to right on every row
  text-page.png   the made-up unevenly lit text page of the F-measure and
                  what sauvola, otsu and luma find in it
  readme-before.png, readme-after.png   the README's before/after pair
  quality.json    the figures, which it also prints as a Markdown section

Every picture is handed to the tool as a 24-bit BMP; our bits come from the
tool, never from this script (except the left-to-right variant, which the
tool does not offer, and a serpentine copy that checks the tool's bits).
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

import numpy as np
from PIL import Image, ImageDraw, ImageFont
from scipy.ndimage import gaussian_filter
from skimage import data

METHODS = ["channels", "luma", "otsu", "floyd-steinberg", "atkinson", "bayer", "sauvola",
           "jarvis", "stucki", "burkes", "sierra", "sierra2", "sierra-lite"]
IM = "/usr/bin/convert-im6.q16"
BLUR_SIGMA = 1.5
CAPTION_HEIGHT = 14
SCAN_BLUR = 0.8  # px, the softening of a scanner or camera lens
PHOTOS = ("astronaut", "coffee", "chelsea", "rocket")
LEFT_TO_RIGHT = "floyd-steinberg, left to right (this script)"


def luma(rgb):
    """Y = (299 R + 587 G + 114 B) div 1000, the brightness the methods use."""
    rgb = rgb.astype(np.int64)
    return (299 * rgb[..., 0] + 587 * rgb[..., 1] + 114 * rgb[..., 2]) // 1000


def as_rgb(pixels):
    pixels = np.asarray(pixels, dtype=np.uint8)
    if pixels.ndim == 2:
        pixels = np.stack([pixels] * 3, axis=-1)
    return pixels


def read_bilevel(path):
    """A PBM (or anything Pillow reads) as a bool array, True for white."""
    with Image.open(path) as im:
        return np.asarray(im.convert("L")) >= 128


class Runner:
    def __init__(self, tool, tmp):
        self.tool = tool
        self.tmp = tmp
        self.count = 0

    def _path(self, ext):
        self.count += 1
        return os.path.join(self.tmp, f"p{self.count}.{ext}")

    def bmp(self, rgb):
        path = self._path("bmp")
        Image.fromarray(as_rgb(rgb), "RGB").save(path)
        return path

    def ours(self, bmp, method, *extra):
        out = self._path("pbm")
        subprocess.run([self.tool, "bmp2pbm", "--method", method, "--raw", *extra, bmp, out],
                       check=True)
        return read_bilevel(out)

    def pillow_fs(self, rgb):
        return np.asarray(Image.fromarray(as_rgb(rgb), "RGB").convert("1").convert("L")) >= 128

    def imagemagick(self, bmp, *ops):
        out = self._path("pbm")
        subprocess.run([IM, bmp, "-colorspace", "Gray", *ops, out], check=True)
        return read_bilevel(out)

    def netpbm(self, bmp, *stages):
        out = self._path("pbm")
        pipeline = f"bmptopnm '{bmp}' 2>/dev/null | ppmtopgm | " + " | ".join(stages)
        with open(out, "wb") as f:
            subprocess.run(pipeline + " | pamtopnm", shell=True, check=True, stdout=f)
        return read_bilevel(out)


# --- error diffusion, for the order comparison ------------------------------

def floyd_steinberg(y, serpentine):
    """Floyd-Steinberg in sixteenths of a level, integer, as the library's rule:
    s = 16 Y + E, white iff s >= 2048, e = s - (white ? 4080 : 0), shares
    7/16, 3/16, 5/16 (floor) and the rest; outside shares dropped. With
    serpentine=False every row runs left to right (d = +1)."""
    h, w = y.shape
    err = np.zeros((h + 1, w + 2), dtype=np.int64)  # one column of margin each side
    out = np.zeros((h, w), dtype=bool)
    for row in range(h):
        d = -1 if serpentine and row % 2 else 1
        xs = range(w - 1, -1, -1) if d < 0 else range(w)
        for x in xs:
            s = 16 * int(y[row, x]) + int(err[row, x + 1])
            white = s >= 2048
            e = s - (4080 if white else 0)
            a, b, c = (7 * e) >> 4, (3 * e) >> 4, (5 * e) >> 4
            out[row, x] = white
            err[row, x + 1 + d] += a
            err[row + 1, x + 1 - d] += b
            err[row + 1, x + 1] += c
            err[row + 1, x + 1 + d] += e - a - b - c
        # shares that left the picture landed in the margins: drop them
        err[row + 1, 0] = err[row + 1, w + 1] = 0
    return out


# --- pictures ---------------------------------------------------------------

def fit(rgb, size):
    im = Image.fromarray(as_rgb(rgb), "RGB")
    im.thumbnail((size, size), Image.LANCZOS)
    return np.asarray(im)


def ramp(width=256, height=64):
    return np.tile(np.arange(width, dtype=np.uint8), (height, 1))


def text_page(width=640, height=448, seed=19):
    """A clean page of black text on white, and the same page unevenly lit
    (dark in one corner, a highlight off-centre) with mild noise."""
    font = ImageFont.load_default()
    small = Image.new("L", (width // 2, height // 2), 255)
    draw = ImageDraw.Draw(small)
    words = ("the quick brown fox jumps over the lazy dog 0123456789 "
             "PACK MY BOX WITH FIVE DOZEN LIQUOR JUGS ").split()
    rng = np.random.default_rng(seed)
    for line, top in enumerate(range(6, height // 2 - 12, 13)):
        text = " ".join(rng.choice(words, 12))
        draw.text((6 + 3 * (line % 3), top), text, fill=0, font=font)
    clean = np.asarray(small.resize((width, height), Image.NEAREST))
    ink = clean < 128

    yy, xx = np.mgrid[0:height, 0:width] / np.array([height, width]).reshape(2, 1, 1)
    light = 0.15 + 0.60 * (0.6 * xx + 0.4 * (1 - yy))
    light += 0.30 * np.exp(-(((xx - 0.7) ** 2) + ((yy - 0.35) ** 2)) / 0.05)
    # ink and paper as a camera sees them: grey ink, softened edges, noise
    page = gaussian_filter(np.where(ink, 60.0, 230.0), SCAN_BLUR) * np.clip(light, 0.0, 1.0)
    page += rng.normal(0.0, 6.0, page.shape)
    return ink, np.clip(np.rint(page), 0, 255).astype(np.uint8)


# --- measures ---------------------------------------------------------------

def blurred_psnr(bits, grey):
    a = gaussian_filter(bits.astype(np.float64) * 255.0, BLUR_SIGMA, mode="reflect")
    b = gaussian_filter(grey.astype(np.float64), BLUR_SIGMA, mode="reflect")
    mse = np.mean((a - b) ** 2)
    return 10.0 * np.log10(255.0 ** 2 / mse)


def tone_error(bits, band=1):
    """Mean of |share of white x 255 - level| over the ramp's columns, or over
    bands of `band` columns (an ordered dither is only right over its tile)."""
    levels = np.arange(bits.shape[1], dtype=np.float64)
    share = bits.mean(axis=0).reshape(-1, band).mean(axis=1)
    return float(np.mean(np.abs(share * 255.0 - levels.reshape(-1, band).mean(axis=1))))


def tone_errors(bits):
    return {"per column": tone_error(bits), "per 8 columns": tone_error(bits, 8)}


def diagonal_imbalance(bits):
    """How much more of a texture's power lies along one diagonal than along
    the other: 0 for a texture without a slant, 1 for lines all one way."""
    power = np.abs(np.fft.fft2(bits - bits.mean())) ** 2
    h, w = bits.shape
    v = np.fft.fftfreq(h).reshape(-1, 1)
    u = np.fft.fftfreq(w).reshape(1, -1)
    one, other = power[u * v > 0].sum(), power[u * v < 0].sum()
    return float(abs(one - other) / (one + other))


def f_measure(bits, ink):
    found = ~bits
    tp = np.count_nonzero(found & ink)
    precision = tp / max(np.count_nonzero(found), 1)
    recall = tp / max(np.count_nonzero(ink), 1)
    if precision + recall == 0:
        return 0.0, precision, recall
    return 2 * precision * recall / (precision + recall), precision, recall


# --- figures ----------------------------------------------------------------

def tile(pixels, caption, font):
    im = Image.fromarray(as_rgb(pixels), "RGB")
    out = Image.new("RGB", (im.width, im.height + CAPTION_HEIGHT), "white")
    out.paste(im, (0, CAPTION_HEIGHT))
    ImageDraw.Draw(out).text((3, 2), caption, fill="black", font=font)
    return out


def grid(tiles, columns, gap=6):
    w = max(t.width for t in tiles)
    h = max(t.height for t in tiles)
    rows = (len(tiles) + columns - 1) // columns
    out = Image.new("RGB", (columns * w + (columns - 1) * gap, rows * h + (rows - 1) * gap), "white")
    for i, t in enumerate(tiles):
        out.paste(t, ((i % columns) * (w + gap), (i // columns) * (h + gap)))
    return out


def bits_to_grey(bits):
    return np.where(bits, 255, 0).astype(np.uint8)


def save_png(im, path, bilevel=False):
    if bilevel:
        im = im.convert("L")
    im.save(path, optimize=True)


def through_every_method(run, rgb, title, font):
    bmp = run.bmp(rgb)
    tiles = [tile(rgb, title, font)]
    for m in METHODS:
        tiles.append(tile(bits_to_grey(run.ours(bmp, m)), m, font))
    return tiles


def order_figure(run, font, levels=(85, 128, 170), size=(128, 64), zoom=3):
    """Flat greys through both orders; also checks our copy of the rule
    against the tool's serpentine bits."""
    tiles_s, tiles_l = [], []
    for level in levels:
        y = np.full((size[1], size[0]), level, dtype=np.uint8)
        tool_bits = run.ours(run.bmp(y), "floyd-steinberg")
        if not np.array_equal(tool_bits, floyd_steinberg(y, serpentine=True)):
            sys.exit("the tool's floyd-steinberg differs from the rule at level %d" % level)
        ltr = floyd_steinberg(y, serpentine=False)
        for bits, tiles, name in ((tool_bits, tiles_s, "serpentine"), (ltr, tiles_l, "left to right")):
            big = np.kron(bits_to_grey(bits), np.ones((zoom, zoom), dtype=np.uint8))
            tiles.append(tile(big, f"{name}, grey {level}", font))
    return grid(tiles_s + tiles_l, len(levels))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("tool")
    ap.add_argument("--out", default=os.path.dirname(os.path.abspath(__file__)))
    args = ap.parse_args()
    tool = os.path.abspath(args.tool)
    os.makedirs(args.out, exist_ok=True)
    font = ImageFont.load_default()
    results = {}

    with tempfile.TemporaryDirectory(prefix="quorvelpbm-gallery-") as tmp:
        run = Runner(tool, tmp)

        # Gallery: a photo and an unevenly lit page through every method.
        photo = fit(data.astronaut(), 256)
        save_png(grid(through_every_method(run, photo, "astronaut (input)", font), 4),
                 os.path.join(args.out, "photo.png"))
        page = as_rgb(data.page())  # 384 x 191, a scan lit from one side
        save_png(grid(through_every_method(run, page, "page (input)", font), 2),
                 os.path.join(args.out, "document.png"), bilevel=True)
        save_png(order_figure(run, font), os.path.join(args.out, "order.png"), bilevel=True)

        # README pair: a small photo and its Floyd-Steinberg bits.
        coffee = fit(data.coffee(), 240)
        Image.fromarray(coffee).save(os.path.join(args.out, "readme-before.png"), optimize=True)
        Image.fromarray(bits_to_grey(run.ours(run.bmp(coffee), "floyd-steinberg"))).convert("1") \
            .save(os.path.join(args.out, "readme-after.png"), optimize=True)

        # Slant of the texture on flat greys, 128 x 64, in both orders.
        slant = {"serpentine (ours)": [], "left to right": []}
        for level in range(8, 256, 8):
            y = np.full((64, 128), level, dtype=np.uint8)
            slant["serpentine (ours)"].append(diagonal_imbalance(run.ours(run.bmp(y), "floyd-steinberg")))
            slant["left to right"].append(diagonal_imbalance(floyd_steinberg(y, serpentine=False)))
        results["flat_grey_diagonal_imbalance"] = {
            "levels": "8, 16, ..., 248",
            **{k: {"mean": float(np.mean(v)), "max": float(np.max(v))} for k, v in slant.items()}}

        # The peers' dithers, each from the same BMP (Pillow from its pixels).
        peer_dithers = {
            'Pillow convert("1")': lambda rgb, bmp: run.pillow_fs(rgb),
            "ImageMagick -dither FloydSteinberg -monochrome":
                lambda rgb, bmp: run.imagemagick(bmp, "-dither", "FloydSteinberg", "-monochrome"),
            # ImageMagick's way to dither over the whole range, for fairness
            "ImageMagick -dither FloydSteinberg -remap pattern:gray50":
                lambda rgb, bmp: run.imagemagick(bmp, "-dither", "FloydSteinberg",
                                                 "-remap", "pattern:gray50"),
            "netpbm pamditherbw -fs":
                lambda rgb, bmp: run.netpbm(bmp, "pamditherbw -fs -randomseed=1"),
        }

        # PSNR after a blur, on whole photos.
        psnr = {}
        for name in PHOTOS:
            rgb = getattr(data, name)()
            grey = luma(rgb)
            bmp = run.bmp(rgb)
            row = {m: blurred_psnr(run.ours(bmp, m), grey)
                   for m in ("floyd-steinberg", "atkinson", "bayer", "jarvis", "stucki", "burkes", "sierra",
                             "sierra2", "sierra-lite")}
            if not np.array_equal(run.ours(bmp, "floyd-steinberg"),
                                  floyd_steinberg(grey, serpentine=True)):
                sys.exit(f"the tool's floyd-steinberg differs from the rule on {name}")
            row[LEFT_TO_RIGHT] = blurred_psnr(floyd_steinberg(grey, serpentine=False), grey)
            row.update({k: blurred_psnr(f(rgb, bmp), grey) for k, f in peer_dithers.items()})
            psnr[f"{name} {rgb.shape[1]}x{rgb.shape[0]}"] = row
        results["psnr_blurred_db"] = psnr

        # Tone error on a 256-level ramp, 64 rows.
        r = ramp()
        bmp = run.bmp(r)
        tone = {m: tone_errors(run.ours(bmp, m)) for m in METHODS}
        tone[LEFT_TO_RIGHT] = tone_errors(floyd_steinberg(r, serpentine=False))
        tone.update({k: tone_errors(f(r, bmp)) for k, f in peer_dithers.items()})
        results["ramp_tone_error_levels"] = tone

        # F-measure of the text pixels on an unevenly lit page.
        ink, lit = text_page()
        bmp = run.bmp(lit)
        found = {
            "sauvola (window 15)": run.ours(bmp, "sauvola"),
            "sauvola (window 31)": run.ours(bmp, "sauvola", "--window", "31"),
            "luma (128)": run.ours(bmp, "luma"),
            "otsu": run.ours(bmp, "otsu"),
            "channels (100)": run.ours(bmp, "channels"),
            "netpbm pamthreshold -local=15x15": run.netpbm(bmp, "pamthreshold -local=15x15"),
            "ImageMagick -lat 15x15-5%": run.imagemagick(bmp, "-lat", "15x15-5%"),
        }
        results["text_f_measure"] = {k: dict(zip(("f", "precision", "recall"), f_measure(v, ink)))
                                     for k, v in found.items()}
        tiles = [tile(lit, "lit page (input)", font)]
        tiles += [tile(bits_to_grey(found[k]), k, font)
                  for k in ("sauvola (window 15)", "otsu", "luma (128)")]
        save_png(grid(tiles, 2), os.path.join(args.out, "text-page.png"), bilevel=True)

    with open(os.path.join(args.out, "quality.json"), "w") as f:
        json.dump(results, f, indent=2, sort_keys=False)
        f.write("\n")
    print(markdown(results))


def markdown(results):
    lines = []
    psnr = results["psnr_blurred_db"]
    pictures = list(psnr)
    names = list(next(iter(psnr.values())))
    lines.append("| method | " + " | ".join(pictures) + " |")
    lines.append("|---|" + "---:|" * len(pictures))
    for n in names:
        lines.append(f"| {n} | " + " | ".join(f"{psnr[p][n]:.2f}" for p in pictures) + " |")
    lines.append("")
    lines.append("| method | tone error per column | per 8 columns |")
    lines.append("|---|---:|---:|")
    for n, v in results["ramp_tone_error_levels"].items():
        lines.append(f"| {n} | {v['per column']:.2f} | {v['per 8 columns']:.2f} |")
    lines.append("")
    lines.append("| order | diagonal imbalance, mean | max |")
    lines.append("|---|---:|---:|")
    for n, v in results["flat_grey_diagonal_imbalance"].items():
        if isinstance(v, dict):
            lines.append(f"| {n} | {v['mean']:.3f} | {v['max']:.3f} |")
    lines.append("")
    lines.append("| method | F-measure | precision | recall |")
    lines.append("|---|---:|---:|---:|")
    for n, v in results["text_f_measure"].items():
        lines.append(f"| {n} | {v['f']:.3f} | {v['precision']:.3f} | {v['recall']:.3f} |")
    return "\n".join(lines)


if __name__ == "__main__":
    main()
