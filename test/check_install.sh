#!/bin/sh
# Installs into a scratch root and builds and runs a C program against it,
# linked as an outside program links: kitbag whole and exported, the
# shared libraries after it.
set -eu
cmake=$1 build=$2 cc=$3 probe=$4 emulator=${5:-}
root=$(mktemp -d "${TMPDIR:-/tmp}/korvanel-install-XXXXXX")
trap 'rm -rf "$root"' EXIT
"$cmake" --install "$build" --prefix "$root" >/dev/null
for f in include/basalt.h include/kitbag.h include/torvik.h include/fake.h include/gannet.h \
         include/kestrel.h lib/libbasalt.so.3 lib/libbasalt.so lib/libtorvik.so.3 lib/libtorvik.so \
         lib/libgannet.so.3 lib/libgannet.so lib/libkestrel.so.3 lib/libkestrel.so lib/libkitbag.a \
         bin/vaultkeep bin/ringcat; do
    [ -e "$root/$f" ] || { echo "missing from the installation: $f"; exit 1; }
done
for l in libbasalt libtorvik libgannet libkestrel; do
    [ -L "$root/lib/$l.so" ] || { echo "lib/$l.so is not a link"; exit 1; }
done
[ ! -e "$root/lib/libimksignal.so" ] || { echo "the test-only signal generator was installed"; exit 1; }
[ -d "$root/data/pf" ] || { echo "missing from the installation: data/pf"; exit 1; }
"$cc" -o "$root/probe" "$probe" -I"$root/include" -L"$root/lib" \
    -Wl,--whole-archive -lkitbag -Wl,--no-whole-archive -ltorvik -lgannet -lbasalt \
    -Wl,--export-dynamic -Wl,-rpath,"$root/lib"
mkdir "$root/ring"
# shellcheck disable=SC2086
out=$(LD_LIBRARY_PATH="$root/lib" $emulator "$root/probe" "$root/ring" 2>&1)
echo "$out"
[ "$out" = "probe: a-b-c 0 AA_BBB_HHZ 1000.5 hello" ] || { echo "unexpected output from the probe"; exit 1; }
