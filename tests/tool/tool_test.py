#!/usr/bin/env python3
"""End-to-end tests of the quorvelpbm command-line tool.

Usage: tool_test.py PATH_TO_QUORVELPBM
Inputs are laid out here from the file formats, not by the tool.
"""
import os
import struct
import subprocess
import sys
import tempfile
import unittest

TOOL = None
HEAD = b"P1\n# Created by Quorvel\n"


def bmp(width, height, rows_top_first, bit_count=24):
    """A bottom-up BMP; rows_top_first[y][x] is (blue, green, red)."""
    stride = (width * 3 + 3) // 4 * 4
    size = 54 + stride * height
    data = struct.pack("<2sIHHI", b"BM", size, 0, 0, 54)
    data += struct.pack("<IiiHHIIiiII", 40, width, height, 1, bit_count, 0, stride * height, 0, 0, 0, 0)
    for row in reversed(rows_top_first):
        line = b"".join(bytes(p) for p in row)
        data += line + bytes(stride - len(line))
    return data


WHITE, BLACK = (255, 255, 255), (0, 0, 0)
# 2 x 2: white top row, black bottom row.
SMALL_BMP = bmp(2, 2, [[WHITE, WHITE], [BLACK, BLACK]])
SMALL_PBM = HEAD + b"2 2\n0 0 1 1 "
SENTINEL = b"left alone"


def run(*args):
    return subprocess.run([TOOL, *args], capture_output=True, text=True)


class ToolTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name, content=None):
        p = os.path.join(self.dir.name, name)
        if content is not None:
            with open(p, "wb") as f:
                f.write(content)
        return p

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def test_both_directions_explicit_and_detected(self):
        cases = [
            ("bmp2pbm", "in.bmp", SMALL_BMP, "out.pbm", SMALL_PBM),
            ("pbm2bmp", "in.pbm", SMALL_PBM, "out.bmp", SMALL_BMP),
            (None, "in.bmp", SMALL_BMP, "out.pbm", SMALL_PBM),
            (None, "in.pbm", SMALL_PBM, "out.bmp", SMALL_BMP),
        ]
        for direction, src, content, dst, expected in cases:
            with self.subTest(direction=direction, src=src):
                args = ([direction] if direction else []) + [self.path(src, content), self.path(dst)]
                r = run(*args)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
                self.assertEqual(self.read(dst), expected)

    def test_verbose_reports_each_conversion(self):
        r = run("--verbose", self.path("in.bmp", SMALL_BMP), self.path("out.pbm"))
        self.assertEqual(r.returncode, 0)
        self.assertIn("-> " + self.path("out.pbm") + " (2 x 2)", r.stderr)

    def test_refusals_name_the_file_and_the_reason(self):
        bmp32 = bytearray(SMALL_BMP)
        bmp32[28] = 32
        cases = [
            ("scan.bmp", bytes(bmp32), [], "not a 24-bit uncompressed BMP (32 bits per pixel)"),
            ("huge.pbm", HEAD + b"40000 40000\n", [], "40000 x 40000 is too large for a BMP file"),
            ("short.bmp", SMALL_BMP[:60], [], "pixel data is truncated (2 x 2 needs 68 bytes, the file has 60)"),
            ("p2.pgm", b"P2\n2 2\n1\n0 0 0 0", ["pbm2bmp"], 'not a PBM file (it does not start with "P1" or "P4")'),
            ("signed.pbm", b"P1\n-2 2\n", [], "a PBM width or height has no sign"),
            ("neither.txt", b"hello", [], 'neither a BMP ("BM") nor a plain PBM ("P1") file'),
            ("missing.bmp", None, ["bmp2pbm"], "cannot open the input: No such file or directory"),
            ("pbm-as-bmp.pbm", SMALL_PBM, ["bmp2pbm"], "not a BMP file"),
        ]
        for name, content, direction, reason in cases:
            with self.subTest(name=name):
                out = self.path("out", SENTINEL)
                r = run(*direction, self.path(name, content), out)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stderr, f"quorvelpbm: {self.path(name)}: {reason}\n")
                self.assertEqual(self.read("out"), SENTINEL)

    def test_output_naming_the_input_is_refused(self):
        src = self.path("in.bmp", SMALL_BMP)
        r = run(src, src)
        self.assertEqual(r.returncode, 1)
        self.assertIn("the output is the input file", r.stderr)
        self.assertEqual(self.read("in.bmp"), SMALL_BMP)

    def test_batch_with_one_bad_file(self):
        os.mkdir(self.path("out"))
        good1 = self.path("a.bmp", SMALL_BMP)
        bad = self.path("bad.bmp", SMALL_BMP[:40])
        good2 = self.path("c.bmp", SMALL_BMP)
        self.path("out/bad.pbm", SENTINEL)
        r = run("bmp2pbm", "--output-dir", self.path("out"), good1, bad, good2)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(self.read("out/a.pbm"), SMALL_PBM)
        self.assertEqual(self.read("out/c.pbm"), SMALL_PBM)
        self.assertEqual(self.read("out/bad.pbm"), SENTINEL)
        lines = r.stderr.splitlines()
        self.assertEqual(lines, [f"quorvelpbm: {bad}: too short for a BMP header", "quorvelpbm: converted 2, refused 1"])

    def test_batch_detects_each_direction_and_keeps_outputs_apart(self):
        os.mkdir(self.path("out"))
        os.mkdir(self.path("sub"))
        first = self.path("x.bmp", SMALL_BMP)
        clash = self.path("sub/x.bmp", SMALL_BMP)  # would also become out/x.pbm
        pbm = self.path("y.pbm", SMALL_PBM)
        r = run("-o", self.path("out"), first, clash, pbm)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(self.read("out/x.pbm"), SMALL_PBM)
        self.assertEqual(self.read("out/y.bmp"), SMALL_BMP)
        self.assertIn("already written for an earlier input", r.stderr)
        self.assertTrue(r.stderr.endswith("quorvelpbm: converted 2, refused 1\n"))

    def test_usage_errors(self):
        src = self.path("in.bmp", SMALL_BMP)
        cases = [
            ([], "expected an INPUT and an OUTPUT"),
            ([src], "expected an INPUT and an OUTPUT"),
            ([src, src, src], "too many files"),
            (["--frobnicate", src, "o"], "unknown option '--frobnicate'"),
            (["--output-dir"], "needs a directory"),
            (["--output-dir", self.path("nowhere"), src], "does not exist"),
            (["-o", self.dir.name], "no input files"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual(r.returncode, 2)
                self.assertIn(message, r.stderr)
                self.assertIn("--help", r.stderr)

    def test_help_and_version(self):
        r = run("--help")
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.startswith("Usage: quorvelpbm"))
        self.assertIn("Examples:", r.stdout)
        r = run("--version")
        self.assertEqual((r.returncode, r.stdout), (0, "quorvelpbm 1.0.0.1\n"))


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main(verbosity=1)
