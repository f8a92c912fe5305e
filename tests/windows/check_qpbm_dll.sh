#!/bin/sh
# Checks qpbm.dll as the MinGW binutils read it: it exports the qpbm_
# functions of qpbm.h and nothing else, and imports only system DLLs.
# Usage: check_qpbm_dll.sh OBJDUMP qpbm.dll qpbm.h
set -eu
objdump=$1 dll=$2 header=$3
headers=$("$objdump" -p "$dll")
exports=$(printf '%s\n' "$headers" | awk '
    /^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
    inside && NF == 0 { inside = 0 }
    inside { print $NF }' | sort | tr '\n' ' ')
declared=$(sed -n 's/^QPBM_API [^(]*[ *]\(qpbm_[a-z0-9_]*\)(.*/\1/p' "$header" | sort | tr '\n' ' ')
echo "exports: $exports"
[ -n "$declared" ] && [ "$exports" = "$declared" ] || { echo "FAIL: expected exactly $declared" >&2; exit 1; }
imports=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -f | tr '\n' ' ')
echo "imports: $imports"
[ "$imports" = "KERNEL32.dll msvcrt.dll " ] || { echo "FAIL: imports $imports" >&2; exit 1; }
