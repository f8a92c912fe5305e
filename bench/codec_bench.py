#!/usr/bin/python3
"""Times quorvelpbm's PNG, JPEG and TIFF paths against decoding alone and
against the peers, side by side in one run.

For each picture size (1, 25 and 100 megapixels by default) it makes a
photo-like PPM and a scan-like PBM with make_bmp (--format photo, scan), and
from the PPM a baseline JPEG (cjpeg -quality 90), a non-interlaced PNG
(pnmtopng, zlib level 6) and a stripped, uncompressed RGB TIFF (pnmtotiff).
Then:

  * JPEG to raw PBM under Floyd-Steinberg, in paired runs against djpeg
    decoding the same file to /dev/null and against decode_bench (the same
    libjpeg-turbo calls as the tool's reader, to nothing);
  * PNG to raw PBM, the default method and Floyd-Steinberg, in paired runs
    against decode_bench (libspng, row by row, to nothing);
  * the scan PBM to a G4 TIFF (--to tiff) in paired runs against ImageMagick's
    -compress Group4, with both outputs' sizes, and a check that ours holds
    the input's pixels (tifftopnm);
  * JPEG to PBM under Floyd-Steinberg by each peer (Pillow convert("1"),
    ImageMagick -dither FloydSteinberg -monochrome, netpbm's pamditherbw -fs),
    fewer runs at the larger sizes (--peer-runs), once for a slow one;
  * the peak resident memory of ours and of each peer, JPEG, PNG and TIFF to
    PBM (the peers' from the runs above for the JPEG, one run each for the
    others).

Paired runs alternate the floor and ours, swapping the order every pair,
each started directly (no shell); the figure is the median of the per-pair
ratios (timing.paired). --tool-args adds arguments to every run of the
tool (for example a thread count), so that two settings can be compared.

    bench/codec_bench.py --build build --codecs 1,25,100 \\
        --json /tmp/codecs.json --markdown /tmp/codecs.md

bench/run_bench.py --codecs SIZES runs the same. The work directory (about
1 GB at 100 megapixels) is removed afterwards unless --keep is given.
"""
import argparse
import filecmp
import json
import math
import os
import platform
import shlex
import shutil
import statistics
import subprocess
import tempfile
import time

from timing import command, cpu_model, log, paired, peak_rss_kib, sh, wait_for_quiet

HERE = os.path.dirname(os.path.abspath(__file__))
POLICY = os.path.join(HERE, "magick")

# Each peer's Floyd-Steinberg to a raw PBM; {decode} is netpbm's converter
# for the input.
PEERS = {
    "Pillow": "/usr/bin/python3 -c 'import sys; from PIL import Image; Image.MAX_IMAGE_PIXELS = None; "
              "Image.open(sys.argv[1]).convert(\"1\").save(sys.argv[2])' {inp} {out}",
    "ImageMagick": "convert-im6.q16 {inp} -dither FloydSteinberg -monochrome {out}",
    "netpbm": "{decode} {inp} | ppmtopgm | pamditherbw -fs | pamtopnm > {out}",
}
NETPBM_DECODE = {"jpeg": "jpegtopnm -quiet", "png": "pngtopnm", "tiff": "tifftopnm -quiet"}
PAIRS = {1: 21, 25: 11, 100: 7}
PEER_RUNS = {1: 5, 25: 3, 100: 3}
# A peer whose first run on the JPEG takes longer than this runs only once.
PEER_ONCE_S = 5.0


def sides(mp):
    side = round(1000 * math.sqrt(mp))
    return side, side


def by_size(table, mp):
    """The entry for the nearest size at or above mp, else the largest's."""
    larger = [k for k in sorted(table) if k >= mp]
    return table[larger[0] if larger else max(table)]


def timed_rss(command_line):
    """Runs a shell command line once; its wall seconds and the peak resident
    memory of its largest process (KiB)."""
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name, "sh", "-c", command_line], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        seconds = time.perf_counter() - start
        return seconds, int(report.read().split()[-1])


def make_inputs(args, mp, work):
    width, height = sides(mp)
    paths = {kind: os.path.join(work, f"k{mp}.{kind}") for kind in ("ppm", "jpeg", "png", "tiff", "scan")}
    log(f"== codecs, {mp} megapixels ({width} x {height}): making the inputs")
    subprocess.run([args.make_bmp, str(width), str(height), paths["ppm"], "--format", "photo"], check=True)
    subprocess.run([args.make_bmp, str(width), str(height), paths["scan"], "--format", "scan"], check=True)
    sh(f"cjpeg -quality 90 -outfile {paths['jpeg']} {paths['ppm']}")
    sh(f"pnmtopng -compression 6 {paths['ppm']} > {paths['png']}")
    sh(f"pnmtotiff -quiet -truecolor -none {paths['ppm']} > {paths['tiff']}")
    os.remove(paths["ppm"])
    del paths["ppm"]
    return paths


