#!/usr/bin/python3
"""Builds auto's labelled set from installed Debian packages and reports its
accuracy: each picture through `quorvelpbm --method auto -v`, its choice
against the label (photo: floyd-steinberg, document: sauvola).

  bench/auto_set.py TOOL [--cache DIR] [--markdown OUT.md]

The pictures come from the packages in docs/auto/packages.txt (not CI's:
CI does not build the set): scikit-image's
sample data (python3-skimage), Lomiri's wallpapers (photos, CC-BY/CC-BY-SA),
the diagrams and charts some packages ship in /usr/share/doc, and pages of
PDF manuals rendered with pdftoppm, some of them lit unevenly and saved as
JPEG here, as a phone's picture of a page would be. docs/auto/manifest.tsv
names each picture and its label; a picture whose package is missing is
reported as skipped, never guessed.
"""
import argparse
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

from PIL import Image, ImageFilter

HERE = os.path.dirname(os.path.abspath(__file__))
MANIFEST = os.path.join(HERE, "..", "docs", "auto", "manifest.tsv")
EXPECTED = {"photo": "floyd-steinberg", "document": "sauvola"}


def read_manifest():
    rows = []
    with open(MANIFEST, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            name, label, kind, source, extra = (line.split("\t") + [""] * 5)[:5]
            rows.append((name, label, kind, source, extra))
    return rows


def render_page(pdf, page, out_png):
    """A page of a PDF (maybe gzipped) at 150 dpi, grey."""
    with tempfile.TemporaryDirectory() as tmp:
        plain = pdf
        if pdf.endswith(".gz"):
            plain = os.path.join(tmp, "in.pdf")
            with gzip.open(pdf, "rb") as src, open(plain, "wb") as dst:
                shutil.copyfileobj(src, dst)
        stem = os.path.join(tmp, "page")
        subprocess.run(["pdftoppm", "-r", "150", "-gray", "-png", "-f", page, "-l", page, "-singlefile", plain, stem],
                       check=True, capture_output=True)
        shutil.move(stem + ".png", out_png)


def unevenly_lit(png, out_jpg):
    """The page as a phone sees it under a lamp: light falling off from one
    corner to about half, a grey cast, a little blur and grain, JPEG."""
    page = Image.open(png).convert("L")
    w, h = page.size
    light = Image.linear_gradient("L").rotate(45, expand=True).resize((w, h))
    light = light.point(lambda v: 250 - v // 2)  # 250 at one corner, 123 at the other
    lit = Image.composite(page, Image.new("L", (w, h), 0), Image.new("L", (w, h), 255))
    lit = Image.eval(lit, lambda v: v)
    from PIL import ImageChops
    lit = ImageChops.multiply(lit, light).filter(ImageFilter.GaussianBlur(0.7))
    noise = Image.effect_noise((w, h), 6).point(lambda v: v - 128 + 128)
    lit = ImageChops.add(lit, noise, scale=1.0, offset=-128)
    lit.save(out_jpg, quality=85)


def build(cache):
    os.makedirs(cache, exist_ok=True)
    built = []
    for name, label, kind, source, extra in read_manifest():
        out = os.path.join(cache, name)
        if not os.path.exists(out):
            try:
                if kind == "file":
                    if not os.path.exists(source):
                        raise FileNotFoundError(source)
                    shutil.copyfile(source, out)
                elif kind == "pdf":
                    render_page(source, extra, out)
                elif kind == "lit":
                    base = os.path.join(cache, source)
                    if not os.path.exists(base):
                        raise FileNotFoundError(base)
                    unevenly_lit(base, out)
            except (OSError, subprocess.CalledProcessError) as e:
                built.append((name, label, None, f"skipped: {e}"))
                continue
        built.append((name, label, out, ""))
    return built


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tool")
    parser.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "quorvelpbm-auto-set"))
    parser.add_argument("--markdown")
    args = parser.parse_args()
    rows = []
    right = wrong = skipped = 0
    with tempfile.TemporaryDirectory() as tmp:
        for name, label, path, note in build(args.cache):
            if path is None:
                skipped += 1
                rows.append((name, label, "-", note))
                continue
            run = subprocess.run([args.tool, "--method", "auto", "-v", "--raw", "-f", path, os.path.join(tmp, "out.pbm")],
                                 capture_output=True, text=True)
            found = re.search(r"auto chose ([a-z-]+): (.*)\)$", run.stderr.strip())
            chose = found.group(1) if found else f"failed: {run.stderr.strip()}"
            why = found.group(2) if found else ""
            ok = chose == EXPECTED[label]
            right += ok
            wrong += not ok
            rows.append((name, label, chose, ("" if ok else "WRONG; ") + why))
    total = right + wrong
    lines = ["| picture | label | auto chose | why |", "| --- | --- | --- | --- |"]
    lines += [f"| {n} | {l} | {c} | {w} |" for n, l, c, w in rows]
    lines.append("")
    lines.append(f"{right} of {total} right ({100 * right // max(total, 1)}%), {skipped} skipped")
    text = "\n".join(lines) + "\n"
    sys.stdout.write(text)
    if args.markdown:
        with open(args.markdown, "w", encoding="utf-8") as f:
            f.write(text)
    return 0 if wrong == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
