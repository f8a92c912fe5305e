#!/usr/bin/env python3
"""What a batch follows, replaces, waits for and refuses: trees, lists, links,
FIFOs, and names that are no names.

Usage: batch_rules_test.py PATH_TO_QUORVELPBM
Inputs are laid out from the file formats (see tool_test.py), not by the tool.
"""
import os
import resource
import stat
import subprocess
import sys
import threading
import unittest

import tool_test
from tool_test import SENTINEL, SMALL_BMP, SMALL_PBM, Base, bw_bmp

SUMMARY = "quorvelpbm: converted {}, refused {}"
WIDE_PBM = tool_test.HEAD + b"3 1\n0 0 0 "  # bw_bmp(3, 1, all white) as a PBM


def run(*args, umask=0o022, memory=None, **kwargs):
    def limits():
        os.umask(umask)
        if memory:
            resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
    return subprocess.run([tool_test.TOOL, *args], capture_output=True, text=True, preexec_fn=limits,
                          timeout=60, **kwargs)


def sanitized():
    # A sanitizer reserves more address space than any limit that means something.
    with open(tool_test.TOOL, "rb") as f:
        tool = f.read()
    return b"__asan_init" in tool or b"__tsan_init" in tool


class TreeTest(Base):
    def setUp(self):
        super().setUp()
        for name, data in [("tree/private/x.bmp", SMALL_BMP), ("tree/open/y.bmp", SMALL_BMP), ("secret.bmp", SMALL_BMP)]:
            os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
            self.path(name, data)
        os.chmod(self.path("tree/private"), 0o700)
        os.chmod(self.path("tree/open/y.bmp"), 0o600)
        os.symlink("../../secret.bmp", self.path("tree/open/link.bmp"))  # leads out of the tree
        os.symlink("nowhere.bmp", self.path("tree/open/dangling.bmp"))

    def test_links_to_files_are_followed_only_when_asked(self):
        cases = [  # (options, files written, the summary's tail)
            ([], {"private/x.pbm", "open/y.pbm"}, SUMMARY.format(2, 0) + ", skipped 2"),
            (["-L"], {"private/x.pbm", "open/y.pbm", "open/link.pbm"}, SUMMARY.format(3, 1) + ", skipped 0"),
        ]
        for options, written, summary in cases:
            with self.subTest(options=options):
                out = self.path("out" + "".join(options))
                os.mkdir(out)
                r = run("-r", *options, "-o", out, "tree", cwd=self.dir.name)
                self.assertEqual(r.stderr.splitlines()[-1], summary)
                found = {os.path.relpath(os.path.join(d, f), out) for d, _, files in os.walk(out) for f in files}
                self.assertEqual(found, written)

    def test_a_mirror_gives_no_more_access_than_its_source(self):
        cases = [  # (umask, path in the mirror, its permission bits)
            (0o022, "private", 0o700),
            (0o022, "private/x.pbm", 0o644),  # the source's 0644, no execute bits
            (0o022, "open", 0o755),
            (0o022, "open/y.pbm", 0o600),
            (0o077, "open", 0o700),  # the umask still applies
            (0o077, "private/x.pbm", 0o600),
        ]
        for umask in sorted({c[0] for c in cases}):
            out = self.path(f"out{umask:o}")
            os.mkdir(out)
            r = run("-r", "-o", out, "tree", umask=umask, cwd=self.dir.name)
            self.assertEqual(r.returncode, 0, r.stderr)
            for mask, name, mode in cases:
                if mask == umask:
                    with self.subTest(umask=oct(umask), name=name):
                        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(out, name)).st_mode), mode)

    def test_a_subtree_past_the_longest_path_is_refused(self):
        # Made a level at a time from a descriptor: each path stays short.
        part = "d" * 200
        fd = os.open(self.path("tree"), os.O_RDONLY)
        for _ in range(25):
            os.mkdir(part, dir_fd=fd)
            below = os.open(part, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = below
        os.close(fd)
        os.mkdir(self.path("out"))
        r = run("-r", "-o", "out", "tree", cwd=self.dir.name)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("File name too long", r.stderr)
        self.assertIn(", refused 1, skipped 2", r.stderr)


class ReplaceTest(Base):
    def test_a_list_replaces_no_picture_it_reads(self):
        cases = [  # (options, the list, existing output, whether it is replaced, the refusal)
            ([], "d/scan.pbm\nd/scan.bmp\n", "d/scan.bmp", False, "give --force to replace it"),
            ([], "d/scan.bmp\n", "d/scan.pbm", False, "exists and is a PBM"),
            (["--force"], "d/scan.bmp\n", "d/scan.pbm", True, None),
            ([], "d/scan.bmp\n", "d/scan.pbm:sentinel", True, None),  # not a picture
            (["bmp2pbm"], "d/scan.bmp\n", "d/scan.pbm", True, None),  # a rerun of one direction
            (["pbm2bmp"], "d/scan.pbm\n", "d/scan.bmp", True, None),
            (["bmp2pbm"], "d/scan.bmp\n", "d/scan.pbm:bmp", False, "exists and is a BMP"),
        ]
        for options, listing, existing, replaced, refusal in cases:
            with self.subTest(options=options, listing=listing, existing=existing):
                existing, _, kind = existing.partition(":")
                os.makedirs(self.path("d"), exist_ok=True)
                self.path("d/scan.bmp", SMALL_BMP)
                self.path("d/scan.pbm", WIDE_PBM)  # each converts to something other than the other
                old = {"sentinel": SENTINEL, "bmp": SMALL_BMP}.get(kind, self.read(existing))
                self.path(existing, old)
                r = run(*options, "--files-from", "-", "-o", "d", input=listing, cwd=self.dir.name)
                self.assertEqual(r.returncode, 0 if replaced else 1, r.stderr)
                self.assertEqual(self.read(existing) != old, replaced)
                if refusal:
                    self.assertIn(refusal, r.stderr)

    def test_a_tree_replaces_no_picture_it_reads_either(self):
        os.mkdir(self.path("t"))
        os.mkdir(self.path("out"))
        self.path("t/a.bmp", SMALL_BMP)
        for options, replaced in (([], False), (["--force"], True)):
            with self.subTest(options=options):
                self.path("out/a.pbm", WIDE_PBM)
                r = run("-r", *options, "-o", "out", "t", cwd=self.dir.name)
                self.assertEqual(r.returncode, 0 if replaced else 1, r.stderr)
                self.assertEqual(self.read("out/a.pbm"), SMALL_PBM if replaced else WIDE_PBM)

    def test_an_output_through_a_link_that_leads_nowhere_is_written_once(self):
        os.mkdir(self.path("out"))
        os.symlink("b.pbm", self.path("out/a.pbm"))
        r = run("-o", "out", self.path("a.bmp", SMALL_BMP), self.path("b.bmp", bw_bmp(3, 1, lambda x, y: True)),
                cwd=self.dir.name)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("was already written for an earlier input", r.stderr)
        self.assertEqual(self.read("out/b.pbm"), SMALL_PBM)  # a's, not overwritten by b's

    def test_update_refuses_a_directory_at_the_output_path(self):
        os.makedirs(self.path("out/a.pbm"))
        self.path("a.bmp", SMALL_BMP)
        os.utime(self.path("a.bmp"), (1, 1))  # older than the directory
        for options in ([], ["-u"]):
            with self.subTest(options=options):
                r = run(*options, "-o", "out", "a.bmp", cwd=self.dir.name)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn("Is a directory", r.stderr)


class FifoTest(Base):
    def setUp(self):
        super().setUp()
        os.mkfifo(self.path("fifo.bmp"))  # no writer ever comes
        os.mkdir(self.path("out"))
        self.names = [self.path(f"{i}.bmp", SMALL_BMP) for i in range(3)]

    def test_a_fifo_without_a_writer_holds_back_no_other_input(self):
        cases = [  # (options, the refusal)
            ([], "nothing to read yet, and a batch does not wait for a FIFO or device: give --wait SECONDS"),
            (["bmp2pbm"], "nothing to read yet, and a batch does not wait for a FIFO or device: give --wait SECONDS"),
            (["--wait", "1"], "nothing to read within 1 s"),
        ]
        for options, refusal in cases:
            with self.subTest(options=options):
                r = run(*options, "-o", "out", "fifo.bmp", *self.names, cwd=self.dir.name)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn("fifo.bmp: " + refusal, r.stderr)
                self.assertIn(SUMMARY.format(3, 1), r.stderr)

    def test_a_single_input_waits_as_long_as_asked_and_converts_what_comes(self):
        r = run("--wait", "1", "fifo.bmp", "out/f.pbm", cwd=self.dir.name)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("nothing to read within 1 s", r.stderr)

        def feed():
            with open(self.path("fifo.bmp"), "wb") as f:
                f.write(SMALL_BMP)
        writer = threading.Thread(target=feed)
        writer.start()
        r = run("--wait", "30", "-o", "out", "fifo.bmp", *self.names, cwd=self.dir.name)
        writer.join()
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read("out/fifo.pbm"), SMALL_PBM)


