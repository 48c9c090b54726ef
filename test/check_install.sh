#!/bin/sh
# Installs into a scratch root and uses it as a user does, with no
# LD_LIBRARY_PATH: every installed program starts and prints its usage, the
# installed server serves a ring that the installed client reads and the
# installed copier copies packet for packet, the programs still start with a
# library moved to local/lib and after the whole root is moved, and a C
# program builds against the root, linked as an outside program links
# (kitbag and the database library whole and exported, the shared libraries
# after them, the run path of the root's lib; on a 32-bit target 64-bit time
# and file offsets, without which the headers refuse it) and runs.
#   check_install.sh CMAKE BUILD_DIR CC PROBE_C RINGFILL RINGCOMPARE [EMULATOR]
set -eu
cmake=$1 build=$2 cc=$3 probe=$4 ringfill=$5 ringcompare=$6 emulator=${7:-}
scripts=$(cd "$(dirname "$0")/../scripts" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/korvanel-install-XXXXXX")
root=$scratch/root
pid=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT INT TERM
fail() { echo "$*"; exit 1; }

"$cmake" --install "$build" --prefix "$root" >/dev/null
for f in include/basalt.h include/kitbag.h include/torvik.h include/fake.h include/gannet.h \
         include/db.h include/kestrel.h lib/libbasalt.so.3 lib/libbasalt.so lib/libtorvik.so.3 lib/libtorvik.so \
         lib/libgannet.so.3 lib/libgannet.so lib/libkestrel.so.3 lib/libkestrel.so \
         lib/libkitbag.a lib/libledgeform.a \
         include/geopos.h include/journ.h lib/libgeopos.so.3 lib/libgeopos.so \
         lib/libjourn.so.3 lib/libjourn.so bin/vaultkeep bin/ringcat \
         bin/reelhouse bin/tcplaunch bin/spillway; do
    [ -e "$root/$f" ] || fail "missing from the installation: $f"
done
for l in libbasalt libtorvik libgannet libkestrel libgeopos libjourn; do
    [ -L "$root/lib/$l.so" ] || fail "lib/$l.so is not a link"
done
[ ! -e "$root/lib/libimksignal.so" ] || fail "the test-only signal generator was installed"
[ -d "$root/data/pf" ] || fail "missing from the installation: data/pf"
[ -f "$root/data/units" ] || fail "missing from the installation: data/units"

# Runs an installed program (or any other) as a user's shell does: no
# LD_LIBRARY_PATH, no installation root in the environment.
run() {
    # shellcheck disable=SC2086
    env -u LD_LIBRARY_PATH -u KORVANEL $emulator "$@"
}

# Each program, given no operands, prints its usage and exits with status 1.
usages() {
    for program in vaultkeep reelhouse spillway ringcat tcplaunch; do
        status=0
        out=$(run "$1/bin/$program" < /dev/null 2>&1) || status=$?
        case $out in
            *"Usage: $program "*) ;;
            *) fail "$2: $program printed no usage (status $status): $out" ;;
        esac
        [ "$status" = 1 ] || fail "$2: $program exited with status $status, not 1: $out"
    done
}
usages "$root" "installed"

# A ring served by the installed server, read by the installed client and
# copied by the installed copier.
mkdir "$scratch/work"
# shellcheck disable=SC2086
$emulator "$ringfill" -n 12 -s 300 "$scratch/work/ring" AK_BRW_BHZ AK_BRW_BHN AK_BRW_BHE
. "$scripts/serve_ring.sh"
# shellcheck disable=SC2086
serve_ring "$scratch/work" "$scratch/work/ring" "$root/bin/vaultkeep" "$root/bin/ringcat" \
    env -u LD_LIBRARY_PATH -u KORVANEL $emulator ||
    fail "the installed vaultkeep did not serve: $(cat "$scratch/work/vaultkeep.log")"
read_ring=$(run "$root/bin/ringcat" -l ":$port")
expected=""
for i in 0 1 2 3 4 5 6 7 8 9 10 11; do
    case $((i % 3)) in 0) src=AK_BRW_BHZ ;; 1) src=AK_BRW_BHN ;; 2) src=AK_BRW_BHE ;; esac
    expected="$expected$i $src $((1700000000 + i)).00000 300
"
done
[ "$read_ring
" = "$expected" ] || fail "the installed ringcat read:
$read_ring"
out=$(run "$root/bin/spillway" ":$port" "$scratch/work/copy" 1699999999 last 2>&1) ||
    fail "the installed spillway did not copy the ring: $out"
# shellcheck disable=SC2086
copy=$($emulator "$ringcompare" "$scratch/work/ring" "$scratch/work/copy") ||
    fail "the copy is not the ring: $copy"
[ "$copy" = "$read_ring
the copy's 12 packets are byte for byte the source's" ] || fail "the copy lists otherwise: $copy"
kill "$pid"
wait "$pid" 2>/dev/null || true
pid=""

# Libraries in the root's local/lib come first; a moved root still works.
mkdir -p "$root/local/lib"
mv "$root/lib/libgannet.so.3" "$root/local/lib/"
usages "$root" "with libgannet in local/lib"
mv "$root" "$scratch/moved"
usages "$scratch/moved" "in a moved root"
mv "$scratch/moved" "$root"
mv "$root/local/lib/libgannet.so.3" "$root/lib/"

# An outside program, built with the line the README gives: for a 32-bit
# target with 64-bit time and file offsets, as the libraries are built.
# Without both, the installed headers refuse it, naming them.
widths=""
if "$cc" -dM -E -x c /dev/null | grep -qx '#define __SIZEOF_POINTER__ 4'; then
    widths="-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64"
    refusal='error: #error "compile with -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 on a 32-bit target, as the libraries are"'
    for partial in "" "-D_FILE_OFFSET_BITS=64" "-D_TIME_BITS=64"; do
        # shellcheck disable=SC2086
        if out=$("$cc" $partial -fsyntax-only "$probe" -I"$root/include" 2>&1); then
            fail "the probe compiled without 64-bit time and file offsets (with '$partial')"
        fi
        case $out in
            *"$refusal"*) ;;
            *) fail "no refusal naming both flags (with '$partial'): $out" ;;
        esac
    done
fi
# shellcheck disable=SC2086
"$cc" $widths -o "$root/probe" "$probe" -I"$root/include" -L"$root/lib" \
    -Wl,--whole-archive -lkitbag -lledgeform -Wl,--no-whole-archive \
    -lkestrel -ltorvik -lgannet -lbasalt -lgeopos -ljourn -lm -Wl,--export-dynamic \
    -Wl,-rpath,"$root/lib"
mkdir "$root/ring" "$root/db"
# shellcheck disable=SC2086
out=$(env -u LD_LIBRARY_PATH KORVANEL="$root" $emulator "$root/probe" "$root/ring" "$root/db" 2>&1)
echo "$out"
[ "$out" = "probe: a-b-c 0 AA_BBB_HHZ 1000.5 hello 5000 m AAK 42" ] || fail "unexpected output from the probe"
