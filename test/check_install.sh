#!/bin/sh
# Installs into a scratch root and builds and runs a C program against it,
# linked as an outside program links: kitbag and the database library whole
# and exported, the shared libraries after them.
set -eu
cmake=$1 build=$2 cc=$3 probe=$4 emulator=${5:-}
root=$(mktemp -d "${TMPDIR:-/tmp}/korvanel-install-XXXXXX")
trap 'rm -rf "$root"' EXIT
"$cmake" --install "$build" --prefix "$root" >/dev/null
for f in include/basalt.h include/kitbag.h include/torvik.h include/fake.h include/gannet.h \
         include/db.h include/kestrel.h lib/libbasalt.so.3 lib/libbasalt.so lib/libtorvik.so.3 lib/libtorvik.so \
         lib/libgannet.so.3 lib/libgannet.so lib/libkestrel.so.3 lib/libkestrel.so \
         lib/libkitbag.a lib/libledgeform.a \
         include/geopos.h include/journ.h lib/libgeopos.so.3 lib/libgeopos.so \
         lib/libjourn.so.3 lib/libjourn.so bin/vaultkeep bin/ringcat \
         bin/reelhouse bin/tcplaunch; do
    [ -e "$root/$f" ] || { echo "missing from the installation: $f"; exit 1; }
done
for l in libbasalt libtorvik libgannet libkestrel libgeopos libjourn; do
    [ -L "$root/lib/$l.so" ] || { echo "lib/$l.so is not a link"; exit 1; }
done
[ ! -e "$root/lib/libimksignal.so" ] || { echo "the test-only signal generator was installed"; exit 1; }
[ -d "$root/data/pf" ] || { echo "missing from the installation: data/pf"; exit 1; }
[ -f "$root/data/units" ] || { echo "missing from the installation: data/units"; exit 1; }
"$cc" -o "$root/probe" "$probe" -I"$root/include" -L"$root/lib" \
    -Wl,--whole-archive -lkitbag -lledgeform -Wl,--no-whole-archive -ltorvik -lgannet -lbasalt \
    -lgeopos -ljourn -lm \
    -Wl,--export-dynamic -Wl,-rpath,"$root/lib"
mkdir "$root/ring" "$root/db"
# shellcheck disable=SC2086
out=$(KORVANEL="$root" LD_LIBRARY_PATH="$root/lib" $emulator "$root/probe" "$root/ring" "$root/db" 2>&1)
echo "$out"
[ "$out" = "probe: a-b-c 0 AA_BBB_HHZ 1000.5 hello 5000 m AAK 42" ] || { echo "unexpected output from the probe"; exit 1; }
