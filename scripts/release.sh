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
# kept between runs. The scripts install inside it whatever they need, as
# on any machine. The project is mounted at /sixfold, and builds into
# build/RELEASE beside the host's builds.
#
# What it mounts: the system's /proc, and binds of the machine's /dev and
# /sys and of the project. All of them, and whatever debootstrap mounts, are
# made in a mount namespace of the run's own (unshare), which the rest of
# the machine does not see and which ends with the run, however it ends
# (killed with SIGKILL too). So deleting a release system, build/ or the
# whole tree (rm -rf, git clean -fdx) is safe at any time, even during a
# run: it never reaches the machine's /dev or /sys, or the project through
# a bind. A run that finds mounts under a system (left by a run of an older
# version of this script) unmounts them before anything else, and stops if
# it cannot.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
release=${1:?"usage: scripts/release.sh RELEASE [SCRIPT [ARGUMENTS...]]"}
script=${2:-test.sh}
shift $(($# < 2 ? $# : 2))
[ "$(id -u)" -eq 0 ] || { echo "scripts/release.sh needs root (debootstrap, chroot, mount)" >&2; exit 1; }
roots=${SIXFOLD_RELEASES:-$ROOT/build/releases}
system=$roots/$release
# The folders bound at the system's /dev and /sys: the machine's own, or
# stand-ins a test gives.
dev=${SIXFOLD_RELEASE_DEV:-/dev}
sys=${SIXFOLD_RELEASE_SYS:-/sys}

# The mount points at or under the system, deepest first.
mountsUnder() {
    findmnt -ln -o TARGET | awk -v top="$system" '$0 == top || index($0, top "/") == 1' | sort -r
}

if [ "${SIXFOLD_RELEASE_NAMESPACE:-}" != "$system" ]; then
    left=$(mountsUnder)
    if [ -n "$left" ]; then
        echo "Unmounting what an earlier run left under $system:"
        echo "$left"
        while read -r point; do
            umount -R "$point" 2> /dev/null || umount -lR "$point" 2> /dev/null || true
        done <<< "$left"
        left=$(mountsUnder)
        [ -z "$left" ] || { echo "scripts/release.sh: mounts are still under $system; unmount them (umount -R) before running again or deleting it:" >&2; echo "$left" >&2; exit 1; }
    fi
    command -v unshare > /dev/null || { echo "scripts/release.sh needs unshare (util-linux)" >&2; exit 1; }
    SIXFOLD_RELEASE_NAMESPACE=$system exec unshare --mount --propagation private bash "$0" "$release" "$script" "$@"
fi

# From here on in the run's own mount namespace.

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

if [ ! -e "$system/.made" ]; then
    # Half made: started afresh, never across a file system.
    [ -z "$(mountsUnder)" ] || { echo "scripts/release.sh: mounts under $system; not removing it" >&2; exit 1; }
    rm -rf --one-file-system "$system"
    command -v debootstrap > /dev/null || { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y debootstrap; }
    mkdir -p "$roots"
    echo "Making a $release system in $system from $(mirror)"
    debootstrap --variant=minbase --include=ca-certificates,git "$release" "$system" "$(mirror)"
    # The archive reached here may be a fixed copy, whose Release files are
    # past their Valid-Until date (unstable's are, soon).
    echo 'Acquire::Check-Valid-Until "false";' > "$system/etc/apt/apt.conf.d/99sixfold"
    touch "$system/.made"
fi
cp /etc/resolv.conf "$system/etc/resolv.conf" 2> /dev/null || true

bind() {
    mkdir -p "$system$2"
    mount --rbind "$1" "$system$2"
}
mkdir -p "$system/proc"
mount -t proc proc "$system/proc"
bind "$sys" /sys
bind "$dev" /dev
bind "$ROOT" /sixfold

chroot "$system" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" \
    SIXFOLD_CMAKE_OPTIONS="${SIXFOLD_CMAKE_OPTIONS:-}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin SIXFOLD_BUILD="/sixfold/build/$release" \
    bash "/sixfold/scripts/$script" "$@"
