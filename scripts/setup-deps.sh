#!/bin/sh
# Installs the Debian packages a build needs when they are missing.
# usage: setup-deps.sh [native|arm|bench|fuzz]...
set -eu
want="cmake ninja-build g++ make libgtest-dev libgmock-dev googletest binutils gzip bzip2 tzdata"
# Test-only: the Fortran compiler of the bindings test, GNU units and GSL as oracles.
want="$want gfortran units libgsl-dev"
for set in "$@"; do
    case $set in
        native) want="$want libssl-dev zlib1g-dev libsqlite3-dev" ;;  # test oracles
        arm) want="$want g++-arm-linux-gnueabihf gfortran-arm-linux-gnueabihf qemu-user-static binfmt-support" ;;
        bench) want="$want libbenchmark-dev libssl-dev zlib1g-dev libmseed-dev libsqlite3-dev" ;;
        fuzz) want="$want clang libclang-rt-14-dev" ;;
        *) echo "setup-deps: unknown set '$set'" >&2; exit 2 ;;
    esac
done
missing=""
for pkg in $want; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing="$missing $pkg"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "setup-deps: missing packages:$missing (run as root to install them)" >&2
    exit 0
fi
echo "setup-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=600 update -qq
# shellcheck disable=SC2086
apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends $missing >/dev/null
