#!/usr/bin/env python3
"""The Windows build's codecs against the Linux build's, byte for byte: each
input (a PNG, a 16-bit PNG, a baseline, a progressive and a CMYK JPEG, a
multi-page G4 TIFF) converted under Wine by quorvelpbm.exe and by qpbm.dll's
UTF-16 file call (codec_host.exe), under non-ASCII names, must give the
Linux tool's bytes.

Usage: codecs_wine_test.py WINE QUORVELPBM_EXE CODEC_HOST_EXE LINUX_TOOL
The inputs are made from the sample picture by ImageMagick; a missing
ImageMagick or Linux tool skips the test with the reason.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "sample.bmp")
IMAGEMAGICK = "/usr/bin/convert-im6.q16"
WINE = EXE = HOST = LINUX_TOOL = None
METHODS = {"channels": 0, "floyd-steinberg": 3, "sauvola": 6}  # qpbm_method

# Each input: its name and how ImageMagick makes it from the sample.
INPUTS = {
    "café.png": ["-type", "TrueColor"],
    "deep-é.png": ["-depth", "16", "-define", "png:bit-depth=16"],
    "base-é.jpg": ["-quality", "90"],
    "prog-é.jpg": ["-interlace", "Plane", "-quality", "85"],
    "cmyk-é.jpg": ["-colorspace", "CMYK", "-quality", "90"],
}
PAGES = "pages-é.tif"  # three pages, G4

# Each case: the input, the output's extension and the method; a PBM is
# raw (the tool's --raw), as the DLL's plain PBM would gain CR LF.
CASES = [
    ("café.png", "pbm", "channels"),
    ("deep-é.png", "png", "floyd-steinberg"),
    ("base-é.jpg", "png", "floyd-steinberg"),
    ("prog-é.jpg", "pbm", "sauvola"),
    ("cmyk-é.jpg", "tif", "floyd-steinberg"),
    (PAGES, "tif", "channels"),
    (PAGES, "pdf", "channels"),
]


def run(*args, **kwargs):
    return subprocess.run(list(args), capture_output=True, timeout=240, **kwargs)


class WineCodecsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(IMAGEMAGICK):
            raise unittest.SkipTest("needs ImageMagick (imagemagick-6.q16) to make the inputs")
        if not os.path.exists(LINUX_TOOL):
            raise unittest.SkipTest(f"needs the Linux build's tool at {LINUX_TOOL} (./run test builds it)")
        cls.dir = tempfile.mkdtemp()
        for name, options in INPUTS.items():
            run(IMAGEMAGICK, SAMPLE, *options, os.path.join(cls.dir, name), check=True)
        # Three pages, the second turned and the third negated.
        run(IMAGEMAGICK, SAMPLE, "(", SAMPLE, "-rotate", "90", ")", "(", SAMPLE, "-negate", ")", "-monochrome",
            "-compress", "Group4", os.path.join(cls.dir, PAGES), check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def convert(self, command, output):
        r = run(*command, cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        with open(os.path.join(self.dir, output), "rb") as f:
            return f.read()

    def test_the_tool_and_the_dll_write_the_linux_bytes(self):
        for number, (source, extension, method) in enumerate(CASES):
            with self.subTest(source=source, output=extension):
                stem = f"{number}-{os.path.splitext(source)[0]}"
                options = ["--method", method] + (["--raw"] if extension == "pbm" else [])
                linux = self.convert([LINUX_TOOL, *options, source, f"{stem}.linux.{extension}"],
                                     f"{stem}.linux.{extension}")
                tool = self.convert([WINE, EXE, *options, source, f"{stem}.exe.{extension}"], f"{stem}.exe.{extension}")
                self.assertEqual(tool, linux, "quorvelpbm.exe")
                if extension == "pbm":
                    continue  # the DLL's PBM is plain
                dll = self.convert([WINE, HOST, source, f"{stem}.dll.{extension}", str(METHODS[method])],
                                   f"{stem}.dll.{extension}")
                self.assertEqual(dll, linux, "qpbm.dll")


if __name__ == "__main__":
    WINE, EXE, HOST, LINUX_TOOL = (sys.argv.pop(1) for _ in range(4))
    unittest.main(verbosity=1)
