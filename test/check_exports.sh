#!/bin/sh
# Checks the dynamic symbol table of one of our shared libraries: every
# defined symbol is a plain C name declared in the given public headers,
# the names given as borrowed stay undefined (the program supplies them),
# and the library names no library of ours among those it needs.
#   check_exports.sh NM READELF LIB "BORROWED NAMES" HEADER...
# A static library (LIB ending in .a) is checked by the symbols its objects
# give default visibility; with EXPORTED_BY set to a program linked with it,
# that program's dynamic symbol table must define each of them.
set -eu
nm=$1 readelf=$2 lib=$3 borrowed=$4
shift 4
case $lib in
*.a)
    symbols=$("$readelf" -sW "$lib")
    defined=$(printf '%s\n' "$symbols" |
        awk '($5 == "GLOBAL" || $5 == "WEAK") && $6 == "DEFAULT" && $7 != "UND" {print $8}' | sort -u)
    undefined=$(printf '%s\n' "$symbols" | awk '$7 == "UND" {print $8}' | sed 's/@.*//' | sort -u)
    ;;
*)
    defined=$("$nm" -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVWGS]$/ {print $3}' | sort -u)
    undefined=$("$nm" -D --undefined-only "$lib" | awk '{print $2}' | sed 's/@.*//' | sort -u)
    ;;
esac
headers=$(cat "$@")
status=0
for sym in $defined; do
    case $sym in
        _init|_fini|_edata|_end|__bss_start) continue ;;
        __odr_asan*) continue ;;  # sanitizer bookkeeping
    esac
    if ! printf '%s\n' "$headers" | grep -q -w -- "$sym"; then
        echo "exported but not part of the public interface: $sym"
        status=1
    fi
done
for sym in $borrowed; do
    if printf '%s\n' "$defined" | grep -q -x -- "$sym"; then
        echo "defined here but supplied by the program: $sym"
        status=1
    elif ! printf '%s\n' "$undefined" | grep -q -x -- "$sym"; then
        echo "not referenced: $sym"
        status=1
    fi
done
if [ -n "${EXPORTED_BY:-}" ]; then
    program=$("$nm" -D --defined-only "$EXPORTED_BY" | awk '{print $3}' | sort -u)
    for sym in $defined; do
        case $sym in __odr_asan*|__asan*|__tsan*|__ubsan*|__sanitizer*) continue ;; esac
        if ! printf '%s\n' "$program" | grep -q -x -- "$sym"; then
            echo "not exported by $EXPORTED_BY: $sym"
            status=1
        fi
    done
fi
case $lib in *.a) needed="" ;; *) needed=$("$readelf" -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\].*/\1/p') ;; esac
for lib_needed in $needed; do
    case $lib_needed in
        libbasalt*|libkitbag*|libtorvik*|libgannet*|libimksignal*)
            echo "names a library it should take from the program: $lib_needed"
            status=1 ;;
    esac
done
[ $status -eq 0 ] && echo "exports ok: $(printf '%s\n' "$defined" | wc -l) symbols"
exit $status
