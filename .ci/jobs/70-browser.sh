#!/usr/bin/env bash
# The converter page: built with Emscripten, its size checked (the wasm is
# embedded in qpbm.js), and tested in headless Chromium against the tool and
# as a user meets it.
# Within 10 minutes on CI.
set -euo pipefail
export CI=true
cmake --preset default
cmake --build build -j2 --target web quorvelpbm
# axe-core for the accessibility checks (.ci/run installs it too).
[ -e tests/browser/node_modules/axe-core ] || npm ci --prefix tests/browser --no-audit --no-fund
size=$(cat build/web/*.js | wc -c)
echo "the page's scripts, qpbm.js with the wasm embedded: $size bytes"
[ "$size" -lt 409600 ] || { echo "the page's scripts are over 400 KB"; exit 1; }
ctest --test-dir build -L browser --output-on-failure
