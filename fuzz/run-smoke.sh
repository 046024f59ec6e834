#!/usr/bin/env bash
# Builds the libFuzzer targets with Clang in build/fuzz and runs each for a bounded time on a
# scratch copy of its seed corpus, so that the kept corpora do not grow; any crash, leak or
# sanitizer report fails. Arguments: the configuration-file fuzzer's seconds (default 30), the
# seconds of each other fuzzer (default 20); further arguments go to libFuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."

config_seconds="${1:-30}"
other_seconds="${2:-20}"
shift $(($# < 2 ? $# : 2))

# Fuzzer, its kept corpus under fuzz/corpus, its dictionary.
fuzzers=(
    "config_file_fuzzer config fuzz/config_file.dict"
    "registry_file_fuzzer registry_file fuzz/registry.dict"
    "bench_config_fuzzer bench_config fuzz/bench_config.dict"
)

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZENTRIX_BUILD_FUZZERS=ON -DZENTRIX_BUILD_TESTS=OFF -DZENTRIX_BUILD_BENCHMARKS=OFF >/dev/null
targets=()
for entry in "${fuzzers[@]}"; do
    read -r name _ _ <<<"$entry"
    targets+=("$name")
done
cmake --build build/fuzz --target "${targets[@]}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p build/fuzz/artifacts

for entry in "${fuzzers[@]}"; do
    read -r name corpus dict <<<"$entry"
    seconds="$other_seconds"
    if [[ "$name" == config_file_fuzzer ]]; then
        seconds="$config_seconds"
    fi
    echo "== $name for ${seconds} s"
    cp -R "fuzz/corpus/$corpus" "$work/$corpus"
    "build/fuzz/fuzz/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -dict="$dict" -artifact_prefix="build/fuzz/artifacts/$name-" -print_final_stats=1 \
        "$@" "$work/$corpus"
done
