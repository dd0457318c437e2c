#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   scripts/test.sh              the suite
#   scripts/test.sh --sanitize   the suite built with AddressSanitizer,
#                                UndefinedBehaviorSanitizer and LeakSanitizer
#   scripts/test.sh --fma        the average-gray and filter tests built for
#                                processors with fused multiply-add
#                                (x86-64-v3), where the floating-point
#                                contract of the average gray matters
#   scripts/test.sh --zlib       the reader's tests built without ISA-L, as
#                                on another architecture: zlib inflates and
#                                checks PNG data
# Further arguments go to ctest (for example -L soak, or -R tst_form);
# SIXFOLD_CMAKE_OPTIONS, more options for the build's configure (for
# example -DSIXFOLD_TRY_BLOCK_DECODER=ON).
set -euo pipefail
source "$(dirname "$0")/common.sh"

dir=$TEST_BUILD
targets=all
options=("${TEST_OPTIONS[@]}")
tests=()
case "${1:-}" in
--sanitize)
    shift
    dir="$BUILD_ROOT/sanitize"
    options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DSIXFOLD_SANITIZE=ON)
    ;;
--fma)
    shift
    if ! grep -qw fma /proc/cpuinfo || ! grep -qw avx2 /proc/cpuinfo; then
        echo "This processor has no FMA and AVX2; skipping the x86-64-v3 tests."
        exit 0
    fi
    dir="$BUILD_ROOT/fma"
    targets="tst_averagegray tst_filters"
    options+=(-DCMAKE_CXX_FLAGS=-march=x86-64-v3)
    tests=(-R '^(tst_averagegray|tst_filters)$')
    ;;
--zlib)
    shift
    dir="$BUILD_ROOT/zlib"
    targets="tst_reader"
    options+=(-DSIXFOLD_ISAL=OFF)
    tests=(-R '^tst_reader$')
    ;;
esac

read -r -a more <<< "${SIXFOLD_CMAKE_OPTIONS:-}"
ensure_packages $BUILD_PACKAGES $TEST_PACKAGES
build "$dir" "$targets" "${options[@]}" -DSIXFOLD_TRY_BLOCK_DECODER=OFF "${more[@]}"
cd "$dir"
ctest --output-on-failure --parallel "$(nproc)" "${tests[@]}" "$@"
