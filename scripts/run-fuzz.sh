#!/bin/sh
# Runs each fuzz target in DIR for SECONDS, starting from its seed inputs in
# fuzz/corpus/<target>/ (when there are any) and a scratch corpus, in a
# scratch directory with relative corpus and artifact paths. A target's own
# libFuzzer options, in fuzz/<target>.options, come after the common ones.
set -eu
dir=$(cd "$1" && pwd) seconds=$2
# shellcheck source=scripts/fuzz-run.sh
. "$(dirname "$0")/fuzz-run.sh"
status=0
found=0
for target in "$dir"/*_fuzz; do
    [ -x "$target" ] || continue
    found=1
    fuzz_prepare "$target"
    echo "=== fuzzing $fuzz_name for $seconds s, starting from $fuzz_from"
    if ! fuzz_run "$target" "$seconds"; then
        tail -60 "$fuzz_work/log"
        echo "=== $fuzz_name FAILED (crash input and log kept in $fuzz_work)"
        status=1
        continue
    fi
    grep -E '^stat::number_of_executed_units|^Done' "$fuzz_work/log" || true
    rm -rf "$fuzz_work"
done
[ $found -eq 1 ] || echo "no fuzz targets built"
exit $status
