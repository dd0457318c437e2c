#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and fuzzes one for SECONDS
# (default 60):
#   scripts/fuzz.sh [load] [SECONDS] [more libFuzzer options]
#       the window's whole load path, any format
#   scripts/fuzz.sh reader [SECONDS] [more libFuzzer options]
#       the JPEG and PNG reader against cv::imread, pixel for pixel
#   scripts/fuzz.sh exif [SECONDS] [more libFuzzer options]
#       the EXIF orientation parser against OpenCV's own reading
#   scripts/fuzz.sh reader-coverage
#       line coverage of the reader's sources over the reader's corpus
# Findings are written to build/fuzz/findings; each target's corpus grows in
# build/fuzz/corpus-TARGET and is kept between runs. After a reader run,
# fuzz/reader-corpus.txt is rewritten from the minimised corpus; commit it,
# so that the test reader_fuzz_replay replays it. An input that made the
# reader differ goes, minimised, into fuzz/reader-findings.txt by hand.
set -euo pipefail
source "$(dirname "$0")/common.sh"

target=load
case "${1:-}" in
load | reader | exif | reader-coverage) target=$1; shift ;;
esac
seconds=${1:-60}
shift || true
# The compiler and its runtime (libFuzzer, the sanitizers) must be of one
# version: the first of these the release has (14 in Debian 12, 19 in 13).
clang_version=
for version in 14 19 21 20; do
    if command -v "clang++-$version" > /dev/null || apt-cache show "clang-$version" > /dev/null 2>&1; then
        clang_version=$version
        break
    fi
done
[ -n "$clang_version" ] || { echo "no clang of a known version to fuzz with" >&2; exit 1; }
ensure_packages $BUILD_PACKAGES "clang-$clang_version" "libclang-rt-$clang_version-dev" "llvm-$clang_version"
export LSAN_OPTIONS="suppressions=$ROOT/tests/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export OPENCV_LOG_LEVEL=SILENT
dir="$BUILD_ROOT/fuzz"
corpus="$dir/corpus-${target%-coverage}"

if [ "$target" = reader-coverage ]; then
    # The replay program built with clang's source-based coverage, run over
    # the seeds and the corpus.
    cov="$BUILD_ROOT/coverage"
    flags="-fprofile-instr-generate -fcoverage-mapping"
    build "$cov" reader_fuzz_replay -DCMAKE_CXX_COMPILER="clang++-$clang_version" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags"
    list=$(mktemp)
    trap 'rm -f "$list"' EXIT
    for f in "$corpus"/*; do base64 -w0 "$f"; echo; done > "$list"
    LLVM_PROFILE_FILE="$cov/replay.profraw" "$cov/reader_fuzz_replay" "$list"
    "llvm-profdata-$clang_version" merge -o "$cov/replay.profdata" "$cov/replay.profraw"
    "llvm-cov-$clang_version" report "$cov/reader_fuzz_replay" -instr-profile="$cov/replay.profdata" \
        "$ROOT/src/rowreader.cpp" "$ROOT/src/jpegrows.cpp" "$ROOT/src/jpegbound.cpp" "$ROOT/src/pngrows.cpp" \
        "$ROOT/src/filewalk.cpp" "$ROOT/src/jpegpixels.cpp" "$ROOT/src/imagereader.cpp" "$ROOT/src/imageops.cpp"
    exit 0
fi

build "$dir" "sixfold-fuzz-load sixfold-fuzz-diff sixfold-fuzz-exif" -DCMAKE_CXX_COMPILER="clang++-$clang_version" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSIXFOLD_FUZZ=ON
program="$dir/sixfold-fuzz-$target"
if [ "$target" = reader ]; then
    program="$dir/sixfold-fuzz-diff"
    # cv::imread refuses pictures beyond the 4 megapixels compared.
    export OPENCV_IO_MAX_IMAGE_PIXELS=4194304
fi
# Writes the kept reader corpus (fuzz/reader-corpus.txt) into a folder, a
# file an input.
unpack_kept() {
    local n=0 line
    while read -r line; do
        n=$((n + 1))
        echo "$line" | base64 -d > "$1/kept$n"
    done < <(grep -v '^#' "$ROOT/fuzz/reader-corpus.txt")
}

mkdir -p "$corpus" "$dir/findings"
if [ -z "$(ls -A "$corpus")" ]; then
    SIXFOLD_MAKE_SEEDS="$corpus" "$program"
    # A new reader corpus starts from the kept one too.
    [ "$target" != reader ] || unpack_kept "$corpus"
fi

# Pictures may declare up to 2^30 pixels (3 GB decoded), so the memory
# limits sit above that.
cd "$dir/findings"
"$program" "$corpus" -max_total_time="$seconds" -timeout=60 \
    -rss_limit_mb=6144 -malloc_limit_mb=4096 -close_fd_mask=3 -print_final_stats=1 "$@"

if [ "$target" = reader ]; then
    # Minimise the corpus, with the kept one, and keep it, as text, for the
    # replay test.
    merged="$dir/merged-reader" kept="$dir/kept-reader"
    rm -rf "$merged" "$kept" && mkdir -p "$merged" "$kept"
    unpack_kept "$kept"
    "$program" -merge=1 "$merged" "$kept" "$corpus" > /dev/null 2>&1
    {
        sed -n '/^#/p' "$ROOT/fuzz/reader-corpus.txt"
        # Big inputs (the thin JPEG seeds' offspring) stay out of the text;
        # the seeds themselves are replayed.
        for f in "$merged"/*; do
            [ "$(stat -c %s "$f")" -le 8192 ] || continue
            base64 -w0 "$f"
            echo
        done
    } > "$ROOT/fuzz/reader-corpus.txt.new"
    mv "$ROOT/fuzz/reader-corpus.txt.new" "$ROOT/fuzz/reader-corpus.txt"
    echo "kept $(grep -vc '^#' "$ROOT/fuzz/reader-corpus.txt") inputs in fuzz/reader-corpus.txt"
fi
