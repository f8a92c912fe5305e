#!/usr/bin/env python3
"""--method auto: photo-like pictures are dithered, document-like ones
(text on paper, a page lit unevenly, line art) thresholded, each to the same
bytes as the chosen method named outright; BMP keeps channels by default.

Usage: auto_test.py PATH_TO_QUORVELPBM
"""
import math
import os
import re
import subprocess
import sys
import unittest

import tool_test
from formats_test import grey_png

TOOL = None
W, H = 320, 240


def run(*args):
    return subprocess.run([TOOL, *args], capture_output=True)


def grain(x, y, amount):
    """Noise in -amount..amount, the same on every run."""
    return (x * 7919 + y * 104729 + (x * y) % 613) % (2 * amount + 1) - amount


def clamp(v):
    return max(0, min(255, int(v)))


def soft_photo(x, y):
    # A sky brightening to the right, two dark soft-edged shapes, grain.
    v = 90 + 120 * x / W
    for cx, cy, r in ((90, 150, 60), (230, 80, 45)):
        d = math.hypot(x - cx, y - cy)
        v -= 110 * max(0.0, min(1.0, (r + 25 - d) / 25))
    return clamp(v + grain(x, y, 8))


def gravel(x, y):
    # Coarse grain all over: too little paper for a page, so the look stops early.
    return clamp(60 + 100 * y / H + grain(x // 2, y // 2, 40))


def glyph(x, y):
    """Lines of letter-like marks, strokes 2 to 3 pixels wide."""
    line, row = divmod(y - 20, 18)
    if y < 20 or line > 10 or row >= 11:
        return False
    word, col = divmod(x - 16, 40)
    if x < 16 or x >= W - 16 or col >= 32:
        return False
    letter, lx = divmod(col, 8)
    shape = (word * 3 + letter + line) % 4
    if shape == 0:
        return lx < 2 or row < 2
    if shape == 1:
        return lx in (0, 1, 5, 6) or row in (5, 6)
    if shape == 2:
        return lx in (3, 4) or row > 8
    return abs(lx - row // 2) < 2


def text_page(x, y):
    return clamp((30 if glyph(x, y) else 235) + grain(x, y, 3))


def lit_page(x, y):
    light = 1.0 - 0.5 * (x + y) / (W + H)  # from full light to half, corner to corner
    return clamp(((30 if glyph(x, y) else 240) * light) + grain(x, y, 4))


def soft_handwriting(x, y):
    # Every other line of letters, their edges blurred over five pixels (a
    # 5 x 5 box), on grey paper: no step is sharp, but the ink lies in strokes.
    def mark(u, v):
        return glyph(u, v) and (v - 20) // 18 % 2 == 0

    cover = sum(mark(x + dx, y + dy) for dx in range(-2, 3) for dy in range(-2, 3)) / 25
    return clamp(165 - 100 * cover + grain(x, y, 3))


def line_art(x, y):
    ring = abs(math.hypot(x - 110, y - 120) - 70) < 1.5
    box = (60 <= y <= 180 and x in (200, 201, 290, 291)) or (200 <= x <= 291 and y in (60, 61, 180, 181))
    cross = abs((x - 200) - (y - 60) * 91 / 120) < 1.2 and 200 <= x <= 291
    return clamp((20 if ring or box or cross else 250) + grain(x, y, 2))


class AutoTest(tool_test.Base):
    CASES = [  # name, picture, expected method
        ("soft photo", soft_photo, "floyd-steinberg"),
        ("gravel", gravel, "floyd-steinberg"),
        ("text on paper", text_page, "sauvola"),
        ("a page lit unevenly", lit_page, "sauvola"),
        ("line art", line_art, "sauvola"),
        ("soft handwriting", soft_handwriting, "sauvola"),
    ]

    def test_auto_chooses_by_the_picture(self):
        for name, picture, expected in self.CASES:
            with self.subTest(name):
                png = self.path(name + ".png", grey_png(W, H, picture))
                r = run("-v", "--raw", "-f", png, self.path("default.pbm"))
                self.assertEqual(r.returncode, 0, r.stderr)
                chose = re.search(rb"auto chose ([a-z-]+): ", r.stderr)
                self.assertIsNotNone(chose, r.stderr)
                self.assertEqual(chose.group(1).decode(), expected, r.stderr)
                r = run("--raw", "--method", expected, "-f", png, self.path("named.pbm"))
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(self.read("default.pbm"), self.read("named.pbm"))

    def test_bmp_keeps_channels_by_default(self):
        rows = [[(soft_photo(x, y),) * 3 for x in range(W)] for y in range(H)]
        bmp = self.path("photo.bmp", tool_test.bmp(W, H, rows))
        for method, out in (([], "default.pbm"), (["--method", "channels"], "channels.pbm")):
            r = run("--raw", *method, "-f", bmp, self.path(out))
            self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read("default.pbm"), self.read("channels.pbm"))
        r = run("--raw", "--method", "auto", "-f", bmp, self.path("auto.pbm"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertNotEqual(self.read("default.pbm"), self.read("auto.pbm"))


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    tool_test.TOOL = TOOL
    unittest.main()
