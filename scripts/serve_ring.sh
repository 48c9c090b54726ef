# Sourced by the demo and the installation check.
#
#   serve_ring WORK RING VAULTKEEP RINGCAT [EMULATOR...]
#
# Starts VAULTKEEP serving the segment directory RING on a free loopback
# port, admitting loopback clients through WORK/vaultkeep.pf, its output in
# WORK/vaultkeep.log, and waits until RINGCAT reads from it. Sets port and
# pid (empty when no server could be started) and returns 0 when it is up.
# Programs run through the EMULATOR words when given.
serve_ring() {
    work=$1 ring=$2 vaultkeep=$3 ringcat=$4
    shift 4
    printf 'valid_ip_addresses &Tbl{\n127.0.0.1 255.255.255.255\n}\n' > "$work/vaultkeep.pf"
    port=$((20000 + $$ % 20000))
    for attempt in 1 2 3 4 5 6 7 8 9 10; do
        PFPATH=$work "$@" "$vaultkeep" "$ring:$port" > "$work/vaultkeep.log" 2>&1 &
        pid=$!
        # The server names its ring only once it listens: a port taken by
        # another server ends it first, so a reply then is its own.
        for wait in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            if grep -qF "$ring   (" "$work/vaultkeep.log" &&
               "$@" "$ringcat" -N -n 1 ":$port" > /dev/null 2>&1; then
                return 0
            fi
            sleep 0.2
        done
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        pid=""
        port=$((port + 1))
    done
    return 1
}
