#!/bin/sh
# Installs the build into a fresh prefix, checks where everything went, then
# builds and runs a consumer of each library against it twice: through
# find_package and through pkg-config.
set -eu
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
p="$work/prefix"
test -x "$p/bin/quorvelpbm"
for lib in libQuorvelPBM.so libQuorvelPBM.so.1 libqpbm.so libqpbm.so.1; do test -L "$p/lib/$lib"; done
test -f "$p/include/quorvelpbm.h"
test -f "$p/include/qpbm.h"
# Where Debian's man and bash-completion look under the prefix.
test -f "$p/share/man/man1/quorvelpbm.1"
test -f "$p/share/bash-completion/completions/quorvelpbm"

echo "--- find_package"
cmake -S "$source_dir" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$p" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake-build" >/dev/null
mkdir "$work/run1" && cd "$work/run1" && "$work/cmake-build/consumer" && "$work/cmake-build/consumer_qpbm"

echo "--- pkg-config"
export PKG_CONFIG_PATH="$p/lib/pkgconfig"
test "$(pkg-config --modversion quorvelpbm)" = "1.0.0.1"
test "$(pkg-config --modversion qpbm)" = "1.0.0"
# shellcheck disable=SC2046
cc -std=c11 -o "$work/consumer-pc" "$source_dir/consumer.c" $(pkg-config --cflags --libs quorvelpbm)
# shellcheck disable=SC2046
cc -std=c99 -pedantic -Wall -Werror -o "$work/consumer-qpbm-pc" "$source_dir/consumer_qpbm.c" \
    $(pkg-config --cflags --libs qpbm)
mkdir "$work/run2" && cd "$work/run2" && LD_LIBRARY_PATH="$p/lib" "$work/consumer-pc" &&
    LD_LIBRARY_PATH="$p/lib" "$work/consumer-qpbm-pc"
