#!/usr/bin/env python3
"""--width, --height and --fit through the tool: bad values, area averages
against Pillow's reduce, a bilevel picture enlarged, and JPEG's
shrink-on-load against the same picture decoded whole.

Usage: resize_test.py PATH_TO_QUORVELPBM
"""
import os
import random
import subprocess
import sys
import unittest

import tool_test
from formats_test import raw_pbm

try:
    from PIL import Image
except ImportError:  # the tests that need Pillow say so
    Image = None

TOOL = None


def run(*args):
    return subprocess.run([TOOL, *args], capture_output=True, text=True)


def read_p4(data):
    """(width, height, rows of 0 white / 1 black) of a raw PBM."""
    lines, at = [], 0
    while len(lines) < 3:
        end = data.index(b"\n", at)
        line = data[at:end]
        at = end + 1
        if not line.startswith(b"#"):
            lines += line.split()
    width, height = int(lines[1]), int(lines[2])
    stride = (width + 7) // 8
    rows = [[data[at + y * stride + x // 8] >> (7 - x % 8) & 1 for x in range(width)] for y in range(height)]
    return width, height, rows


class ResizeTest(tool_test.Base):
    def test_bad_values_are_usage_errors_naming_the_option(self):
        src = self.path("in.pbm", raw_pbm(11, 3, lambda x, y: x % 2 == 0))
        cases = [
            (["--width", "0"], "--width"),
            (["--width", "-5"], "--width"),
            (["--height=0"], "--height"),
            (["--height", "12a"], "--height"),
            (["--width", "2147483648"], "--width"),
            (["--fit", "x"], "--fit"),
            (["--fit", "10x"], "--fit"),
            (["--fit", "x10"], "--fit"),
            (["--fit", "0x10"], "--fit"),
            (["--fit", "10"], "--fit"),
            (["--fit", "10x10", "--width", "5"], "--fit"),
            (["--width", "100", "--height", "100", "--max-pixels", "9999"], "--max-pixels"),
            (["--width", "100", "--max-pixels", "99"], "--max-pixels"),
        ]
        for args, name in cases:
            with self.subTest(args=args):
                out = self.path("out.pbm")
                r = run(*args, src, out)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(name, r.stderr.splitlines()[0])
                self.assertFalse(os.path.exists(out))

    def test_an_output_over_max_pixels_known_only_from_the_picture_is_refused(self):
        src = self.path("in.pbm", raw_pbm(100, 1, lambda x, y: True))
        r = run("--height", "10", "--max-pixels", "9999", src, self.path("out.bmp"))
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("1000 x 10 is more pixels than the limit of 9999", r.stderr)

    def test_a_bilevel_picture_twice_its_size_doubles_each_pixel(self):
        # Bilinear at twice the size puts each output pixel a quarter pixel
        # from its input pixel's centre: three quarters of it, so the middle
        # that the channels rule decides at gives that pixel's colour.
        def white(x, y):
            return (x * 5 + y * 3) % 7 < 3

        src = self.path("in.pbm", raw_pbm(11, 3, white))
        for args in (["--width", "22"], ["--height", "6"], ["--fit", "22x100"], ["--width", "22", "--height", "6"],
                     ["--width", "22", "--method", "luma"], ["--width", "22", "--method", "otsu"]):
            with self.subTest(args=args):
                r = run(*args, "--to", "pbm", "--raw", src, self.path("out.pbm"))
                self.assertEqual(r.returncode, 0, r.stderr)
                want = [[0 if white(x // 2, y // 2) else 1 for x in range(22)] for y in range(6)]
                self.assertEqual(read_p4(self.read("out.pbm")), (22, 6, want))

    @unittest.skipIf(Image is None, "no Pillow for this Python")
    def test_area_averages_are_within_one_grey_level_of_pillows_reduce(self):
        rng = random.Random(36)
        picture = Image.new("L", (240, 180))
        picture.putdata([rng.randrange(256) for _ in range(240 * 180)])
        src = self.path("noise.png")
        picture.save(src)
        for factor in (2, 3, 4, 5, 6):
            reduced = picture.reduce(factor)
            values = list(reduced.getdata())
            for threshold in (64, 128, 192):
                with self.subTest(factor=factor, threshold=threshold):
                    r = run("--width", str(240 // factor), "--method", "luma", "--threshold", str(threshold), "--to",
                            "pbm", "--raw", src, self.path("out.pbm"))
                    self.assertEqual(r.returncode, 0, r.stderr)
                    width, height, rows = read_p4(self.read("out.pbm"))
                    self.assertEqual((width, height), reduced.size)
                    # Ours within one level of Pillow's: white from threshold + 1, black to threshold - 2.
                    for i, v in enumerate(values):
                        bit = rows[i // width][i % width]
                        if v >= threshold + 1:
                            self.assertEqual(bit, 0, (i, v))
                        elif v <= threshold - 2:
                            self.assertEqual(bit, 1, (i, v))

    @unittest.skipIf(Image is None, "no Pillow for this Python")
    def test_jpeg_shrunk_on_load_has_the_size_and_nearly_the_bits_of_the_picture_decoded_whole(self):
        # Squares of dark and light colours, so that only their edges are
        # near the threshold, where the DCT's own averages and a full
        # decode's may part.
        w, h = 803, 611
        picture = Image.new("RGB", (w, h))
        picture.putdata([(40, 60, 30) if (x // 101 + y // 77) % 2 else (220, 200, 230) for y in range(h) for x in range(w)])
        jpeg = self.path("in.jpg")
        picture.save(jpeg, quality=95)
        png = self.path("in.png")
        Image.open(jpeg).convert("RGB").save(png)  # libjpeg's full decode
        # 1/8, 1/4, 1/2 and none: the largest shrink that stays at least the output's size.
        for args in (["--width", "100"], ["--width", "150"], ["--fit", "300x300"], ["--height", "305"],
                     ["--width", "402"]):
            with self.subTest(args=args):
                outs = []
                for src in (jpeg, png):
                    r = run(*args, "--method", "luma", "--to", "pbm", "--raw", src, self.path("out.pbm"))
                    self.assertEqual(r.returncode, 0, r.stderr)
                    outs.append(read_p4(self.read("out.pbm")))
                self.assertEqual(outs[0][:2], outs[1][:2])
                # Only along the squares' edges, which a block of the DCT's
                # own average smears by up to one of its pixels. Mapped a
                # block off, a third of the edges would differ (4.4%).
                differ = sum(a != b for ra, rb in zip(outs[0][2], outs[1][2]) for a, b in zip(ra, rb))
                self.assertLess(differ, outs[0][0] * outs[0][1] * 0.03, differ)


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    tool_test.TOOL = TOOL
    unittest.main()
