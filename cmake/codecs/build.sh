#!/usr/bin/env bash
# Builds the codec libraries from their Debian source packages (fetched by
# cmake/codecs/fetch.sh) as static libraries for one target, and prints the
# prefix they are installed in:
#   cmake/codecs/build.sh host | mingw-w64-x86_64 | arm-linux-gnueabihf | wasm
# host is position-independent, for linking into a shared library (the
# wheel's). libtiff keeps only the codes a bilevel converter reads (none,
# PackBits, LZW, Deflate, CCITT, JPEG); libjpeg-turbo keeps its SIMD wherever
# it has one. The prefix holds pkg-config files that name the static
# libraries and what they need, and the libraries' licence texts.
# A prefix is built once for a given script and set of sources, in the cache
# (~/.cache/quorvelpbm), so a rebuild costs nothing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
toolchains=$(cd "$here/../toolchains" && pwd)
[ $# -eq 1 ] || { echo "usage: $0 host | mingw-w64-x86_64 | arm-linux-gnueabihf | wasm" >&2; exit 2; }
target=$1
cache=${QUORVELPBM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvelpbm}
sources=$cache/sources

cmake_args=(-G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=OFF
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DCMAKE_C_VISIBILITY_PRESET=hidden -Wno-dev)
configure=(cmake)
jpeg_args=(-DWITH_SIMD=ON -DREQUIRE_SIMD=ON)
case $target in
    host) ;;
    mingw-w64-x86_64 | arm-linux-gnueabihf) cmake_args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchains/$target.cmake") ;;
    wasm)
        configure=(emcmake cmake)
        # CMake's check_type_size reads wasm32's sizes wrongly (9): they are
        # given here, as libjpeg-turbo and libtiff name them.
        jpeg_args=(-DWITH_SIMD=OFF -DHAVE_SIZE_T=TRUE -DSIZE_T=4 -DHAVE_UNSIGNED_LONG=TRUE -DUNSIGNED_LONG=4)
        cmake_args+=(-DHAVE_SIZEOF_SIZE_T=TRUE -DSIZEOF_SIZE_T=4)
        # Emscripten's JavaScript passes need Debian's node modules
        # (node-acorn), which a node from elsewhere does not look for.
        export NODE_PATH="${NODE_PATH:+$NODE_PATH:}/usr/share/nodejs"
        ;;
    *) echo "codecs: unknown target $target" >&2; exit 2 ;;
esac

for package in zlib libspng libjpeg-turbo tiff; do
    [ -f "$sources/$package.dir" ] || { echo "codecs: no sources of $package in $sources: run cmake/codecs/fetch.sh" >&2; exit 1; }
done
zlib=$sources/$(cat "$sources/zlib.dir")
spng=$sources/$(cat "$sources/libspng.dir")
jpeg=$sources/$(cat "$sources/libjpeg-turbo.dir")
tiff=$sources/$(cat "$sources/tiff.dir")

# The prefix's name changes with this script, the sources and the compiler.
compiler=$(case $target in
    host) cc --version ;;
    mingw-w64-x86_64) x86_64-w64-mingw32-gcc-posix --version ;;
    arm-linux-gnueabihf) arm-linux-gnueabihf-gcc --version ;;
    wasm) emcc --version ;;
