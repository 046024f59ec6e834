#!/usr/bin/env bash
# Builds the configuration-file fuzzer with Clang in build/fuzz and runs it for a bounded time
# (first argument, seconds, default 60; further arguments go to libFuzzer) on a scratch copy of the
# seed corpus, so that the kept corpus does not grow; any crash, leak or sanitizer report fails.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZENTRIX_BUILD_FUZZERS=ON -DZENTRIX_BUILD_TESTS=OFF -DZENTRIX_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build/fuzz --target config_file_fuzzer

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp -R fuzz/corpus/config "$work/corpus"
mkdir -p build/fuzz/artifacts

build/fuzz/fuzz/config_file_fuzzer -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -dict=fuzz/config_file.dict -artifact_prefix=build/fuzz/artifacts/ -print_final_stats=1 \
    "$@" "$work/corpus"
