#!/bin/sh
# fuzz-coverage.sh DIR SECONDS [TARGET...]: runs each given fuzz target of
# DIR (all of them when none is given) for SECONDS from its seeds, as
# run-fuzz.sh does, one after the other, and prints a row per target:
# libFuzzer's coverage (cov:) and corpus size (corp:, inputs/bytes) once the
# seeds are read (INITED) and at the end. A run that fails keeps its
# directory (crash input and log) and says so in the last column.
set -eu
dir=$(cd "$1" && pwd) seconds=$2
shift 2
# shellcheck source=scripts/fuzz-run.sh
. "$(dirname "$0")/fuzz-run.sh"
if [ $# -eq 0 ]; then
    for target in "$dir"/*_fuzz; do
        [ -x "$target" ] && set -- "$@" "$(basename "$target")"
    done
fi

# The cov: and corp: of a libFuzzer status line, or "- -".
counts() {
    sed -n 's/.* cov: \([0-9]*\) .* corp: \([0-9]*\/[0-9]*[a-zA-Z]*\) .*/\1 \2/p' | tail -1 | grep . ||
        echo "- -"
}

printf '%-24s %9s %14s %9s %14s  %s\n' target cov-start corp-start cov-end corp-end result
status=0
for name in "$@"; do
    target=$dir/$(basename "$name")
    [ -x "$target" ] || { echo "no fuzz target $target" >&2; status=1; continue; }
    fuzz_prepare "$target"
    result=ok
    if ! fuzz_run "$target" "$seconds"; then
        result="FAILED (kept in $fuzz_work)"
        status=1
    fi
    start=$(grep -a 'INITED cov: ' "$fuzz_work/log" | counts)
    end=$(grep -a ' cov: ' "$fuzz_work/log" | counts)
    # shellcheck disable=SC2086
    printf '%-24s %9s %14s %9s %14s  %s\n' "$fuzz_name" $start $end "$result"
    [ "$result" != ok ] || rm -rf "$fuzz_work"
done
exit $status
