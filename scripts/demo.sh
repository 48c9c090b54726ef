#!/bin/sh
# The main job on a small scale: writes a directory of test packets, serves
# it with vaultkeep on a free loopback port, reads it back with ringcat and
# copies it with spillway into a second directory.
#   demo.sh BUILD_DIR
set -eu
build=$1
cmake --build "$build" --target vaultkeep ringcat ringfill spillway ringcompare >/dev/null
vaultkeep=$build/bin/rt/vaultkeep/vaultkeep
ringcat=$build/platform/kestrel/ringcat
ringfill=$build/test/ringfill
ringcompare=$build/test/ringcompare
spillway=$build/bin/rt/spillway/spillway

work=$(mktemp -d "${TMPDIR:-/tmp}/korvanel-demo-XXXXXX")
pid=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

echo "== writing 12 packets of 512 bytes from three sources into $work/ring"
"$ringfill" -n 12 -s 512 "$work/ring" AK_BRW_BHZ AK_BRW_BHN AK_BRW_BHE
. "$(dirname "$0")/serve_ring.sh"
if ! serve_ring "$work" "$work/ring" "$vaultkeep" "$ringcat"; then
    echo "demo: vaultkeep did not start"
    cat "$work/vaultkeep.log"
    exit 1
fi

echo "== vaultkeep serves it on port $port:"
sed 's/^/   /' "$work/vaultkeep.log"
echo "== ringcat -l :$port   (every packet: id, source, time, bytes)"
"$ringcat" -l ":$port"
echo "== ringcat -s 'AK_BRW_BHZ' -l :$port   (one source)"
"$ringcat" -s 'AK_BRW_BHZ' -l ":$port"
echo "== ringcat -a 1700000008.5 -l :$port   (after a time)"
"$ringcat" -a 1700000008.5 -l ":$port"
echo "== spillway :$port $work/copy 1699999999 last   (the ring copied into a second directory)"
"$spillway" ":$port" "$work/copy" 1699999999 last 2> "$work/spillway.log"
echo "== the copy in $work/copy   (its packets: id, source, time, bytes)"
"$ringcompare" "$work/ring" "$work/copy"
