#!/usr/bin/env bash
# Remakes docs/screenshot.png from the real window, drawn offscreen with the
# font the captions need.
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages $BUILD_PACKAGES $RUN_PACKAGES
dir="$ROOT/build/test"
cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DSIXFOLD_SANITIZE=OFF
cmake --build "$dir" --parallel "$(nproc)" --target sixfold-screenshot
mkdir -p "$ROOT/docs"
QT_QPA_PLATFORM=offscreen "$dir/tools/sixfold-screenshot" "$ROOT/docs/screenshot.png"
echo "wrote docs/screenshot.png"
