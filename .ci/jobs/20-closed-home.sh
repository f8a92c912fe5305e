#!/usr/bin/env bash
# The README's setting on a fresh machine: root, with the clone in a home only
# its owner can enter (root's is 0700 on Debian, and there is no sudo). A copy
# of the checkout in a fresh 0700 directory, built there with the test preset,
# runs the tests that run the tool or the library as another user: the tool's
# tests and the fault tests. The rest of the suite does not change users, and
# the main run has it: these cost about 6 minutes on 2 shared cores (4.5 of
# them the build), where the whole suite again would cost as much as the main
# run.
set -euo pipefail
start=$SECONDS
home=$(mktemp -d) # 0700
trap 'rm -rf "$home"' EXIT
[ "$(stat -c %a "$home")" = 700 ] || { echo "closed-home: $home is not 0700" >&2; exit 1; }
clone=$home/quorvelpbm
mkdir "$clone"
# The checkout as it stands, without its build directories (.gitignore's).
tar -c --exclude-vcs --exclude='./build*' --exclude=./out --exclude=./tests/browser/node_modules \
    --exclude=__pycache__ . | tar -x -C "$clone"
cd "$clone"
cmake --preset default -DQUORVELPBM_BUILD_BENCH=OFF -DQUORVELPBM_BUILD_WEB=OFF >/dev/null
cmake --build --preset default --target quorvelpbm quorvelpbm_fault_tests quorvelpbm_in_place_tests
status=0
ctest --preset default -R '^tool_' || status=$?
ctest --preset default -L faults -E '^tool_' || status=$?
echo "closed-home: the tool's and the fault tests from a 0700 directory in $((SECONDS - start)) s"
exit $status
