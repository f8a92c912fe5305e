#!/usr/bin/env python3
"""quorvelpbm.exe under Wine: both directions, a batch with a refusal, exit
codes, backslashes, and a non-ASCII file name that survives the command line
(wmain) and the messages (UTF-8 on a pipe).

Usage: tool_wine_test.py WINE QUORVELPBM_EXE
Inputs are laid out from the file formats; the PBM is text, so on Windows its
line feeds are stored as CR LF.
"""
import os
import subprocess
import sys
import tempfile
import unittest

# The pictures of the tool's own tests; only the PBM's line ends differ here.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tool"))
from tool_test import SMALL_BMP, SMALL_PBM as SMALL_PBM_LF  # noqa: E402

WINE = EXE = None
SMALL_PBM = SMALL_PBM_LF.replace(b"\n", b"\r\n")


class WineToolTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def run_tool(self, *args):
        return subprocess.run([WINE, EXE, *args], capture_output=True, cwd=self.dir.name, timeout=240)

    def write(self, name, data):
        path = os.path.join(self.dir.name, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def read(self, name):
        with open(os.path.join(self.dir.name, name), "rb") as f:
            return f.read()

    def test_both_directions_with_a_non_ascii_name(self):
        self.write("café.bmp", SMALL_BMP)
        r = self.run_tool("café.bmp", "café.pbm")
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(self.read("café.pbm"), SMALL_PBM)
        r = self.run_tool("pbm2bmp", "café.pbm", "back.bmp")
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(self.read("back.bmp"), SMALL_BMP)

    def test_batch_with_a_refusal_and_backslashes(self):
        self.write("in/a.bmp", SMALL_BMP)
        self.write("in/bad.bmp", b"BM" + bytes(20))
        self.write("in/c.pbm", SMALL_PBM)
        os.mkdir(os.path.join(self.dir.name, "out"))
        r = self.run_tool("-o", "out", "in\\a.bmp", "in/bad.bmp", "in\\c.pbm")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(self.read("out/a.pbm"), SMALL_PBM)
        self.assertEqual(self.read("out/c.bmp"), SMALL_BMP)
        self.assertFalse(os.path.exists(os.path.join(self.dir.name, "out", "bad.pbm")))
        self.assertTrue(r.stderr.endswith(b"quorvelpbm: converted 2, refused 1\n") or
                        r.stderr.endswith(b"quorvelpbm: converted 2, refused 1\r\n"), r.stderr)

    def test_compact_outputs_are_binary_and_options_are_checked(self):
        # A raw PBM is written in binary mode: its bytes never gain a CR.
        self.write("a.bmp", SMALL_BMP)
        r = self.run_tool("--raw", "--method", "floyd-steinberg", "a.bmp", "a.pbm")
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(self.read("a.pbm"), b"P4\n# Created by Quorvel\n2 2\n\x00\xc0")
        r = self.run_tool("pbm2bmp", "--bpp", "1", "a.pbm", "a1.bmp")
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(self.read("a1.bmp")[62:], b"\x00\x00\x00\x00\xc0\x00\x00\x00")
        self.assertEqual(self.run_tool("bmp2pbm", "--bpp", "24", "a.bmp", "b.pbm").returncode, 2)
        r = self.run_tool("--max-pixels", "3", "a.bmp", "c.pbm")
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"2 x 2 is more pixels than the limit of 3", r.stderr)

    def test_refusals_and_usage_errors_with_their_exit_codes(self):
        r = self.run_tool("bmp2pbm", "naïve.bmp", "out.pbm")
        self.assertEqual(r.returncode, 1)
        self.assertIn("naïve.bmp: cannot open the input".encode(), r.stderr)
        r = self.run_tool("--frobnicate")
        self.assertEqual(r.returncode, 2)
        r = self.run_tool("--version")
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.startswith(b"quorvelpbm "))


if __name__ == "__main__":
    WINE, EXE = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main(verbosity=1)
