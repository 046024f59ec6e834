#!/usr/bin/env bash
# Runs the growth benchmarks with real sleeps, SECONDS per case (default 2) and REPETITIONS times
# each (default 3) in random order, so that a burst of load elsewhere on the machine spoils at most
# one run of a case and hits both sampling modes alike; the whole series takes about
# 40 * SECONDS * REPETITIONS seconds. Writes docs/growth.json, docs/growth.md and docs/growth.svg.
# Expects a release build (cmake --preset release && cmake --build --preset release).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-2}"
repetitions="${2:-3}"
raw="$(mktemp)"
trap 'rm -f "$raw"' EXIT
ZENTRIX_GROWTH_SECONDS="$seconds" ./build/release/bench/zentrix_bench \
  --benchmark_filter='^BM_Growth' \
  --benchmark_repetitions="$repetitions" --benchmark_enable_random_interleaving=true \
  --benchmark_out="$raw" --benchmark_out_format=json
# docs/growth.json keeps only the runs the report uses, so that the report can be made again from
# it without the benchmarks.
/usr/bin/python3 scripts/growth-report.py "$raw" --save-runs docs/growth.json
/usr/bin/python3 scripts/growth-report.py docs/growth.json --markdown docs/growth.md --svg docs/growth.svg
