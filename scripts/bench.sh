#!/usr/bin/env bash
# Installs what is missing, builds (Release) and runs the load benchmark.
#   scripts/bench.sh [ROUNDS]
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages $BUILD_PACKAGES
build "$TEST_BUILD" sixfold-bench "${TEST_OPTIONS[@]}"
QT_QPA_PLATFORM=offscreen "$TEST_BUILD/bench/sixfold-bench" "$@"
