#!/usr/bin/env python3
"""What the tool says when it refuses, and how large a picture it takes:
each refusal names what happened (and, for a limit, whose and what holds
more); a codec picture is refused only past the limit of the output chosen.

Usage: messages_test.py PATH_TO_QUORVELPBM
"""
import os
import shutil
import struct
import subprocess
import sys
import unittest
import zlib

import tool_test

TOOL = None


def run(*args, **kwargs):
    return subprocess.run([TOOL, *args], capture_output=True, text=True, **kwargs)


def has(format_name):
    """Whether --version lists a codec built in for the format ("png": "PNG libspng 0.7.3")."""
    return any(line.startswith(format_name.upper() + " ") for line in run("--version").stdout.splitlines()[1:])


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def png(width, height, idat, depth=1, extra=b"", interlace=0):
    """A grey PNG: `extra` chunks between IHDR and IDAT."""
    ihdr = struct.pack(">IIBBBBB", width, height, depth, 0, 0, 0, interlace)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + extra + chunk(b"IDAT", idat) + chunk(b"IEND", b"")


# 4 x 2, 8-bit grey: black and white halves.
SMALL_PNG = png(4, 2, zlib.compress(b"\0\0\0\xff\xff" * 2), depth=8)
SMALL_P4 = b"P4\n# Created by Quorvel\n4 2\n" + b"\xc0" * 2


def white_png(side):
    """A 1-bit PNG of side x side white pixels, deflated a row at a time so
    that neither this test nor the file grows with it: the first row
    unfiltered, the rest "up" (all zero)."""
    z = zlib.compressobj(9)
    row = (side + 7) // 8
    idat = z.compress(b"\0" + b"\xff" * row)
    up = b"\2" + bytes(row)
    for _ in range(side - 1):
        idat += z.compress(up)
    return png(side, side, idat + z.flush())


class MessagesTest(tool_test.Base):
    def test_each_refusal_says_what_happened(self):
        pam = (b"P7\nWIDTH 2147483647\nHEIGHT 2147483647\nDEPTH 4\nMAXVAL 65535\nTUPLTYPE RGB_ALPHA\nENDHDR\n")
        cases = [
            # (what, input, options, in the message, not in it)
            ("a PNG whose stream is shorter than its 1 x 10^9 header", png(1, 10**9, zlib.compress(bytes(20))), [],
             "IDAT stream too short", "user limit"),
            ("an interlaced PNG over the memory its whole picture may take",
             png(20000, 20000, zlib.compress(b"\0"), depth=8, interlace=1), [],
             "(saved without interlacing, it is read a row at a time)", None),
            ("a TIFF whose header points to no directory", b"II*\0\0\0\0\0" + bytes(8), [],
             "points to no directory (offset 0)", "unknown error"),
            ("a big-endian one", b"MM\0*\0\0\0\0" + bytes(8), [], "points to no directory", "unknown error"),
            ("a PAM past 2^64 bytes", pam, [], "needs more bytes than any file holds", "byte 0"),
            ("a 20-digit plain sample", b"P2 1 1 255\n12345678901234567890\n", [],
             "the sample at byte 11 is over 65535, the largest maxval (this one is 255)", "65536"),
            ("a sample just over the maxval", b"P2 1 1 255\n256\n", [], "is 256, over the maxval 255", None),
            ("an empty output path", tool_test.SMALL_BMP, ["OUT="], "the output path is empty", "invalid path"),
            ("a TIFF to a device", SMALL_PNG, ["--to", "tiff", "OUT=/dev/null"], "not to a pipe or a device",
             "write error"),
        ]
        for what, data, options, said, unsaid in cases:
            with self.subTest(what):
                if (b"PNG" in data[:4] and not has("png")) or (data[:2] in (b"II", b"MM") and not has("tiff")):
                    continue
                out = [o[4:] for o in options if o.startswith("OUT=")]
                args = [o for o in options if not o.startswith("OUT=")]
                r = run(*args, self.path("in", data), out[0] if out else self.path("out"))
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(said, r.stderr)
                if unsaid:
                    self.assertNotIn(unsaid, r.stderr)

    def test_ancillary_chunks_of_any_size_or_number_are_skipped(self):
        if not has("png"):
            self.skipTest("built without libspng")
        exif = chunk(b"eXIf", b"MM\0*" + bytes(16 << 20))
        texts = b"".join(chunk(b"tEXt", b"k\0v") for _ in range(200000))
        icc = chunk(b"iCCP", b"p\0\0" + zlib.compress(bytes(40 << 20)))
        for what, extra in (("16 MiB of eXIf", exif), ("200,000 tEXt", texts), ("an ICC of 40 MiB", icc)):
            with self.subTest(what):
                ihdr_end = 8 + 25
                data = SMALL_PNG[:ihdr_end] + extra + SMALL_PNG[ihdr_end:]
                r = run("--raw", self.path("in.png", data), self.path("out.pbm"))
                self.assertEqual((r.returncode, r.stderr), (0, ""))
                self.assertEqual(self.read("out.pbm"), SMALL_P4)

    def test_a_batch_that_reads_every_format_says_so(self):
        os.mkdir(self.path("out"))
        self.path("a.bmp", tool_test.SMALL_BMP)
        self.path("out/a.pbm", b"P2 1 1 255\n0\n")  # an existing output the batch could read
        cases = [
            ([], "exists and is a PGM, PPM or PAM, which a batch that reads every format never replaces"),
            (["bmp2pbm"], "a batch that reads BMPs never replaces"),
        ]
        for options, said in cases:
            with self.subTest(options=options):
                r = run(*options, "--files-from", "-", "-o", "out", input="a.bmp\n", cwd=self.dir.name)
                if options:
                    self.assertEqual(r.returncode, 0, r.stderr)  # as a bmp2pbm batch, a PGM is no input
                    continue
                self.assertEqual(r.returncode, 1)
                self.assertIn(said, r.stderr)


