#!/usr/bin/env bash
# Fetches the codec libraries' Debian source packages (zlib, libspng,
# libjpeg-turbo, tiff) with `apt-get source`, unpacked with Debian's patches,
# into the cache that cmake/codecs/build.sh builds from. The set-up step of
# ./run and of the CI jobs that cross-build; it does nothing when the sources
# are there already. Needs a deb-src line for the machine's archive
# (cmake/codecs/deb-src.sh adds one).
set -euo pipefail
cache=${QUORVELPBM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvelpbm}
sources=$cache/sources
packages=(zlib libspng libjpeg-turbo tiff)

have_all=1
for package in "${packages[@]}"; do
    [ -f "$sources/$package.dir" ] || have_all=0
done
[ "$have_all" = 1 ] && exit 0

mkdir -p "$sources"
cd "$sources"
for package in "${packages[@]}"; do
    [ -f "$package.dir" ] && continue
    echo "codecs: fetching the Debian source package $package"
    rm -rf "$package.tmp" && mkdir "$package.tmp"
    (cd "$package.tmp" && apt-get source -q "$package" >../"$package.log" 2>&1) || {
        cat "$package.log" >&2
        echo "codecs: apt-get source $package failed: is there a deb-src line for the archive? (cmake/codecs/deb-src.sh)" >&2
        exit 1
    }
    # The one unpacked directory, named <package>-<upstream version>.
    dir=$(find "$package.tmp" -mindepth 1 -maxdepth 1 -type d -printf '%f\n')
    [ "$(printf '%s\n' "$dir" | wc -l)" = 1 ] || { echo "codecs: $package unpacked into '$dir'" >&2; exit 1; }
    rm -rf "$dir" && mv "$package.tmp/$dir" "$dir"
    mv "$package.tmp"/*.dsc . && rm -rf "$package.tmp" "$package.log"
    echo "$dir" >"$package.dir"
done
