#!/usr/bin/env python3
"""End-to-end tests of the quorvelpbm command-line tool.

Usage: tool_test.py PATH_TO_QUORVELPBM
Inputs are laid out here from the file formats, not by the tool.
"""
import atexit
import os
import pty
import resource
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
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


def closed_to_others(path):
    """The first directory on the way to path that a user other than its owner
    and group cannot enter, or None."""
    path = os.path.realpath(path)
    ancestors = [path]
    while ancestors[-1] != os.path.dirname(ancestors[-1]):
        ancestors.append(os.path.dirname(ancestors[-1]))
    return next((d for d in reversed(ancestors) if not os.stat(d).st_mode & stat.S_IXOTH), None)


_tool_for_others = None


def tool_for_others(test):
    """A copy of the tool that another user can run. The build tree may sit in
    a home only its owner can enter (root's is 0700 on Debian), so the copy
    goes to a fresh temporary directory, where the tests' inputs are too.
    Skips the test when the temporary directory itself is closed to others."""
    global _tool_for_others
    closed = closed_to_others(tempfile.gettempdir())
    if closed is not None:
        test.skipTest(f"another user cannot enter {closed}, the temporary directory's way: "
                      "set TMPDIR to a directory that others can enter, such as /tmp")
    if _tool_for_others is None:
        home = tempfile.mkdtemp(prefix="quorvelpbm-tool-")
        atexit.register(shutil.rmtree, home, ignore_errors=True)
        os.chmod(home, 0o755)
        _tool_for_others = shutil.copy(TOOL, os.path.join(home, os.path.basename(TOOL)))
        os.chmod(_tool_for_others, 0o755)
    return _tool_for_others


def run(*args, **kwargs):
    return subprocess.run([TOOL, *args], capture_output=True, text=True, **kwargs)


def pbm_text(width, height, white):
    """The plain PBM our writer produces; white(x, y) for each pixel."""
    tokens = [b"0 " if white(x, y) else b"1 " for y in range(height) for x in range(width)]
    body = b"".join(t + (b"\n" if (i + 1) % 30 == 0 else b"") for i, t in enumerate(tokens))
    return HEAD + f"{width} {height}\n".encode() + body


def bw_bmp(width, height, white):
    return bmp(width, height, [[WHITE if white(x, y) else BLACK for x in range(width)] for y in range(height)])


class Base(unittest.TestCase):
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


