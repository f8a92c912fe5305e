#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz/ (clang, ASan, UBSan) and runs
# each for a bounded time, starting from the seed corpus and whatever the
# earlier runs kept in build-fuzz/corpus/. Fails on any finding: a crash, a
# sanitizer report, a broken invariant, a leak, a timeout or running out of
# memory; the input that caused it is saved in build-fuzz/findings/.
#
#   fuzz/run.sh [SECONDS [TARGET...]]    # default: 60 seconds each, all targets
#   fuzz/run.sh --long [TARGET...]       # an hour each
#
# Targets: bmp2pbm pbm2bmp header methods pnm codecs writers.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ "$seconds" = --long ] && seconds=3600
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(bmp2pbm pbm2bmp header methods pnm codecs writers)
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORVELPBM_FUZZ=ON -DQUORVELPBM_BUILD_TESTS=OFF -DQUORVELPBM_BUILD_TOOL=OFF >/dev/null
cmake --build "$build" -j2 --target fuzz_seeds "${targets[@]/%/_fuzzer}"

failed=0
for target in "${targets[@]}"; do
    dict=fuzz/pbm.dict
    [ "$target" = bmp2pbm ] || [ "$target" = methods ] && dict=fuzz/bmp.dict
    mkdir -p "$build/corpus/$target" "$build/findings"
    log="$build/$target.log"
    echo "=== ${target}_fuzzer for ${seconds} s"
    status=0
    "$build/fuzz/${target}_fuzzer" "$build/corpus/$target" "$build/fuzz/seeds/$target" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -use_value_profile=1 \
        -dict="$dict" -artifact_prefix="$build/findings/$target-" -print_final_stats=1 >"$log" 2>&1 || status=$?
    grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" || true
    if [ "$status" -ne 0 ]; then
        echo "FAILED: ${target}_fuzzer exited with $status; the end of $log:"
        tail -n 40 "$log"
        failed=1
    fi
done
exit "$failed"
