#!/usr/bin/python3
"""examples/dask_convert.py on a LocalCluster of two worker processes.

Usage: dask_test.py SOURCE_DIR (QUORVELPBM_LIBRARY names the built library)
500 small pictures, 5 of them bad: every output is checked against the
layout rules, and the report must name each bad file with its reason.
"""
import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest

SOURCE = None
HEAD = b"P1\n# Created by Quorvel\n"


def bmp(width, height, white):
    """A bottom-up 24-bit BMP of pure black and white; white(x, y) for each pixel."""
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in reversed(range(height)):
        line = b"".join(b"\xff\xff\xff" if white(x, y) else b"\0\0\0" for x in range(width))
        rows.append(line + bytes(stride - len(line)))
    head = struct.pack("<2sIHHI", b"BM", 54 + stride * height, 0, 0, 54)
    head += struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, stride * height, 0, 0, 0, 0)
    return head + b"".join(rows)


def pbm(width, height, white):
    """The plain PBM the library writes: a token per pixel, a line feed after every 30th."""
    tokens = [b"0 " if white(x, y) else b"1 " for y in range(height) for x in range(width)]
    body = b"".join(t + (b"\n" if (i + 1) % 30 == 0 else b"") for i, t in enumerate(tokens))
    return HEAD + f"{width} {height}\n".encode() + body


class DaskConvertTest(unittest.TestCase):
    def test_a_batch_of_500_with_5_bad_files(self):
        with tempfile.TemporaryDirectory() as work:
            os.mkdir(os.path.join(work, "out"))
            expected, names = {}, []
            for i in range(495):
                width, height = 1 + i % 7, 1 + i % 5
                white = (lambda k: lambda x, y: (x * k + y) % 3 == 0)(i)
                as_pbm = i % 4 == 0  # a quarter go the other way
                name = os.path.join(work, f"p{i:03}." + ("pbm" if as_pbm else "bmp"))
                with open(name, "wb") as f:
                    f.write(pbm(width, height, white) if as_pbm else bmp(width, height, white))
                out = f"p{i:03}." + ("bmp" if as_pbm else "pbm")
                expected[out] = bmp(width, height, white) if as_pbm else pbm(width, height, white)
                names.append(name)
            bad = {  # name: what the report must say about it
                "short.bmp": b"BM" + bytes(20),
                "text.bmp": b"hello, world\n",
                "empty.pbm": b"",
                "header.pbm": HEAD + b"4 x\n",
            }
            for name, data in bad.items():
                with open(os.path.join(work, name), "wb") as f:
                    f.write(data)
            bad_names = [os.path.join(work, n) for n in [*bad, "missing.bmp"]]
            names[100:100] = bad_names[:3]
            names += bad_names[3:]
            with open(os.path.join(work, "names"), "w") as f:
                f.write("".join(n + "\n" for n in names))

            r = subprocess.run([sys.executable, os.path.join(SOURCE, "examples", "dask_convert.py"),
                                "--workers", "2", "--batch", "40", "--output-dir", os.path.join(work, "out"),
                                "--files-from", os.path.join(work, "names")],
                               capture_output=True, text=True, timeout=300, cwd=work,
                               env={**os.environ, "PYTHONPATH": os.path.join(SOURCE, "python")})
            self.assertEqual(r.returncode, 1, r.stderr)
            report = json.loads(r.stdout)
            self.assertEqual(report["counts"], {"converted": 495, "refused": 5, "failed": 0})
            self.assertEqual(sorted(report["converted"]), sorted(set(names) - set(bad_names)))
            refused = {entry["path"]: entry["message"] for entry in report["refused"]}
            self.assertEqual(set(refused), set(bad_names))
            self.assertTrue(all(refused.values()), refused)
            self.assertIn("No such file", refused[bad_names[-1]])
            self.assertEqual(sorted(os.listdir(os.path.join(work, "out"))), sorted(expected))
            for out, data in expected.items():
                with open(os.path.join(work, "out", out), "rb") as f:
                    self.assertEqual(f.read(), data, out)


if __name__ == "__main__":
    SOURCE = sys.argv.pop(1)
    unittest.main(verbosity=1)
