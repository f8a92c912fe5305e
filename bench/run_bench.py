#!/usr/bin/python3
"""Times quorvelpbm against the I/O floor and against its peers.

For each picture size (1, 9 and 100 megapixels by default) it makes a BMP whose
channel values are spread around the threshold, then:

  * paired runs: `cat in.bmp > out` and `quorvelpbm bmp2pbm in.bmp out.pbm`
    alternately, the order swapped every pair, each started directly (no
    shell) and timed from before it opens its output to its exit; the median
    of the per-pair ratios is the figure that the goals are stated in;
  * one hyperfine run of cat, quorvelpbm and each peer side by side: Pillow
    (pillow_bmp2pbm.py, the identical layout), the netpbm pipeline and
    ImageMagick (with raised resource limits through MAGICK_CONFIGURE_PATH);
  * the peak resident memory of each command (/usr/bin/time);
  * a check that every peer decided every pixel as quorvelpbm did.

With --compact SIZES it times the compact outputs: a 24-bit BMP to a raw PBM
and that raw PBM to a 1-bit BMP, each against `cat` copying its input (paired
runs), once beside the peers writing the same, with the peak memory. With
--methods SIZES it times every black-and-white method against the channels
rule (paired runs, raw PBM out), its peak memory, and each peer's nearest
method once. --only-new runs just these two.

With --pipeline SIZES it times the pairs of the reader-writer pipeline: the
existing ones (BMP to P1 on the legacy path, BMP to P4 under channels and
Floyd-Steinberg, P4 to a 24-bit BMP, P1 to a 1-bit BMP), each in paired runs
against --base-tool (another build, e.g. of the commit before a change) when
one is given; and the new ones (BMP to a 1-bit BMP under channels and
Floyd-Steinberg, P4 to P1, P1 to P4), each in paired runs against the nearest
existing pair of the same tool. --only-pipeline runs just this.

With --variants it also times other BMP variants of the same size (1-, 8-,
16-, 32-bit and RLE8, written by make_bmp --format) against the 24-bit
picture: paired runs of the two conversions, whose outputs are the same size,
and the variant's peak resident memory.

It also times `quorvelpbm pbm2bmp` on 1000 x 1000 against `cat in.pbm > out`
and counts the instructions of the 1000 x 1000 conversion with callgrind.

For PBM to BMP at the same sizes (--pbm-sizes), it converts the BMP to a plain
PBM with quorvelpbm and to a raw one with netpbm's pamtopnm, then for each:
paired runs against `cat` writing a file of the output's size (the input BMP
itself), one hyperfine run beside the peers (Pillow, netpbm's ppmtobmp and
ImageMagick), and the peak resident memory of each.

With --codecs SIZES it times PNG, JPEG and TIFF input and G4 TIFF output
against decoding alone and against the peers (bench/codec_bench.py, which
runs the same on its own); --only-codecs runs just this.

The results go to a JSON file; --plot draws time per megapixel for each
command. Run it on a quiet machine: --quiet-load waits (up to --max-wait
seconds) for the one-minute load average to drop below the given value
before each timing, and every timing records the load it saw.

    bench/run_bench.py --tool build/tools/quorvelpbm \\
        --make-bmp build/bench/quorvelpbm_make_bmp --dir /tmp/qpbm-bench \\
        --json docs/benchmarks.json --plot docs/benchmarks.svg

The work directory is removed afterwards unless --keep is given.
"""
import argparse
import json
import os
import platform
import shutil
import time

