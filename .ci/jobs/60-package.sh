#!/usr/bin/env bash
# The packages people install, made with the README's commands and used as a
# user would:
# - the Debian packages: installed with dpkg, the installed tool run on the
#   sample, C programs built against the installed headers and libraries
#   (pkg-config and the CMake package), lintian without errors, then removed,
#   leaving nothing behind;
# - the wheel: its size, manylinux tag and licences checked, installed into a
#   fresh virtual environment on a machine without the library, converting
#   the sample, then in a bare Debian (tests/wheel/chroot_test.sh);
# - the Windows zip: unpacked, its tool run under Wine on the sample (from the
#   MinGW build of .ci/jobs/30-windows.sh when there is one).
# Needs root, for dpkg and the chroot.
set -euo pipefail
start=$SECONDS
source_dir=$PWD
sample=$source_dir/examples/sample.bmp
work=$(mktemp -d)
installed=0
cleanup() {
    if [ "$installed" = 1 ]; then dpkg -r quorvelpbm-dev quorvelpbm >/dev/null 2>&1 || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "package: $*" >&2
    exit 1
}
[ "$(id -u)" -eq 0 ] || fail "dpkg -i needs root"

# What the sample's pictures must be, from its BMP header: width and height at
# offsets 18 and 22, and the 24-bit BMP's size, 54 + stride x height.
read -r width height < <(od -An -tu4 -j18 -N8 "$sample")
bmp_size=$((54 + (width * 3 + 3) / 4 * 4 * height))

# Both directions on the sample with the tool given; PBM and BMP into $2.
convert_sample() {
    local tool=$1 dir=$2
    mkdir -p "$dir"
    "${@:3}" "$tool" bmp2pbm "$sample" "$dir/sample.pbm"
    "${@:3}" "$tool" pbm2bmp "$dir/sample.pbm" "$dir/sample-bw.bmp"
}

