#!/bin/sh
# The shared library's dynamic symbol table defines BMP2PBM and PBM2BMP and no
# other symbol. Usage: check_exports.sh LIBRARY [NM] (NM for a cross build).
set -eu
lib=$1
nm=${2:-nm}
defined=$("$nm" -D --defined-only "$lib" | awk '{print $NF}' | sort | tr '\n' ' ')
if [ "$defined" != "BMP2PBM PBM2BMP " ]; then
    echo "expected exactly BMP2PBM and PBM2BMP, found: $defined" >&2
    exit 1
fi
echo "exports: $defined"
