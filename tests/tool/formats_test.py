#!/usr/bin/env python3
"""The tool's output formats: --to, the output's extension, the direction
words, and --invert on PBM inputs. Expected bytes follow the layouts.

Usage: formats_test.py PATH_TO_QUORVELPBM
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import threading
import unittest

import tool_test
from tool_test import bw_bmp, pbm_text

TOOL = None


def run(*args, **kwargs):
    return subprocess.run([TOOL, *args], capture_output=True, **kwargs)


def white(x, y):  # 11 x 3, an irregular pattern
    return (x * 5 + y * 3) % 7 < 3


def raw_pbm(width, height, white, magic=b"P4\n# Created by Quorvel\n"):
    rows = b""
    for y in range(height):
        bits = [0 if white(x, y) else 1 for x in range(width)] + [0] * (-width % 8)
        rows += bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))
    return magic + f"{width} {height}\n".encode() + rows


def bmp1(width, height, white):
    stride = (width + 31) // 32 * 4
    data = struct.pack("<2sIHHI", b"BM", 62 + stride * height, 0, 0, 62)
    data += struct.pack("<IiiHHIIiiII", 40, width, height, 1, 1, 0, stride * height, 0, 0, 2, 2)
    data += bytes(4) + bytes([255, 255, 255, 0])
    for y in reversed(range(height)):
        bits = [1 if white(x, y) else 0 for x in range(width)] + [0] * (stride * 8 - width)
        data += bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))
    return data


def black(x, y):
    return not white(x, y)


class FormatsTest(tool_test.Base):
    def setUp(self):
        super().setUp()
        self.bmp = self.path("in.bmp", bw_bmp(11, 3, white))
        self.p1 = self.path("in.pbm", pbm_text(11, 3, white))
        self.p4 = self.path("in4.pbm", raw_pbm(11, 3, white))

    def test_any_input_to_any_output(self):
        cases = [
            (["--to", "bmp", self.bmp], "out", bw_bmp(11, 3, white)),
            (["-t", "bmp", "--bpp", "1", self.p4], "out", bmp1(11, 3, white)),
            (["--to=pbm", "--raw", self.p1], "out", raw_pbm(11, 3, white)),
            (["--to", "pbm", self.p4], "out", pbm_text(11, 3, white)),
            (["--to", "pbm", "--invert", self.p1], "out", pbm_text(11, 3, black)),
            (["pbm2bmp", "--invert", self.p4], "out", bw_bmp(11, 3, black)),
            # The extension decides when nothing else does ...
            ([self.bmp], "out.bmp", bw_bmp(11, 3, white)),
            (["--bpp", "1", self.bmp], "OUT.BMP", bmp1(11, 3, white)),
            ([self.p4], "out.pbm", pbm_text(11, 3, white)),
            # ... and the direction word or --to over it.
            (["bmp2pbm", self.bmp], "out.bmp", pbm_text(11, 3, white)),
            (["--to", "pbm", self.bmp], "out.bmp", pbm_text(11, 3, white)),
            ([self.bmp], "out.txt", pbm_text(11, 3, white)),
        ]
        for args, out, expected in cases:
            with self.subTest(args=args, out=out):
                r = run(*args, self.path(out))
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                self.assertEqual(self.read(out), expected)

    def test_options_of_another_format_are_usage_errors_that_say_why(self):
        cases = [
            (["pbm2bmp", "--method", "luma", self.p1, "out"], b"a PBM is already black and white"),
            (["--to", "bmp", "--raw", self.bmp, "out"], b"--raw is an option of a PBM output, not of --to bmp"),
            (["--bpp", "1", self.bmp, "out.pbm"], b"--bpp is an option of a BMP output"),
            (["--to", "gif", self.bmp, "out"], b"--to takes pbm"),
            # A name for a format never written is refused, not filled with a PBM.
            ([self.bmp, "out.JPG"], b"cannot write JPEG ('out.JPG'): the outputs are pbm, bmp"),
            ([self.bmp, "out.webp"], b"cannot write WebP"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                r = run(*args, cwd=self.dir.name)
                self.assertEqual(r.returncode, 2)
                self.assertIn(message, r.stderr)
                self.assertEqual([n for n in os.listdir(self.dir.name) if n.startswith("out")], [])
        # Named by --to or a direction word, the name is the user's to choose.
        r = run("bmp2pbm", self.bmp, "out.jpg", cwd=self.dir.name)
        self.assertEqual((r.returncode, self.read("out.jpg")[:2]), (0, b"P1"))

    def test_a_batch_names_outputs_by_the_format_written(self):
        os.mkdir(self.path("dir"))
        r = run("--to", "bmp", "--bpp", "1", "--method", "luma", "-o", self.path("dir"), self.bmp, self.p4)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sorted(os.listdir(self.path("dir"))), ["in.bmp", "in4.bmp"])
        self.assertEqual(self.read("dir/in4.bmp"), bmp1(11, 3, white))  # the method is ignored for the PBM


    def test_the_devices_formats_by_name_in_a_batch_and_an_xbm_that_peers_read(self):
        os.mkdir(self.path("dir"))
        r = run("--to", "escpos", "-o", self.path("dir"), self.p4)
        r2 = run("-t", "zpl", "-o", self.path("dir"), self.p4)
        r3 = run(self.p1, self.path("in.XBM"))
        self.assertEqual([r.returncode, r2.returncode, r3.returncode], [0, 0, 0], r.stderr + r2.stderr + r3.stderr)
        self.assertEqual(sorted(os.listdir(self.path("dir"))), ["in4.bin", "in4.zpl"])
        self.assertTrue(self.read("dir/in4.zpl").startswith(b"^XA"))
        peers = [["xbmtopbm", self.path("in.XBM")], ["/usr/bin/convert-im6.q16", "xbm:" + self.path("in.XBM"), "pbm:-"]]
        for peer in peers:
            with self.subTest(peer=peer[0]):
                if not shutil.which(peer[0]):
                    self.skipTest(peer[0] + " is not installed")
                decoded = subprocess.run(peer, capture_output=True, check=True).stdout
                self.assertEqual(decoded, raw_pbm(11, 3, white, magic=b"P4\n"))
        r = run("--to", "zpl", "--raw", self.p1, self.path("out"))
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"--raw is an option of a PBM output", r.stderr)


def grey_png(width, height, grey):
    """An 8-bit grey PNG, unfiltered rows in one IDAT."""
    import zlib

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    rows = b"".join(b"\0" + bytes(grey(x, y) for x in range(width)) for y in range(height))
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


class ReaderThreadTest(tool_test.Base):
    """A PNG decoded in a thread of its own converts to the same bytes."""

    def test_the_reader_thread_changes_no_byte(self):
        if b"png" not in run("--help").stdout:
            self.skipTest("built without libspng")
        png = grey_png(300, 200, lambda x, y: (x * 3 + y * 5 + x * y // 7) % 256)
        source, other = self.path("in.png", png), self.path("other.png", png)
        for method in ("floyd-steinberg", "otsu", "sauvola"):
            with self.subTest(method=method):
                outs = []
                for option in ([], ["--no-reader-thread"]):
                    r = run("--method", method, "--raw", *option, source, self.path("out.pbm"))
                    self.assertEqual((r.returncode, r.stderr), (0, b""))
                    outs.append(self.read("out.pbm"))
                # Two files at once, each decoded where it is decided; and a pipe.
                os.mkdir(self.path(method))
                r = run("--method", method, "--raw", "-j", "2", "-o", self.path(method), source, other)
                self.assertEqual(r.returncode, 0, r.stderr)
                outs += [self.read(method + "/in.pbm"), self.read(method + "/other.pbm")]
                r = run("--method", method, "--raw", "-", "-", input=png)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                outs.append(r.stdout)
                self.assertEqual(len(outs[0]), len(b"P4\n# Created by Quorvel\n300 200\n") + 38 * 200)
                self.assertEqual(outs, [outs[0]] * 5)
def cut_jpeg():
    """A 16 x 16 grey baseline JPEG up to its scan's header, the scan's data
    missing: tables of one code each, the frame, the scan."""
    tables = b"".join(b"\xff\xc4\x00\x14" + bytes([kind, 1]) + bytes(16) for kind in (0x00, 0x10))
    return (b"\xff\xd8\xff\xdb\x00\x43\x00" + bytes([1]) * 64 + b"\xff\xc0\x00\x0b\x08\x00\x10\x00\x10\x01\x01\x11\x00"
            + tables + b"\xff\xda\x00\x08\x01\x01\x00\x00\x3f\x00")


class FailedTiffTest(tool_test.Base):
    """A TIFF given up part way is freed before its file is closed: every good
    picture of a batch is written beside the damaged ones, at any -j."""

    def test_damaged_jpegs_beside_good_pngs(self):
        help_text = run("--help").stdout
        if b"png" not in help_text or b"tiff" not in help_text:
            self.skipTest("built without libspng or libtiff")
        png = grey_png(40, 30, lambda x, y: (x * 7 + y * 11) % 256)
        names = []
        for i in range(6):
            names += [self.path(f"cut{i}.jpg", cut_jpeg()), self.path(f"good{i}.png", png)]
        for jobs in ("1", "2"):
            with self.subTest(jobs=jobs):
                out = self.path("out" + jobs)
                os.mkdir(out)
                r = run("--to", "tiff", "-j", jobs, "-o", out, *names)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertTrue(r.stderr.decode().endswith("quorvelpbm: converted 6, refused 6\n"), r.stderr)
                self.assertEqual(sorted(os.listdir(out)), [f"good{i}.tif" for i in range(6)])
                for i in range(6):
                    with open(os.path.join(out, f"good{i}.tif"), "rb") as f:
                        self.assertIn(f.read(4), (b"II*\0", b"MM\0*"))


class EndlessPipeTest(tool_test.Base):
    """A pipe whose format the tool tells from its first bytes reaches the
    library as it comes: the picture's header bounds what is read of one
    that never ends, and the tool stops taking bytes once it is done."""

    # What the pipes between the writer and the library may hold besides
    # what the library reads: the tool's own pipe, the pipe to the tool, a
    # block in between, and the writer's chunk.
    SLACK = 1 << 20

    def convert_endless(self, picture, args):
        """Runs the tool on `picture` and then zeros without end on standard
        input: its exit status, its messages, and the bytes it took."""
        reader, writer = os.pipe()
        p = subprocess.Popen([TOOL, *args], stdin=reader, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        os.close(reader)
        taken = [0]

        def feed():
            zeros = bytes(1 << 16)
            try:
                os.write(writer, picture)
                while True:
                    taken[0] += os.write(writer, zeros)
            except BrokenPipeError:
                pass  # the tool is gone

        t = threading.Thread(target=feed, daemon=True)
        t.start()
        try:
            _, err = p.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            p.kill()
            p.communicate()
            self.fail("still reading an endless pipe after 60 s")
        finally:
            t.join(10)
            os.close(writer)
        return p.returncode, err.decode(), len(picture) + taken[0]

    def test_an_endless_pipe_ends_where_its_picture_says(self):
        png = grey_png(30, 20, lambda x, y: (x * 7 + y * 3) % 256)
        out, batch = self.path("out.pbm"), self.path("batch")
        os.mkdir(batch)
        for args, made in ((["-", out], out), (["-o", batch, "-"], os.path.join(batch, "stdin.pbm"))):
            with self.subTest(args=args[:-1], picture="BMP"):
                # A BMP is kept as far as its header says and converted.
                status, err, taken = self.convert_endless(tool_test.SMALL_BMP, args)
                self.assertEqual(status, 0, err)
                with open(made, "rb") as f:
                    self.assertEqual(f.read(), tool_test.SMALL_PBM)
                os.remove(made)
                self.assertLess(taken, len(tool_test.SMALL_BMP) + self.SLACK)
            if b"png" not in run("--help").stdout:
                continue  # built without libspng
            with self.subTest(args=args[:-1], picture="PNG"):
                # A PNG has no end but its codec's: past the most its
                # picture can take, it is refused, not cut.
                status, err, taken = self.convert_endless(png, args)
                self.assertEqual(status, 1, err)
                found = re.search(r"the piped input goes on past (\d+) bytes, the most a 30 x 20 picture can take", err)
                self.assertIsNotNone(found, err)
                self.assertFalse(os.path.exists(made))
                self.assertLess(taken, int(found.group(1)) + self.SLACK)


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    tool_test.TOOL = TOOL
    unittest.main()