echo "--- Debian packages"
rm -f build-package/*.deb build-package/*.whl
cmake --workflow --preset package >"$work/package.log" 2>&1 || { cat "$work/package.log"; fail "cmake --workflow --preset package failed"; }
debs=(build-package/quorvelpbm_*.deb build-package/quorvelpbm-dev_*.deb)
for deb in "${debs[@]}"; do
    [ -f "$deb" ] || fail "no $deb"
    dpkg-deb -f "$deb" Package Version Depends
done
lintian --fail-on error "${debs[@]}"

installed=1
dpkg -i "${debs[@]}"
dpkg -L quorvelpbm quorvelpbm-dev >"$work/files"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for file in /usr/bin/quorvelpbm /usr/lib/"$multiarch"/libqpbm.so.1 /usr/lib/"$multiarch"/libQuorvelPBM.so.1 \
    /usr/share/man/man1/quorvelpbm.1.gz /usr/share/bash-completion/completions/quorvelpbm \
    /usr/include/qpbm.h /usr/include/quorvelpbm.h /usr/lib/"$multiarch"/libqpbm.so \
    /usr/lib/"$multiarch"/pkgconfig/qpbm.pc /usr/lib/"$multiarch"/cmake/QuorvelPBM/QuorvelPBMConfig.cmake; do
    grep -qx "$file" "$work/files" || fail "$file is in neither package"
done

# The installed tool, as found on PATH.
[ "$(command -v quorvelpbm)" = /usr/bin/quorvelpbm ] || fail "quorvelpbm on PATH is $(command -v quorvelpbm)"
convert_sample quorvelpbm "$work/deb"
[ "$(sed -n 3p "$work/deb/sample.pbm")" = "$width $height" ] || fail "the PBM's size line is not '$width $height'"
[ "$(stat -c %s "$work/deb/sample-bw.bmp")" = "$bmp_size" ] || fail "the BMP back is not $bmp_size bytes"

# C programs against the installed headers and libraries.
mkdir "$work/c" && cd "$work/c"
# shellcheck disable=SC2046
cc -std=c99 -pedantic -Wall -Werror -o consumer_qpbm "$source_dir/tests/install/consumer_qpbm.c" $(pkg-config --cflags --libs qpbm)
# shellcheck disable=SC2046
cc -std=c11 -o consumer "$source_dir/tests/install/consumer.c" $(pkg-config --cflags --libs quorvelpbm)
./consumer_qpbm && ./consumer
loaded=$(ldd consumer_qpbm | awk '$1 == "libqpbm.so.1" { print $3 }')
[ "$(readlink -f "$loaded")" = "$(readlink -f "/usr/lib/$multiarch/libqpbm.so.1")" ] ||
    fail "consumer_qpbm loads '$loaded', not the installed libqpbm"
# A program linked against the library depends on the package that has it.
mkdir debian && touch debian/control
[[ $(dpkg-shlibdeps -O consumer_qpbm 2>/dev/null) == *"quorvelpbm (>= "* ]] || fail "dpkg-shlibdeps does not map libqpbm to quorvelpbm"
cmake -S "$source_dir/tests/install" -B cmake-build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build cmake-build >/dev/null
cmake-build/consumer_qpbm && cmake-build/consumer
cd "$source_dir"

dpkg -r quorvelpbm-dev quorvelpbm
installed=0
listed=$(dpkg -L quorvelpbm quorvelpbm-dev 2>/dev/null || true)
[ -z "$listed" ] || fail "dpkg -L still lists: $listed"
while read -r file; do
    # Shared directories (/usr/bin) stay; everything else must be gone.
    if [ -L "$file" ] || { [ -e "$file" ] && ! [ -d "$file" ]; } || { [ -d "$file" ] && [[ $file == *[Qq]uorvel* ]]; }; then
        fail "$file is left after dpkg -r"
    fi
done <"$work/files"
[[ $(ldconfig -p) != *libqpbm* ]] || fail "the loader still finds libqpbm"

echo "--- wheel"
cmake --workflow --preset wheel >"$work/wheel.log" 2>&1 || { cat "$work/wheel.log"; fail "cmake --workflow --preset wheel failed"; }
wheels=(build-wheel/quorvelpbm-*.whl)
[ "${#wheels[@]}" -eq 1 ] || fail "expected one wheel, found ${wheels[*]}"
wheel=${wheels[0]}
echo "$wheel: $(stat -c %s "$wheel") bytes"
[ "$(stat -c %s "$wheel")" -le $((3 * 1024 * 1024)) ] || fail "the wheel is over 3 MB"
# The build found the tag from the library's symbols (cmake/wheel_platform.py).
[[ $wheel == *-py3-none-manylinux_2_[0-9]*_"$(uname -m)".whl ]] || fail "$wheel is not tagged py3-none-manylinux_2_N"
tag=${wheel##*-py3-none-}
tag=${tag%.whl}
unzip -p "$wheel" '*.dist-info/WHEEL' >"$work/WHEEL"
grep -qx "Tag: py3-none-$tag" "$work/WHEEL" || fail "WHEEL has not the tag py3-none-$tag"
grep -qx "Root-Is-Purelib: false" "$work/WHEEL" || fail "WHEEL says the wheel is pure"
unzip -Z1 "$wheel" >"$work/wheel-files"
for file in quorvelpbm/libqpbm.so.1 quorvelpbm/licenses/libtiff.md quorvelpbm/licenses/libjpeg-turbo.md \
    quorvelpbm/licenses/libspng.txt quorvelpbm/licenses/zlib.txt; do
    grep -qx "$file" "$work/wheel-files" || fail "the wheel holds no $file"
done

/usr/bin/python3 -m venv "$work/venv"
"$work/venv/bin/pip" install --no-index --quiet "$wheel"
mkdir "$work/wheel"
# The library the package loads is its own; the system has none.
(cd "$work/wheel" && env -u QUORVELPBM_LIBRARY "$work/venv/bin/python" - "$sample" "$width" "$height" <<'EOF'
import ctypes.util
import os
import sys

import quorvelpbm

sample, width, height = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
assert ctypes.util.find_library("qpbm") is None, "the system has a qpbm library"
package_dir = os.path.dirname(quorvelpbm.__file__)
assert quorvelpbm.library_path() == os.path.join(package_dir, "libqpbm.so.1"), quorvelpbm.library_path()
assert sorted(quorvelpbm.codecs()) == ["JPEG", "PDF", "PNG", "TIFF"], quorvelpbm.codecs()
picture = quorvelpbm.convert(sample, "sample.pbm")
assert (picture.width, picture.height) == (width, height), picture
EOF
)
cmp "$work/wheel/sample.pbm" "$work/deb/sample.pbm"
# QUORVELPBM_LIBRARY still comes first.
QUORVELPBM_LIBRARY=$source_dir/build-package/libqpbm.so.1 "$work/venv/bin/python" -c \
    'import os, quorvelpbm; assert quorvelpbm.library_path() == os.environ["QUORVELPBM_LIBRARY"]'
# As a user meets it: a bare Debian with Python and nothing else, beside
# the Debian package's tool.
bash tests/wheel/chroot_test.sh "$wheel" build-package/tools/quorvelpbm

echo "--- Windows zip"
if [ -f build-mingw/CMakeCache.txt ]; then
    mingw=build-mingw
    cmake --build build-mingw -j2 --target package >"$work/zip.log" 2>&1 || { cat "$work/zip.log"; fail "the zip failed"; }
else
    mingw=build-windows
    cmake --workflow --preset windows-zip >"$work/zip.log" 2>&1 || { cat "$work/zip.log"; fail "the zip failed"; }
fi
zips=("$mingw"/quorvelpbm-*-win64.zip)
echo "${zips[0]}"
unzip -q "${zips[0]}" -d "$work/zip"
top=("$work"/zip/quorvelpbm-*-win64)
for file in bin/quorvelpbm.exe bin/qpbm.dll bin/QuorvelPBM.dll include/qpbm.h include/quorvelpbm.h \
    lib/libqpbm.dll.a lib/libQuorvelPBM.dll.a README.md LICENSE licenses/libtiff.md licenses/libjpeg-turbo.md \
    licenses/libspng.txt licenses/zlib.txt; do
    [ -f "${top[0]}/$file" ] || fail "the zip has no $file"
done
# The DLLs as shipped (stripped) keep their exports, imports and version block.
{ sh tests/windows/check_dll.sh x86_64-w64-mingw32-objdump x86_64-w64-mingw32-windres "${top[0]}/bin/QuorvelPBM.dll" &&
    sh tests/windows/check_qpbm_dll.sh x86_64-w64-mingw32-objdump "${top[0]}/bin/qpbm.dll" library/qpbm.h; } \
    >"$work/dll.log" 2>&1 || { cat "$work/dll.log"; fail "the zip's DLLs"; }
export WINEPREFIX=$source_dir/$mingw/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
unset DISPLAY
status=0
(cd "$work/zip" && convert_sample "${top[0]}/bin/quorvelpbm.exe" "$work/wine" wine) || status=$?
# Wine's server lingers a few seconds after the last program; wait for it.
wineserver -w || true
[ "$status" = 0 ] || fail "quorvelpbm.exe failed under Wine"
# Text mode on Windows: the same PBM with CR LF line ends; the BMP is the same.
tr -d '\r' <"$work/wine/sample.pbm" | cmp - "$work/deb/sample.pbm"
cmp "$work/wine/sample-bw.bmp" "$work/deb/sample-bw.bmp"

echo "package: the Debian packages, the wheel and the zip passed in $((SECONDS - start)) s"
