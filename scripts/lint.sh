#!/usr/bin/env bash
# Fails on C++ sources that clang-format would change and on any clang-tidy finding in the
# plug-in, the reference host, the Python module's compiled layer and the simulator. Usage:
# scripts/lint.sh [BUILD_DIR] (default build/release, which must have been configured so that it
# holds compile_commands.json).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
echo "clang-format: ${#sources[@]} files"
clang-format --dry-run --Werror "${sources[@]}"

if [ ! -f "$build/compile_commands.json" ]; then
  echo "lint: no $build/compile_commands.json; configure that build first" >&2
  exit 2
fi
mapfile -t checked < <(git ls-files 'host/*.cpp' 'setup/*.cpp' 'model/*.cpp' 'iobox/*.cpp' \
  'sampling/*.cpp' 'mapping/*.cpp' 'platform/*.cpp' 'simulator/*.cpp' 'cli/*.cpp' 'python/*.cpp' |
  grep -v '^mapping/qt/')
echo "clang-tidy: ${#checked[@]} files"
# The build's GCC-only warning options mean nothing to clang.
printf '%s\n' "${checked[@]}" |
  xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet --extra-arg=-Wno-unknown-warning-option \
    2> >(grep -v -E '^[0-9]+ warnings? (generated|treated as errors)\.?$' >&2)
echo "lint: clean"
