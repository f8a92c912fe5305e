#!/usr/bin/env python3
"""The skip reasons are printed after every run that wrote its report: the
first in a fresh build directory, and a run with failures, too.

Usage: skip_reasons_test.py CMAKE CTEST
"""
import os
import subprocess
import sys
import tempfile
import unittest

CMAKE = CTEST = None
HERE = os.path.dirname(os.path.abspath(__file__))
REASONS = "Why the 1 skipped test was skipped:\n  skipped: needs a peer that is missing here\n"


class SkipReasonsTest(unittest.TestCase):
    def fresh_build(self):
        # A space in the path, as in a clone under "My projects".
        build = tempfile.TemporaryDirectory(suffix=" build")
        self.addCleanup(build.cleanup)
        r = subprocess.run([CMAKE, "-S", HERE, "-B", build.name], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        return build.name

    def ctest(self, build, fail, report):
        args = [CTEST, "--test-dir", build]
        if report:
            args += ["--output-junit", os.path.join(build, "Testing", "junit.xml")]
        env = {**os.environ, "SKIP_REASONS_FAIL": "1" if fail else "0"}
        r = subprocess.run(args, capture_output=True, text=True, env=env)
        self.assertEqual(r.returncode != 0, fail, r.stdout + r.stderr)
        return r.stdout

    def test_each_run_that_writes_its_report_prints_the_reasons(self):
        cases = [  # (runs in one build directory as (fail, report), whether the last prints the reasons)
            ([(True, True)], True),
            ([(False, True)], True),
            ([(False, True), (True, True)], True),
            ([(True, True), (False, True)], True),
            # No report this run: the last one is not this run's.
            ([(False, True), (False, False)], False),
            ([(True, True), (True, False)], False),
        ]
        for runs, prints in cases:
            with self.subTest(runs=runs):
                build = self.fresh_build()
                for fail, report in runs:
                    out = self.ctest(build, fail, report)
                self.assertEqual(REASONS in out, prints, out)


if __name__ == "__main__":
    CMAKE, CTEST = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main(verbosity=1)
