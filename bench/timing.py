"""What every benchmark here shares: timing a command without a shell, paired
runs against a floor, peak memory, hyperfine, the machine's load and its
processor. run_bench.py and codec_bench.py both import it.
"""
import json
import os
import platform
import shlex
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# Ours at each size: a picture's width and height by its megapixels.
SIDES = {1: (1000, 1000), 9: (3000, 3000), 100: (10000, 10000)}


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def load():
    return os.getloadavg()[0]


def wait_for_quiet(args):
    if args.quiet_load is None:
        return
    deadline = time.monotonic() + args.max_wait
    while load() >= args.quiet_load and time.monotonic() < deadline:
        log(f"  load {load():.2f}, waiting for it to drop below {args.quiet_load}")
        time.sleep(15)


def sh(command, **kwargs):
    return subprocess.run(["sh", "-c", command], check=True, **kwargs)


def cat_into(inp, out):
    """`cat inp > out` without a shell: open the output as the shell would
    (truncating it), then run cat; returns the seconds taken."""
    def run():
        start = time.perf_counter()
        fd = os.open(out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            subprocess.run(["cat", inp], stdout=fd, check=True)
        finally:
            os.close(fd)
        return time.perf_counter() - start
    return run


def command(*argv):
    def run():
        start = time.perf_counter()
        subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
        return time.perf_counter() - start
    return run


def paired(floor, ours, pairs, warmup=2):
    """Runs the two alternately, swapping the order every pair; returns both
    medians and the median of the per-pair ratios. Both pay the same cost of
    starting a process, and no shell."""
    for _ in range(warmup):
        floor()
        ours()
    floor_times, our_times, ratios, loads = [], [], [], []
    for i in range(pairs):
        if i % 2:
            o = ours()
            f = floor()
        else:
            f = floor()
            o = ours()
        floor_times.append(f)
        our_times.append(o)
        ratios.append(o / f)
        loads.append(load())
    return {
        "pairs": pairs,
        "floor_median_s": statistics.median(floor_times),
        "ours_median_s": statistics.median(our_times),
        "ratio_median": statistics.median(ratios),
        "ratio_quartiles": statistics.quantiles(ratios, n=4) if pairs >= 4 else None,
        "load_min": min(loads),
        "load_max": max(loads),
    }


def peak_rss_kib(command):
    result = sh(f"/usr/bin/time -f '%M' sh -c {shlex.quote(command)} 2>&1 >/dev/null | tail -n 1",
                capture_output=True, text=True)
    return int(result.stdout.strip().splitlines()[-1])


def hyperfine(commands, runs, json_path):
    argv = ["hyperfine", "--style", "basic", "--warmup", "1", "--runs", str(runs), "--export-json", json_path]
    for name, command in commands.items():
        argv += ["--command-name", name, command]
    subprocess.run(argv, check=True, stdout=sys.stderr)
    with open(json_path) as f:
        results = json.load(f)["results"]
    return {r["command"]: {"median_s": r["median"], "mean_s": r["mean"], "stddev_s": r["stddev"],
                           "runs": len(r["times"])} for r in results}


def timed_once(command):
    start = time.perf_counter()
    sh(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()
