#!/usr/bin/env bash
# Runs one fuzz target from its seed corpus:  fuzz/run.sh TARGET SECONDS [LIBFUZZER_ARGS...]
# TARGET is picture_path, unpack, pack_roundtrip, huffman_roundtrip or jpeg_read (with or
# without the fuzz_ prefix). Builds the target in build/fuzz (or $DCTLAB_FUZZ_BUILD) with
# clang, libFuzzer, ASan and UBSan when needed. New inputs go to a working
# corpus under the build folder, the committed seeds stay as they are; a
# finding is written to build/fuzz/findings/TARGET/ and the script exits
# non-zero (crash, leak, timeout, out-of-memory or sanitizer report).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(dirname "$here")"
build="${DCTLAB_FUZZ_BUILD:-$source_dir/build/fuzz}"

if [ $# -lt 2 ]; then
    echo "usage: $0 TARGET SECONDS [LIBFUZZER_ARGS...]" >&2
    exit 2
fi
target="fuzz_${1#fuzz_}"
seconds="$2"
shift 2

# Limits per target: each must finish one input well within the timeout, and
# the unpack target must never take more memory than its 1 MiB blocks and the
# decoder's 32 MiB lookup table need.
case "$target" in
fuzz_picture_path) limits=(-timeout=10 -rss_limit_mb=2048) ;;
fuzz_unpack) limits=(-timeout=10 -rss_limit_mb=1024 -malloc_limit_mb=64) ;;
fuzz_huffman_roundtrip) limits=(-timeout=10 -rss_limit_mb=1024) ;;
fuzz_pack_roundtrip) limits=(-timeout=10 -rss_limit_mb=1024) ;;
fuzz_jpeg_read) limits=(-timeout=10 -rss_limit_mb=1024 -malloc_limit_mb=64) ;;
*)
    echo "unknown target $1 (picture_path, unpack, pack_roundtrip, huffman_roundtrip, jpeg_read)" >&2
    exit 2
    ;;
esac

# CI builds every target once beforehand and then runs several at a time,
# which must not start builds of one folder side by side.
if [ -z "${DCTLAB_FUZZ_PREBUILT:-}" ]; then
"$source_dir/setup" fuzz
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$source_dir" -B "$build" -G Ninja \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=Debug -DDCTLAB_FUZZ=ON -DDCTLAB_SANITIZE=ON \
        "-DCMAKE_C_FLAGS=-O2 -fsanitize=fuzzer-no-link" \
        "-DCMAKE_CXX_FLAGS=-O2 -fsanitize=fuzzer-no-link" >/dev/null
fi
cmake --build "$build" --target "$target"
fi

work="$build/corpus/$target"
findings="$build/findings/$target"
mkdir -p "$work" "$findings"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
echo "== $target for $seconds s =="
"$build/fuzz/$target" "${limits[@]}" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$findings/" "$@" "$work" "$here/corpus/$target"
