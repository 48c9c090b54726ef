# shellcheck shell=sh
# Sourced by run-fuzz.sh and fuzz-coverage.sh: how one fuzz target is run.
#
# fuzz_prepare TARGET: a scratch directory $fuzz_work for the run of TARGET
# (an absolute path), holding an empty corpus, an artifact directory and a
# copy of the target's seed inputs in fuzz/corpus/<target>/ (when there are
# any); $fuzz_name is the target's name and $fuzz_from says where the run
# starts from.
#
# fuzz_run TARGET SECONDS: runs TARGET for SECONDS in $fuzz_work, its output
# in $fuzz_work/log; the target's exit status. The target's own libFuzzer
# options, in fuzz/<target>.options, come after the common ones.
fuzz_src=$(cd "$(dirname "$0")/.." && pwd)

fuzz_prepare() {
    fuzz_name=$(basename "$1")
    fuzz_work=$(mktemp -d "${TMPDIR:-/tmp}/korvanel-fuzz-XXXXXX")
    mkdir "$fuzz_work/corpus" "$fuzz_work/artifacts"
    fuzz_seeds=""
    # shellcheck disable=SC2034  # fuzz_from is the sourcing script's
    if [ -d "$fuzz_src/fuzz/corpus/$fuzz_name" ]; then
        fuzz_from="the seeds in fuzz/corpus/$fuzz_name"
        cp -R "$fuzz_src/fuzz/corpus/$fuzz_name" "$fuzz_work/seeds"
        fuzz_seeds=seeds
    else
        fuzz_from="nothing"
    fi
}

# Run as users run libFuzzer: from a directory of its own, with the corpus
# and artifact paths relative to it (a target that changed the working
# directory would lose them).
fuzz_run() {
    fuzz_options=""
    if [ -f "$fuzz_src/fuzz/$(basename "$1").options" ]; then
        fuzz_options=$(cat "$fuzz_src/fuzz/$(basename "$1").options")
    fi
    # shellcheck disable=SC2086
    (cd "$fuzz_work" && "$1" -max_total_time="$2" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix=artifacts/ $fuzz_options corpus $fuzz_seeds > log 2>&1)
}
