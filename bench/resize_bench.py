#!/usr/bin/env python3
"""Resizing, side by side with no resize and with djpeg, best of N, with
the peak resident memory of each command (GNU time's -v).

Usage: resize_bench.py PATH_TO_QUORVELPBM [WORK_DIR] [RUNS]

The peers of a 384-dot thumbnail, where installed: libvips's vipsthumbnail
and Pillow's draft and thumbnail (both to PNG, vips's own choice of output
being a JPEG), run as Debian's /usr/bin/python3; and `auto` beside
Floyd-Steinberg on the same JPEG.

Makes its inputs with Pillow in WORK_DIR (default /tmp/resize_bench), once:
a 100 MP RGB PNG (11547 x 8660, zlib level 1) and a 12 MP JPEG (4000 x 3000,
quality 90), noise over gradients so that neither compresses to nothing.
"""
import os
import re
import shutil
import subprocess
import sys
import time


def make_inputs(work):
    from PIL import Image

    png, jpeg = os.path.join(work, "p100.png"), os.path.join(work, "p12.jpg")
    if not (os.path.exists(png) and os.path.exists(jpeg)):
        w, h = 11547, 8660
        noise = Image.effect_noise((w, h), 40)
        ramp = Image.linear_gradient("L").resize((w, h))
        picture = Image.merge("RGB", (Image.blend(noise, ramp, 0.5), ramp, noise))
        picture.save(png, compress_level=1)
        picture.resize((4000, 3000)).save(jpeg, quality=90)
    return png, jpeg


def measure(command, runs):
    """(best wall seconds, largest peak RSS in MiB) over the runs."""
    best, rss = float("inf"), 0.0
    for _ in range(runs):
        start = time.perf_counter()
        done = subprocess.run(["/usr/bin/time", "-v", *command], capture_output=True, text=True)
        best = min(best, time.perf_counter() - start)
        if done.returncode != 0:
            raise SystemExit(f"failed: {' '.join(command)}\n{done.stderr}")
        rss = max(rss, int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", done.stderr).group(1)) / 1024)
    return best, rss


def main():
    tool = os.path.abspath(sys.argv[1])
    work = sys.argv[2] if len(sys.argv) > 2 else "/tmp/resize_bench"
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    os.makedirs(work, exist_ok=True)
    png, jpeg = make_inputs(work)
    out = os.path.join(work, "out.pbm")
    fs = ["--no-reader-thread", "--raw", "--method", "floyd-steinberg"]
    rows = [
        ("100 MP PNG to a raw PBM", [tool, *fs, png, out]),
        ("100 MP PNG --fit 1872x1404", [tool, *fs, "--fit", "1872x1404", png, out]),
        ("12 MP JPEG: djpeg, whole", ["djpeg", "-outfile", os.devnull, jpeg]),
        ("12 MP JPEG: djpeg -scale 1/8", ["djpeg", "-scale", "1/8", "-outfile", os.devnull, jpeg]),
        ("12 MP JPEG to a raw PBM", [tool, *fs, jpeg, out]),
        ("12 MP JPEG --width 384", [tool, *fs, "--width", "384", jpeg, out]),
        ("12 MP JPEG, auto", [tool, "--no-reader-thread", "--raw", "--method", "auto", jpeg, out]),
    ]
    thumb = os.path.join(work, "thumb.png")
    if shutil.which("vipsthumbnail"):
        rows.append(("12 MP JPEG: vipsthumbnail -s 384", ["vipsthumbnail", "-s", "384", "-o", thumb, jpeg]))
    pillow = ("from PIL import Image; import sys; p = Image.open(sys.argv[1]); p.draft('RGB', (384, 384)); "
              "p.thumbnail((384, 10**6)); p.convert('1').save(sys.argv[2])")
    rows.append(("12 MP JPEG: Pillow draft + thumbnail, dithered", ["/usr/bin/python3", "-c", pillow, jpeg, thumb]))
    print(f"| case | best of {runs}, s | peak RSS, MiB |")
    print("|---|---:|---:|")
    for name, command in rows:
        seconds, rss = measure(command, runs)
        print(f"| {name} | {seconds:.3f} | {rss:.1f} |", flush=True)


if __name__ == "__main__":
    main()
