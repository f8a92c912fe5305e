#!/bin/sh
# Checks QuorvelPBM.dll as the MinGW binutils read it: the export table holds
# BMP2PBM at ordinal 1 and PBM2BMP at ordinal 2 and nothing else, the DLL
# imports only system DLLs (the C++ runtime is linked in), and the version
# block says 1.0.0.1 in numbers and "1, 0, 0, 1" in text.
# Usage: check_dll.sh OBJDUMP WINDRES QuorvelPBM.dll
set -eu
objdump=$1 windres=$2 dll=$3
status=0
fail() {
    echo "FAIL: $*" >&2
    status=1
}

headers=$("$objdump" -p "$dll")

# "[Ordinal/Name Pointer] Table" lists "[index] name", the ordinal being the
# ordinal base plus the index.
base=$(printf '%s\n' "$headers" | sed -n 's/^Ordinal Base[[:space:]]*//p')
exports=$(printf '%s\n' "$headers" | awk -v base="$base" '
    /^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
    inside && NF == 0 { inside = 0 }
    inside { gsub(/[][]/, " "); printf "%d %s\n", base + $1, $2 }')
addresses=$(printf '%s\n' "$headers" | awk '/^Number in:/ { getline; print $NF; exit }')
expected_exports=$(printf '1 BMP2PBM\n2 PBM2BMP')
[ "$exports" = "$expected_exports" ] || fail "exports are \"$exports\", expected \"$expected_exports\""
[ "$addresses" = "00000002" ] || fail "export address table has $addresses entries, expected 2"

imports=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -f | tr '\n' ' ')
[ "$imports" = "KERNEL32.dll msvcrt.dll " ] || fail "imports $imports, expected only KERNEL32.dll and msvcrt.dll"

version=$("$windres" -J coff -O rc -i "$dll")
for line in ' FILEVERSION 1, 0, 0, 1' ' PRODUCTVERSION 1, 0, 0, 1' \
    '      VALUE "FileVersion", "1, 0, 0, 1"' '      VALUE "ProductVersion", "1, 0, 0, 1"'; do
    printf '%s\n' "$version" | grep -qxF "$line" || fail "version block lacks: $line"
done

printf '%s\n' "$headers" | sed -n '/^Export Address Table/,/^The Function Table/p' | sed '$d'
printf 'Imports: %s\n' "$imports"
printf '%s\n' "$version" | sed -n '/VERSIONINFO/,/^END/p'
exit $status
