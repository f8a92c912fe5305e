#!/usr/bin/python3
"""Prints why each skipped test was skipped, from CTest's JUnit report.

CTest itself says only "Skipped". Run after the tests, pass or fail
(CTestCustom.cmake's CTEST_CUSTOM_POST_TEST, from skip_reasons.cmake); the
test presets write the report. A report older than the stamp touched before
the tests is an earlier run's, and is not read.

Usage: skip_reasons.py JUNIT_XML STAMP
"""

import os
import sys
import xml.etree.ElementTree as ElementTree

# Lines of a test's output that are its harness's, not its reason.
NOISE = ("[", "Running main()", "Note: Google Test filter")


def reason(output):
    lines = [line.strip() for line in (output or "").splitlines()]
    lines = [line for line in lines if line and not line.startswith(NOISE)]
    return " ".join(lines[-3:]) or "(the test printed no reason)"


def main():
    report, stamp = sys.argv[1:3]
    try:
        if os.path.getmtime(report) < os.path.getmtime(stamp):
            return
        suite = ElementTree.parse(report).getroot()
    except (OSError, ElementTree.ParseError):
        return
    skipped = [case for case in suite.iter("testcase") if case.find("skipped") is not None]
    if skipped:
        print(f"Why the {len(skipped)} skipped test{'s were' if len(skipped) != 1 else ' was'} skipped:")
    for case in skipped:
        print(f"  {case.get('name')}: {reason(case.findtext('system-out'))}")


if __name__ == "__main__":
    main()
