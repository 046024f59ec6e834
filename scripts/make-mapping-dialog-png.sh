#!/usr/bin/env bash
# Regenerates docs/mapping-dialog.png, the README's picture of the mapping dialog: the example
# setup on the simulated IO box, on a virtual X server.
#   scripts/make-mapping-dialog-png.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
exec scripts/check-mapping-dialog.sh --docs docs/mapping-dialog.png "${1:-build/release}"
