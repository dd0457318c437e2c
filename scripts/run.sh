#!/usr/bin/env bash
# Installs what is missing, builds the program (Release) and starts it.
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages $BUILD_PACKAGES $RUN_PACKAGES
build "$BUILD_ROOT/release" sixfold -DCMAKE_BUILD_TYPE=Release -DSIXFOLD_TESTS=OFF

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "sixfold: no display to open a window on (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
    echo "Start it from a desktop session, or under Xvfb: xvfb-run scripts/run.sh" >&2
    exit 1
fi
exec "$ROOT/build/release/sixfold" "$@"
