#!/usr/bin/env python3
"""An output written in place, killed at many moments of its final copy: an
update run (-u) must convert it again unless the copy was complete.

Usage: in_place_test.py PATH_TO_QUORVELPBM
"""
import os
import signal
import struct
import subprocess
import sys
import time
import unittest

import tool_test
from tool_test import HEAD, SENTINEL, Base

WIDTH, HEIGHT = 2000, 2000


def white(x):
    """Every row is the same: black and white stripes of 8 pixels."""
    return (x // 8) % 2 == 1


def p4():
    row = bytes(0x00 if white(8 * i) else 0xFF for i in range(WIDTH // 8))  # a set bit is black
    return b"P4\n%d %d\n" % (WIDTH, HEIGHT) + row * HEIGHT


def bmp24():
    """A bottom-up 24-bit BMP with a 54-byte header; rows are 4-byte aligned."""
    line = b"".join(b"\xff\xff\xff" if white(x) else b"\0\0\0" for x in range(WIDTH))
    line += bytes(-len(line) % 4)
    data = struct.pack("<2sIHHI", b"BM", 54 + len(line) * HEIGHT, 0, 0, 54)
    data += struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 24, 0, len(line) * HEIGHT, 0, 0, 0, 0)
    return data + line * HEIGHT


def plain_pbm():
    """Our plain PBM: a token per pixel, a line break after every 30th."""
    tokens = b"".join(b"0 " if white(x) else b"1 " for x in range(WIDTH)) * HEIGHT
    lines = b"\n".join(tokens[i:i + 60] for i in range(0, len(tokens), 60))
    return HEAD + b"%d %d\n" % (WIDTH, HEIGHT) + lines + (b"\n" if WIDTH * HEIGHT % 30 == 0 else b"")


class InPlaceKillTest(Base):
    def setUp(self):
        if not os.path.isdir("/proc/self/fd"):
            self.skipTest("needs /proc, to reach the output through a descriptor link")
        super().setUp()
        self.env = {**os.environ, "TMPDIR": self.dir.name}

    def start_in_place(self, args, target):
        """Starts a conversion into `target` through a link to a descriptor,
        which the tool can write but not replace: it copies in place."""
        fd = os.open(target, os.O_RDWR)
        link = self.path("link")
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink("/proc/self/fd/%d" % fd, link)
        try:
            return subprocess.Popen([tool_test.TOOL, *args, link], pass_fds=(fd,), env=self.env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        finally:
            os.close(fd)

    def kill_during_copy(self, args, target, delay=None, size=None):
        """Kills the conversion `delay` seconds after the target first
        changes (its time or size), or lets it end. Whether it was killed,
        and the seconds from that change until the target was seen at
        `size` bytes (or the run ended)."""
        before = os.stat(target)
        start = time.perf_counter()
        p = self.start_in_place(args, target)
        changed = grown = None
        try:
            while p.poll() is None and grown is None:
                now = os.stat(target)
                if changed is None and (now.st_mtime_ns, now.st_size) != (before.st_mtime_ns, before.st_size):
                    changed = time.perf_counter()
                if changed is not None and delay is not None and time.perf_counter() >= changed + delay:
                    p.send_signal(signal.SIGKILL)
                    break
                if changed is not None and now.st_size == size:
                    grown = time.perf_counter()
        finally:
            _, stderr = p.communicate(timeout=60)
        self.assertIn(p.returncode, (0, -signal.SIGKILL), stderr)
        # Seen to change only once it ended (this process was not scheduled
        # meanwhile): the whole run counts.
        return p.returncode == -signal.SIGKILL, (grown or time.perf_counter()) - (changed or start)

    def test_an_update_converts_again_an_output_killed_during_its_copy(self):
        cases = [
            # (direction, input, expected output)
            ("pbm2bmp", p4(), bmp24()),
            ("bmp2pbm", bmp24(), plain_pbm()),
        ]
        long_ago = time.time() - 1000
        for direction, data, expected in cases:
            with self.subTest(direction=direction):
                src = self.path("in", data)
                target = self.path("out")
                os.utime(src, (long_ago, long_ago))
                args = [direction, src]

                # How long a copy takes here, from the target's first change
                # until it has its full size: the median of three runs.
                copies = []
                for _ in range(3):
                    self.path("out", SENTINEL)
                    os.utime(target, (long_ago - 1, long_ago - 1))
                    killed, copy = self.kill_during_copy(args, target, size=len(expected))
                    self.assertFalse(killed)
                    self.assertTrue(self.read("out") == expected)
                    copies.append(copy)
                copy = sorted(copies)[1]

                # Killed from the start of the copy to past its end, until at
                # least three kills came during one. On a loaded machine kills
                # come late: one meant for the copy that finds it complete
                # brings the others forward.
                cut = kills = 0
                while kills < 10 or (cut < 3 and kills < 40):
                    with self.subTest(kill=kills):
                        self.path("out", SENTINEL)
                        os.utime(target, (long_ago - 1, long_ago - 1))
                        moment = (kills % 10) / 8
                        killed, _ = self.kill_during_copy(args, target, copy * moment)
                        left = self.read("out")
                        cut += killed and left not in (SENTINEL, expected)
                        if left == expected and moment < 1:
                            copy /= 2
                        kills += 1
                        r = subprocess.run([tool_test.TOOL, "-u", *args, target], env=self.env, capture_output=True)
                        self.assertEqual(r.returncode, 0, r.stderr)
                        # (Compared whole: a difference of megabytes is not shown.)
                        self.assertTrue(self.read("out") == expected, "a kill that left %d bytes" % len(left))
                self.assertGreaterEqual(cut, 3, "too few kills came during a copy")

                # A complete copy is up to date: the update leaves it alone.
                self.path("out", SENTINEL)
                self.assertFalse(self.kill_during_copy(args, target)[0])
                before = os.stat(target)
                r = subprocess.run([tool_test.TOOL, "-u", "--verbose", *args, target], env=self.env,
                                   capture_output=True, text=True)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertIn("(up to date)", r.stderr)
                self.assertEqual(os.stat(target).st_mtime_ns, before.st_mtime_ns)
                self.assertTrue(self.read("out") == expected)


if __name__ == "__main__":
    tool_test.TOOL = sys.argv.pop(1)
    unittest.main(verbosity=1)
