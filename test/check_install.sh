#!/bin/sh
# Installs into a scratch root and builds and runs a C program against it,
# linked as an outside program links: kitbag whole and exported, libbasalt
# shared.
set -eu
cmake=$1 build=$2 cc=$3 probe=$4 emulator=${5:-}
root=$(mktemp -d "${TMPDIR:-/tmp}/korvanel-install-XXXXXX")
trap 'rm -rf "$root"' EXIT
"$cmake" --install "$build" --prefix "$root" >/dev/null
for f in include/basalt.h include/kitbag.h lib/libbasalt.so.3 lib/libbasalt.so lib/libkitbag.a; do
    [ -e "$root/$f" ] || { echo "missing from the installation: $f"; exit 1; }
done
[ -L "$root/lib/libbasalt.so" ] || { echo "lib/libbasalt.so is not a link"; exit 1; }
[ -d "$root/data/pf" ] || { echo "missing from the installation: data/pf"; exit 1; }
"$cc" -o "$root/probe" "$probe" -I"$root/include" -L"$root/lib" \
    -Wl,--whole-archive -lkitbag -Wl,--no-whole-archive -lbasalt \
    -Wl,--export-dynamic -Wl,-rpath,"$root/lib"
# shellcheck disable=SC2086
out=$(LD_LIBRARY_PATH="$root/lib" $emulator "$root/probe" 2>&1)
echo "$out"
[ "$out" = "probe: a-b-c" ] || { echo "unexpected output from the probe"; exit 1; }
