#!/usr/bin/env python3
"""Documents: a multi-page TIFF's pages, PDF and multi-page TIFF and PBM
outputs read back by other readers, --compression, and --combine's promise
that a document is written whole or not at all.

The pictures are raw PBMs made here, so each page's bits are known; a PDF
page rendered at its own resolution, or a TIFF page decoded, must give them
back exactly. A missing peer skips its case with the reason (a failure when
the environment variable CI is "true").

Usage: documents_test.py PATH_TO_QUORVELPBM
"""
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import sys
import time
import unittest

import tool_test

TOOL = None


def run(*args, **kwargs):
    return subprocess.run([TOOL, *args], capture_output=True, **kwargs)


def bits_of(width, height, kind, seed=0):
    """Rows of 0/1 (1 black): random (a dither), text (lines of round and
    straight letters, as a 300 dpi page's), or a frame."""
    rnd = random.Random(width * 7919 + height * 31 + seed)
    if kind == "random":
        return [[rnd.getrandbits(1) for _ in range(width)] for _ in range(height)]
    rows = [[0] * width for _ in range(height)]
    if kind == "frame":
        return [[int(x in (0, width - 1) or y in (0, height - 1)) for x in range(width)] for y in range(height)]
    for top in range(0, height - 39, 40):  # lines of round and straight letters
        x = 2
        while x + 34 < width:
            r, ring = 8 + rnd.randrange(8), rnd.randrange(3) != 0
            for dy in range(-r, r + 1):
                for dx in range(-r, r + 1):
                    d = dx * dx + dy * dy
                    if (r - 4) ** 2 <= d <= r * r if ring else -2 <= dx <= 1:
                        rows[top + 16 + dy][x + r + dx] = 1
            x += 2 * r + 3 + (20 if rnd.randrange(6) == 0 else 0)
    return rows


def p4(rows):
    width = len(rows[0])
    data = b"P4\n%d %d\n" % (width, len(rows))
    for row in rows:
        padded = row + [0] * (-width % 8)
        data += bytes(int("".join(map(str, padded[i:i + 8])), 2) for i in range(0, len(padded), 8))
    return data


