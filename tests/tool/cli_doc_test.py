#!/usr/bin/env python3
"""The reference pages checked against the tool and the tree.

Usage: cli_doc_test.py PATH_TO_QUORVELPBM SOURCE_DIR
The options table of docs/cli.md names what --help names, and every relative
link of the README and docs/*.md leads to a file that exists and, into a
Markdown page, to one of its headings.
"""
import os
import re
import subprocess
import sys
import unittest
import urllib.parse

TOOL = SOURCE = None

# An option as the help and the table write it: -o, --output-dir, -0.
OPTION = re.compile(r"(?<![\w-])(--?[a-zA-Z0-9][\w-]*)")
# [text](target) and ![alt](target), the target up to a space or ')'.
LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)")


def anchors(markdown):
    """The fragments GitHub gives a page's headings."""
    headings = re.findall(r"^#+ (.+)$", re.sub(r"```.*?```", "", markdown, flags=re.S), re.M)
    return {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-") for h in headings}


def read(*parts):
    with open(os.path.join(SOURCE, *parts), encoding="utf-8") as f:
        return f.read()


def help_options():
    text = subprocess.run([TOOL, "--help"], capture_output=True, text=True, check=True).stdout
    return set(OPTION.findall(text[text.index("Options:"):text.index("Examples:")]))


def table_options(markdown):
    """The options in the first column of the table under "## Options"."""
    section = markdown.split("\n## Options\n", 1)[1].split("\n## ", 1)[0]
    rows = [line for line in section.splitlines() if line.startswith("| `")]
    return set(OPTION.findall("\n".join(row.split("|")[1] for row in rows)))


class OptionsTableTest(unittest.TestCase):
    def test_the_table_names_every_option_of_the_help_and_no_other(self):
        in_help, in_table = help_options(), table_options(read("docs", "cli.md"))
        self.assertGreaterEqual(len(in_help), 12)
        self.assertEqual(
            (sorted(in_help - in_table), sorted(in_table - in_help)), ([], []),
            "(options in --help missing from docs/cli.md, options in docs/cli.md that --help does not name)")


class LinksTest(unittest.TestCase):
    def test_relative_links_lead_to_existing_files(self):
        pages = ["README.md"] + sorted(
            os.path.join("docs", name) for name in os.listdir(os.path.join(SOURCE, "docs")) if name.endswith(".md"))
        broken = []
        for page in pages:
            # Code blocks hold shell and C, not links.
            text = re.sub(r"```.*?```", "", read(page), flags=re.S)
            for target in LINK.findall(text):
                if re.match(r"[a-z][a-z0-9+.-]*:", target):
                    continue
                path, _, fragment = target.partition("#")
                path = os.path.normpath(os.path.join(os.path.dirname(page), urllib.parse.unquote(path))) if path else page
                if not os.path.exists(os.path.join(SOURCE, path)):
                    broken.append(f"{page}: {target}")
                elif fragment and path.endswith(".md") and fragment not in anchors(read(path)):
                    broken.append(f"{page}: {target} (no such heading)")
        self.assertEqual(broken, [])


if __name__ == "__main__":
    TOOL, SOURCE = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main(verbosity=1)
