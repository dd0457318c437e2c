#!/usr/bin/env bash
# Builds the libFuzzer target with clang and fuzzes the load for SECONDS
# (default 60). Findings are written to build/fuzz/findings; the corpus
# grows in build/fuzz/corpus and is kept between runs.
#   scripts/fuzz.sh [SECONDS] [more libFuzzer options]
set -euo pipefail
source "$(dirname "$0")/common.sh"

seconds=${1:-60}
shift || true
# The compiler and its runtime (libFuzzer, the sanitizers) must be of one version.
clang_version=14
ensure_packages $BUILD_PACKAGES "clang-$clang_version" "libclang-rt-$clang_version-dev"
dir="$ROOT/build/fuzz"
build "$dir" sixfold-fuzz -DCMAKE_CXX_COMPILER="clang++-$clang_version" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSIXFOLD_FUZZ=ON

export LSAN_OPTIONS="suppressions=$ROOT/tests/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
mkdir -p "$dir/corpus" "$dir/findings"
[ -n "$(ls -A "$dir/corpus")" ] || SIXFOLD_MAKE_SEEDS="$dir/corpus" "$dir/fuzz/sixfold-fuzz"

# Pictures may declare up to 2^30 pixels (3 GB decoded), so the memory
# limits sit above that; OpenCV's own warnings are silenced.
export OPENCV_LOG_LEVEL=SILENT
cd "$dir/findings"
"$dir/fuzz/sixfold-fuzz" "$dir/corpus" -max_total_time="$seconds" -timeout=60 \
    -rss_limit_mb=6144 -malloc_limit_mb=4096 -close_fd_mask=3 -print_final_stats=1 "$@"
