#!/bin/sh
# Runs each fuzz target in DIR for SECONDS, starting from its seed inputs in
# fuzz/corpus/<target>/ (when there are any) and a scratch corpus.
set -eu
dir=$(cd "$1" && pwd) seconds=$2
src=$(cd "$(dirname "$0")/.." && pwd)
status=0
found=0
for target in "$dir"/*_fuzz; do
    [ -x "$target" ] || continue
    found=1
    name=$(basename "$target")
    work=$(mktemp -d "${TMPDIR:-/tmp}/korvanel-fuzz-XXXXXX")
    seeds="$src/fuzz/corpus/$name"
    if [ -d "$seeds" ]; then from="the seeds in fuzz/corpus/$name"; else from="nothing"; seeds=""; fi
    echo "=== fuzzing $name for $seconds s, starting from $from"
    # shellcheck disable=SC2046
    if ! (cd "$work" && "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 "$work" $seeds > "$work/log" 2>&1); then
        tail -60 "$work/log"
        echo "=== $name FAILED (crash input and log kept in $work)"
        status=1
        continue
    fi
    grep -E '^stat::number_of_executed_units|^Done' "$work/log" || true
    rm -rf "$work"
done
[ $found -eq 1 ] || echo "no fuzz targets built"
exit $status
