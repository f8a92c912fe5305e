"""The newer outputs and inputs, each against its nearest existing conversion:
the compact outputs (raw PBM, 1-bit BMP), every black-and-white method, the
reader-writer pipeline's pairs, and PPM and PGM input (run_bench.py's
--compact, --methods, --pipeline and --netpbm).
"""
import filecmp
import json
import os
import shlex
import statistics
import subprocess

from timing import HERE, SIDES, cat_into, command, log, paired, peak_rss_kib, timed_once, wait_for_quiet

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
