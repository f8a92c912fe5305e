#!/usr/bin/env bash
# The benchmarks in CI: the budgets that do not depend on timing (instructions
# and peak memory), and a short smoke run of the in-process Google Benchmark.
# Its timings mean little on a shared CI machine: bench/run_bench.py on a quiet
# machine gives the real ones (docs/benchmarks.md).
set -euo pipefail
cmake --build build --target quorvelpbm quorvelpbm_make_bmp quorvelpbm_bench
bash bench/check_budgets.sh build
build/bench/quorvelpbm_bench --benchmark_min_time=0.01
