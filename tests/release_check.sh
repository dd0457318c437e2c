#!/usr/bin/env bash
# scripts/release.sh leaves no mount behind, however it ends. A run in a
# stand-in system (bash and sleep, with stand-in folders bound in place of
# the machine's /dev and /sys) is killed with SIGKILL once its binds are
# made; no mount may then be left, and removing build/ must leave the
# stand-ins and the project whole. A bind left under a system from an
# earlier run is unmounted by the next run.
#   release_check.sh
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "needs root (mount, chroot): skipped"; exit 77; }
unshare --mount true 2> /dev/null || { echo "no mount namespaces here: skipped"; exit 77; }
source=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
project=$work/project
system=$project/build/releases/standin
mountsUnderWork() { findmnt -ln -o TARGET | grep -F "$work/" || true; }
cleanUp() {
    [ -z "${held:-}" ] || kill -KILL -- "-$held" 2> /dev/null || true
    # Never removed through a mount.
    mountsUnderWork | sort -r | while read -r point; do umount -lR "$point"; done
    [ -z "$(mountsUnderWork)" ] && rm -rf --one-file-system "$work"
}
trap cleanUp EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# A made system of bash, env and sleep, with the libraries they load at the
# same paths.
makeSystem() {
    local program file
    for program in bash env sleep; do
        for file in $(command -v "$program") $(ldd "$(command -v "$program")" | grep -o '/[^ ]*'); do
            mkdir -p "$system$(dirname "$file")"
            cp -L "$file" "$system$file"
        done
    done
    touch "$system/.made"
}
mkdir -p "$project/scripts" "$project/.git" "$work/dev" "$work/sys"
cp "$source/scripts/release.sh" "$project/scripts/"
echo "ref: refs/heads/main" > "$project/.git/HEAD"
touch "$work/dev/standin" "$work/sys/standin"
makeSystem
# Run in the system: it sees the stand-ins and writes into the project
# through its bind, then waits to be killed.
cat > "$project/scripts/hold.sh" << 'HOLD'
[ -e /dev/standin ] && [ -e /sys/standin ] && echo bound > /sixfold/bound
exec sleep 600
HOLD
echo true > "$project/scripts/pass.sh"

export SIXFOLD_RELEASE_DEV=$work/dev SIXFOLD_RELEASE_SYS=$work/sys
setsid bash "$project/scripts/release.sh" standin hold.sh > "$work/log" 2>&1 &
held=$!
for _ in $(seq 300); do
    [ -e "$project/bound" ] || ! kill -0 "$held" 2> /dev/null && break
    sleep 0.1
done
[ -e "$project/bound" ] || fail "the stand-in run did not start: $(cat "$work/log")"
kill -KILL "$held"
sleep 0.5
left=$(mountsUnderWork)
[ -z "$left" ] || fail "mounts are left after SIGKILL: $left"
rm -rf "$project/build"
[ -e "$work/dev/standin" ] && [ -e "$work/sys/standin" ] || fail "removing build/ reached the stand-ins"
[ -e "$project/.git/HEAD" ] && [ -e "$project/scripts/release.sh" ] || fail "removing build/ reached the project"

# A bind an older run left behind, which rm would follow into the stand-in.
makeSystem
mkdir -p "$system/dev"
mount --bind "$work/dev" "$system/dev"
bash "$project/scripts/release.sh" standin pass.sh > "$work/log" 2>&1 || fail "the run after a left bind failed: $(cat "$work/log")"
left=$(mountsUnderWork)
[ -z "$left" ] || fail "a bind left by an earlier run is still there: $left"
rm -rf "$project/build"
[ -e "$work/dev/standin" ] || fail "removing build/ reached the stand-in /dev"
echo "release script checks passed"
