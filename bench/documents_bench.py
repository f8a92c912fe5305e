#!/usr/bin/python3
"""Times and sizes the document outputs, side by side in one run.

  * a dithered photo (--photo-mp megapixels, make_bmp --format photo, under
    Floyd-Steinberg) to a TIFF with --compression auto, against the PNG
    output of the same bits: size and time (paired runs);
  * a 300 dpi text page (ImageMagick draws it) to TIFF under auto and g4,
    which must be byte-equal, and to a PDF, against tiff2pdf's PDF of the
    same G4 bits;
  * --scans JPEG scans of an A4 page at 300 dpi (ImageMagick draws a few
    pages of text on grey with noise, cjpeg -quality 85; the rest are links
    to them) combined into one PDF with -j 2, against the sum of their djpeg
    decodes and against ImageMagick's G4 TIFF of the same files (a page at a
    time: all at once pass its policy's limits), joined by tiffcp, followed
    by tiff2pdf (Debian's ImageMagick policy forbids writing PDF); the peak
    resident memory of the combine at 20 pages and at all of them.

    bench/documents_bench.py --build build --json /tmp/documents.json
"""
import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import timing  # noqa: E402

MAGICK = "/usr/bin/convert-im6.q16"
SYLLABLES = ["ka", "lo", "mi", "ter", "on", "ra", "ex", "pli", "st", "ve", "qu", "an", "dor", "fe", "ing", "the"]


def text_lines(seed, lines=50):
    rnd = random.Random(seed)
    return "\n".join(" ".join("".join(rnd.choice(SYLLABLES) for _ in range(rnd.randint(1, 4)))
                              for _ in range(rnd.randint(9, 13))) for _ in range(lines))


def draw_page(path, seed, background="white"):
    subprocess.run([MAGICK, "-size", "2480x3508", "xc:" + background, "-font", "DejaVu-Serif", "-pointsize", "11",
                    "-density", "300", "-fill", "black", "-annotate", "+200+250", text_lines(seed), path], check=True)


def seconds(argv):
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build")
    parser.add_argument("--photo-mp", type=int, default=100)
    parser.add_argument("--scans", type=int, default=200)
    parser.add_argument("--pairs", type=int, default=3)
    parser.add_argument("--json")
    args = parser.parse_args()
    tool = os.path.abspath(os.path.join(args.build, "tools", "quorvelpbm"))
    make_bmp = os.path.abspath(os.path.join(args.build, "bench", "quorvelpbm_make_bmp"))
    work = tempfile.mkdtemp(prefix="qpbm-documents-")
    report = {"machine": timing.cpu_model()}
    try:
        # A dithered photo: auto against PNG.
        side = int((args.photo_mp * 1e6) ** 0.5)
        photo = os.path.join(work, "photo.ppm")
        subprocess.run([make_bmp, str(side), str(side), photo, "--format", "photo"], check=True)
        png, tif = os.path.join(work, "photo.png"), os.path.join(work, "photo.tif")
        fs = ["--method", "floyd-steinberg"]
        paired = timing.paired(lambda: seconds([tool, *fs, photo, png]),
                               lambda: seconds([tool, *fs, "--compression", "auto", photo, tif]), args.pairs)
        g4 = os.path.join(work, "photo-g4.tif")
        subprocess.run([tool, *fs, "--compression", "g4", photo, g4], check=True)
        report["dithered"] = {
            "megapixels": side * side / 1e6, "png_bytes": os.path.getsize(png), "auto_bytes": os.path.getsize(tif),
            "g4_bytes": os.path.getsize(g4), "png_s": paired["floor_median_s"], "auto_s": paired["ours_median_s"],
            "auto_over_png_time": paired["ratio_median"],
        }
        timing.log("dithered", report["dithered"])

        # A text page: auto is G4, and the PDF against tiff2pdf's.
        page = os.path.join(work, "page.png")
        draw_page(page, 1)
        outs = {}
        for compression in ("auto", "g4"):
            outs[compression] = os.path.join(work, f"page-{compression}.tif")
            subprocess.run([tool, "--method", "sauvola", "--compression", compression, page, outs[compression]],
                           check=True)
        ours_pdf, theirs_pdf = os.path.join(work, "page.pdf"), os.path.join(work, "page-tiff2pdf.pdf")
        subprocess.run([tool, "--method", "sauvola", page, ours_pdf], check=True)
        subprocess.run(["tiff2pdf", "-o", theirs_pdf, outs["g4"]], check=True)
        with open(outs["auto"], "rb") as a, open(outs["g4"], "rb") as b:
            same = a.read() == b.read()
        report["text_page"] = {"auto_equals_g4": same, "g4_tiff_bytes": os.path.getsize(outs["g4"]),
                               "pdf_bytes": os.path.getsize(ours_pdf), "tiff2pdf_bytes": os.path.getsize(theirs_pdf)}
        timing.log("text page", report["text_page"])

        # Scans into one PDF.
        scans = os.path.join(work, "scans")
        os.mkdir(scans)
        distinct = []
        for seed in range(4):
            drawn = os.path.join(work, f"scan{seed}.png")
            draw_page(drawn, 10 + seed, background="gray85")
            ppm = os.path.join(work, f"scan{seed}.ppm")
            subprocess.run([MAGICK, drawn, "-attenuate", "0.3", "+noise", "Gaussian", ppm], check=True)
            jpg = os.path.join(work, f"scan{seed}.jpg")
            with open(jpg, "wb") as out:
                subprocess.run(["cjpeg", "-quality", "85", ppm], check=True, stdout=out)
            distinct.append(jpg)
        names = []
        for i in range(args.scans):
            name = os.path.join(scans, f"scan{i:04d}.jpg")
            os.link(distinct[i % len(distinct)], name)
            names.append(name)
        start = time.perf_counter()
        for name in names:
            subprocess.run(["djpeg", "-outfile", os.devnull, name], check=True)
        djpeg_sum = time.perf_counter() - start
        book = os.path.join(work, "book.pdf")
        combine = seconds([tool, "-j", "2", "--combine", book, *names])
        timing.log("scans", {"djpeg_sum_s": djpeg_sum, "combine_s": combine})
        # ImageMagick a page at a time (all 200 at once pass its policy's
        # memory limits), the pages joined by tiffcp, then tiff2pdf.
        magick_tif, magick_pdf = os.path.join(work, "magick.tif"), os.path.join(work, "magick.pdf")
        pages = []
        magick = 0.0
        for i, name in enumerate(names):
            pages.append(os.path.join(work, f"magick{i:04d}.tif"))
            magick += seconds([MAGICK, name, "-monochrome", "-compress", "Group4", pages[-1]])
        magick += seconds(["tiffcp", *pages, magick_tif])
        magick += seconds(["tiff2pdf", "-o", magick_pdf, magick_tif])
        rss = {}
        for count in (20, args.scans):
            command = " ".join([tool, "-j", "2", "--combine", os.path.join(work, f"rss{count}.pdf"), *names[:count]])
            rss[count] = timing.peak_rss_kib(command)
        report["scans"] = {
            "pages": args.scans, "djpeg_sum_s": djpeg_sum, "combine_s": combine, "combine_over_djpeg": combine / djpeg_sum,
            "magick_and_tiff2pdf_s": magick, "magick_over_combine": magick / combine, "pdf_bytes": os.path.getsize(book),
            "magick_pdf_bytes": os.path.getsize(magick_pdf), "peak_rss_kib": rss,
        }
        timing.log("scans", report["scans"])
    finally:
        shutil.rmtree(work, ignore_errors=True)
    text = json.dumps(report, indent=2)
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
