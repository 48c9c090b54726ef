#!/bin/sh
# Checks the dynamic symbol table of libbasalt: every defined symbol is a
# plain C name declared in the public headers, and the portability functions
# stay undefined.
set -eu
nm=$1 lib=$2 src=$3
defined=$("$nm" -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVWGS]$/ {print $3}' | sort -u)
undefined=$("$nm" -D --undefined-only "$lib" | awk '{print $2}' | sed 's/@.*//' | sort -u)
# Only the installed (public) headers count.
headers=$(for h in "$src"/lib/utility/basalt/*.h "$src"/lib/kitbag/kitbag*.h; do
    case $h in */alloc.h|*_private.h) ;; *) cat "$h" ;; esac
done)
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
for sym in std_dlopen; do
    if printf '%s\n' "$defined" | grep -q -x -- "$sym"; then
        echo "portability function defined in libbasalt: $sym"
        status=1
    fi
done
[ $status -eq 0 ] && echo "exports ok: $(printf '%s\n' "$defined" | wc -l) symbols"
exit $status
