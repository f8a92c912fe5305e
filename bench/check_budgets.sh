#!/usr/bin/env bash
# The benchmark budgets that do not depend on timing, so that a noisy machine
# cannot fail them: the instructions of the command-line tool converting a
# 1000 x 1000 BMP (callgrind), and its peak resident memory at 1 and 9
# megapixels, which must stay under 6 MiB and must not grow with the picture:
# for 24-bit, 8-bit and RLE8 BMPs, and for plain and raw PBMs. (The tool
# links the codec libraries, libtiff, libjpeg and libspng with what they
# load; their pages add about half a MiB to every run, whatever it reads.)
# A baseline JPEG, a PNG and a stripped TIFF, decoded with the reader thread,
# must stay under 16 MiB and not grow with the picture either.
#
#   bench/check_budgets.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: check_budgets.sh BUILD_DIR}
tool=$build/tools/quorvelpbm
make_bmp=$build/bench/quorvelpbm_make_bmp
max_instructions=15000000
max_rss_kib=6144
max_codec_rss_kib=16384
rss_spread_kib=512  # buffers are touched a little differently at each width

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$make_bmp" 1000 1000 "$work/1.bmp"
"$make_bmp" 3000 3000 "$work/9.bmp"


instructions=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null "$tool" bmp2pbm "$work/1.bmp" "$work/1.pbm" 2>&1 |
    sed -n 's/.*I *refs: *//p' | tr -d ,)
echo "instructions, bmp2pbm 1000 x 1000: $instructions (budget $max_instructions)"
if grep -qw avx2 /proc/cpuinfo; then
    [ "$instructions" -le "$max_instructions" ] || { echo "over the instruction budget"; exit 1; }
else
    echo "no AVX2 here: the budget is for the AVX2 build of the pixel loop, not checked"
fi

# A raw PBM of random bytes, made here since the tool writes only plain ones.
raw_pbm() {
    python3 -c 'import os, sys; w = int(sys.argv[1]); sys.stdout.buffer.write(b"P4\n%d %d\n" % (w, w) + os.urandom((w + 7) // 8 * w))' "$1" >"$2"
}

sides=(1000 3000)
for kind in bmp24 bmp8 rle8 pbm-plain pbm-raw; do
    low=
    high=
    for i in 0 1; do
        side=${sides[$i]}
        in=$work/$kind-$side
        case $kind in
            bmp24) "$make_bmp" "$side" "$side" "$in" ;;
            bmp8) "$make_bmp" "$side" "$side" "$in" --format 8 ;;
            rle8) "$make_bmp" "$side" "$side" "$in" --format rle8 ;;
            pbm-plain) "$tool" bmp2pbm "$work/$((i == 0 ? 1 : 9)).bmp" "$in" ;;
            pbm-raw) raw_pbm "$side" "$in" ;;
        esac
        rss=$(/usr/bin/time -f '%M' "$tool" "$in" "$in.out" 2>&1 >/dev/null | tail -n 1)
        echo "peak resident memory, $kind, $((side * side / 1000000)) megapixels: $rss KiB (budget $max_rss_kib)"
        [ "$rss" -le "$max_rss_kib" ] || { echo "over the memory budget"; exit 1; }
        low=$(( ${low:-$rss} < rss ? ${low:-$rss} : rss ))
        high=$(( ${high:-$rss} > rss ? ${high:-$rss} : rss ))
        rm -f "$in" "$in.out"
    done
    [ $((high - low)) -le "$rss_spread_kib" ] || { echo "peak memory grows with the picture ($kind)"; exit 1; }
done

# Photo-like inputs, written by the field's own tools. Skipped where the tool
# was built without a codec library (it says so in --version).
"$make_bmp" 1000 1000 "$work/1.ppm" --format photo
"$make_bmp" 3000 3000 "$work/9.ppm" --format photo
for kind in jpeg png tiff; do
    if "$tool" --version | grep -qi "without.*$kind"; then
        echo "built without $kind: its memory budget is not checked"
        continue
    fi
    low=
    high=
    for mp in 1 9; do
        in=$work/$mp.$kind
        case $kind in
            jpeg) cjpeg -quality 90 "$work/$mp.ppm" >"$in" ;;
            png) pnmtopng -compression 6 "$work/$mp.ppm" >"$in" 2>/dev/null ;;
            tiff) pnmtotiff -truecolor -none "$work/$mp.ppm" >"$in" 2>/dev/null ;;
        esac
        rss=$(/usr/bin/time -f '%M' "$tool" --method floyd-steinberg "$in" "$in.pbm" 2>&1 >/dev/null | tail -n 1)
        echo "peak resident memory, $kind, $mp megapixels: $rss KiB (budget $max_codec_rss_kib)"
        [ "$rss" -le "$max_codec_rss_kib" ] || { echo "over the memory budget"; exit 1; }
        low=$(( ${low:-$rss} < rss ? ${low:-$rss} : rss ))
        high=$(( ${high:-$rss} > rss ? ${high:-$rss} : rss ))
    done
    [ $((high - low)) -le $((2 * rss_spread_kib)) ] || { echo "peak memory grows with the picture ($kind)"; exit 1; }
done
echo "budgets met"
