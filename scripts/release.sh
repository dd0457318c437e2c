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
# What it mounts: the system's /proc, binds of the machine's /dev and /sys,
# and a bind of the project alone, without the mounts beneath it (so that
# the system's own /dev is not seen again through /sixfold/build/...). All
# of them, and whatever debootstrap mounts, are made in a mount namespace
# of the run's own (unshare), which the rest of the machine never sees. They
# last as long as a process of the run does: killing this script with
# SIGKILL leaves the script it runs in the system going, with its mounts,
# until it ends, but the machine still does not see them. So deleting a
# release system, build/ or the whole tree (rm -rf, git clean -fdx) is
# safe at any time, even during a run, and so is anything the script in
# the system deletes under /sixfold: it never reaches the machine's /dev or
# /sys, or the project through a bind. A run that finds mounts under
# build/releases (left by a run of an older version of this script)
# unmounts them before anything else, and stops if it cannot; nothing is
# removed while a mount lies under it.
set -euo pipefail
usage="usage: scripts/release.sh RELEASE [SCRIPT [ARGUMENTS...]]"
release=${1:?$usage}
script=${2:-test.sh}
shift $(($# < 2 ? $# : 2))
# A name, never a path: the system's folder is made, and removed when half
# made, under build/releases.
[[ $release =~ ^[A-Za-z0-9][A-Za-z0-9-]*$ ]] ||
    { echo "scripts/release.sh: '$release' is not a release name (letters, digits and -); $usage" >&2; exit 2; }
ROOT=$(cd "$(dirname "$0")/.." && pwd -P)
[[ $script != */* && -f $ROOT/scripts/$script ]] ||
    { echo "scripts/release.sh: no script '$script' in scripts/; $usage" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "scripts/release.sh needs root (debootstrap, chroot, mount)" >&2; exit 1; }
# Every path as the kernel lists mounts: symbolic links resolved, no
# trailing slash.
roots=$(realpath -m -- "${SIXFOLD_RELEASES:-$ROOT/build/releases}")
system=$(realpath -m -- "$roots/$release")
[[ $roots$system != *$'\n'* ]] || { echo "scripts/release.sh: a folder name holds a line break" >&2; exit 1; }
# The folders bound at the system's /dev and /sys: the machine's own, or
# stand-ins a test gives.
dev=${SIXFOLD_RELEASE_DEV:-/dev}
sys=${SIXFOLD_RELEASE_SYS:-/sys}

# The mount points at or under the folder (only under it with a second
# argument), deepest first. /proc/self/mountinfo writes a blank, tab, line
# break or backslash in a path as an octal escape; the folder reaches awk
# through the environment, which takes no escapes.
mountsUnder() {
    TOP=$1 STRICT=${2:-} awk '
        function decoded(path,   out, at) {
            out = ""
            while ((at = index(path, "\\")) > 0) {
                out = out substr(path, 1, at - 1) \
                    sprintf("%c", substr(path, at + 1, 1) * 64 + substr(path, at + 2, 1) * 8 + substr(path, at + 3, 1))
                path = substr(path, at + 4)
            }
            return out path
        }
        {
            point = decoded($5)
            if ((point == ENVIRON["TOP"] && ENVIRON["STRICT"] == "") || index(point, ENVIRON["TOP"] "/") == 1)
                print point
        }' /proc/self/mountinfo | sort -r
}
# The same under every release system, and under this one wherever a link
# puts it.
mountsLeft() {
    { mountsUnder "$roots"; mountsUnder "$system"; } | sort -ru
}

if [ "${SIXFOLD_RELEASE_NAMESPACE:-}" != "$system" ]; then
    left=$(mountsLeft)
    if [ -n "$left" ]; then
        echo "Unmounting what an earlier run left under $roots:"
        echo "$left"
        while IFS= read -r point; do
            umount -R "$point" 2> /dev/null || umount -lR "$point" 2> /dev/null || true
        done <<< "$left"
        left=$(mountsLeft)
        [ -z "$left" ] || { echo "scripts/release.sh: mounts are still under $roots; unmount them (umount -R) before running again or deleting it:" >&2; echo "$left" >&2; exit 1; }
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
    # Half made: started afresh, never across a file system, and never
    # while anything is mounted under it (rm --one-file-system goes through
    # a bind of the same file system).
    [ -z "$(mountsUnder "$system")" ] || { echo "scripts/release.sh: mounts under $system; not removing it" >&2; exit 1; }
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
    mkdir -p "$system$3"
    mount "$1" "$2" "$system$3"
}
# The project first, and without what is mounted under it.
bind --bind "$ROOT" /sixfold
mkdir -p "$system/proc"
mount -t proc proc "$system/proc"
bind --rbind "$sys" /sys
bind --rbind "$dev" /dev
# Nothing may be reached through the project's bind: deleting under
# /sixfold in the system must stay within the project.
inside=$(mountsUnder "$system/sixfold" strictly)
[ -z "$inside" ] || { echo "scripts/release.sh: mounts are under the project's bind; not running:" >&2; echo "$inside" >&2; exit 1; }

chroot "$system" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" \
    SIXFOLD_CMAKE_OPTIONS="${SIXFOLD_CMAKE_OPTIONS:-}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin SIXFOLD_BUILD="/sixfold/build/$release" \
    bash "/sixfold/scripts/$script" "$@"
