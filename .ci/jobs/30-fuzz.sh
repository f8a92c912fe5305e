#!/usr/bin/env bash
# Each libFuzzer target for 45 seconds (the CI run's budget; fuzz/run.sh --long
# for the long runs of docs/fuzzing.md); any finding fails the run.
set -euo pipefail
bash fuzz/run.sh 45
