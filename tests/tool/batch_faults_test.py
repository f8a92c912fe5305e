#!/usr/bin/env python3
"""Batches run as another user: unreadable trees and files, and a process
limit. Needs root, to become that user; skipped otherwise.

Usage: batch_faults_test.py PATH_TO_QUORVELPBM
"""
import os
import resource
import subprocess
import sys
import unittest

import tool_test
from tool_test import SMALL_BMP, SMALL_PBM, Base, tool_for_others

NOBODY = 65534


def as_nobody(processes=None):
    def become():
        os.setgroups([])
        os.setgid(NOBODY)
        if processes is not None:
            resource.setrlimit(resource.RLIMIT_NPROC, (processes, processes))
        os.setuid(NOBODY)
    return become


class OtherUserTest(Base):
    # LeakSanitizer, in a sanitizer build, cannot start its thread under a
    # process limit.
    env = {**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}

    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("needs root, to run as another user")
        self.tool = tool_for_others(self)
        super().setUp()
        os.chmod(self.dir.name, 0o777)
        os.mkdir(self.path("out"))
        os.chmod(self.path("out"), 0o777)

    def run_as_nobody(self, *args, processes=None):
        return subprocess.run([self.tool, *args], capture_output=True, text=True, cwd=self.dir.name,
                              preexec_fn=as_nobody(processes), env=self.env, timeout=60)

    def test_what_cannot_be_searched_is_refused_as_a_permission_error(self):
        os.makedirs(self.path("t/closed/sub"))
        self.path("t/closed/q.bmp", SMALL_BMP)
        self.path("t/closed/sub/z.bmp", SMALL_BMP)
        os.chmod(self.path("t/closed"), 0o644)  # listed, not searched
        cases = [  # (arguments, refusals)
            (["-r", "-o", "out", "t"], ["t/closed/q.bmp: cannot open the input: Permission denied",
                                        "t/closed/sub: cannot look at it: Permission denied"]),
            (["-o", "out", "t/closed/q.bmp"], ["t/closed/q.bmp: cannot open the input: Permission denied"]),
        ]
        for args, refusals in cases:
            with self.subTest(args=args):
                r = self.run_as_nobody(*args)
                self.assertEqual(r.returncode, 1, r.stderr)
                for refusal in refusals:
                    self.assertIn("quorvelpbm: " + refusal + "\n", r.stderr)
                self.assertIn(f"converted 0, refused {len(refusals)}", r.stderr)
                self.assertNotIn("No such file", r.stderr)

    def test_a_list_file_under_a_process_limit_is_read_without_counting_ahead(self):
        names = [self.path(f"{i}.bmp", SMALL_BMP) for i in range(3)]
        self.path("list", "".join(n + "\n" for n in names).encode())
        r = self.run_as_nobody("-j", "1", "--files-from", "list", "-o", "out", processes=1)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("converted 3, refused 0", r.stderr)
        for i in range(3):
            self.assertEqual(self.read(f"out/{i}.pbm"), SMALL_PBM)


if __name__ == "__main__":
    tool_test.TOOL = sys.argv.pop(1)
    unittest.main(verbosity=1)
