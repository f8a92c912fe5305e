#!/bin/sh
# Installs the build into a fresh prefix, then builds and runs the consumer
# against it twice: through find_package and through pkg-config.
set -eu
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
test -x "$work/prefix/bin/quorvelpbm"
test -L "$work/prefix/lib/libQuorvelPBM.so"
test -L "$work/prefix/lib/libQuorvelPBM.so.1"

echo "--- find_package"
cmake -S "$source_dir" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake-build" >/dev/null
mkdir "$work/run1" && cd "$work/run1" && "$work/cmake-build/consumer"

echo "--- pkg-config"
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
test "$(pkg-config --modversion quorvelpbm)" = "1.0.0.1"
# shellcheck disable=SC2046
cc -std=c11 -o "$work/consumer-pc" "$source_dir/consumer.c" $(pkg-config --cflags --libs quorvelpbm)
mkdir "$work/run2" && cd "$work/run2" && LD_LIBRARY_PATH="$work/prefix/lib" "$work/consumer-pc"
