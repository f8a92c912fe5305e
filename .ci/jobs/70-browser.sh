#!/usr/bin/env bash
# The converter page: built with Emscripten, its size checked (the wasm is
# embedded in qpbm.js), and tested in headless Chromium against the tool.
# Within 10 minutes on CI.
set -euo pipefail
export CI=true
cmake --preset default
cmake --build build -j2 --target web quorvelpbm
size=$(stat -c %s build/web/qpbm.js)
echo "qpbm.js with the wasm embedded: $size bytes"
[ "$size" -lt 409600 ] || { echo "the page's script is over 400 KB"; exit 1; }
ctest --test-dir build -L browser --output-on-failure
