#!/usr/bin/env bash
# Runs one of the project's scripts in a clean system of another Debian
# release, made with debootstrap and entered with chroot (no container
# engine), as root:
#   scripts/release.sh RELEASE [SCRIPT [ARGUMENTS...]]
# RELEASE is a Debian suite (trixie, sid, ...); SCRIPT one of scripts/
# (test.sh by default, or bench.sh), given the ARGUMENTS. For example:
#   scripts/release.sh trixie              the suite in Debian 13
#   scripts/release.sh sid bench.sh 3      the benchmark in unstable
# The system is made once, from the mirror the machine's own apt sources
# name, into build/releases/RELEASE (or $SIXFOLD_RELEASES/RELEASE), and
# kept between runs; delete it to start afresh. The scripts install inside
# it whatever they need, as on any machine. The project is mounted at
# /sixfold, and builds into build/RELEASE beside the host's builds.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
release=${1:?"usage: scripts/release.sh RELEASE [SCRIPT [ARGUMENTS...]]"}
script=${2:-test.sh}
shift $(($# < 2 ? $# : 2))
[ "$(id -u)" -eq 0 ] || { echo "scripts/release.sh needs root (debootstrap, chroot, mount)" >&2; exit 1; }
roots=${SIXFOLD_RELEASES:-$ROOT/build/releases}
system=$roots/$release

# The first Debian mirror the machine's apt sources name (one-line or
# deb822 form), else Debian's own.
mirror() {
    local uri
    uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2> /dev/null |
        awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /^https?:/) { print $i; exit } }')
    [ -n "$uri" ] || uri=$(cat /etc/apt/sources.list.d/*.sources 2> /dev/null |
        awk '/^URIs:/ && $2 !~ /security/ && $2 ~ /debian/ { print $2; exit }')
    echo "${uri:-http://deb.debian.org/debian}"
}

command -v debootstrap > /dev/null || { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y debootstrap; }
if [ ! -e "$system/.made" ]; then
    rm -rf "$system"
    mkdir -p "$roots"
    echo "Making a $release system in $system from $(mirror)"
    debootstrap --variant=minbase --include=ca-certificates,git "$release" "$system" "$(mirror)"
    # The archive reached here may be a fixed copy, whose Release files are
    # past their Valid-Until date (unstable's are, soon).
    echo 'Acquire::Check-Valid-Until "false";' > "$system/etc/apt/apt.conf.d/99sixfold"
    touch "$system/.made"
fi
cp /etc/resolv.conf "$system/etc/resolv.conf" 2> /dev/null || true

# Everything mounted is unmounted on every way out, newest first.
mounted=()
unmount() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -R "${mounted[i]}" 2> /dev/null || umount -lR "${mounted[i]}" 2> /dev/null || true
    done
}
trap unmount EXIT
trap 'exit 130' INT TERM
bind() {
    mkdir -p "$system$2"
    mount --rbind "$1" "$system$2"
    mount --make-rslave "$system$2"
    mounted+=("$system$2")
}
mkdir -p "$system/proc"
mount -t proc proc "$system/proc"
mounted+=("$system/proc")
bind /sys /sys
bind /dev /dev
bind "$ROOT" /sixfold

chroot "$system" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" \
    SIXFOLD_CMAKE_OPTIONS="${SIXFOLD_CMAKE_OPTIONS:-}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin SIXFOLD_BUILD="/sixfold/build/$release" \
    bash "/sixfold/scripts/$script" "$@"