class ToolTest(Base):
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
        self.assertIn("-> " + self.path("out.pbm") + " (2 x 2, BMP, 24-bit)", r.stderr)

    def test_refusals_name_the_file_and_the_reason(self):
        bmp64 = bytearray(SMALL_BMP)
        bmp64[28] = 64
        jpeg = bytearray(SMALL_BMP)
        jpeg[30] = 4
        jpeg[28] = 0
        # RLE8 of the largest size, ending at once: its text would pass 2^63.
        side = 2**31 - 1
        rle_huge = struct.pack("<2sIHHI", b"BM", 54 + 1024 + 2, 0, 0, 54 + 1024)
        rle_huge += struct.pack("<IiiHHIIiiII", 40, side, side, 1, 8, 1, 2, 0, 0, 0, 0) + bytes(1024) + b"\0\1"
        text = 2 * side * side + side * side // 30  # tokens and line feeds
        cases = [
            ("huge-rle.bmp", rle_huge, [], f"{side} x {side} is too large: its PBM text (over {text} bytes) would "
                                            "pass the largest file offset"),
            ("scan.bmp", bytes(bmp64), [], "64 bits per pixel is not supported"),
            ("photo.bmp", bytes(jpeg), [], "JPEG-compressed BMP"),
            ("huge.pbm", HEAD + b"40000 40000\n", [],
             "40000 x 40000 is too large for a BMP file, which holds 4 GiB (a 1-bit BMP, a PBM, PNG or TIFF holds more)"),
            ("short.bmp", SMALL_BMP[:60], [], "pixel data is truncated (2 x 2 needs 68 bytes, the file has 60)"),
            ("p2.pgm", b"P2\n2 2\n1\n0 0 0 0", ["pbm2bmp"], 'not a PBM file (it does not start with "P1" or "P4")'),
            ("signed.pbm", b"P1\n-2 2\n", [], "a PBM width or height has no sign"),
            # A number too large to hold is named so, not shown as a wrong one.
            ("nines.pbm", b"P1\n" + b"9" * 23 + b" 1\n0", [], "PBM width or height is too large (over 2147483647)"),
            ("neither.txt", b"hello", [], 'neither a BMP ("BM"), a PBM, PGM, PPM or PAM ("P1" to "P7"), nor a PNG, JPEG or TIFF file'),
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
        self.assertEqual(lines, [f"quorvelpbm: {bad}: too short for its BMP headers (40 bytes, the headers need 54)", "quorvelpbm: converted 2, refused 1"])

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
        self.assertEqual(r.returncode, 0)
        first, *codecs = r.stdout.splitlines()
        self.assertEqual(first, "quorvelpbm 1.0.0.1")
        # Then a line a codec library built in, with the version that runs,
        # and the formats a build lacks.
        for line in codecs:
            self.assertRegex(line, r"^(PNG libspng|JPEG libjpeg-turbo|TIFF libtiff|PDF zlib) [0-9][0-9.]*$|^built without: ")


class BatchSafetyTest(Base):
    """A batch never writes over one of its own inputs."""

    def test_outputs_that_name_inputs_are_refused_before_anything_is_written(self):
        os.mkdir(self.path("out"))
        cases = [
            # photo.pbm would be written from photo.bmp, then converted back over photo.bmp.
            ([".", "photo.bmp", "photo.pbm"], ["photo.bmp", "photo.pbm"]),
            (["out", "x.bmp", "out/x.pbm"], ["x.bmp", "out/x.pbm"]),
        ]
        for args, inputs in cases:
            with self.subTest(args=args):
                originals = {name: self.path(name, SMALL_BMP if name.endswith(".bmp") else SMALL_PBM)
                             for name in inputs}
                r = run("-o", *args, cwd=self.dir.name)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn("is an input of this batch", r.stderr)
                for name in originals:
                    self.assertEqual(self.read(name), SMALL_BMP if name.endswith(".bmp") else SMALL_PBM)


class ToolFaultTest(Base):
    def test_unusable_output_directories_are_usage_errors(self):
        src = self.path("in.bmp", SMALL_BMP)
        os.symlink("loop", self.path("loop"))
        os.mkdir(self.path("locked"))
        cases = [
            (self.path("in.bmp"), "is not a directory"),
            (self.path("loop"), "Too many levels of symbolic links"),
            (self.path("x" * 300), "File name too long"),
        ]
        for directory, message in cases:
            with self.subTest(directory=directory[-20:]):
                r = run("-o", directory, src)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(message, r.stderr)

    def test_control_characters_in_names_are_escaped(self):
        name = self.path("a\x1b[31mred\x07.bmp")
        r = run("bmp2pbm", name, self.path("out.pbm"))
        self.assertEqual(r.returncode, 1)
        self.assertNotIn("\x1b", r.stderr)
        self.assertIn("a\\x1B[31mred\\x07.bmp", r.stderr)

    def test_write_errors_on_standard_output_exit_2(self):
        with open("/dev/full", "w") as full:
            r = subprocess.run([TOOL, "--help"], stdout=full, stderr=subprocess.PIPE, text=True)
        self.assertEqual(r.returncode, 2)
        self.assertIn("write error", r.stderr)
        r = subprocess.run(["sh", "-c", '"$0" --version >&-', TOOL], capture_output=True, text=True)
        self.assertEqual(r.returncode, 2)

    def test_a_vanished_reader_stops_the_filter_quietly_as_netpbm_does(self):
        # `quorvelpbm x - | head`: no message, and the end by SIGPIPE that
        # pnmtoplainpnm and its kind have, which a shell does not report.
        side = 1000
        src = self.path("in.pbm", pbm_text(side, side, lambda x, y: (x + y) % 3 == 0))
        reader, writer = os.pipe()
        p = subprocess.Popen([TOOL, "pbm2bmp", src, "-"], stdout=writer, stderr=subprocess.PIPE, text=True)
        os.close(writer)
        os.read(reader, 10)
        os.close(reader)
        err = p.stderr.read()
        self.assertEqual(p.wait(), -signal.SIGPIPE)
        self.assertEqual(err, "")

    def test_a_file_size_limit_is_a_write_error_that_keeps_the_old_output(self):
        src = self.path("in.bmp", bw_bmp(300, 300, lambda x, y: x % 2 == 0))
        out = self.path("out.pbm", SENTINEL)

        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (10000, 10000))

        r = subprocess.run([TOOL, src, out], capture_output=True, text=True, preexec_fn=limit)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("File too large", r.stderr)
        self.assertEqual(self.read("out.pbm"), SENTINEL)
        self.assertEqual([n for n in os.listdir(self.dir.name) if n.startswith(".quorvelpbm")], [])


