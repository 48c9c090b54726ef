#!/bin/sh
# Runs each fuzz target in DIR for SECONDS, starting from its seed inputs in
# fuzz/corpus/<target>/ (when there are any) and a scratch corpus, in a
# scratch directory with relative corpus and artifact paths. A target's own
# libFuzzer options, in fuzz/<target>.options, come after the common ones.
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
    mkdir "$work/corpus" "$work/artifacts"
    # Run as users run libFuzzer: from a directory of its own, with the
    # corpus and artifact paths relative to it (a target that changed the
    # working directory would lose them).
    seeds=""
    if [ -d "$src/fuzz/corpus/$name" ]; then
        from="the seeds in fuzz/corpus/$name"
        cp -R "$src/fuzz/corpus/$name" "$work/seeds"
        seeds=seeds
    else
        from="nothing"
    fi
    options=""
    [ -f "$src/fuzz/$name.options" ] && options=$(cat "$src/fuzz/$name.options")
    echo "=== fuzzing $name for $seconds s, starting from $from"
    # shellcheck disable=SC2086
    if ! (cd "$work" && "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix=artifacts/ $options corpus $seeds > log 2>&1); then
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
