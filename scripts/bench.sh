#!/usr/bin/env bash
# Installs what is missing, builds (Release) and runs the load benchmark.
#   scripts/bench.sh [ROUNDS]
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages $BUILD_PACKAGES
dir="$ROOT/build/test"
cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DSIXFOLD_SANITIZE=OFF
cmake --build "$dir" --parallel "$(nproc)" --target sixfold-bench
QT_QPA_PLATFORM=offscreen "$dir/bench/sixfold-bench" "$@"
