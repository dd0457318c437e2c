#!/usr/bin/env bash
# Remakes docs/screenshot.png from the real window, drawn offscreen with the
# font the captions need.
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages $BUILD_PACKAGES $RUN_PACKAGES
build "$TEST_BUILD" sixfold-screenshot "${TEST_OPTIONS[@]}"
mkdir -p "$ROOT/docs"
QT_QPA_PLATFORM=offscreen "$TEST_BUILD/sixfold-screenshot" "$ROOT/docs/screenshot.png"
echo "wrote docs/screenshot.png"
