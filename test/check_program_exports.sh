#!/bin/sh
# Checks the dynamic symbol table of one of our programs: it exports the
# whole of the static libraries it links whole (every default-visibility
# symbol of the kitbag and database library archives) and, beyond them, only
# names declared in the given headers of its own interface.
#   check_program_exports.sh NM READELF PROGRAM ARCHIVE[:ARCHIVE...] HEADER...
set -eu
nm=$1 readelf=$2 program=$3 archive=$4
shift 4
work=$(mktemp -d "${TMPDIR:-/tmp}/korvanel-exports-XXXXXX")
trap 'rm -rf "$work"' EXIT
"$nm" -D --defined-only "$program" | awk '$2 ~ /^[TDBRVWGS]$/ {print $3}' | sort -u > "$work/exported"
old_ifs=$IFS; IFS=:
# shellcheck disable=SC2086
set -- $archive -- "$@"
IFS=$old_ifs
archives=""
while [ "$1" != "--" ]; do archives="$archives $1"; shift; done
shift
# shellcheck disable=SC2086
for a in $archives; do "$readelf" -sW "$a"; done |
    awk '$5 == "GLOBAL" && $6 == "DEFAULT" && $7 != "UND" && ($4 == "FUNC" || $4 == "OBJECT") {print $8}' |
    sort -u > "$work/static"
cat "$@" | tr -c 'A-Za-z0-9_\n' '\n' | sort -u > "$work/declared"
# Program start-up symbols and C library data copied into the program.
printf '%s\n' _start _init _fini _edata _end __end__ __bss_start __bss_start__ __bss_end__ _bss_end__ \
    __data_start data_start _IO_stdin_used |
    sort > "$work/standard"
status=0
missing=$(comm -23 "$work/static" "$work/exported")
if [ -n "$missing" ]; then
    echo "the static libraries are not exported whole:" $missing
    status=1
fi
extra=$(grep -v '@' "$work/exported" | comm -23 - "$work/static" | comm -23 - "$work/standard" |
        comm -23 - "$work/declared")
if [ -n "$extra" ]; then
    echo "exported but not part of the interface:" $extra
    status=1
fi
[ $status -eq 0 ] && echo "exports ok: $(wc -l < "$work/exported") symbols"
exit $status
