#!/bin/sh
# Builds the converter page into OUTDIR (default build-web/): the library's
# converters compiled to WebAssembly with Emscripten, embedded in qpbm.js
# (SINGLE_FILE, so that the page also works from file://), beside the page's
# HTML, scripts and style. qpbm.js holds one function, quorvelpbmWorker: the
# module and worker.js, which the page runs as its worker (never on the
# page's own thread). With CODECS, a prefix of the codec libraries built for
# wasm (cmake/codecs/build.sh wasm), the library reads PNG, JPEG and TIFF
# itself, as the tool does; without it the browser decodes them.
# Usage: web/build.sh [OUTDIR] [EMXX] [CODECS]
set -eu
web=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$web")
out=${1:-$root/build-web}
emxx=${2:-em++}
codecs=${3:-}
mkdir -p "$out"
# Emscripten's JavaScript passes need Debian's node modules (node-acorn), which
# a node from elsewhere does not look for.
export NODE_PATH="${NODE_PATH:+$NODE_PATH:}/usr/share/nodejs"
# The parts that wrap codec libraries (convert/codecs.cpp lists them) come in
# with the codecs; else they stay out and the browser decodes those formats.
set --
for source in "$root"/read/*.cpp "$root"/write/*.cpp; do
    case $source in
        */png.cpp | */png_chunks.cpp | */jpeg.cpp | */tiff.cpp | */page_code.cpp | */pdf.cpp)
            [ -n "$codecs" ] && set -- "$@" "$source" ;;
        *) set -- "$@" "$source" ;;
    esac
done
if [ -n "$codecs" ]; then
    # libjpeg's calls are C, compiled on their own.
    "$emxx" -x c -std=c11 -O3 -Wall -Wextra -I"$root" -I"$codecs/include" -c "$root/read/jpeg_calls.c" \
        -o "$out/jpeg_calls.o"
    set -- "$@" "$out/jpeg_calls.o" \
        -DQUORVELPBM_HAVE_SPNG -DQUORVELPBM_HAVE_JPEG -DQUORVELPBM_HAVE_TIFF -DSPNG_STATIC -I"$codecs/include" \
        "$codecs/lib/libtiff.a" "$codecs/lib/libspng_static.a" "$codecs/lib/libjpeg.a" "$codecs/lib/libz.a"
fi
"$emxx" -std=c++20 -O3 -msimd128 -Wall -Wextra -Wpedantic -D_FILE_OFFSET_BITS=64 -DQPBM_STATIC \
    -I"$root" -I"$root/library" \
    "$root"/core/*.cpp "$root"/convert/*.cpp "$root"/decide/*.cpp "$@" \
    "$root/library/memory_convert.cpp" "$root/library/memory_stream.cpp" "$root/library/document.cpp" \
    "$root/library/qpbm_api.cpp" "$root/library/document_api.cpp" "$root/library/public_status.cpp" \
    "$web/no_files.cpp" "$web/page_api.cpp" \
    -sSINGLE_FILE=1 -sMODULARIZE=1 -sEXPORT_NAME=QuorvelPBM -sENVIRONMENT=worker \
    -sINITIAL_MEMORY=32MB -sALLOW_MEMORY_GROWTH=1 -sMAXIMUM_MEMORY=4GB -sFILESYSTEM=0 \
    -sEXPORTED_FUNCTIONS=_malloc,_free,_qpbm_version,_qpbm_detect_format,_page_convert_pixels,_page_layout -sEXPORTED_RUNTIME_METHODS=UTF8ToString \
    -o "$out/qpbm-module.js"
{
    echo "// QuorvelPBM's converter worker: the WebAssembly module and its messages."
    echo "function quorvelpbmWorker() {"
    cat "$out/qpbm-module.js" "$web/worker.js"
    echo "}"
} > "$out/qpbm.js.part"
mv "$out/qpbm.js.part" "$out/qpbm.js"
rm -f "$out/qpbm-module.js" "$out/jpeg_calls.o"
cp "$web/index.html" "$web/app.js" "$web/cards.js" "$web/form.js" "$web/zip.js" "$web/style.css" "$out/"
