#!/usr/bin/python3
"""Times a batch of pictures converted on one thread and on two.

Makes COUNT VGA (640 x 480) BMPs of noise around the threshold, then runs
`quorvelpbm -j 1 -o DIR ...` and `quorvelpbm -j 2 -o DIR ...` alternately,
ROUNDS times each, and prints the median of each and their ratio. Run it on
a quiet machine with at least two processors:

    bench/batch_bench.py --tool build/tools/quorvelpbm [--count 300] [--rounds 7]
"""
import argparse
import os
import random
import shutil
import statistics
import struct
import subprocess
import tempfile
import time


def vga_bmp(seed):
    width, height = 640, 480
    stride = width * 3
    rng = random.Random(seed)
    pixels = bytes(rng.randrange(60, 140) for _ in range(stride * height))
    head = struct.pack("<2sIHHI", b"BM", 54 + stride * height, 0, 0, 54)
    head += struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, stride * height, 0, 0, 0, 0)
    return head + pixels


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--count", type=int, default=300)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="qpbm-batch-")
    try:
        inputs = []
        pictures = [vga_bmp(seed) for seed in range(8)]  # eight distinct pictures, reused
        for i in range(args.count):
            path = os.path.join(work, f"p{i:04}.bmp")
            with open(path, "wb") as f:
                f.write(pictures[i % len(pictures)])
            inputs.append(path)
        times = {1: [], 2: []}
        for round_ in range(args.rounds):
            for jobs in ((1, 2) if round_ % 2 == 0 else (2, 1)):
                out = os.path.join(work, f"out{jobs}")
                shutil.rmtree(out, ignore_errors=True)
                os.mkdir(out)
                start = time.perf_counter()
                subprocess.run([args.tool, "-j", str(jobs), "-o", out, *inputs], check=True,
                               stderr=subprocess.DEVNULL)
                times[jobs].append(time.perf_counter() - start)
        one, two = statistics.median(times[1]), statistics.median(times[2])
        print(f"{args.count} VGA BMPs: -j 1 {one:.3f} s, -j 2 {two:.3f} s, speed-up {one / two:.2f}x "
              f"(median of {args.rounds}; load {os.getloadavg()[0]:.2f})")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
