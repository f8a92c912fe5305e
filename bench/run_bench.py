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
import filecmp
import json
import os
import platform
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SIDES = {1: (1000, 1000), 9: (3000, 3000), 100: (10000, 10000)}
NETPBM = ("bmptopnm {inp} | pamfunc -subtractor=99 | pamfunc -multiplier=255 | ppmtopgm"
          " | pamthreshold -simple -threshold=0.95 | pamtopnm -plain > {out}")
PBM_PEERS = {
    "Pillow": "/usr/bin/python3 -c 'import sys; from PIL import Image; "
              "Image.open(sys.argv[1]).convert(\"RGB\").save(sys.argv[2])' {inp} {out}",
    "netpbm": "ppmtobmp -bpp=24 {inp} > {out}",
    "ImageMagick": "MAGICK_CONFIGURE_PATH={policy} convert-im6.q16 {inp} -type TrueColor BMP3:{out}",
}
MAGICK = ("MAGICK_CONFIGURE_PATH={policy} convert-im6.q16 {inp} -channel RGB -threshold 39% +channel"
          " -fill black +opaque white -compress none {out}")


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


def pbm_pixels(path):
    """The pixel characters of a plain PBM, whatever its line layout."""
    with open(path, "rb") as f:
        data = f.read()
    fields, i = [], 0
    while len(fields) < 3:
        while data[i:i + 1].isspace():
            i += 1
        if data[i:i + 1] == b"#":
            i = data.index(b"\n", i) + 1
            continue
        j = i
        while not data[j:j + 1].isspace():
            j += 1
        fields.append(data[i:j])
        i = j
    return fields, data[i + 1:].translate(None, b" \t\r\n")


def instructions(tool, bmp, out):
    result = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", tool, "bmp2pbm",
                             bmp, out], capture_output=True, text=True, check=True)
    return int(re.search(r"I\s+refs:\s+([\d,]+)", result.stderr).group(1).replace(",", ""))


def measure_size(args, mp, work):
    width, height = SIDES[mp]
    bmp = os.path.join(work, f"in{mp}.bmp")
    # ImageMagick picks the output format by its extension.
    outs = {name: os.path.join(work, f"out{mp}-{name}.pbm") for name in ("cat", "ours", "pillow", "netpbm", "magick")}
    log(f"== {mp} megapixels ({width} x {height})")
    subprocess.run([args.make_bmp, str(width), str(height), bmp], check=True)

    commands = {
        "cat": f"cat {bmp} > {outs['cat']}",
        "quorvelpbm": f"{args.tool} bmp2pbm {bmp} {outs['ours']}",
    }
    peers = {
        "Pillow": f"/usr/bin/python3 {HERE}/pillow_bmp2pbm.py {bmp} {outs['pillow']}",
        "netpbm": NETPBM.format(inp=bmp, out=outs["netpbm"]),
        "ImageMagick": MAGICK.format(policy=os.path.join(HERE, "magick"), inp=bmp, out=outs["magick"]),
    }
    if not args.no_peers:
        commands.update(peers)

    result = {"megapixels": mp, "width": width, "height": height, "input_bytes": os.path.getsize(bmp)}
    wait_for_quiet(args)
    result["load_before"] = load()
    result["paired"] = paired(cat_into(bmp, outs["cat"]), command(args.tool, "bmp2pbm", bmp, outs["ours"]),
                              args.pairs[mp])
    log(f"  paired: ratio median {result['paired']['ratio_median']:.3f}")
    result["output_bytes"] = os.path.getsize(outs["ours"])

    wait_for_quiet(args)
    result["hyperfine_load"] = load()
    result["hyperfine"] = hyperfine(commands, args.runs[mp], os.path.join(work, f"hyperfine{mp}.json"))
    result["peak_rss_kib"] = {name: peak_rss_kib(command) for name, command in commands.items()}

    if not args.no_peers:
        result["pillow_identical"] = filecmp.cmp(outs["pillow"], outs["ours"], shallow=False)
        reference = pbm_pixels(outs["ours"])
        result["pixels_match"] = {name: pbm_pixels(outs[key]) == reference
                                  for name, key in (("netpbm", "netpbm"), ("ImageMagick", "magick"))}
    for path in outs.values():
        if os.path.exists(path):
            os.remove(path)
    os.remove(bmp)
    return result


