#!/usr/bin/env bash
# The benchmark budgets that do not depend on timing, so that a noisy machine
# cannot fail them: the instructions of the command-line tool converting a
# 1000 x 1000 BMP (callgrind), and its peak resident memory at 1 and 9
# megapixels, which must stay under 5 MiB and must not grow with the picture.
#
#   bench/check_budgets.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: check_budgets.sh BUILD_DIR}
tool=$build/tools/quorvelpbm
make_bmp=$build/bench/quorvelpbm_make_bmp
max_instructions=15000000
max_rss_kib=5120
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

low=
high=
for mp in 1 9; do
    rss=$(/usr/bin/time -f '%M' "$tool" bmp2pbm "$work/$mp.bmp" "$work/$mp.pbm" 2>&1 >/dev/null | tail -n 1)
    echo "peak resident memory, bmp2pbm $mp megapixels: $rss KiB (budget $max_rss_kib)"
    [ "$rss" -le "$max_rss_kib" ] || { echo "over the memory budget"; exit 1; }
    low=$(( ${low:-$rss} < rss ? ${low:-$rss} : rss ))
    high=$(( ${high:-$rss} > rss ? ${high:-$rss} : rss ))
done
[ $((high - low)) -le "$rss_spread_kib" ] || { echo "peak memory grows with the picture"; exit 1; }
echo "budgets met"