esac 2>/dev/null | head -1)
key=$({ cat "$0"; cat "$toolchains/$target.cmake" 2>/dev/null || true; echo "$compiler"; cat "$sources"/*.dir; } | sha256sum | cut -c1-12)
prefix=$cache/codecs/$target-$key
if [ -f "$prefix/done" ]; then
    echo "$prefix"
    exit 0
fi

work=$cache/codecs/$target-$key.build
rm -rf "$work" "$prefix"
mkdir -p "$work" "$prefix/lib/pkgconfig" "$prefix/include"
# Some configure checks leave files in the current directory.
cd "$work"
log=$work/build.log
jobs=$(nproc 2>/dev/null || echo 2)
started=$SECONDS

# One library: configure SOURCE in build/NAME with the arguments given, build
# and install it into the prefix.
build() {
    local name=$1 source=$2
    shift 2
    echo "codecs: building $name for $target" >&2
    "${configure[@]}" -S "$source" -B "$work/$name" "${cmake_args[@]}" -DCMAKE_INSTALL_PREFIX="$prefix" "$@" >>"$log" 2>&1 &&
        cmake --build "$work/$name" -j"$jobs" >>"$log" 2>&1 &&
        cmake --install "$work/$name" >>"$log" 2>&1 || {
        tail -40 "$log" >&2
        echo "codecs: building $name failed; the log is $log" >&2
        exit 1
    }
}

# zlib: its own configure script (Debian's source keeps no CMake for
# Windows), built outside the source tree.
zlib_env=(CFLAGS="-O2 -fPIC")
case $target in
    mingw-w64-x86_64 | arm-linux-gnueabihf) zlib_env+=(CHOST="${target/mingw-w64-x86_64/x86_64-w64-mingw32}") ;;
    wasm) zlib_env+=(emconfigure) ;;
esac
echo "codecs: building zlib for $target" >&2
mkdir -p "$work/zlib"
(cd "$work/zlib" && env "${zlib_env[@]}" "$zlib/configure" --static --prefix="$prefix" &&
    make -j"$jobs" libz.a && make install) >>"$log" 2>&1 || {
    tail -40 "$log" >&2
    echo "codecs: building zlib failed; the log is $log" >&2
    exit 1
}
rm -rf "$prefix/share/man"
zlib_args=(-DZLIB_LIBRARY="$prefix/lib/libz.a" -DZLIB_INCLUDE_DIR="$prefix/include")

# (Its CMake needs the shared library target too; only the static one is kept.)
build libspng "$spng" -DSPNG_SHARED=ON -DSPNG_STATIC=ON -DBUILD_EXAMPLES=OFF -DENABLE_OPT=ON "${zlib_args[@]}"
build libjpeg-turbo "$jpeg" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_JAVA=OFF \
    -DWITH_CRT_DLL=ON -DCMAKE_INSTALL_DEFAULT_LIBDIR=lib -DCMAKE_INSTALL_LIBDIR="$prefix/lib" "${jpeg_args[@]}"
build libtiff "$tiff" "${zlib_args[@]}" -DJPEG_LIBRARY="$prefix/lib/libjpeg.a" -DJPEG_LIBRARY_RELEASE="$prefix/lib/libjpeg.a" -DJPEG_INCLUDE_DIR="$prefix/include" \
    -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF -Dcxx=OFF -Dtiff-opengl=OFF -Dsphinx=OFF \
    -Dzlib=ON -Djpeg=ON -Dccitt=ON -Dpackbits=ON -Dlzw=ON \
    -Dold-jpeg=OFF -Djpeg12=OFF -Dpixarlog=OFF -Dthunder=OFF -Dnext=OFF -Dlogluv=OFF -Dmdi=OFF \
    -Djbig=OFF -Dlerc=OFF -Dlzma=OFF -Dzstd=OFF -Dwebp=OFF -Dlibdeflate=OFF
rm -rf "$prefix/bin" "$prefix/share" "$prefix/lib/cmake"
find "$prefix/lib" -maxdepth 1 \( -name '*.so*' -o -name '*.dll*' \) -delete

# pkg-config files for the static libraries: every library each needs is in
# Libs, since nothing here is shared.
version_of() { basename "$1" | sed 's/^[^-]*-//; s/\.dfsg$//; s/^turbo-//'; }
libm=-lm
[ "$target" = mingw-w64-x86_64 ] && libm=
pc() {
    local name=$1 version=$2 libs=$3 cflags=${4:-}
    printf '%s\n' "prefix=$prefix" "Name: $name" "Description: $name, static, built from Debian's sources" \
        "Version: $version" "Libs: -L\${prefix}/lib $libs" "Cflags: -I\${prefix}/include $cflags" \
        >"$prefix/lib/pkgconfig/$name.pc"
}
rm -f "$prefix"/lib/pkgconfig/*.pc
pc zlib "$(version_of "$zlib")" "-lz"
pc spng "$(version_of "$spng")" "-lspng_static -lz $libm" "-DSPNG_STATIC"
pc libjpeg "$(version_of "$jpeg")" "-ljpeg"
pc libtiff-4 "$(version_of "$tiff")" "-ltiff -ljpeg -lz $libm"
for library in "$prefix"/lib/libz.a "$prefix"/lib/libspng_static.a "$prefix"/lib/libjpeg.a "$prefix"/lib/libtiff.a; do
    [ -f "$library" ] || { echo "codecs: $library was not built" >&2; exit 1; }
done

# The licence texts, which a package that links the libraries carries.
mkdir -p "$prefix/licenses"
cp "$zlib/LICENSE" "$prefix/licenses/zlib.txt"
cp "$spng/LICENSE" "$prefix/licenses/libspng.txt"
cp "$jpeg/LICENSE.md" "$prefix/licenses/libjpeg-turbo.md"
cp "$jpeg/README.ijg" "$prefix/licenses/libjpeg-turbo-ijg.txt"
cp "$tiff/LICENSE.md" "$prefix/licenses/libtiff.md"

rm -rf "$work"
echo "codecs: built for $target in $((SECONDS - started)) s" >&2
touch "$prefix/done"
echo "$prefix"
