#!/usr/bin/env bash
# Installs what is missing, builds (Release) and runs the benchmarks: loads,
# then start-up against a plain Qt program showing the same form, on a
# virtual X server.
#   scripts/bench.sh [ROUNDS]
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages $BUILD_PACKAGES $RUN_PACKAGES $BENCH_PACKAGES
build "$TEST_BUILD" "sixfold-bench sixfold sixfold-plain-form sixfold-startup-bench" "${TEST_OPTIONS[@]}"
QT_QPA_PLATFORM=offscreen "$TEST_BUILD/sixfold-bench" "$@"
# Start-up times vary more from run to run: three times the rounds.
xvfb-run -a -s "-screen 0 1280x1024x24" \
    "$TEST_BUILD/sixfold-startup-bench" "$((${1:-7} * 3))" "$TEST_BUILD/sixfold-plain-form" "$TEST_BUILD/sixfold"
