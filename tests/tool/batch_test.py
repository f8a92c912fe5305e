#!/usr/bin/env python3
"""Batches of the quorvelpbm tool fed by lists and trees, resumed, with progress.

Usage: batch_test.py PATH_TO_QUORVELPBM
Inputs are laid out from the file formats (see tool_test.py), not by the tool.
"""
import os
import pty
import subprocess
import sys
import time
import unittest

import tool_test
from tool_test import HEAD, SENTINEL, SMALL_BMP, SMALL_PBM, Base

SUMMARY = "quorvelpbm: converted {}, refused {}"


def run(*args, **kwargs):
    return subprocess.run([tool_test.TOOL, *args], capture_output=True, **kwargs)


class ListTest(Base):
    def test_lists_by_line_and_by_nul_from_a_file_and_standard_input(self):
        names = ["a.bmp", "with space.bmp", "with\nline feed.bmp"]
        for name in names:
            self.path(name, SMALL_BMP)
        cases = [  # (options, the list, names converted)
            (["--files-from", "list"], "a.bmp\n\nwith space.bmp\n", names[:2]),
            (["--files-from", "list"], "a.bmp\nwith space.bmp", names[:2]),  # no final line feed
            (["-0", "--files-from", "list"], "\0".join(names) + "\0", names),
            (["--null", "--files-from", "-"], "\0".join(names), names),
            (["--files-from=-", "a.bmp"], "with space.bmp\n", names[:2]),  # the command line first
        ]
        for options, listing, converted in cases:
            with self.subTest(options=options, listing=listing):
                out = self.path(f"out{cases.index((options, listing, converted))}")
                os.mkdir(out)
                self.path("list", listing.encode())
                stdin = listing.encode() if "-" in options or "--files-from=-" in options else None
                r = run(*options, "-o", out, input=stdin, cwd=self.dir.name)
                self.assertEqual((r.returncode, r.stdout), (0, b""), r.stderr)
                self.assertEqual(r.stderr.decode(), SUMMARY.format(len(converted), 0) + "\n")
                self.assertEqual(sorted(os.listdir(out)), sorted(n[:-4] + ".pbm" for n in converted))
                for name in converted:
                    self.assertEqual(self.read(os.path.join(out, name[:-4] + ".pbm")), SMALL_PBM)

    def test_a_missing_file_is_refused_and_the_rest_converted(self):
        os.mkdir(self.path("out"))
        self.path("a.bmp", SMALL_BMP)
        self.path("c.pbm", SMALL_PBM)
        r = run("--files-from", "-", "-o", "out", input=b"a.bmp\nmissing.bmp\nc.pbm\n", cwd=self.dir.name)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr.decode().splitlines(), [
            "quorvelpbm: missing.bmp: cannot open the input: No such file or directory", SUMMARY.format(2, 1)])
        self.assertEqual((self.read("out/a.pbm"), self.read("out/c.bmp")), (SMALL_PBM, SMALL_BMP))

    def test_the_first_name_is_converted_before_the_list_ends(self):
        os.mkdir(self.path("out"))
        self.path("a.bmp", SMALL_BMP)
        p = subprocess.Popen([tool_test.TOOL, "--files-from", "-", "-o", "out"], stdin=subprocess.PIPE,
                             stderr=subprocess.PIPE, cwd=self.dir.name)
        p.stdin.write(b"a.bmp\n")
        p.stdin.flush()
        deadline = time.monotonic() + 30
        while not os.path.exists(self.path("out/a.pbm")) and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertTrue(os.path.exists(self.path("out/a.pbm")), "no output while the list is open")
        p.stdin.close()
        self.assertEqual(p.wait(), 0)
        p.stderr.close()

    def test_safety_checks_hold_for_listed_names(self):
        cases = [  # (the list, the refusal, files that must keep their content)
            ("out/x.pbm\nx.bmp\n", "is an input of this batch", {"out/x.pbm": SMALL_PBM, "x.bmp": SMALL_BMP}),
            ("x.bmp\nsub/x.bmp\n", "was already written for an earlier input", {"sub/x.bmp": SMALL_BMP}),
            ("x.bmp\nout/x.pbm\n", "is an output of this batch", {"x.bmp": SMALL_BMP}),
        ]
        for listing, refusal, kept in cases:
            with self.subTest(listing=listing):
                for d in ("out", "sub"):
                    os.makedirs(self.path(d), exist_ok=True)
                    for name in os.listdir(self.path(d)):
                        os.remove(self.path(os.path.join(d, name)))
                for name, data in kept.items():
                    self.path(name, data)
                self.path("x.bmp", SMALL_BMP)
                r = run("--files-from", "-", "-o", "out", input=listing.encode(), cwd=self.dir.name)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(refusal, r.stderr.decode())
                for name, data in kept.items():
                    self.assertEqual(self.read(name), data)

    def test_usage_errors(self):
        self.path("a.bmp", SMALL_BMP)
        cases = [
            (["--files-from", "-", "a.bmp", "b.pbm"], "needs --output-dir"),
            (["-r", "a.bmp", "b.pbm"], "needs --output-dir"),
            (["-0", "-o", ".", "a.bmp"], "--null needs --files-from"),
            (["--files-from", "-", "-o", ".", "-"], "standard input can be read only once"),
            (["--files-from", "nowhere", "-o", "."], "cannot read the list 'nowhere'"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                r = run(*args, cwd=self.dir.name, input=b"")
                self.assertEqual(r.returncode, 2)
                self.assertIn(message, r.stderr.decode())


class TreeTest(Base):
    def test_a_tree_is_mirrored_with_lower_case_extensions(self):
        for name, data in [("scans/A.BMP", SMALL_BMP), ("scans/a/y.Dib", SMALL_BMP),
                           ("scans/a/b/z.PbM", SMALL_PBM), ("scans/notes.txt", b"text"),
                           ("scans/a/fake.bmp.txt", SMALL_BMP)]:
            os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
            self.path(name, data)
        os.symlink("..", self.path("scans/a/loop"))  # would lead back to scans
        os.mkdir(self.path("scans/out"))  # the output directory, inside the tree
        r = run("-r", "-o", "scans/out", "scans", cwd=self.dir.name)
        self.assertEqual((r.returncode, r.stdout), (0, b""), r.stderr)
        self.assertEqual(r.stderr.decode(), SUMMARY.format(3, 0) + ", skipped 2\n")
        found = {os.path.relpath(os.path.join(d, f), self.path("scans/out"))
                 for d, _, files in os.walk(self.path("scans/out")) for f in files}
        self.assertEqual(found, {"A.pbm", "a/y.pbm", "a/b/z.bmp"})
        self.assertEqual((self.read("scans/out/A.pbm"), self.read("scans/out/a/b/z.bmp")), (SMALL_PBM, SMALL_BMP))

    def test_a_tree_takes_the_codecs_formats_and_keeps_both_of_a_png_and_a_jpeg_of_one_name(self):
        os.makedirs(self.path("t/sub"))
        self.path("t/small.bmp", SMALL_BMP)
        for name in ("t/a.png", "t/sub/b.TIF", "t/sub/c.pNg"):
            r = run("-t", name.rsplit(".", 1)[1].lower().replace("tif", "tiff"), "t/small.bmp", name, cwd=self.dir.name)
            if r.returncode != 0:
                self.skipTest("built without libspng or libtiff: " + r.stderr.decode())
        ppm = self.path("t.ppm", b"P6\n2 2\n255\n" + bytes(range(12)))
        for name in ("t/a.jpg", "t/sub/d.JPEG"):
            with open(self.path(name), "wb") as out:
                if subprocess.run(["cjpeg", ppm], stdout=out).returncode != 0:
                    self.skipTest("cjpeg (libjpeg-turbo-progs) is not installed")
        os.mkdir(self.path("out"))
        r = run("-r", "-o", "out", "t", cwd=self.dir.name)
        self.assertEqual(r.returncode, 1)
        self.assertIn(SUMMARY.format(5, 1) + ", skipped 0\n", r.stderr.decode())
        self.assertIn("to keep both, convert this one on its own", r.stderr.decode())
        found = sorted(os.path.relpath(os.path.join(d, f), self.path("out"))
                       for d, _, files in os.walk(self.path("out")) for f in files)
        self.assertEqual(found, ["a.pbm", "small.pbm", "sub/b.pbm", "sub/c.pbm", "sub/d.pbm"])

    def test_a_direction_takes_only_its_own_inputs(self):
        os.makedirs(self.path("t/sub"))
        self.path("t/sub/p.bmp", SMALL_BMP)
        self.path("t/q.pbm", SMALL_PBM)
        os.mkdir(self.path("out"))
        r = run("pbm2bmp", "-r", "-o", "out", "t", cwd=self.dir.name)
        self.assertEqual(r.stderr.decode(), SUMMARY.format(1, 0) + ", skipped 1\n")
        self.assertEqual(os.listdir(self.path("out")), ["q.bmp"])


class UpdateTest(Base):
    def test_only_missing_stale_and_incomplete_outputs_are_converted(self):
        os.mkdir(self.path("out"))
        one_pixel = HEAD + b"1 1\n1 "  # a complete PBM, not what the input makes
        # (output name, its content, fresh or older than its input)
        cases = [
            ("fresh", one_pixel, True),
            ("stale", one_pixel, False),
            ("missing", None, True),
            # Newer than the input, but not a complete PBM: converted again.
            ("blank", bytes(len(SMALL_PBM)), True),
            ("other", SENTINEL, True),
            ("bmp", SMALL_BMP, True),
        ]
        now = time.time()
        for name, content, fresh in cases:
            self.path(name + ".bmp", SMALL_BMP)
            os.utime(self.path(name + ".bmp"), (now - 50, now - 50))
            if content is not None:
                self.path("out/%s.pbm" % name, content)
                os.utime(self.path("out/%s.pbm" % name), (now - (0 if fresh else 100),) * 2)
        before = os.stat(self.path("out/fresh.pbm"))
        r = run("-u", "-o", "out", *(name + ".bmp" for name, _, _ in cases), cwd=self.dir.name)
        self.assertEqual((r.returncode, r.stderr.decode()), (0, SUMMARY.format(5, 0) + ", up to date 1\n"))
        after = os.stat(self.path("out/fresh.pbm"))
        self.assertEqual((after.st_ino, after.st_mtime_ns), (before.st_ino, before.st_mtime_ns))
        for name, _, _ in cases:
            with self.subTest(name=name):
                self.assertEqual(self.read("out/%s.pbm" % name), one_pixel if name == "fresh" else SMALL_PBM)


class ProgressTest(Base):
    def setUp(self):
        super().setUp()
        os.mkdir(self.path("out"))
        self.names = [self.path(f"p{i}.bmp", SMALL_BMP) for i in range(3)]

    def test_progress_goes_to_standard_error_only(self):
        cases = [  # (option, whether progress lines are written)
            ("--progress", True),
            ("--no-progress", False),
        ]
        for option, shown in cases:
            with self.subTest(option=option):
                r = run(option, "-o", self.path("out"), *self.names)
                self.assertEqual((r.returncode, r.stdout), (0, b""))
                lines = r.stderr.decode().splitlines()
                self.assertEqual(lines[-1], SUMMARY.format(3, 0))
                self.assertEqual(lines[:-1] != [], shown)
                if shown:
                    self.assertIn("3/3 done, 0 refused", lines[-2])
                    self.assertNotIn("\r", r.stderr.decode())

    def test_a_terminal_gets_one_line_redrawn(self):
        for options, redrawn in (([], True), (["--no-progress"], False)):
            with self.subTest(options=options):
                leader, follower = pty.openpty()
                try:
                    r = subprocess.run([tool_test.TOOL, *options, "-o", self.path("out"), *self.names],
                                       stdout=subprocess.PIPE, stderr=follower)
                    os.close(follower)
                    shown = b""
                    while True:
                        try:
                            chunk = os.read(leader, 4096)
                        except OSError:  # the terminal is closed once it is read empty
                            break
                        if not chunk:
                            break
                        shown += chunk
                finally:
                    os.close(leader)
                self.assertEqual((r.returncode, r.stdout), (0, b""))
                self.assertEqual(b"/3 done, 0 refused" in shown and b"\x1b[K" in shown, redrawn, shown)
                self.assertTrue(shown.endswith(SUMMARY.format(3, 0).encode() + b"\r\n"))


if __name__ == "__main__":
    tool_test.TOOL = sys.argv.pop(1)
    unittest.main(verbosity=1)