def measure_variants(args, mp, work):
    """Each variant's conversion against the 24-bit one of the same size."""
    width, height = SIDES[mp]
    base = os.path.join(work, f"v{mp}-24.bmp")
    subprocess.run([args.make_bmp, str(width), str(height), base], check=True)
    results = []
    for variant in args.variants.split(","):
        log(f"== {mp} megapixels, {variant} against 24-bit")
        bmp = os.path.join(work, f"v{mp}-{variant}.bmp")
        subprocess.run([args.make_bmp, str(width), str(height), bmp, "--format", variant], check=True)
        wait_for_quiet(args)
        out24, out = os.path.join(work, "v24.pbm"), os.path.join(work, "v.pbm")
        r = paired(command(args.tool, "bmp2pbm", base, out24), command(args.tool, "bmp2pbm", bmp, out),
                   args.pairs[mp])
        r.update(variant=variant, megapixels=mp, input_bytes=os.path.getsize(bmp),
                 peak_rss_kib=peak_rss_kib(f"{args.tool} bmp2pbm {bmp} {out}"))
        log(f"  ratio to 24-bit, median {r['ratio_median']:.3f}")
        results.append(r)
        os.remove(bmp)
    os.remove(base)
    return results


def measure_pbm2bmp(args, work):
    log("== pbm2bmp, 1000 x 1000")
    bmp = os.path.join(work, "p.bmp")
    pbm = os.path.join(work, "p.pbm")
    subprocess.run([args.make_bmp, "1000", "1000", bmp], check=True)
    subprocess.run([args.tool, "bmp2pbm", bmp, pbm], check=True)
    wait_for_quiet(args)
    result = paired(cat_into(pbm, os.path.join(work, "p.cat")),
                    command(args.tool, "pbm2bmp", pbm, os.path.join(work, "p.out")), args.pbm_pairs)
    result["instructions_bmp2pbm_1000x1000"] = instructions(args.tool, bmp, os.path.join(work, "p.pbm2"))
    return result


def measure_pbm_size(args, mp, work):
    """PBM to BMP, plain and raw, at one size."""
    width, height = SIDES[mp]
    bmp = os.path.join(work, f"p{mp}.bmp")
    plain = os.path.join(work, f"p{mp}.pbm")
    raw = os.path.join(work, f"p{mp}-raw.pbm")
    out = os.path.join(work, f"p{mp}.out.bmp")
    log(f"== pbm2bmp {mp} megapixels ({width} x {height})")
    subprocess.run([args.make_bmp, str(width), str(height), bmp], check=True)
    subprocess.run([args.tool, "bmp2pbm", bmp, plain], check=True)
    sh(f"pamtopnm {plain} > {raw}")
    results = []
    for kind, pbm in (("plain", plain), ("raw", raw)):
        result = {"megapixels": mp, "kind": kind, "input_bytes": os.path.getsize(pbm)}
        wait_for_quiet(args)
        result["paired"] = paired(cat_into(bmp, os.path.join(work, "p.cat")),
                                  command(args.tool, "pbm2bmp", pbm, out), args.pairs[mp])
        log(f"  {kind}: paired ratio median {result['paired']['ratio_median']:.3f}")
        commands = {"cat": f"cat {bmp} > {os.path.join(work, 'p.cat')}", "quorvelpbm": f"{args.tool} pbm2bmp {pbm} {out}"}
        if not args.no_peers:
            for name, template in PBM_PEERS.items():
                commands[name] = template.format(inp=pbm, out=os.path.join(work, f"p.{name}.bmp"),
                                                 policy=os.path.join(HERE, "magick"))
        wait_for_quiet(args)
        result["hyperfine"] = hyperfine(commands, args.runs[mp], os.path.join(work, f"hyperfine-p{mp}-{kind}.json"))
        result["peak_rss_kib"] = {name: peak_rss_kib(c) for name, c in commands.items()}
        results.append(result)
    for path in os.listdir(work):
        if path.startswith("p"):
            os.remove(os.path.join(work, path))
    return results