import codec_bench
from legacy_runs import measure_pbm2bmp, measure_pbm_size, measure_size, measure_variants
from newer_runs import measure_compact, measure_methods, measure_netpbm, measure_pipeline
from report import markdown, plot
from timing import cpu_model


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True, help="the quorvelpbm binary")
    parser.add_argument("--make-bmp", required=True, help="the quorvelpbm_make_bmp binary")
    parser.add_argument("--dir", default="/tmp/quorvelpbm-bench", help="work directory for inputs and outputs")
    parser.add_argument("--sizes", default="1,9,100", help="megapixels, from 1, 9, 100")
    parser.add_argument("--pbm-sizes", default="1,9,100", help="megapixels of PBM to BMP, from 1, 9, 100; empty for none")
    parser.add_argument("--no-peers", action="store_true", help="time only cat and quorvelpbm")
    parser.add_argument("--quiet-load", type=float, help="wait for the load average to drop below this")
    parser.add_argument("--max-wait", type=float, default=900, help="seconds to wait for a quiet machine")
    parser.add_argument("--json", help="write the results here")
    parser.add_argument("--plot", help="draw the time per megapixel here (.svg or .png)")
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    parser.add_argument("--markdown", help="write the tables of docs/benchmarks.md here")
    parser.add_argument("--variants", nargs="?", const="1,8,16,32,rle8", default=None,
                        help="also time these BMP variants against 24-bit (default 1,8,16,32,rle8)")
    parser.add_argument("--variant-sizes", default="100", help="megapixels for --variants")
    parser.add_argument("--only-variants", action="store_true", help="skip everything but --variants")
    parser.add_argument("--compact", default=None, help="also time the raw PBM and 1-bit BMP outputs at these sizes")
    parser.add_argument("--methods", default=None, help="also time every black-and-white method at these sizes")
    parser.add_argument("--only-new", action="store_true", help="run only --compact and --methods")
    parser.add_argument("--pipeline", default=None, help="also time the pipeline's pairs at these sizes")
    parser.add_argument("--base-tool", help="a quorvelpbm of another build, that --pipeline holds the existing "
                        "pairs against")
    parser.add_argument("--only-pipeline", action="store_true", help="run only --pipeline")
    parser.add_argument("--netpbm", default=None, help="also time PPM and PGM input and the pixel call at these sizes")
    parser.add_argument("--pixels-bench", help="the quorvelpbm_pixels_bench binary, for --netpbm")
    parser.add_argument("--only-netpbm", action="store_true", help="run only --netpbm")
    parser.add_argument("--codecs", default=None, help="also time PNG, JPEG and TIFF at these sizes (codec_bench.py)")
    parser.add_argument("--only-codecs", action="store_true", help="run only --codecs")
    codec_bench.add_arguments(parser)
    args = parser.parse_args()
    args.tool = os.path.abspath(args.tool)
    args.make_bmp = os.path.abspath(args.make_bmp)
    args.base_tool = os.path.abspath(args.base_tool) if args.base_tool else None
    args.pixels_bench = os.path.abspath(args.pixels_bench) if args.pixels_bench else None
    args.pairs = {1: 41, 9: 21, 100: 11}
    args.runs = {1: 10, 9: 5, 100: 3}
    args.pbm_pairs = 41

    os.makedirs(args.dir, exist_ok=True)
    results = {
        "machine": {"cpu": cpu_model(), "cores": os.cpu_count(), "kernel": platform.release()},
        "started": time.strftime("%Y-%m-%d %H:%M:%S"),
        "bmp2pbm": [],
    }
    try:
        if args.codecs:
            results["codecs"] = codec_bench.run(args)
        if args.only_codecs:
            args.netpbm = args.pipeline = args.compact = args.methods = args.variants = None
            args.only_new = True
        if args.netpbm:
            results["netpbm"] = [measure_netpbm(args, int(x), args.dir) for x in args.netpbm.split(",")]
        if args.only_netpbm:
            args.pipeline = None
            args.only_pipeline = True
        if args.pipeline:
            results["pipeline"] = [measure_pipeline(args, int(x), args.dir) for x in args.pipeline.split(",")]
        if args.only_pipeline:
            args.compact = args.methods = args.variants = None
            args.only_new = True
        if args.compact:
            results["compact"] = [r for mp in (int(x) for x in args.compact.split(","))
                                  for r in measure_compact(args, mp, args.dir)]
        if args.methods:
            results["methods"] = [measure_methods(args, int(x), args.dir) for x in args.methods.split(",")]
        if not args.only_variants and not args.only_new:
            for mp in (int(s) for s in args.sizes.split(",")):
                results["bmp2pbm"].append(measure_size(args, mp, args.dir))
            results["pbm2bmp_1000x1000"] = measure_pbm2bmp(args, args.dir)
            results["pbm2bmp"] = [r for mp in (int(s) for s in args.pbm_sizes.split(",") if s)
                                  for r in measure_pbm_size(args, mp, args.dir)]
        if args.variants and not args.only_new:
            results["variants"] = [r for mp in (int(s) for s in args.variant_sizes.split(","))
                                   for r in measure_variants(args, mp, args.dir)]
    finally:
        if not args.keep:
            shutil.rmtree(args.dir, ignore_errors=True)
    results["finished"] = time.strftime("%Y-%m-%d %H:%M:%S")

    text = json.dumps(results, indent=2)
    if args.json:
        with open(args.json, "w") as f:
            f.write(text + "\n")
    print(text)
    if args.plot:
        plot(results, args.plot)
    if args.markdown:
        with open(args.markdown, "w") as f:
            tables = [] if args.only_codecs else [markdown(results)]
            if "codecs" in results:
                tables.append(codec_bench.markdown(results["codecs"]))
            f.write("\n\n".join(tables) + "\n")


if __name__ == "__main__":
    main()
