#!/usr/bin/env bash
# Installs the build dependencies, builds the release preset and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
ctest --preset release
