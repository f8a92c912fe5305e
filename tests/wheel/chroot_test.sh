#!/usr/bin/env bash
# The wheel as a user meets it: in a bare Debian (debootstrap minbase with
# python3 and python3-venv only: no libspng, libjpeg or libtiff), installed
# with pip from the file alone into a venv, converting a PNG, a JPEG and a
# multi-page TIFF; each output must be the host tool's, byte for byte.
#   tests/wheel/chroot_test.sh WHEEL TOOL
# Needs root (debootstrap, chroot). The bare system is made once and kept in
# ~/.cache/quorvelpbm as a tar file.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 WHEEL TOOL" >&2; exit 2; }
wheel=$(readlink -f "$1")
tool=$(readlink -f "$2")
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
cache=${QUORVELPBM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvelpbm}
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
bare=$cache/chroot/$suite-minbase-python3.tar
started=$SECONDS

fail() {
    echo "wheel chroot: $*" >&2
    exit 1
}
[ "$(id -u)" -eq 0 ] || fail "needs root, for debootstrap and chroot"
command -v debootstrap >/dev/null || fail "needs debootstrap"

work=$(mktemp -d)
root=$work/root
cleanup() {
    mountpoint -q "$root/proc" && umount "$root/proc"
    rm -rf "$work"
}
trap cleanup EXIT

if [ ! -f "$bare" ]; then
    # The archive that apt uses here.
    mirror=$(apt-get indextargets --format '$(SITE)' 'Created-By: Packages' 2>/dev/null | grep -E '/debian/?$' | head -1)
    echo "wheel chroot: making a bare $suite (debootstrap minbase, python3, python3-venv) from ${mirror:-deb.debian.org}"
    mkdir -p "$(dirname "$bare")"
    debootstrap --variant=minbase --include=python3,python3-venv "$suite" "$work/new" "${mirror:-http://deb.debian.org/debian}" \
        >"$work/debootstrap.log" 2>&1 || { tail -20 "$work/debootstrap.log"; fail "debootstrap failed"; }
    tar -C "$work/new" -cf "$bare.tmp" . && mv "$bare.tmp" "$bare"
    rm -rf "$work/new"
fi
mkdir "$root"
tar -C "$root" -xf "$bare"
for library in libspng.so.0 libjpeg.so.62 libtiff.so.6; do
    ! chroot "$root" /sbin/ldconfig -p | grep -q "$library" || fail "the bare system has $library"
done

# The inputs: the sample as a PNG and a JPEG, and a three-page TIFF.
mkdir "$root/test"
im=/usr/bin/convert-im6.q16
sample=$source_dir/examples/sample.bmp
"$im" "$sample" "$root/test/sample.png"
"$im" "$sample" -quality 90 "$root/test/sample.jpg"
"$im" "$sample" \( "$sample" -rotate 90 \) \( "$sample" -negate \) -compress lzw "$root/test/pages.tif"
cp "$wheel" "$root/test/"

# Each case: the input, the output, and the tool's options for it; the Python
# call in the chroot converts with the same (see convert.py below).
cases=(
    "sample.png sample.pbm"
    "sample.jpg sample.png --method floyd-steinberg"
    "pages.tif pages.tif --compression g4"
    "pages.tif pages.pdf"
)
mkdir "$work/host"
for case in "${cases[@]}"; do
    read -r input output options <<<"$case"
    # shellcheck disable=SC2086
    "$tool" $options "$root/test/$input" "$work/host/$output" ||
        fail "the host tool failed on $input"
done

cat >"$root/test/convert.py" <<'PY'
import quorvelpbm

quorvelpbm.convert("../sample.png", "sample.pbm")
quorvelpbm.convert("../sample.jpg", "sample.png", method="floyd-steinberg")
quorvelpbm.convert("../pages.tif", "pages.tif", compression="g4")
quorvelpbm.convert("../pages.tif", "pages.pdf")
print(quorvelpbm.library_path())
PY
mount -t proc proc "$root/proc"
chroot "$root" /bin/sh -ec "
    cd /test
    mkdir out
    python3 -m venv /venv
    /venv/bin/pip install --no-index --quiet /test/$(basename "$wheel")
    cd out && /venv/bin/python ../convert.py" || fail "the wheel failed in the bare system"
for case in "${cases[@]}"; do
    read -r input output _ <<<"$case"
    cmp "$root/test/out/$output" "$work/host/$output" || fail "$input to $output differs from the host tool's"
done
echo "wheel chroot: ${#cases[@]} conversions in a bare $suite equal the host tool's, in $((SECONDS - started)) s"
