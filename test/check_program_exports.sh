#!/bin/sh
# Checks the dynamic symbol table of one of our programs: it exports the
# whole portability layer (every default-visibility symbol of the kitbag
# archive) and, beyond it, only names declared in the given headers of its
# own interface.
#   check_program_exports.sh NM READELF PROGRAM KITBAG_ARCHIVE HEADER...
set -eu
nm=$1 readelf=$2 program=$3 archive=$4
shift 4
work=$(mktemp -d "${TMPDIR:-/tmp}/korvanel-exports-XXXXXX")
trap 'rm -rf "$work"' EXIT
"$nm" -D --defined-only "$program" | awk '$2 ~ /^[TDBRVWGS]$/ {print $3}' | sort -u > "$work/exported"
"$readelf" -sW "$archive" |
    awk '$5 == "GLOBAL" && $6 == "DEFAULT" && $7 != "UND" && ($4 == "FUNC" || $4 == "OBJECT") {print $8}' |
    sort -u > "$work/kitbag"
cat "$@" | tr -c 'A-Za-z0-9_\n' '\n' | sort -u > "$work/declared"
# Program start-up symbols and C library data copied into the program.
printf '%s\n' _start _init _fini _edata _end __end__ __bss_start __bss_start__ __bss_end__ _bss_end__ \
    __data_start data_start _IO_stdin_used |
    sort > "$work/standard"
status=0
missing=$(comm -23 "$work/kitbag" "$work/exported")
if [ -n "$missing" ]; then
    echo "the portability layer is not exported whole:" $missing
    status=1
fi
extra=$(grep -v '@' "$work/exported" | comm -23 - "$work/kitbag" | comm -23 - "$work/standard" |
        comm -23 - "$work/declared")
if [ -n "$extra" ]; then
    echo "exported but not part of the interface:" $extra
    status=1
fi
[ $status -eq 0 ] && echo "exports ok: $(wc -l < "$work/exported") symbols"
exit $status
