#!/usr/bin/env bash
# Each libFuzzer target for about a minute; any finding fails the run.
set -euo pipefail
bash fuzz/run.sh 60