def measure_codecs(args, mp, work):
    width, height = sides(mp)
    paths = make_inputs(args, mp, work)
    out, floor_out = os.path.join(work, "k.out.pbm"), os.path.join(work, "k.floor")
    pairs = args.codec_pairs or by_size(PAIRS, mp)
    peer_runs = args.peer_runs or by_size(PEER_RUNS, mp)
    r = {"megapixels": mp, "width": width, "height": height,
         "input_bytes": {kind: os.path.getsize(p) for kind, p in paths.items()},
         "paired": {}, "peers_s": {}, "peak_rss_kib": {}}

    def ours(inp, *options, target=out):
        return [args.tool, *args.tool_args, *options, inp, target]

    fs = ["--method", "floyd-steinberg", "--to", "pbm", "--raw"]
    default = ["--to", "pbm", "--raw"]
    runs = [
        ("jpeg_fs_vs_djpeg", ["djpeg", "-ppm", "-outfile", "/dev/null", paths["jpeg"]], ours(paths["jpeg"], *fs)),
        ("jpeg_fs_vs_decode", [args.decode_bench, paths["jpeg"]], ours(paths["jpeg"], *fs)),
        ("png_default_vs_decode", [args.decode_bench, paths["png"]], ours(paths["png"], *default)),
        ("png_fs_vs_decode", [args.decode_bench, paths["png"]], ours(paths["png"], *fs)),
    ]
    g4_out, magick_out = os.path.join(work, "k.g4.tif"), os.path.join(work, "k.magick.tif")
    if not args.no_peers:
        magick = ["convert-im6.q16", paths["scan"], "-compress", "Group4", magick_out]
        runs.append(("g4_vs_magick", magick, ours(paths["scan"], "--to", "tiff", target=g4_out)))
    for name, floor, mine in runs:
        wait_for_quiet(args)
        p = paired(command(*floor), command(*mine), pairs)
        r["paired"][name] = p
        log(f"  {name}: {p['ratio_median']:.3f} (ours {p['ours_median_s']:.3f} s, floor {p['floor_median_s']:.3f} s)")

    # Without ImageMagick, our G4 file is still made for its size and pixels.
    if args.no_peers:
        subprocess.run(ours(paths["scan"], "--to", "tiff", target=g4_out), check=True)
    r["g4"] = {"ours_bytes": os.path.getsize(g4_out)}
    sh(f"tifftopnm -quiet {g4_out} > {floor_out}")
    r["g4"]["pixels_match"] = filecmp.cmp(floor_out, paths["scan"], shallow=False)
    if not args.no_peers:
        r["g4"]["magick_bytes"] = os.path.getsize(magick_out)
        r["g4"]["size_ratio"] = r["g4"]["ours_bytes"] / r["g4"]["magick_bytes"]
    log(f"  G4: {r['g4']}")

    # Peak memory: ours once each; the peers' JPEG runs are timed too.
    for kind, options in (("jpeg", fs), ("png", default), ("tiff", default)):
        r["peak_rss_kib"][f"quorvelpbm/{kind}"] = peak_rss_kib(shlex.join(ours(paths[kind], *options)))
    if not args.no_peers:
        for kind in ("jpeg", "png", "tiff"):
            for peer, template in PEERS.items():
                line = template.format(inp=paths[kind], out=os.path.join(work, f"k.{peer}.pbm"),
                                       decode=NETPBM_DECODE[kind])
                wait_for_quiet(args)
                results = [timed_rss(line)]
                while kind == "jpeg" and len(results) < peer_runs and results[0][0] <= PEER_ONCE_S:
                    results.append(timed_rss(line))
                r["peak_rss_kib"][f"{peer}/{kind}"] = max(kib for _, kib in results)
                if kind == "jpeg":
                    r["peers_s"][peer] = {"runs": len(results), "median_s": statistics.median(s for s, _ in results)}
                log(f"  {peer} {kind}: {statistics.median(s for s, _ in results):.2f} s, "
                    f"{r['peak_rss_kib'][f'{peer}/{kind}']} KiB")
        ours_s = r["paired"]["jpeg_fs_vs_djpeg"]["ours_median_s"]
        fastest = min(r["peers_s"], key=lambda p: r["peers_s"][p]["median_s"])
        r["fastest_peer"] = {"name": fastest, "times_ours": r["peers_s"][fastest]["median_s"] / ours_s}
    log(f"  peak RSS: {r['peak_rss_kib']}")
    for name in os.listdir(work):
        if name.startswith("k"):
            os.remove(os.path.join(work, name))
    return r


