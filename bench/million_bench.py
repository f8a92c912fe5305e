#!/usr/bin/python3
"""Batches of many small files: a streamed list against a process per file,
a resumed half, and the tool's peak memory with a million names.

1. Makes COUNT 64 x 64 BMPs (in directories of 1000) and times
   `quorvelpbm -j 2 --files-from LIST -o OUT` against
   `find ... -print0 | xargs -0 -P 2 -n 1 quorvelpbm -o OUT` (over the first
   XARGS_COUNT files: a process per file is slow), in files per second.
2. Times converting the second half of the list into an empty directory,
   and the whole list with --update into a directory that holds the first
   half's outputs (a run stopped half way, then run again): the resumed run
   should cost at most 10% more than the half itself.
3. Makes NAMES tiny (1 x 1) BMPs and reports the tool's peak resident memory
   converting all of them from one list (the goal: under 64 MiB), beside its
   peak with one name.

    bench/million_bench.py --tool build/tools/quorvelpbm [--count 100000] [--names 1000000]

It needs about 4 KiB of disk per file and per output (2 x NAMES in all).
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


def bmp(width, height, seed):
    stride = (width * 3 + 3) // 4 * 4
    rng = random.Random(seed)
    pixels = bytes(rng.randrange(60, 140) for _ in range(stride * height))
    head = struct.pack("<2sIHHI", b"BM", 54 + stride * height, 0, 0, 54)
    head += struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, stride * height, 0, 0, 0, 0)
    return head + pixels


def make_files(top, count, data):
    """COUNT copies of DATA in directories of 1000, named apart; returns the names."""
    names = []
    for i in range(count):
        if i % 1000 == 0:
            os.makedirs(os.path.join(top, f"d{i // 1000:04}"))
        name = os.path.join(top, f"d{i // 1000:04}", f"p{i:07}.bmp")
        with open(name, "wb") as f:
            f.write(data)
        names.append(name)
    return names


def write_list(path, names):
    with open(path, "w") as f:
        f.write("".join(n + "\n" for n in names))
    return path


def fresh(path):
    """An empty directory, the old one's removal written back first: on ext4
    with discard, freeing 100,000 files slows the next run for seconds."""
    shutil.rmtree(path, ignore_errors=True)
    os.sync()
    time.sleep(2)
    os.mkdir(path)
    return path


def timed(command, **kwargs):
    """Seconds and peak resident KiB of one run, which must succeed. The peak
    comes from /usr/bin/time, a small program: a child forked from Python
    would report Python's own size from before the exec."""
    with tempfile.NamedTemporaryFile("r") as peak:
        start = time.perf_counter()
        r = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak.name, *command], stderr=subprocess.DEVNULL,
                           **kwargs)
        seconds = time.perf_counter() - start
        if r.returncode != 0:
            raise SystemExit(f"failed ({r.returncode}): {' '.join(command)[:200]}")
        return seconds, int(peak.read().split()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--count", type=int, default=100_000, help="0: only the memory")
    parser.add_argument("--xargs-count", type=int, default=10_000)
    parser.add_argument("--names", type=int, default=1_000_000, help="0: no memory measurement")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--work", default=None, help="where to make the files (default: a temporary directory)")
    args = parser.parse_args()
    tool = os.path.abspath(args.tool)

    work = tempfile.mkdtemp(prefix="qpbm-million-", dir=args.work)
    try:
        out = os.path.join(work, "out")
        if args.count > 0:
            names = make_files(os.path.join(work, "in"), args.count, bmp(64, 64, 1))
            listing = write_list(os.path.join(work, "list"), names)
            runs = [timed([tool, "-j", "2", "--files-from", listing, "-o", fresh(out)])[0] for _ in range(args.rounds)]
            listed = args.count / statistics.median(runs)
            sub = names[:args.xargs_count]
            fresh(out)
            find = subprocess.Popen(["find", os.path.join(work, "in"), "-name", "*.bmp", "-print0"], stdout=subprocess.PIPE)
            head = subprocess.Popen(["head", "-z", "-n", str(len(sub))], stdin=find.stdout, stdout=subprocess.PIPE)
            find.stdout.close()
            seconds, _ = timed(["xargs", "-0", "-P", "2", "-n", "1", tool, "-o", out], stdin=head.stdout)
            head.wait()
            find.kill()
            find.wait()
            per_process = len(sub) / seconds
            print(f"{args.count} 64x64 BMPs, -j 2: --files-from {listed:.0f} files/s (median of {args.rounds}), "
                  f"xargs -P 2 -n 1 {per_process:.0f} files/s over {len(sub)}: {listed / per_process:.1f}x")

            half = args.count // 2
            second = write_list(os.path.join(work, "second"), names[half:])
            first = write_list(os.path.join(work, "first"), names[:half])
            alone, resumed, skipped = [], [], []
            for _ in range(args.rounds):
                alone.append(timed([tool, "-j", "2", "--files-from", second, "-o", fresh(out)])[0])
                timed([tool, "-j", "2", "--files-from", first, "-o", fresh(out)])
                resumed.append(timed([tool, "-j", "2", "-u", "--files-from", listing, "-o", out])[0])
                # Everything up to date now: what skipping costs, apart from the load's swings.
                skipped.append(timed([tool, "-j", "2", "-u", "--files-from", listing, "-o", out])[0])
            a, r, k = statistics.median(alone), statistics.median(resumed), statistics.median(skipped)
            print(f"the second half alone {a:.2f} s, the whole list resumed with -u after the first half "
                  f"{r:.2f} s: {100 * (r / a - 1):+.1f}%; all {args.count} up to date {k:.2f} s "
                  f"({1e6 * k / args.count:.1f} us a name): half of them is {100 * k / 2 / a:.1f}% of the half")
            shutil.rmtree(os.path.join(work, "in"))
            shutil.rmtree(out)

        if args.names > 0:
            names = make_files(os.path.join(work, "tiny"), args.names, bmp(1, 1, 2))
            listing = write_list(os.path.join(work, "list"), names)
            one = write_list(os.path.join(work, "one"), names[:1])
            _, base = timed([tool, "-j", "2", "--files-from", one, "-o", fresh(out)])
            seconds, peak = timed([tool, "-j", "2", "--files-from", listing, "-o", fresh(out)])
            print(f"{args.names} names: peak RSS {peak / 1024:.1f} MiB (one name: {base / 1024:.1f} MiB), "
                  f"{args.names / seconds:.0f} files/s")
        print(f"(load {os.getloadavg()[0]:.2f})")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
