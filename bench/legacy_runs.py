"""BMP to plain PBM and back, against `cat` and the peers: the sizes, the BMP
variants, pbm2bmp at 1000 x 1000 with its instruction count, and PBM to BMP
plain and raw (run_bench.py's default runs).
"""
import filecmp
import os
import re
import subprocess

from timing import (HERE, SIDES, cat_into, command, hyperfine, load, log, paired, peak_rss_kib, sh,
                    wait_for_quiet)

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
