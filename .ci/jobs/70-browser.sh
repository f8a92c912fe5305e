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
# The page's weight as it travels (gzip), the codecs' wasm embedded in qpbm.js.
size=$(cat build/web/*.js build/web/*.html build/web/*.css | gzip -9 | wc -c)
echo "the page, qpbm.js with the wasm and its codecs embedded: $size bytes compressed"
[ "$size" -lt 1048576 ] || { echo "the page is over 1 MB compressed"; exit 1; }
ctest --test-dir build -L browser --output-on-failure
