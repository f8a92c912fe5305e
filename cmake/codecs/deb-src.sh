#!/usr/bin/env bash
# Adds a deb-src line for each Debian archive that the machine's deb lines
# name (deb822 .sources files or one-line sources.list), then updates apt's
# lists, so that `apt-get source` works. Run as root; does nothing when the
# sources are known already.
set -euo pipefail
if apt-get source --print-uris -q zlib >/dev/null 2>&1; then
    exit 0
fi
list=/etc/apt/sources.list.d/quorvelpbm-deb-src.sources
# Security archives keep only their newest sources, and not on every mirror;
# the point release's sources are enough to build from.
deb822_uris() {
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null || true
}
one_line_uris() {
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true
}
uris=$(
    {
        deb822_uris | awk '/^Types:/ { deb = / deb( |$)/ } /^URIs:/ && deb { for (i = 2; i <= NF; i++) print $i }'
        one_line_uris | awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }'
    } | grep -E '/debian/?$' | sort -u
)
[ -n "$uris" ] || { echo "deb-src: no Debian archive among the machine's apt sources" >&2; exit 1; }
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
{
    echo "Types: deb-src"
    echo "URIs: $uris" | tr '\n' ' ' | sed 's/ $//'
    echo
    echo "Suites: $codename $codename-updates"
    echo "Components: main"
    echo "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
} >"$list"
echo "deb-src: added $list"
apt-get update -q