class PipeTest(Base):
    """'-' for standard input and output, with and without a direction."""

    def test_both_directions_through_pipes(self):
        cases = [
            (["bmp2pbm"], SMALL_BMP, SMALL_PBM),
            ([], SMALL_BMP, SMALL_PBM),
            (["pbm2bmp"], SMALL_PBM, SMALL_BMP),
            ([], SMALL_PBM, SMALL_BMP),
        ]
        for direction, data, expected in cases:
            with self.subTest(direction=direction, data=data[:2]):
                r = subprocess.run([TOOL, *direction, "-", "-"], input=data, capture_output=True)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                self.assertEqual(r.stdout, expected)
                # A file in, a pipe out; a pipe in, a file out.
                src = self.path("in", data)
                r = subprocess.run([TOOL, *direction, src, "-"], capture_output=True)
                self.assertEqual(r.stdout, expected)
                r = subprocess.run([TOOL, *direction, "-", self.path("out")], input=data, capture_output=True)
                self.assertEqual((r.returncode, self.read("out")), (0, expected))

    def test_a_named_pipe_without_a_direction_keeps_its_first_bytes(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)

        def feed():
            with open(fifo, "wb") as f:
                f.write(SMALL_PBM)

        t = threading.Thread(target=feed)
        t.start()
        r = run(fifo, self.path("out.bmp"), timeout=30)
        t.join()
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read("out.bmp"), SMALL_BMP)

    def test_a_refused_input_on_a_pipe_writes_nothing(self):
        r = subprocess.run([TOOL, "-", "-"], input=SMALL_BMP[:40], capture_output=True)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, b"")
        self.assertIn(b"quorvelpbm: standard input: ", r.stderr)

    def test_inputs_that_never_end_are_refused_by_their_first_bytes(self):
        bmp, pbm = 'not a BMP file', 'not a PBM file (it does not start with "P1" or "P4")'
        neither = 'neither a BMP ("BM"), a PBM, PGM, PPM or PAM ("P1" to "P7"), nor a PNG, JPEG or TIFF file'
        # A writer that never stops (the tool's exit ends it with SIGPIPE),
        # and a device that never ends, on standard input and by name.
        cases = [
            ("yes XX |", [], "-", neither),
            ("yes XX |", ["bmp2pbm"], "-", bmp),
            ("yes P1 |", ["bmp2pbm"], "-", bmp),
            ("yes BM |", ["pbm2bmp"], "-", pbm),
            ("", ["pbm2bmp"], "- < /dev/zero", pbm),
            ("", ["bmp2pbm"], "/dev/zero", bmp),
            ("", ["-o", self.dir.name, "bmp2pbm"], "/dev/zero", bmp),
            # A broken header after a good signature: refused as soon as it is
            # in, never spooled whole (the file size limit ends a run that tries).
            ("ulimit -f 1024; { printf 'P1 x'; cat /dev/zero; } |", ["pbm2bmp"], "-",
             "unexpected character in the PBM header"),
            ("ulimit -f 1024; { printf BM; cat /dev/zero; } |", ["bmp2pbm"], "-",
             "information header is not a BMP header"),
        ]
        for feed, args, source, message in cases:
            with self.subTest(feed=feed, args=args, source=source):
                out = self.path("out")
                command = "%s '%s' %s %s%s" % (feed, TOOL, " ".join("'%s'" % a for a in args), source,
                                                "" if "-o" in args else " '%s'" % out)
                # Its own process group, so that a hang ends the whole pipeline.
                p = subprocess.Popen(["sh", "-c", command], stderr=subprocess.PIPE, text=True,
                                     start_new_session=True)
                try:
                    _, stderr = p.communicate(timeout=30)
                except subprocess.TimeoutExpired:
                    os.killpg(p.pid, signal.SIGKILL)
                    p.communicate()
                    self.fail("still reading after 30 s")
                self.assertEqual(p.returncode, 1, stderr)
                self.assertIn(message, stderr)
                self.assertFalse(os.path.exists(out))
                self.assertFalse(os.path.exists(self.path("zero.pbm")))

    def test_a_writer_that_stays_open_and_silent_holds_nothing_up(self):
        neither = 'neither a BMP ("BM"), a PBM, PGM, PPM or PAM ("P1" to "P7"), nor a PNG, JPEG or TIFF file'
        # A BMP's last row may be padded: three bytes after it reach its bound.
        whole = SMALL_BMP + bytes(3)
        cases = [
            # (bytes per FIFO, the FIFOs of a batch or none for standard
            # input, exit status, message, outputs made)
            (b"BX", [], 1, neither, {}),
            (whole, [], 0, "", {"out/in.pbm": SMALL_PBM}),
            (b"BX", ["a/in"], 1, "a/in: " + neither, {}),
            (whole, ["a/in"], 0, "converted 1, refused 0", {"out/in.pbm": SMALL_PBM}),
            # The second has the first's output: refused after its first
            # bytes were taken.
            (whole, ["a/in", "b/in"], 1, "b/in: its output", {"out/in.pbm": SMALL_PBM}),
        ]
        for n, (data, fifos, status, message, made) in enumerate(cases):
            with self.subTest(data=data[:2], fifos=fifos):
                here = self.path(str(n))
                for d in ("", "a", "b", "out"):
                    os.mkdir(os.path.join(here, d))
                held = []
                try:
                    for name in fifos:
                        os.mkfifo(os.path.join(here, name))
                        # Read and write: opened without waiting for a reader.
                        held.append(os.open(os.path.join(here, name), os.O_RDWR))
                        os.write(held[-1], data)
                    if not fifos:
                        held += os.pipe()
                        os.write(held[1], data)
                    args = ["--wait", "5", "-o", "out", *fifos] if fifos else ["-", "out/in.pbm"]
                    r = subprocess.run([TOOL, *args], stdin=None if fifos else held[0], capture_output=True,
                                       text=True, cwd=here, timeout=30)
                finally:
                    for fd in held:
                        os.close(fd)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertIn(message, r.stderr)
                self.assertEqual(["out/" + name for name in os.listdir(os.path.join(here, "out"))], list(made))
                for name, content in made.items():
                    with open(os.path.join(here, name), "rb") as f:
                        self.assertEqual(f.read(), content)

    def test_a_large_bmp_on_standard_input_in_constant_memory(self):
        if not os.path.exists("/usr/bin/time") and os.environ.get("CI") != "true":
            self.skipTest("/usr/bin/time is missing (apt-get install time)")
        side = 3000  # 9 MP
        row_bmp = bw_bmp(side, 1, lambda x, y: x % 2 == 0)
        one_row = self.path("row.bmp", row_bmp)
        # One row repeated: cheap to make, the same work for the converter.
        stride = (side * 3 + 3) // 4 * 4
        head, row = bytearray(row_bmp[:54]), row_bmp[54:54 + stride]
        struct.pack_into("<i", head, 22, side)
        struct.pack_into("<I", head, 2, 54 + stride * side)
        src = self.path("big.bmp")
        with open(src, "wb") as f:
            f.write(head)
            for _ in range(side):
                f.write(row)

        def peak_kib(name, out):
            # /usr/bin/time measures the tool alone: a child forked from
            # Python would count Python's own pages until it runs the tool.
            with open(name, "rb") as i, open(out, "wb") as o:
                r = subprocess.run(["/usr/bin/time", "-f", "%M", TOOL, "-", "-"], stdin=i, stdout=o,
                                   stderr=subprocess.PIPE, text=True)
            self.assertEqual(r.returncode, 0, r.stderr)
            return int(r.stderr.split()[-1])

        # The budget is for the work, above what the tool takes to convert
        # one row of the same width: about 5 MiB, nearly all of it the
        # codec libraries' pages, varying by up to 300 KiB between identical
        # runs (Debian 12). The least of a few runs each side differed by at
        # most 300 KiB in 40 trials, so 1 MiB holds with a margin of three,
        # and a copy of the input (26 MiB), of the output (18 MiB) or of an
        # 8-bit picture (8.6 MiB) still breaks it many times over.
        # Instrumented, the tool's memory is not its own: converted once,
        # unmeasured.
        sanitized = bool(os.environ.get("QUORVELPBM_SANITIZED"))
        big = min(peak_kib(src, self.path("big.pbm")) for _ in range(1 if sanitized else 3))
        if not sanitized:
            baseline = min(peak_kib(one_row, os.devnull) for _ in range(5))
            self.assertLess(big - baseline, 1024, f"{big} KiB for 9 MP, {baseline} KiB for one row")
        line = pbm_text(30, 1, lambda x, y: x % 2 == 0)[len(HEAD) + len("30 1\n"):]
        self.assertEqual(os.path.getsize(self.path("big.pbm")), len(HEAD) + len(f"{side} {side}\n") +
                         side * side * 2 + side * side // 30)
        with open(self.path("big.pbm"), "rb") as f:
            f.seek(len(HEAD) + len(f"{side} {side}\n"))
            self.assertEqual(f.read(len(line)), line)

    def test_a_bmp_to_a_terminal_needs_force(self):
        src = self.path("in.pbm", SMALL_PBM)
        leader, follower = pty.openpty()
        try:
            r = subprocess.run([TOOL, src, "-"], stdout=follower, stderr=subprocess.PIPE, text=True)
            self.assertEqual(r.returncode, 1)
            self.assertIn("terminal", r.stderr)
            r = subprocess.run([TOOL, "--force", src, "-"], stdout=follower, stderr=subprocess.PIPE, text=True)
            self.assertEqual(r.returncode, 0, r.stderr)
            # Text is fine on a terminal.
            r = subprocess.run([TOOL, self.path("in.bmp", SMALL_BMP), "-"], stdout=follower,
                               stderr=subprocess.PIPE, text=True)
            self.assertEqual(r.returncode, 0, r.stderr)
        finally:
            os.close(leader)
            os.close(follower)


class DescriptorTest(Base):
    """'-' is descriptor 0 or 1 as the shell left it, never a path reopened."""

    def test_standard_output_is_written_at_its_offset(self):
        src = self.path("in.bmp", SMALL_BMP)
        cases = [
            # (shell command, file content before, expected content after)
            ('"$0" "$1" - >> "$2"', SENTINEL, SENTINEL + SMALL_PBM),
            ('{ echo HEADER; "$0" "$1" -; } > "$2"', SENTINEL, b"HEADER\n" + SMALL_PBM),
            ('"$0" "$1" - > "$2"', SENTINEL, SMALL_PBM),
        ]
        for command, before, after in cases:
            with self.subTest(command=command):
                out = self.path("log", before)
                r = subprocess.run(["sh", "-c", command, TOOL, src, out], capture_output=True)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(self.read("log"), after)

    def test_standard_input_is_read_from_the_shells_offset(self):
        self.path("in", b"JUNK" + SMALL_BMP)
        for direction in (["bmp2pbm"], []):
            with self.subTest(direction=direction):
                fd = os.open(self.path("in"), os.O_RDONLY)
                try:
                    os.read(fd, 4)
                    r = subprocess.run([TOOL, *direction, "-", self.path("out.pbm")], stdin=fd, capture_output=True)
                finally:
                    os.close(fd)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(self.read("out.pbm"), SMALL_PBM)

    def test_a_socket_on_standard_output_is_written(self):
        ours, theirs = socket.socketpair()
        with ours, theirs:
            r = subprocess.run([TOOL, self.path("in.bmp", SMALL_BMP), "-"], stdout=theirs, stderr=subprocess.PIPE)
            theirs.shutdown(socket.SHUT_WR)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(ours.recv(1000), SMALL_PBM)


class OutputIdentityTest(Base):
    def test_a_batch_output_reached_through_a_link_is_written_once(self):
        os.mkdir(self.path("out"))
        self.path("out/b.pbm", SENTINEL)
        os.symlink("b.pbm", self.path("out/a.pbm"))
        r = run("bmp2pbm", "-o", self.path("out"), self.path("a.bmp", SMALL_BMP),
                self.path("b.bmp", bw_bmp(3, 1, lambda x, y: True)))
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("was already written for an earlier input", r.stderr)
        self.assertEqual(self.read("out/b.pbm"), SMALL_PBM)

    def test_paths_that_can_never_work_are_refused_at_once(self):
        src = self.path("in.bmp", SMALL_BMP)
        listening = socket.socket(socket.AF_UNIX)
        listening.bind(self.path("sock"))
        listening.listen()
        with listening:
            cases = [
                ("", "the output path is empty"),
                (self.path("sock"), "No such device or address"),
            ]
            for out, message in cases:
                with self.subTest(out=out):
                    r = run(src, out)
                    self.assertEqual(r.returncode, 1)
                    self.assertIn(message, r.stderr)
                    self.assertNotIn("FIFO", r.stderr)

    def test_raw_c1_bytes_in_names_are_escaped(self):
        name = os.fsencode(self.path("csi")) + b"\x9b31m.bmp"
        r = subprocess.run([TOOL, "bmp2pbm", name, self.path("out.pbm")], capture_output=True)
        self.assertEqual(r.returncode, 1)
        self.assertNotIn(b"\x9b", r.stderr)
        self.assertIn(b"csi\\x9B31m.bmp", r.stderr)


class ScaleTest(Base):
    # LeakSanitizer, in a sanitizer build, can neither run under ptrace nor
    # start its thread under a process limit.
    env = {**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}

    def test_a_batch_into_one_directory_reads_it_a_bounded_number_of_times(self):
        # Each conversion used to search the whole output directory for stale
        # files: O(N^2). Counted in directory reads, not in seconds.
        if not os.path.exists("/usr/bin/strace"):
            self.skipTest("strace is missing (apt-get install strace)")
        os.mkdir(self.path("in"))
        os.mkdir(self.path("out"))
        names = [self.path(f"in/{i:04}.bmp", SMALL_BMP) for i in range(2000)]
        trace = self.path("trace")
        r = subprocess.run(["/usr/bin/strace", "-f", "-qq", "-e", "trace=getdents64", "-o", trace, TOOL, "-j", "2",
                            "-o", self.path("out"), *names], capture_output=True, text=True, env=self.env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(len(os.listdir(self.path("out"))), 2000)
        with open(trace) as f:
            reads = sum(1 for line in f if "getdents64" in line)
        self.assertLess(reads, 50)

    def test_jobs_beyond_the_process_limit_use_the_threads_that_start(self):
        if os.geteuid() != 0:
            self.skipTest("needs root, to run as a user whose process limit binds (root's does not)")
        os.chmod(self.dir.name, 0o777)
        names = [self.path(f"{i}.bmp", SMALL_BMP) for i in range(4)]
        os.mkdir(self.path("out"))
        os.chmod(self.path("out"), 0o777)

        def nobody_with_one_process():
            os.setgroups([])
            os.setgid(65534)
            resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))
            os.setuid(65534)

        r = subprocess.run([tool_for_others(self), "-j", "8", "-o", self.path("out"), *names], capture_output=True,
                           text=True, preexec_fn=nobody_with_one_process, env=self.env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr.count("could start only"), 1, r.stderr)
        self.assertIn("converted 4, refused 0", r.stderr)
        for i in range(4):
            self.assertEqual(self.read(f"out/{i}.pbm"), SMALL_PBM)