def read_pbm_rows(data):
    """The rows of a raw or plain PBM's first image."""
    fields = re.match(rb"(P[14])\s+(?:#.*\n\s*)*(\d+)\s+(\d+)\s", data)
    magic, width, height = fields.group(1), int(fields.group(2)), int(fields.group(3))
    body = data[fields.end():]
    if magic == b"P1":
        digits = [int(c) for c in body.decode() if c in "01"]
        return [digits[y * width:(y + 1) * width] for y in range(height)]
    stride = (width + 7) // 8
    return [[body[y * stride + x // 8] >> (7 - x % 8) & 1 for x in range(width)] for y in range(height)]


def need(test, *programs):
    for program in programs:
        if shutil.which(program) is None:
            if os.environ.get("CI") == "true":
                test.fail(f"{program} is missing")
            test.skipTest(f"{program} is missing (apt-get install qpdf poppler-utils mupdf-tools ghostscript "
                          "libtiff-tools netpbm)")


def tiff_pages(path):
    """Every page of a TIFF as rows of 0/1 (1 black), through Pillow."""
    from PIL import Image, ImageSequence
    with Image.open(path) as image:
        return [[[int(v == 0) for v in page.convert("L").getdata()][y * page.width:(y + 1) * page.width]
                 for y in range(page.height)] for page in ImageSequence.Iterator(image)]


class DocumentsTest(tool_test.Base):
    def setUp(self):
        super().setUp()
        self.pages = [bits_of(33, 9, "text"), bits_of(7, 5, "random"), bits_of(9, 31, "frame")]
        names = [self.path(f"page{i}.pbm", p4(rows)) for i, rows in enumerate(self.pages)]
        self.tif = self.path("three.tif")
        r = run("--combine", self.tif, *names)
        self.assertEqual(r.returncode, 0, r.stderr)

    def render(self, renderer, pdf, dpi, out):
        """The pages a renderer draws of `pdf` at `dpi`, as rows of 0/1."""
        if renderer == "pdftoppm":
            subprocess.run(["pdftoppm", "-r", str(dpi), "-mono", pdf, out], check=True)
            names = sorted((n for n in os.listdir(self.dir.name) if n.startswith(os.path.basename(out) + "-")),
                           key=lambda n: int(re.search(r"-(\d+)\.pbm$", n).group(1)))
        elif renderer == "mutool":
            subprocess.run(["mutool", "draw", "-q", "-r", str(dpi), "-c", "mono", "-o", out + "-%d.pbm", pdf],
                           check=True, capture_output=True)
            names = sorted((n for n in os.listdir(self.dir.name) if n.startswith(os.path.basename(out) + "-")),
                           key=lambda n: int(re.search(r"-(\d+)\.pbm$", n).group(1)))
        else:
            subprocess.run(["gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=pbmraw", f"-r{dpi}",
                            f"-sOutputFile={out}-%d.pbm", pdf], check=True)
            names = sorted((n for n in os.listdir(self.dir.name) if n.startswith(os.path.basename(out) + "-")),
                           key=lambda n: int(re.search(r"-(\d+)\.pbm$", n).group(1)))
        return [read_pbm_rows(self.read(n)) for n in names]

    def test_pages_chosen_counted_and_refused(self):
        cases = [  # arguments, output, exit status, pages in the output
            ([], "all.pdf", 0, [0, 1, 2]),
            (["--pages", "3,1"], "two.tif", 0, [2, 0]),
            (["--page", "2"], "one.tif", 0, [1]),
            (["--pages", "2-4"], "none.pdf", 1, None),
            (["--pages", "all", "--raw"], "all.pbm", 0, [0, 1, 2]),
        ]
        for args, out, status, pages in cases:
            with self.subTest(args=args, out=out):
                r = run(*args, self.tif, self.path(out), text=True)
                self.assertEqual(r.returncode, status, r.stderr)
                if pages is None:
                    self.assertIn("page 4 asked for; the TIFF has 3 pages", r.stderr)
                    self.assertFalse(os.path.exists(self.path(out)))
                elif out.endswith(".tif"):
                    self.assertEqual(tiff_pages(self.path(out)), [self.pages[p] for p in pages])
                elif out.endswith(".pbm"):
                    need(self, "pnmsplit")
                    os.mkdir(self.path("split"))
                    subprocess.run(["pnmsplit", self.path(out), self.path("split/p%d.pbm")], check=True,
                                   capture_output=True)
                    found = [read_pbm_rows(self.read(f"split/p{i}.pbm")) for i in range(len(pages))]
                    self.assertEqual(found, [self.pages[p] for p in pages])
                    self.assertEqual(sorted(os.listdir(self.path("split"))), [f"p{i}.pbm" for i in range(len(pages))])

    def test_a_one_picture_output_takes_the_first_page_and_says_so_or_a_file_a_page(self):
        r = run(self.tif, self.path("first.png"), text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr.count("has 3 pages and page 1 was converted"), 1, r.stderr)
        r = run("--pages", "all", "--raw", "--to", "pbm", self.tif, self.path("each.pbm"), text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        r = run("--pages", "2-4294967295", self.tif, self.path("each.png"), text=True)
        self.assertEqual(r.returncode, 1)
        self.assertIn("page 4 asked for; the TIFF has 3 pages", r.stderr)
        r = run("--pages", "2-3", self.tif, self.path("each.png"), text=True)
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertEqual(sorted(n for n in os.listdir(self.dir.name) if n.startswith("each")),
                         ["each-2.png", "each-3.png", "each.pbm"])
        from PIL import Image
        for page in (2, 3):
            with Image.open(self.path(f"each-{page}.png")) as image:
                rows = [[int(v == 0) for v in image.convert("L").getdata()][y * image.width:(y + 1) * image.width]
                        for y in range(image.height)]
            self.assertEqual(rows, self.pages[page - 1])

    def test_pdf_pages_render_back_to_their_bits_in_three_renderers(self):
        need(self, "qpdf", "pdfinfo", "pdftoppm", "mutool", "gs")
        sizes = [(1, 1), (7, 3), (8, 2), (9, 4), (31, 5), (33, 17), (640, 480)]
        pages = [bits_of(w, h, kind, seed=i) for i, (w, h) in enumerate(sizes) for kind in ("random", "text")]
        names = [self.path(f"in{i}.pbm", p4(rows)) for i, rows in enumerate(pages)]
        for dpi in (300, 72):
            with self.subTest(dpi=dpi):
                pdf = self.path(f"book{dpi}.pdf")
                r = run("--combine", pdf, "--dpi", str(dpi), *names, text=True)
                self.assertEqual(r.returncode, 0, r.stderr)
                check = subprocess.run(["qpdf", "--check", pdf], capture_output=True, text=True)
                self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
                self.assertNotIn("WARNING", check.stdout + check.stderr)
                info = subprocess.run(["pdfinfo", "-f", "1", "-l", str(len(pages)), pdf], capture_output=True,
                                      text=True, check=True).stdout
                found = [tuple(map(float, m)) for m in re.findall(r"Page +\d+ size: +([\d.]+) x ([\d.]+) pts", info)]
                self.assertEqual(len(found), len(pages))
                for (w, h), rows in zip(found, pages):
                    self.assertAlmostEqual(w, len(rows[0]) * 72 / dpi, delta=0.01)
                    self.assertAlmostEqual(h, len(rows) * 72 / dpi, delta=0.01)
                for renderer in ("pdftoppm", "mutool", "gs"):
                    drawn = self.render(renderer, pdf, dpi, self.path(f"{renderer}{dpi}"))
                    self.assertEqual(len(drawn), len(pages), renderer)
                    for number, (got, rows) in enumerate(zip(drawn, pages), 1):
                        # MuPDF draws a page of under a point as a point.
                        if renderer == "mutool" and min(len(rows), len(rows[0])) * 72 < dpi:
                            continue
                        self.assertEqual(got, rows, f"{renderer}, page {number}")

    def test_a_page_100000_pixels_wide(self):
        need(self, "pdftoppm", "gs")  # MuPDF 1.21 draws nothing over 65,535 pixels wide
        rows = bits_of(100000, 1, "random")
        pdf = self.path("wide.pdf")
        r = run(self.path("wide.pbm", p4(rows)), pdf, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        for renderer in ("pdftoppm", "gs"):
            self.assertEqual(self.render(renderer, pdf, 300, self.path("wide-" + renderer)), [rows], renderer)

    def test_every_compression_reads_back_in_libtiff_and_pillow(self):
        need(self, "tiffcp", "tiffsplit")
        pictures = [bits_of(w, h, kind) for w, h in ((1, 1), (7, 3), (9, 4), (33, 17), (1203, 300))
                    for kind in ("random", "text")]
        names = [self.path(f"c{i}.pbm", p4(rows)) for i, rows in enumerate(pictures)]
        for compression in ("g4", "deflate", "auto", "packbits", "none"):
            with self.subTest(compression=compression):
                out = self.path(f"{compression}.tif")
                r = run("--combine", out, "--compression", compression, *names, text=True)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(tiff_pages(out), pictures)
                plain = self.path(f"{compression}-plain.tif")
                subprocess.run(["tiffcp", "-c", "none", out, plain], check=True)
                self.assertEqual(tiff_pages(plain), pictures)
        prefix = self.path("split-")
        subprocess.run(["tiffsplit", self.path("auto.tif"), prefix], check=True)
        self.assertEqual(len([n for n in os.listdir(self.dir.name) if n.startswith("split-")]), len(pictures))

    def test_auto_is_g4_for_a_text_page_and_deflate_for_a_dithered_photo(self):
        need(self, "/usr/bin/convert-im6.q16")
        rnd = random.Random(5)
        syllables = ["ka", "lo", "mi", "ter", "on", "ra", "ex", "pli", "st", "ve", "qu", "an", "dor", "fe", "ing"]
        text = "\n".join(" ".join("".join(rnd.choice(syllables) for _ in range(rnd.randint(1, 4)))
                                  for _ in range(rnd.randint(9, 13))) for _ in range(50))
        page, photo = self.path("page.png"), self.path("photo.png")
        subprocess.run(["/usr/bin/convert-im6.q16", "-size", "2480x3508", "xc:white", "-font", "DejaVu-Serif",
                        "-pointsize", "11", "-density", "300", "-fill", "black", "-annotate", "+200+250", text, page],
                       check=True)
        subprocess.run(["/usr/bin/convert-im6.q16", "-size", "1200x900", "-seed", "3", "plasma:fractal", photo],
                       check=True)
        for picture, method, same in ((page, "sauvola", "g4"), (photo, "floyd-steinberg", "deflate")):
            made = {}
            for compression in ("auto", same):
                out = self.path(f"{os.path.basename(picture)}-{compression}.tif")
                r = run("--method", method, "--compression", compression, picture, out)
                self.assertEqual(r.returncode, 0, r.stderr)
                made[compression] = self.read(os.path.basename(out))
            self.assertEqual(made["auto"], made[same], picture)

    def test_the_same_pictures_give_the_same_bytes(self):
        pdf1, pdf2 = self.path("one.pdf"), self.path("two.pdf")
        for pdf, env in ((pdf1, {}), (pdf2, {})):
            r = run(self.tif, pdf, env={k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"} | env)
            self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read("one.pdf"), self.read("two.pdf"))
        self.assertNotIn(b"/CreationDate", self.read("one.pdf"))
        r = run(self.tif, self.path("dated.pdf"), env=os.environ | {"SOURCE_DATE_EPOCH": "1700000000"})
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"/CreationDate (D:20231114221320Z)", self.read("dated.pdf"))

    def test_combine_writes_the_inputs_in_order_to_a_file_or_a_pipe(self):
        os.mkdir(self.path("tree"))
        for name, rows in (("b.pbm", self.pages[1]), ("a.pbm", self.pages[0]), ("c.pbm", self.pages[2])):
            self.path("tree/" + name, p4(rows))
        listed = self.path("list", (self.path("tree/c.pbm") + "\n").encode())
        out = self.path("book.tif")
        r = run("--combine", out, self.tif, "--files-from", listed, "-r", self.path("tree"), text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        # The command line (the TIFF, then the tree sorted), then the list.
        self.assertEqual(tiff_pages(out), self.pages + self.pages + [self.pages[2]])
        # Pages decided ahead on two threads are the same pages, turned once.
        for jobs in ("1", "2"):
            r = run("-j", jobs, "--rotate", "90", "--invert", "--combine", self.path(f"j{jobs}.tif"), self.tif,
                    "-r", self.path("tree"))
            self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read("j1.tif"), self.read("j2.tif"))
        turned = [[[1 - rows[len(rows) - 1 - y][x] for y in range(len(rows))] for x in range(len(rows[0]))]
                  for rows in self.pages]
        self.assertEqual(tiff_pages(self.path("j2.tif")), turned * 2)
        piped = run("--combine", "-", "--to", "pdf", self.tif)
        self.assertEqual(piped.returncode, 0, piped.stderr)
        r = run(self.tif, self.path("file.pdf"))
        self.assertEqual(piped.stdout, self.read("file.pdf"))

    def test_a_refusal_a_kill_or_a_full_disk_leaves_the_old_document(self):
        old = b"an earlier document"
        out = self.path("book.pdf", old)
        bad = self.path("bad.pbm", b"P4\n8 -8\n")
        r = run("--combine", out, self.tif, bad, self.tif, text=True)
        self.assertEqual(r.returncode, 1)
        self.assertRegex(r.stderr, r"bad\.pbm: .*; nothing written to .*book\.pdf")
        self.assertEqual(self.read("book.pdf"), old)

        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (2000, 2000))

        r = subprocess.run([TOOL, "--combine", out, *[self.tif] * 20], capture_output=True, text=True,
                           preexec_fn=limit)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("File too large", r.stderr)
        self.assertEqual(self.read("book.pdf"), old)

        big = self.path("big.pbm", p4(bits_of(2000, 1500, "random")))
        for delay in (0.02, 0.05, 0.1, 0.2):
            p = subprocess.Popen([TOOL, "--combine", out, *[big] * 40], stderr=subprocess.DEVNULL)
            time.sleep(delay)
            p.send_signal(signal.SIGKILL)
            p.wait()
            self.assertEqual(self.read("book.pdf"), old, f"killed after {delay} s")
        self.assertEqual([n for n in os.listdir(self.dir.name) if n.startswith(".quorvelpbm")], [])


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    tool_test.TOOL = TOOL
    unittest.main()