class ListNameTest(Base):
    def test_names_that_are_no_names_end_promptly_in_bounded_memory(self):
        os.mkdir(self.path("out"))
        self.path("a.bmp", SMALL_BMP)
        long_name = "x" * 5000
        cases = [  # (options, the list, the refusal, outputs)
            (["--files-from", "/dev/zero"], None, "/dev/zero: line 1: the name holds a NUL byte (give -0", []),
            (["-0", "--files-from", "/dev/zero"], None, "/dev/zero: name 4097: more than 4096 empty names", []),
            (["--files-from", "-"], "a.bmp\0b.bmp\0", "line 1: the name holds a NUL byte (give -0", []),
            (["--files-from", "-"], long_name + "\na.bmp\n", "line 1: the name is longer than PATH_MAX", ["a.pbm"]),
            (["-0", "--files-from", "-"], long_name + "\0a.bmp\0", "name 1: the name is longer than PATH_MAX",
             ["a.pbm"]),
        ]
        memory = None if sanitized() else 1 << 30
        for options, listing, refusal, outputs in cases:
            with self.subTest(options=options, listing=(listing or "")[:20]):
                for name in os.listdir(self.path("out")):
                    os.remove(self.path("out/" + name))
                r = run(*options, "-o", "out", input=listing, memory=memory, cwd=self.dir.name)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(refusal, r.stderr)
                self.assertEqual(sorted(os.listdir(self.path("out"))), outputs)


class UsageTest(Base):
    def test_the_new_options_are_checked(self):
        cases = [  # (arguments, the usage error)
            (["-L", "-o", ".", "a.bmp"], "--follow needs --recursive"),
            (["--wait", "soon", "a.bmp", "a.pbm"], "'soon' is not a number of seconds"),
            (["--wait=-1", "a.bmp", "a.pbm"], "'-1' is not a number of seconds"),
            (["a.bmp", "a.pbm", "--wait"], "needs a number of seconds"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                r = run(*args, cwd=self.dir.name)
                self.assertEqual(r.returncode, 2)
                self.assertIn(message, r.stderr)


class StandardStreamTest(Base):
    def test_a_closed_standard_output_is_said_to_be_closed(self):
        self.path("a.bmp", SMALL_BMP)
        r = subprocess.run(["sh", "-c", '"$0" a.bmp - >&-', tool_test.TOOL], capture_output=True, text=True,
                           cwd=self.dir.name)
        self.assertEqual(r.returncode, 1)
        self.assertIn("a.bmp: standard output is closed", r.stderr)
        self.assertNotIn("input file", r.stderr)


if __name__ == "__main__":
    tool_test.TOOL = sys.argv.pop(1)
    unittest.main(verbosity=1)