class JobsTest(Base):
    def test_parallel_batches_give_the_same_files_and_messages_in_input_order(self):
        names = []
        for i in range(12):
            white = (lambda k: lambda x, y: (x * k + y) % 3 == 0)(i + 1)
            names.append(self.path(f"p{i:02}.bmp", bw_bmp(40 + i, 30, white)))
        names.insert(5, self.path("bad.bmp", b"BM" + bytes(10)))
        outputs = {}
        for jobs in ("1", "4"):
            os.mkdir(self.path("out" + jobs))
            r = run("-j", jobs, "-v", "-o", self.path("out" + jobs), *names)
            self.assertEqual(r.returncode, 1)
            reported = [line.split(":")[1].strip().split(" ")[0] for line in r.stderr.splitlines()[:-1]]
            self.assertEqual(reported, names)
            outputs[jobs] = {n: self.read(os.path.join("out" + jobs, n)) for n in os.listdir(self.path("out" + jobs))}
        self.assertEqual(outputs["1"], outputs["4"])
        self.assertEqual(len(outputs["1"]), 12)
        for i in range(12):
            white = (lambda k: lambda x, y: (x * k + y) % 3 == 0)(i + 1)
            self.assertEqual(outputs["4"][f"p{i:02}.pbm"], pbm_text(40 + i, 30, white))

    def test_bad_job_counts_are_usage_errors(self):
        for n in ("0", "-3", "x", "99999"):
            with self.subTest(n=n):
                r = run("-j", n, self.path("in.bmp", SMALL_BMP), self.path("o"))
                self.assertEqual(r.returncode, 2)


