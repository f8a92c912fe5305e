#!/usr/bin/env python3
"""The tool's manual page and bash completion, checked against the tool.

Usage: docs_test.py PATH_TO_QUORVELPBM SOURCE_DIR
Tools that are missing skip their test, unless CI is "true".
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

TOOL = SOURCE = None
IN_CI = os.environ.get("CI") == "true"


def need(program):
    if shutil.which(program) is None and not os.path.exists(program):
        if IN_CI:
            raise AssertionError(f"{program} is missing")
        raise unittest.SkipTest(f"{program} is missing")


def man_page():
    return os.path.join(SOURCE, "docs", "man", "quorvelpbm.1")


def options_in(text):
    return set(re.findall(r"(?<![\w-])(--?[a-zA-Z][\w-]*)", text))


class ManPageTest(unittest.TestCase):
    def test_renders_without_warnings(self):
        need("mandoc")
        r = subprocess.run(["mandoc", "-T", "lint", "-W", "warning", man_page()], capture_output=True, text=True)
        self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))
        need("groff")
        r = subprocess.run(["groff", "-ww", "-z", "-man", man_page()], capture_output=True, text=True)
        self.assertEqual((r.returncode, r.stderr), (0, ""))

    def test_has_the_usual_sections(self):
        with open(man_page()) as f:
            sections = re.findall(r"^\.SH (.+)$", f.read(), re.M)
        for name in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "EXAMPLES", "SEE ALSO"):
            self.assertIn(name, sections)

    def test_help_and_man_page_name_the_same_options(self):
        help_text = subprocess.run([TOOL, "--help"], capture_output=True, text=True, check=True).stdout
        options_part = help_text[help_text.index("Options:"):help_text.index("Examples:")]
        with open(man_page()) as f:
            roff = f.read()
        man_options = roff[roff.index(".SH OPTIONS"):roff.index(".SH EXIT STATUS")].replace("\\-", "-")
        self.assertEqual(options_in(options_part), options_in(man_options))
        self.assertGreaterEqual(len(options_in(options_part)), 12)


class CompletionTest(unittest.TestCase):
    def complete(self, words, cwd):
        need("/usr/share/bash-completion/bash_completion")
        script = ('source /usr/share/bash-completion/bash_completion; source "$0"; shift; '
                  'COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}; '
                  '_quorvelpbm; printf "%s\\n" "${COMPREPLY[@]}"')
        completion = os.path.join(SOURCE, "tools", "completion", "quorvelpbm")
        r = subprocess.run(["bash", "-c", script, completion, "-", *words], capture_output=True, text=True,
                           cwd=cwd, check=True)
        return set(r.stdout.split())

    def test_subcommands_options_and_files_by_extension(self):
        with tempfile.TemporaryDirectory() as d:
            for name in ("a.bmp", "b.pbm", "c.txt", "D.BMP"):
                open(os.path.join(d, name), "w").close()
            os.mkdir(os.path.join(d, "sub"))
            cases = [
                (["quorvelpbm", ""], {"bmp2pbm", "pbm2bmp", "a.bmp", "b.pbm", "D.BMP", "sub"}),
                (["quorvelpbm", "bmp2pbm", ""], {"a.bmp", "D.BMP", "sub"}),
                (["quorvelpbm", "pbm2bmp", ""], {"b.pbm", "sub"}),
                (["quorvelpbm", "--v"], {"--verbose", "--version"}),
                (["quorvelpbm", "-o", ""], {"sub"}),
            ]
            for words, expected in cases:
                with self.subTest(words=words):
                    self.assertEqual(self.complete(words, d), expected)

    def test_every_long_option_of_the_help_is_completed(self):
        help_text = subprocess.run([TOOL, "--help"], capture_output=True, text=True, check=True).stdout
        long_options = {o for o in options_in(help_text) if o.startswith("--")}
        self.assertEqual(self.complete(["quorvelpbm", "--"], "/"), long_options)


if __name__ == "__main__":
    TOOL, SOURCE = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main(verbosity=1)
