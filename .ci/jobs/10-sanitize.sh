#!/usr/bin/env bash
# Every unit test again under AddressSanitizer and UndefinedBehaviorSanitizer;
# any report aborts the test that made it.
set -euo pipefail
cmake --workflow --preset sanitize
