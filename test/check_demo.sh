#!/bin/sh
# Runs the demo and checks its last step: the copy's packets are listed as
# ringcat lists the served ring, followed by the line that says they are
# byte for byte the source's; and the comparison says so when a copy is not.
#   check_demo.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "$*"; exit 1; }
out=$("$here/../scripts/demo.sh" "$build") || fail "the demo failed: $out"
echo "$out"
# The lines after a heading, up to the next heading.
section() { echo "$out" | sed -n "/^== $1/,/^==/p" | sed '1d;/^==/d'; }
served=$(section "ringcat -l ")
copied=$(section "the copy in ")
[ -n "$served" ] || fail "the demo listed no served packets"
[ "$copied" = "$served
the copy's 12 packets are byte for byte the source's" ] || fail "the copy is listed otherwise"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/korvanel-compare-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
"$build/test/ringfill" -n 3 -s 10 "$scratch/ring" AA_BB_CC
"$build/test/ringfill" -n 2 -s 10 "$scratch/short" AA_BB_CC
"$build/test/ringfill" -n 3 -s 11 "$scratch/other" AA_BB_CC
while read -r copy last; do
    status=0
    got=$("$build/test/ringcompare" "$scratch/ring" "$scratch/$copy") || status=$?
    [ "$status" = 1 ] || fail "ringcompare of $copy exited with $status"
    [ "$(echo "$got" | tail -n 1)" = "$last" ] || fail "ringcompare of $copy said: $got"
done <<'CASES'
short the copy differs from the source: 3 packets in the source, 2 in the copy
other the copy differs from the source at its packet 1: AA_BB_CC 1700000000.00000 10 bytes in the source, AA_BB_CC 1700000000.00000 11 bytes in the copy
CASES
