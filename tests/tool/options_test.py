#!/usr/bin/env python3
"""The tool's conversion options: what each writes, and every usage error.

Usage: options_test.py PATH_TO_QUORVELPBM
"""
import os
import struct
import subprocess
import sys
import unittest

import tool_test
from tool_test import BLACK, SENTINEL, SMALL_BMP, WHITE, bmp

TOOL = None


def run(*args, **kwargs):
    return subprocess.run([TOOL, *args], capture_output=True, **kwargs)


class OptionsTest(tool_test.Base):
    def setUp(self):
        super().setUp()
        self.bmp = self.path("in.bmp", SMALL_BMP)  # white top row, black bottom row
        self.pbm = self.path("in.pbm", b"P1 2 2\n0 0 1 1")

    def test_each_option_changes_what_is_written(self):
        # Red on white: the channels rule makes red black, luma (76 < 128) too,
        # luma with a threshold of 70 white.
        red = self.path("red.bmp", bmp(2, 1, [[(0, 0, 255), WHITE]]))
        head = b"# Created by Quorvel\n"
        cases = [
            (["bmp2pbm", "--raw", self.bmp], b"P4\n" + head + b"2 2\n\x00\xc0"),
            (["--raw", "--invert", self.bmp], b"P4\n" + head + b"2 2\n\xc0\x00"),
            (["--method", "luma", "--threshold", "70", red], b"P1\n" + head + b"2 1\n0 0 "),
            (["--method=luma", red], b"P1\n" + head + b"2 1\n1 0 "),
            (["--threshold=0", red], b"P1\n" + head + b"2 1\n0 0 "),
            (["--method", "sauvola", "--window", "3", "--raw", self.bmp], None),
            # White top row, black bottom row: turned, the black column is the left one.
            (["--raw", "--rotate", "90", self.bmp], b"P4\n" + head + b"2 2\n\x80\x80"),
            (["--raw", "--rotate=270", self.bmp], b"P4\n" + head + b"2 2\n\x40\x40"),
            (["--raw", "--flip", self.bmp], b"P4\n" + head + b"2 2\n\xc0\x00"),
            (["--raw", "--mirror", "--no-auto-orient", self.bmp], b"P4\n" + head + b"2 2\n\x00\xc0"),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                r = run(*args, self.path("out"))
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                if expected is not None:
                    self.assertEqual(self.read("out"), expected)
        # A 1-bit BMP: 62 header bytes, rows of 4 bytes, bottom (black) first.
        r = run("pbm2bmp", "--bpp", "1", self.pbm, self.path("out.bmp"))
        self.assertEqual(r.returncode, 0)
        data = self.read("out.bmp")
        self.assertEqual((len(data), struct.unpack_from("<H", data, 28)[0]), (70, 1))
        self.assertEqual(data[62:], b"\x00\x00\x00\x00\xc0\x00\x00\x00")

    def test_an_option_of_the_other_direction(self):
        # Refused when the direction is given, even at its default ...
        # (--invert applies to PBM inputs too: see pipeline_test.py.)
        for args in (["bmp2pbm", "--bpp", "24"], ["pbm2bmp", "--raw"], ["pbm2bmp", "--method", "channels"]):
            with self.subTest(args=args):
                r = run(*args, self.bmp, self.path("out"))
                self.assertEqual(r.returncode, 2)
                self.assertIn(b"is an option of", r.stderr)
        # ... and ignored for the inputs of the other direction when it is detected.
        os.mkdir(self.path("dir"))
        r = run("--bpp", "1", "--raw", "-o", self.path("dir"), self.bmp, self.pbm)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read("dir/in.pbm")[:2], b"P4")
        self.assertEqual(struct.unpack_from("<H", self.read("dir/in.bmp"), 28)[0], 1)

    def test_bad_values_are_usage_errors_that_touch_nothing(self):
        cases = [
            ["--max-pixels", "-1"], ["--max-pixels", "abc"], ["--max-pixels", "18446744073709551616"],
            ["--bpp", "8"], ["--method", "dither"], ["--threshold", "256"], ["--method", "luma", "--threshold", "257"],
            ["--method", "otsu", "--threshold", "100"], ["--window", "15"], ["--method", "sauvola", "--window", "4"],
            ["--method", "sauvola", "--window", "257"], ["--threshold"],
            ["--rotate", "45"], ["--rotate", "-90"], ["--rotate"], ["--dpi", "0"], ["--dpi", "-1"], ["--dpi", "x"],
            ["--dpi", "10x"], ["--dpi", "300,0"], ["--dpi", "300,"], ["--dpi", "1000001"], ["--dpi"],
        ]
        out = self.path("out", SENTINEL)
        for args in cases:
            with self.subTest(args=args):
                r = run(*args, self.bmp, out)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(b"Try 'quorvelpbm --help'", r.stderr)
                if args[0] in ("--rotate", "--dpi"):
                    self.assertIn(args[0].encode() + b" ", r.stderr)
                self.assertEqual(self.read("out"), SENTINEL)

    def test_the_pixel_budget_names_both_numbers(self):
        out = self.path("out", SENTINEL)
        r = run("--max-pixels", "3", self.bmp, out)
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"2 x 2 is more pixels than the limit of 3", r.stderr)
        self.assertEqual(self.read("out"), SENTINEL)
        self.assertEqual(run("--max-pixels", "4", self.bmp, out).returncode, 0)


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    tool_test.TOOL = TOOL
    unittest.main()