class LargePictureTest(tool_test.Base):
    """A codec picture is taken as large as the output chosen holds."""

    def setUp(self):
        super().setUp()
        if not has("png"):
            self.skipTest("built without libspng")

    def test_a_scan_past_2_to_the_29_pixels_becomes_a_p4_and_a_g4_tiff_in_flat_memory(self):
        side = 23200  # 5.4 x 10^8 pixels, just over the 2^29 once refused
        src = self.path("scan.png", white_png(side))
        outputs = [(["--raw"], "scan.pbm")]
        if has("tiff"):
            outputs.append((["--to", "tiff"], "scan.tif"))
        for options, out in outputs:
            with self.subTest(options=options):
                timed = ["/usr/bin/time", "-f", "%M"] if shutil.which("/usr/bin/time") else []
                r = subprocess.run([*timed, TOOL, *options, src, self.path(out)], capture_output=True, text=True)
                self.assertEqual(r.returncode, 0, r.stderr)
                if timed and not os.environ.get("QUORVELPBM_SANITIZED"):
                    self.assertLess(int(r.stderr.split()[-1]), 16 * 1024)  # KiB, as the codec budgets
                if out.endswith(".pbm"):
                    head = b"P4\n# Created by Quorvel\n%d %d\n" % (side, side)
                    self.assertEqual(os.path.getsize(self.path(out)), len(head) + side * side // 8)
                    with open(self.path(out), "rb") as f:
                        self.assertEqual(f.read(len(head) + 8), head + bytes(8))  # white is 0
                else:
                    self.assertEqual(self.read(out)[:4], b"II*\0")
                os.remove(self.path(out))

    def test_an_output_refuses_past_its_own_limit_before_writing(self):
        # Headers alone: each output's check refuses before a row is read.
        cases = [
            ("a 24-bit BMP past 4 GiB", 40000, ["--to", "bmp"], "40000 x 40000 is too large for a BMP file"),
            ("an uncompressed TIFF past 4 GiB", 200000, ["--to", "tiff", "--compression", "none"],
             "past the 4 GiB a TIFF holds"),
        ]
        for what, side, options, said in cases:
            with self.subTest(what):
                if "tiff" in options and not has("tiff"):
                    continue
                out = self.path("out", tool_test.SENTINEL)
                r = run(*options, self.path("in.png", png(side, side, zlib.compress(b"\0"))), out)
                self.assertEqual(r.returncode, 1)
                self.assertIn(said, r.stderr)
                self.assertEqual(self.read("out"), tool_test.SENTINEL)


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    tool_test.TOOL = TOOL
    unittest.main()
