#!/usr/bin/env bash
# scripts/release.sh never lets a run reach the machine's /dev, /sys or the
# project through a mount, and leaves no mount behind, however it ends.
# Runs in stand-in systems (bash, env, rm and sleep, with stand-in folders
# bound in place of the machine's /dev and /sys):
# - a run killed with SIGKILL once its binds are made leaves no mount, and
#   the system it ran does not see the stand-ins through /sixfold;
# - a run that removes /sixfold/build leaves the stand-ins whole;
# - a bind an earlier run left is unmounted by the next, wherever the
#   release systems are reached from (build/ a link, the project through a
#   link, a trailing slash, a backslash in a folder's name, another
#   release's folder), so that removing build/ never reaches a stand-in;
# - a RELEASE that is not a name is refused before anything is touched.
# The test's folder is a shared mount in a namespace of the test's own, so
# that a mount the script makes outside a namespace of its own, or in one
# that still propagates, shows here.
#   release_check.sh
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "needs root (mount, chroot): skipped"; exit 77; }
unshare --mount true 2> /dev/null || { echo "no mount namespaces here: skipped"; exit 77; }
[ -n "${RELEASE_CHECK_OWN_NAMESPACE:-}" ] || RELEASE_CHECK_OWN_NAMESPACE=1 exec unshare --mount bash "$0" "$@"
source=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
mount --bind "$work" "$work"
mount --make-rshared "$work"
mountsUnderWork() { findmnt -ln -o TARGET | grep -F "$work/" || true; }
cleanUp() {
    [ -z "${held:-}" ] || kill -KILL -- "-$held" 2> /dev/null || true
    # Never removed through a mount.
    umount -lR "$work"
    rm -rf --one-file-system "$work"
}
trap cleanUp EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# A project of the script and the scripts run in its systems, with a file
# in src/ that must outlive every row.
makeProject() {
    mkdir -p "$1/scripts" "$1/.git" "$1/src"
    cp "$source/scripts/release.sh" "$1/scripts/"
    echo "ref: refs/heads/main" > "$1/.git/HEAD"
    touch "$1/src/kept"
    # Run in the system: it sees the stand-ins, but not again through the
    # project's bind, and writes into the project; then waits to be killed.
    cat > "$1/scripts/hold.sh" << 'HOLD'
[ -e /dev/standin ] && [ -e /sys/standin ] && echo bound > /sixfold/bound
[ -e /sixfold/build/releases/standin/dev/standin ] && echo "the stand-in /dev through /sixfold" > /sixfold/bound
exec sleep 600
HOLD
    echo 'rm -rf /sixfold/build; echo removed > /sixfold/removed' > "$1/scripts/remove.sh"
    echo true > "$1/scripts/pass.sh"
}
# A made system of bash, env, rm and sleep, with the libraries they load at
# the same paths.
makeSystem() {
    local program file
    for program in bash env rm sleep; do
        for file in $(command -v "$program") $(ldd "$(command -v "$program")" | grep -o '/[^ ]*'); do
            mkdir -p "$1$(dirname "$file")"
            cp -L "$file" "$1$file"
        done
    done
    touch "$1/.made"
}
# The stand-ins and the project are whole.
expectWhole() {
    [ -e "$work/dev/standin" ] && [ -e "$work/sys/standin" ] || fail "$1 reached the stand-ins"
    [ -e "$2/.git/HEAD" ] && [ -e "$2/scripts/release.sh" ] && [ -e "$2/src/kept" ] || fail "$1 reached the project"
}
mkdir -p "$work/dev" "$work/sys"
touch "$work/dev/standin" "$work/sys/standin"
export SIXFOLD_RELEASE_DEV=$work/dev SIXFOLD_RELEASE_SYS=$work/sys

# Killed with SIGKILL, its binds made.
project=$work/project
makeProject "$project"
makeSystem "$project/build/releases/standin"
setsid bash "$project/scripts/release.sh" standin hold.sh > "$work/log" 2>&1 &
held=$!
disown "$held"
for _ in $(seq 300); do
    [ -e "$project/bound" ] || ! kill -0 "$held" 2> /dev/null && break
    sleep 0.1
done
[ "$(cat "$project/bound" 2> /dev/null)" = bound ] ||
    fail "the stand-in run did not start, or saw: $(cat "$project/bound" 2> /dev/null) $(cat "$work/log")"
kill -KILL "$held"
sleep 0.5
left=$(mountsUnderWork)
[ -z "$left" ] || fail "mounts are left after SIGKILL: $left"
rm -rf "$project/build"
expectWhole "removing build/ after SIGKILL" "$project"

# The script in the system removes the project's build/.
makeSystem "$project/build/releases/standin"
bash "$project/scripts/release.sh" standin remove.sh > "$work/log" 2>&1 || fail "the removing run failed: $(cat "$work/log")"
[ -e "$project/removed" ] || fail "the removing run did not run: $(cat "$work/log")"
expectWhole "removing /sixfold/build inside the run" "$project"

# A bind an older run left behind, which rm would follow into the stand-in:
# the row's name, the project's folder, the link the script is run through
# (none: the project itself), where build/ really is (none: in the
# project), SIXFOLD_RELEASES, and the release whose /dev is bound.
while IFS='|' read -r row folder link builds releases bound; do
    project=$work/$folder
    makeProject "$project"
    if [ -n "$builds" ]; then
        mkdir -p "$work/$builds"
        ln -s "$work/$builds" "$project/build"
    fi
    [ -z "$link" ] || ln -s "$project" "$work/$link"
    makeSystem "$project/build/releases/standin"
    mkdir -p "$project/build/releases/$bound/dev"
    mount --bind "$work/dev" "$project/build/releases/$bound/dev"
    (
        [ -z "$releases" ] || export SIXFOLD_RELEASES=$work/$releases
        bash "$work/${link:-$folder}/scripts/release.sh" standin pass.sh
    ) > "$work/log" 2>&1 || fail "$row: the run after a left bind failed: $(cat "$work/log")"
    left=$(mountsUnderWork)
    [ -z "$left" ] || fail "$row: a bind left by an earlier run is still there: $left"
    rm -rf "$project/build/"
    expectWhole "$row: removing build/" "$project"
done << 'ROWS'
in the project's own folder|plain||||standin
build/ a link to another folder|linked-build||elsewhere/builds||standin
the project reached through a link|through-link|link|||standin
SIXFOLD_RELEASES ending in a slash|slash|||slash/build/releases/|standin
a backslash in the project's folder|back\new||||standin
a bind under another release's folder|other||||other
ROWS

# Not a release name: refused before the disk is touched.
project=$work/names
makeProject "$project"
mkdir -p "$project/build/releases"
for name in ../x ../../src ./ a/b "" -x; do
    if bash "$project/scripts/release.sh" "$name" pass.sh > "$work/log" 2>&1; then
        fail "the release name '$name' was taken"
    fi
    expectWhole "the release name '$name'" "$project"
    [ -z "$(ls -A "$project/build/releases")" ] || fail "the release name '$name' made $(ls -A "$project/build/releases")"
done
echo "release script checks passed"
