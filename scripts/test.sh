#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   scripts/test.sh              the suite
#   scripts/test.sh --sanitize   the suite built with AddressSanitizer,
#                                UndefinedBehaviorSanitizer and LeakSanitizer
# Further arguments go to ctest (for example -L soak, or -R tst_form).
set -euo pipefail
source "$(dirname "$0")/common.sh"

dir=$TEST_BUILD
options=("${TEST_OPTIONS[@]}")
if [ "${1:-}" = "--sanitize" ]; then
    shift
    dir="$ROOT/build/sanitize"
    options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DSIXFOLD_SANITIZE=ON)
fi

ensure_packages $BUILD_PACKAGES $TEST_PACKAGES
build "$dir" all "${options[@]}"
cd "$dir"
ctest --output-on-failure --parallel "$(nproc)" "$@"