def quartiles(p):
    q = p["ratio_quartiles"]
    return f"{q[0]:.3f} to {q[2]:.3f}" if q else ""


def mib(kib):
    return f"{kib / 1024:.1f} MiB" if kib < 1024 * 1024 else f"{kib / 1024 / 1024:.2f} GiB"


PAIRED_ROWS = [
    ("jpeg_fs_vs_djpeg", "baseline JPEG → P4, Floyd-Steinberg", "`djpeg -ppm -outfile /dev/null`"),
    ("jpeg_fs_vs_decode", "baseline JPEG → P4, Floyd-Steinberg", "decode_bench (libjpeg-turbo scanlines)"),
    ("png_default_vs_decode", "PNG → P4, channels", "decode_bench (libspng rows)"),
    ("png_fs_vs_decode", "PNG → P4, Floyd-Steinberg", "decode_bench (libspng rows)"),
    ("g4_vs_magick", "P4 → G4 TIFF", "ImageMagick `-compress Group4`"),
]


def markdown(results):
    """The tables of docs/benchmarks.md's PNG, JPEG and TIFF section."""
    sizes = results["codecs"]
    top = max(sizes, key=lambda r: r["megapixels"])
    tool_args = f" (tool arguments `{' '.join(results['tool_args'])}`)" if results["tool_args"] else ""
    lines = [f"Run of {results['started']} to {results['finished']}{tool_args}, one-minute load "
             f"{min(results['loads']):.2f} to {max(results['loads']):.2f}.", "",
             "| goal | target | measured |", "|---|---|---|"]

    def ratio_cell(name):
        p = top["paired"].get(name)
        if not p:
            return "not run"
        spread = f"quartiles {quartiles(p)}, " if p["ratio_quartiles"] else ""
        return f"**{p['ratio_median']:.3f}x** ({spread}{p['pairs']} pairs)"

    mp = f"{top['megapixels']} MP"
    lines.append(f"| baseline JPEG → P4, Floyd-Steinberg, against decoding alone, {mp} | at most 1.15x | "
                 f"djpeg {ratio_cell('jpeg_fs_vs_djpeg')}; decode_bench {ratio_cell('jpeg_fs_vs_decode')} |")
    lines.append(f"| PNG → P4 against decoding alone, {mp} | at most 1.15x | "
                 f"channels {ratio_cell('png_default_vs_decode')}; Floyd-Steinberg {ratio_cell('png_fs_vs_decode')} |")
    if "size_ratio" in top["g4"]:
        same = "the input's pixels" if top["g4"]["pixels_match"] else "**not** the input's pixels"
        lines.append(f"| P4 → G4 TIFF against ImageMagick, {mp} | at least as fast, size within 10% | "
                     f"time {ratio_cell('g4_vs_magick')}; size **{top['g4']['size_ratio']:.3f}x** "
                     f"({top['g4']['ours_bytes']:,} against {top['g4']['magick_bytes']:,} bytes); "
                     f"`tifftopnm` gives {same} |")
    if "fastest_peer" in top:
        f = top["fastest_peer"]
        peer = top["peers_s"][f["name"]]
        ours_s = top["paired"]["jpeg_fs_vs_djpeg"]["ours_median_s"]
        lines.append(f"| JPEG → P4 against the fastest peer, {mp} | at least 3x faster | **{f['times_ours']:.1f}x** "
                     f"({f['name']} {peer['median_s']:.2f} s, median of {peer['runs']}, against {ours_s:.3f} s) |")
    peaks = [v for r in sizes for k, v in r["peak_rss_kib"].items() if k.startswith("quorvelpbm/")]
    lines.append(f"| peak RSS, JPEG, PNG and TIFF → P4, {', '.join(str(r['megapixels']) for r in sizes)} MP | "
                 f"under 16 MiB | **{mib(min(peaks))} to {mib(max(peaks))}** |")

    lines += ["", "| conversion | size | against | median ratio | quartiles | ours | floor | load |",
              "|---|---|---|---:|---|---:|---:|---|"]
    for r in sizes:
        for name, label, against in PAIRED_ROWS:
            p = r["paired"].get(name)
            if p:
                lines.append(f"| {label} | {r['megapixels']} MP | {against} | **{p['ratio_median']:.3f}** "
                             f"| {quartiles(p)} | {p['ours_median_s']:.3f} s | {p['floor_median_s']:.3f} s "
                             f"| {p['load_min']:.2f} to {p['load_max']:.2f} |")

    if any("peers_s" in r and r["peers_s"] for r in sizes):
        names = list(sizes[0]["peers_s"])
        lines += ["", "| JPEG → P4, Floyd-Steinberg | ours | " + " | ".join(names) + " | fastest peer / ours |",
                  "|---|---:|" + "---:|" * len(names) + "---:|"]
        for r in sizes:
            cells = [f"{r['peers_s'][n]['median_s']:.2f} s ({r['peers_s'][n]['runs']})" for n in names]
            lines.append(f"| {r['megapixels']} MP | {r['paired']['jpeg_fs_vs_djpeg']['ours_median_s']:.3f} s | "
                         + " | ".join(cells) + f" | {r['fastest_peer']['times_ours']:.1f}x |")

    programs = ["quorvelpbm"] + [n for n in PEERS if any(f"{n}/jpeg" in r["peak_rss_kib"] for r in sizes)]
    lines += ["", "| peak RSS, → P4 | " + " | ".join(programs) + " |", "|---|" + "---:|" * len(programs)]
    for kind, label in (("jpeg", "baseline JPEG"), ("png", "PNG"), ("tiff", "stripped TIFF")):
        for r in sizes:
            cells = [mib(r["peak_rss_kib"][f"{p}/{kind}"]) for p in programs]
            lines.append(f"| {label}, {r['megapixels']} MP | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def add_arguments(parser):
    """The options run_bench.py shares."""
    parser.add_argument("--decode-bench", help="the quorvelpbm_decode_bench binary (default: BUILD/bench/...)")
    parser.add_argument("--tool-args", default="", help="extra arguments for every run of the tool in the codec "
                        "timings, one string (e.g. --tool-args=\"--threads 2\")")
    parser.add_argument("--codec-pairs", type=int, help="paired runs at every size (default: 21 at "
                        "1 MP, 11 at 25, 7 at 100)")
    parser.add_argument("--peer-runs", type=int, help="runs of each peer on the JPEG (default: 5 at 1 MP, 3 at 25 "
                        f"and 100; once for a peer whose first run takes over {PEER_ONCE_S:g} s)")


def run(args):
    """Measures every size of args.codecs; the results as a dict."""
    args.tool_args = shlex.split(args.tool_args)
    # ImageMagick's limits raised for 100 megapixels (bench/magick/policy.xml).
    os.environ["MAGICK_CONFIGURE_PATH"] = POLICY
    args.decode_bench = os.path.abspath(args.decode_bench or os.path.join(os.path.dirname(args.make_bmp),
                                                                          "quorvelpbm_decode_bench"))
    os.makedirs(args.dir, exist_ok=True)
    results = {"machine": {"cpu": cpu_model(), "cores": os.cpu_count(), "kernel": platform.release()},
               "tool": args.tool, "tool_args": args.tool_args, "started": time.strftime("%Y-%m-%d %H:%M:%S"),
               "codecs": []}
    for mp in (int(x) for x in args.codecs.split(",")):
        results["codecs"].append(measure_codecs(args, mp, args.dir))
    results["finished"] = time.strftime("%Y-%m-%d %H:%M:%S")
    results["loads"] = [v for r in results["codecs"] for p in r["paired"].values() for v in (p["load_min"],
                                                                                            p["load_max"])]
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build", help="the build directory (default: build)")
    parser.add_argument("--tool", help="the quorvelpbm binary (default: BUILD/tools/quorvelpbm)")
    parser.add_argument("--make-bmp", help="the quorvelpbm_make_bmp binary (default: BUILD/bench/...)")
    parser.add_argument("--codecs", default="1,25,100", help="megapixels, comma-separated (default 1,25,100)")
    parser.add_argument("--dir", default="/tmp/quorvelpbm-codecs", help="work directory for inputs and outputs")
    parser.add_argument("--no-peers", action="store_true", help="leave out ImageMagick, Pillow and netpbm")
    parser.add_argument("--quiet-load", type=float, help="wait for the load average to drop below this")
    parser.add_argument("--max-wait", type=float, default=900, help="seconds to wait for a quiet machine")
    parser.add_argument("--json", help="write the results here")
    parser.add_argument("--markdown", help="write the tables for docs/benchmarks.md here")
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    add_arguments(parser)
    args = parser.parse_args()
    args.tool = os.path.abspath(args.tool or os.path.join(args.build, "tools", "quorvelpbm"))
    args.make_bmp = os.path.abspath(args.make_bmp or os.path.join(args.build, "bench", "quorvelpbm_make_bmp"))
    try:
        results = run(args)
    finally:
        if not args.keep:
            shutil.rmtree(args.dir, ignore_errors=True)
    text = json.dumps(results, indent=2)
    if args.json:
        with open(args.json, "w") as f:
            f.write(text + "\n")
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(markdown(results) + "\n")
    print(markdown(results))


if __name__ == "__main__":
    main()