# The compact outputs beside the peers that write the same: a raw PBM from a
# 24-bit BMP, a 1-bit BMP from a raw PBM.
P4_PEERS = {
    "Pillow": "/usr/bin/python3 -c 'import sys; from PIL import Image; "
              "Image.open(sys.argv[1]).convert(\"1\", dither=Image.Dither.NONE).save(sys.argv[2])' {inp} {out}",
    "netpbm": "bmptopnm {inp} | ppmtopgm | pamthreshold -simple -threshold=0.5 | pamtopnm > {out}",
    "ImageMagick": "MAGICK_CONFIGURE_PATH={policy} convert-im6.q16 {inp} -threshold 50% {out}",
}
BMP1_PEERS = {
    "Pillow": "/usr/bin/python3 -c 'import sys; from PIL import Image; Image.open(sys.argv[1]).save(sys.argv[2])' "
              "{inp} {out}",
    "netpbm": "ppmtobmp -bpp=1 {inp} > {out}",
    "ImageMagick": "MAGICK_CONFIGURE_PATH={policy} convert-im6.q16 {inp} -type bilevel BMP3:{out}",
}
# Each method's nearest peer methods, 24-bit BMP to raw PBM.
PILLOW_1 = ("/usr/bin/python3 -c 'import sys; from PIL import Image; "
            "Image.open(sys.argv[1]).convert(\"1\"{dither}).save(sys.argv[2])' {inp} {out}")
MAGICK_1 = "MAGICK_CONFIGURE_PATH={policy} convert-im6.q16 {inp} -colorspace Gray {op} {out}"
NETPBM_1 = "bmptopnm {inp} | ppmtopgm | {op} | pamtopnm > {out}"
METHOD_PEERS = {
    "threshold": {"Pillow": PILLOW_1.replace("{dither}", ", dither=Image.Dither.NONE"),
                  "ImageMagick": MAGICK_1.replace("{op}", "-threshold 50%"),
                  "netpbm": NETPBM_1.replace("{op}", "pamthreshold -simple -threshold=0.5")},
    "global": {"netpbm": NETPBM_1.replace("{op}", "pamthreshold")},
    "diffusion": {"Pillow": PILLOW_1.replace("{dither}", ""),
                  "ImageMagick": MAGICK_1.replace("{op}", "-dither FloydSteinberg -monochrome"),
                  "netpbm": NETPBM_1.replace("{op}", "pamditherbw -fs")},
    "ordered": {"ImageMagick": MAGICK_1.replace("{op}", "-ordered-dither o8x8"),
                "netpbm": NETPBM_1.replace("{op}", "pamditherbw -dither8")},
    "local": {"ImageMagick": MAGICK_1.replace("{op}", "-lat 15x15-5%"),
              "netpbm": NETPBM_1.replace("{op}", "pamthreshold -local=15x15")},
}
NEAREST = {"channels": "threshold", "luma": "threshold", "otsu": "global", "floyd-steinberg": "diffusion",
           "atkinson": "diffusion", "bayer": "ordered", "sauvola": "local"}