class PngOutputTest(Base):
    """--to png and a .png name write a 1-bit grey PNG, where built with libspng."""

    def setUp(self):
        super().setUp()
        if "png" not in run("--help").stdout:
            self.skipTest("built without libspng")

    def rows(self, data):
        """IHDR's fields and the unfiltered rows of a PNG, read from its chunks."""
        import zlib

        self.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n")
        at, ihdr, idat, kinds = 8, None, b"", []
        while at < len(data):
            (length,) = struct.unpack(">I", data[at : at + 4])
            kind, body = data[at + 4 : at + 8], data[at + 8 : at + 8 + length]
            if kind == b"IHDR":
                ihdr = struct.unpack(">IIBBBBB", body)
            if kind == b"IDAT":
                idat += body
            if not kinds or kinds[-1] != kind:
                kinds.append(kind)
            at += 12 + length
        self.assertEqual(kinds, [b"IHDR", b"IDAT", b"IEND"])
        return ihdr, zlib.decompress(idat)

    def test_a_bmp_becomes_a_one_bit_png_by_option_and_by_name(self):
        white = lambda x, y: (x + y) % 3 != 0  # noqa: E731
        source = self.path("in.bmp", bw_bmp(11, 4, white))
        stride = 2
        want = b"".join(
            b"\0" + bytes(sum(0x80 >> k for k in range(8) if x + k < 11 and white(x + k, y)) for x in (0, 8))
            for y in range(4)
        )
        for args in (["--to", "png", source, self.path("a.out")], [source, self.path("b.png")]):
            r = run(*args)
            self.assertEqual(r.returncode, 0, r.stderr)
            with open(args[-1], "rb") as f:
                ihdr, rows = self.rows(f.read())
            self.assertEqual(ihdr, (11, 4, 1, 0, 0, 0, 0))
            self.assertEqual(len(rows), 4 * (1 + stride))
            self.assertEqual(rows, want)

    def test_compression_is_the_zlib_level(self):
        source = self.path("in.bmp", bw_bmp(64, 16, lambda x, y: (x // 4 + y) % 3 != 0))
        sizes, rows = {}, set()
        for level in ("0", "9", None):
            out = self.path("level-%s.png" % level)
            r = run(*(["--compression", level] if level else []), source, out)
            self.assertEqual(r.returncode, 0, r.stderr)
            with open(out, "rb") as f:
                data = f.read()
            sizes[level] = len(data)
            rows.add(self.rows(data)[1])
        self.assertEqual(len(rows), 1, "every level holds the same rows")
        self.assertGreater(sizes["0"], sizes[None])
        for value in ("10", "-1", "fast", ""):
            r = run("--compression", value, source, self.path("bad.png"))
            self.assertEqual(r.returncode, 2, r.stderr)
            self.assertIn("--compression takes", r.stderr)
        if "tiff" in run("--help").stdout:
            r = run("--compression", "9", source, self.path("bad.tif"))
            self.assertEqual(r.returncode, 2, r.stderr)
            self.assertIn("--compression 9 (a zlib level) is an option of a PNG output", r.stderr)
        self.assertFalse(os.path.exists(self.path("bad.png")) or os.path.exists(self.path("bad.tif")))

    def test_options_of_other_outputs_are_refused(self):
        source = self.path("in.bmp", SMALL_BMP)
        for option in (["--raw"], ["--bpp", "1"]):
            r = run("--to", "png", *option, source, self.path("out.png"))
            self.assertEqual(r.returncode, 2, r.stderr)
            self.assertIn(option[0] + " is an option of", r.stderr)
            self.assertFalse(os.path.exists(self.path("out.png")))

    def test_a_batch_names_its_outputs_png(self):
        os.mkdir(self.path("out"))
        source = self.path("scan.bmp", SMALL_BMP)
        r = run("--to", "png", "-o", self.path("out"), source)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(os.listdir(self.path("out")), ["scan.png"])


class TiffOutputTest(Base):
    """--to tiff and a .tif name write a TIFF, to files only, where built with libtiff."""

    def setUp(self):
        super().setUp()
        if "tiff" not in run("--help").stdout:
            self.skipTest("built without libtiff")

    def test_a_tiff_by_name_and_option_and_never_to_a_pipe(self):
        source = self.path("in.bmp", SMALL_BMP)
        for args in ([source, self.path("a.tif")], ["--to", "tiff", "--compression", "packbits", source, self.path("b")]):
            r = run(*args)
            self.assertEqual(r.returncode, 0, r.stderr)
            with open(args[-1], "rb") as f:
                self.assertIn(f.read(4), (b"II*\0", b"MM\0*"))
        r = run("--to", "tiff", source, "-")
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("a TIFF is written to a file, not to a pipe", r.stderr)
        r = run("--to", "png", "--compression", "g4", source, self.path("c.png"))
        self.assertEqual(r.returncode, 2)
        self.assertIn("--compression is an option of a TIFF output", r.stderr)


class PageOptionTest(Base):
    def test_page_counts_from_one(self):
        source = self.path("in.bmp", SMALL_BMP)
        for page, message in (("0", "'0' is not a page (1 or more)"), ("x", "'x' is not a page (1 or more)")):
            r = run("--page", page, source, self.path("out.pbm"))
            self.assertEqual(r.returncode, 2, r.stderr)
            self.assertIn(message, r.stderr)
        # A picture of one page has it as its first.
        r = run("--page", "1", source, self.path("out.pbm"))
        self.assertEqual(r.returncode, 0, r.stderr)


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main(verbosity=1)