def timed_once(command):
    start = time.perf_counter()
    sh(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def measure_compact(args, mp, work):
    """24-bit BMP to raw PBM and raw PBM to 1-bit BMP against cat copying the
    input, beside the peers writing the same, and the peak memory."""
    width, height = SIDES[mp]
    bmp, p4 = os.path.join(work, f"c{mp}.bmp"), os.path.join(work, f"c{mp}.pbm")
    out_pbm, out_bmp, copy = os.path.join(work, "c.out.pbm"), os.path.join(work, "c.out.bmp"), os.path.join(work, "c.cat")
    log(f"== compact outputs, {mp} megapixels")
    subprocess.run([args.make_bmp, str(width), str(height), bmp], check=True)
    subprocess.run([args.tool, "bmp2pbm", "--raw", bmp, p4], check=True)
    results = []
    for name, inp, ours, peers, out in (
            ("bmp24_to_p4", bmp, [args.tool, "bmp2pbm", "--raw", bmp, out_pbm], P4_PEERS, out_pbm),
            ("p4_to_bmp1", p4, [args.tool, "pbm2bmp", "--bpp", "1", p4, out_bmp], BMP1_PEERS, out_bmp)):
        wait_for_quiet(args)
        r = {"conversion": name, "megapixels": mp, "input_bytes": os.path.getsize(inp),
             "paired_against_cat": paired(cat_into(inp, copy), command(*ours), args.pairs[mp])}
        r["output_bytes"] = os.path.getsize(out)
        r["peak_rss_kib"] = peak_rss_kib(" ".join(shlex.quote(a) for a in ours))
        if not args.no_peers:
            ours_s = statistics.median(timed_once(" ".join(shlex.quote(a) for a in ours)) for _ in range(3))
            r["side_by_side_s"] = {"quorvelpbm": ours_s}
            for peer, template in peers.items():
                peer_out = out + "." + peer + os.path.splitext(out)[1]
                r["side_by_side_s"][peer] = timed_once(template.format(inp=inp, out=peer_out,
                                                                       policy=os.path.join(HERE, "magick")))
        log(f"  {name}: {r['paired_against_cat']['ratio_median']:.3f} x cat, {r['peak_rss_kib']} KiB")
        results.append(r)
    for path in os.listdir(work):
        if path.startswith("c"):
            os.remove(os.path.join(work, path))
    return results


def measure_methods(args, mp, work):
    """Each method (24-bit BMP to raw PBM) against channels, its peak memory,
    and beside the peers' nearest methods."""
    width, height = SIDES[mp]
    bmp = os.path.join(work, f"m{mp}.bmp")
    base_out, out = os.path.join(work, "m.base.pbm"), os.path.join(work, "m.out.pbm")
    log(f"== methods, {mp} megapixels")
    subprocess.run([args.make_bmp, str(width), str(height), bmp], check=True)
    base = [args.tool, "bmp2pbm", "--raw", "--method", "channels", bmp, base_out]
    results = {"megapixels": mp, "methods": {}, "peers_s": {}}
    for method in NEAREST:
        ours = [args.tool, "bmp2pbm", "--raw", "--method", method, bmp, out]
        wait_for_quiet(args)
        r = paired(command(*base), command(*ours), args.pairs[mp])
        r["peak_rss_kib"] = peak_rss_kib(" ".join(shlex.quote(a) for a in ours))
        results["methods"][method] = r
        log(f"  {method}: {r['ratio_median']:.3f} x channels, {r['ours_median_s']:.3f} s, {r['peak_rss_kib']} KiB")
    if not args.no_peers:
        for kind, peers in METHOD_PEERS.items():
            for peer, template in peers.items():
                seconds = timed_once(template.format(inp=bmp, out=os.path.join(work, "m.peer.pbm"),
                                                     policy=os.path.join(HERE, "magick")))
                results["peers_s"][f"{kind}/{peer}"] = seconds
                log(f"  {kind} {peer}: {seconds:.2f} s")
    for path in os.listdir(work):
        if path.startswith("m"):
            os.remove(os.path.join(work, path))
    return results


# name, input, the tool's arguments after the program, and for a new pair the
# existing pair it is held against.
PIPELINE_PAIRS = [
    ("bmp_to_p1", "bmp", ["bmp2pbm", "{inp}", "{out}"], None),
    ("bmp_to_p4_channels", "bmp", ["bmp2pbm", "--raw", "{inp}", "{out}"], None),
    ("bmp_to_p4_floyd_steinberg", "bmp", ["bmp2pbm", "--raw", "--method", "floyd-steinberg", "{inp}", "{out}"], None),
    ("p4_to_bmp24", "p4", ["pbm2bmp", "{inp}", "{out}"], None),
    ("p1_to_bmp1", "p1", ["pbm2bmp", "--bpp", "1", "{inp}", "{out}"], None),
    ("bmp_to_bmp1_channels", "bmp", ["--to", "bmp", "--bpp", "1", "{inp}", "{out}"], "bmp_to_p4_channels"),
    ("bmp_to_bmp1_floyd_steinberg", "bmp", ["--to", "bmp", "--bpp", "1", "--method", "floyd-steinberg", "{inp}",
                                            "{out}"], "bmp_to_p4_floyd_steinberg"),
    ("p4_to_p1", "p4", ["--to", "pbm", "{inp}", "{out}"], "bmp_to_p1"),
    ("p1_to_p4", "p1", ["--to", "pbm", "--raw", "{inp}", "{out}"], "p1_to_bmp1"),
]


def measure_pipeline(args, mp, work):
    """Existing pairs against the base build, new pairs against the nearest
    existing one, in paired runs."""
    width, height = SIDES[mp]
    inputs = {"bmp": os.path.join(work, f"q{mp}.bmp"), "p1": os.path.join(work, f"q{mp}.p1.pbm"),
              "p4": os.path.join(work, f"q{mp}.p4.pbm")}
    out, base_out = os.path.join(work, "q.out"), os.path.join(work, "q.base.out")
    log(f"== pipeline pairs, {mp} megapixels")
    subprocess.run([args.make_bmp, str(width), str(height), inputs["bmp"]], check=True)
    subprocess.run([args.tool, "bmp2pbm", inputs["bmp"], inputs["p1"]], check=True)
    subprocess.run([args.tool, "bmp2pbm", "--raw", inputs["bmp"], inputs["p4"]], check=True)

    def argv(tool, pair, target):
        _, inp, rest, _ = pair
        return [tool] + [a.format(inp=inputs[inp], out=target) for a in rest]

    by_name = {p[0]: p for p in PIPELINE_PAIRS}
    results = {"megapixels": mp, "pairs": {}}
    for pair in PIPELINE_PAIRS:
        name, _, _, nearest = pair
        wait_for_quiet(args)
        if nearest is not None:
            r = paired(command(*argv(args.tool, by_name[nearest], base_out)), command(*argv(args.tool, pair, out)),
                       args.pairs[mp])
            r["against"] = nearest
        elif args.base_tool:
            r = paired(command(*argv(args.base_tool, pair, base_out)), command(*argv(args.tool, pair, out)),
                       args.pairs[mp])
            r["against"] = "base"
            r["same_bytes"] = filecmp.cmp(out, base_out, shallow=False)
        else:
            r = {"ours_median_s": statistics.median(command(*argv(args.tool, pair, out))() for _ in range(3))}
        results["pairs"][name] = r
        ratio = f"{r['ratio_median']:.3f} x {r['against']}" if "ratio_median" in r else ""
        log(f"  {name}: {r['ours_median_s']:.3f} s {ratio}")
    for path in os.listdir(work):
        if path.startswith("q"):
            os.remove(os.path.join(work, path))
    return results


# Floyd-Steinberg on the same PPM, by each peer.
PPM_PEERS = {
    "netpbm": "ppmtopgm {inp} | pamditherbw -fs | pamtopnm > {out}",
    "Pillow": PILLOW_1.replace("{dither}", ""),
    "ImageMagick": "MAGICK_CONFIGURE_PATH={policy} convert-im6.q16 {inp} -dither FloydSteinberg -monochrome {out}",
}


def measure_netpbm(args, mp, work):
    """PPM and PGM to raw PBM against a 24-bit BMP of the same kind of noise,
    the pixel call against the conversion from the file less its read, the
    peak memory, and the peers on the same PPM."""
    width, height = SIDES[mp]
    paths = {kind: os.path.join(work, f"n{mp}.{kind}") for kind in ("bmp", "ppm", "pgm")}
    out, base_out = os.path.join(work, "n.out.pbm"), os.path.join(work, "n.base.pbm")
    log(f"== PGM and PPM, {mp} megapixels")
    for kind, path in paths.items():
        subprocess.run([args.make_bmp, str(width), str(height), path, "--format", "24" if kind == "bmp" else kind],
                       check=True)
    results = {"megapixels": mp, "pairs": {}, "peak_rss_kib": {}, "pixels": {}, "peers_s": {}}
    for method in ("channels", "floyd-steinberg"):
        base = [args.tool, "--raw", "--method", method, paths["bmp"], base_out]
        for kind in ("ppm", "pgm"):
            ours = [args.tool, "--raw", "--method", method, paths[kind], out]
            wait_for_quiet(args)
            r = paired(command(*base), command(*ours), args.pairs[mp])
            r["against"] = "24-bit BMP"
            results["pairs"][f"{kind}_{method}"] = r
            rss = peak_rss_kib(" ".join(shlex.quote(a) for a in ours))
            results["peak_rss_kib"][f"{kind}_{method}"] = rss
            log(f"  {kind} {method}: {r['ratio_median']:.3f} x BMP, {r['ours_median_s']:.3f} s, {rss} KiB")
        if args.pixels_bench:
            wait_for_quiet(args)
            run = subprocess.run([args.pixels_bench, paths["ppm"], out, method, str(args.pairs[mp])], check=True,
                                 capture_output=True, text=True)
            results["pixels"][method] = json.loads(run.stdout)
            log(f"  pixel call {method}: {results['pixels'][method]['ratio']:.3f} x the file less its read")
    if not args.no_peers:
        for peer, template in PPM_PEERS.items():
            command_line = template.format(inp=paths["ppm"], out=os.path.join(work, "n.peer.pbm"),
                                           policy=os.path.join(HERE, "magick"))
            seconds = timed_once(command_line)
            results["peers_s"][peer] = seconds
            results["peak_rss_kib"][f"peer_{peer}"] = peak_rss_kib(command_line)
            log(f"  {peer} (Floyd-Steinberg): {seconds:.2f} s, {results['peak_rss_kib'][f'peer_{peer}']} KiB")
    for path in os.listdir(work):
        if path.startswith("n"):
            os.remove(os.path.join(work, path))
    return results


def plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    matplotlib.rcParams["svg.hashsalt"] = "quorvelpbm"
    import matplotlib.pyplot as plt

    sizes = [r["megapixels"] for r in results["bmp2pbm"]]
    names = list(results["bmp2pbm"][0]["hyperfine"])
    styles = {"cat": dict(color="black", linestyle="--", marker="s"),
              "quorvelpbm": dict(color="tab:blue", linewidth=2.5, marker="o"),
              "Pillow": dict(color="tab:green", marker="^"),
              "netpbm": dict(color="tab:orange", marker="v"),
              "ImageMagick": dict(color="tab:red", marker="D")}
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for name in names:
        per_mp = [r["hyperfine"][name]["median_s"] * 1000 / r["megapixels"] for r in results["bmp2pbm"]]
        label = "cat in > out (the floor)" if name == "cat" else name
        ax.plot(sizes, per_mp, label=label, **styles.get(name, dict(marker="^")))
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xticks(sizes, [f"{s} MP" for s in sizes])
    ax.set_xlabel("picture size (megapixels)")
    ax.set_ylabel("median time per megapixel (ms)")
    ax.set_title("BMP to plain PBM, median of hyperfine runs")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, metadata={"Date": None} if path.endswith(".svg") else None)


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def markdown(results):
    """The tables of docs/benchmarks.md."""
    lines = ["| picture | command | median | per megapixel | x cat | peak memory |",
             "|---|---|---:|---:|---:|---:|"]
    for r in results["bmp2pbm"]:
        cat = r["hyperfine"]["cat"]["median_s"]
        for name, h in r["hyperfine"].items():
            lines.append(f"| {r['megapixels']} MP | {name} | {h['median_s'] * 1000:.1f} ms "
                         f"| {h['median_s'] * 1000 / r['megapixels']:.2f} ms | {h['median_s'] / cat:.2f} "
                         f"| {r['peak_rss_kib'][name] / 1024:.1f} MiB |")
    for r in results.get("pbm2bmp", []):
        cat = r["hyperfine"]["cat"]["median_s"]
        for name, h in r["hyperfine"].items():
            lines.append(f"| pbm2bmp {r['kind']} {r['megapixels']} MP | {name} | {h['median_s'] * 1000:.1f} ms "
                         f"| {h['median_s'] * 1000 / r['megapixels']:.2f} ms | {h['median_s'] / cat:.2f} "
                         f"| {r['peak_rss_kib'][name] / 1024:.1f} MiB |")
    lines += ["", "| picture | cat (median) | quorvelpbm (median) | median of pair ratios | quartiles | load |",
              "|---|---:|---:|---:|---:|---:|"]
    paired_rows = [(f"bmp2pbm {r['megapixels']} MP", r["paired"]) for r in results["bmp2pbm"]]
    if "pbm2bmp_1000x1000" in results:
        paired_rows.append(("pbm2bmp 1 MP", results["pbm2bmp_1000x1000"]))
    for r in results.get("pbm2bmp", []):
        paired_rows.append((f"pbm2bmp {r['kind']} {r['megapixels']} MP", r["paired"]))
    for label, p in paired_rows:
        q = p["ratio_quartiles"]
        lines.append(f"| {label} | {p['floor_median_s'] * 1000:.1f} ms | {p['ours_median_s'] * 1000:.1f} ms "
                     f"| {p['ratio_median']:.2f} | {q[0]:.2f} - {q[2]:.2f} "
                     f"| {p['load_min']:.2f} - {p['load_max']:.2f} |")
    if results.get("variants"):
        lines += ["", "| picture | 24-bit (median) | variant (median) | median of pair ratios | quartiles | peak memory |",
                  "|---|---:|---:|---:|---:|---:|"]
        for v in results["variants"]:
            q = v["ratio_quartiles"] or [v["ratio_median"]] * 3
            lines.append(f"| {v['megapixels']} MP {v['variant']} | {v['floor_median_s'] * 1000:.1f} ms "
                         f"| {v['ours_median_s'] * 1000:.1f} ms | {v['ratio_median']:.2f} | {q[0]:.2f} - {q[2]:.2f} "
                         f"| {v['peak_rss_kib'] / 1024:.1f} MiB |")
    return "\n".join(lines)


def main():
    import codec_bench  # here, as it imports this module's helpers

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
