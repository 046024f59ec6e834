#!/usr/bin/env bash
# Regenerates docs/timeline.png, the README's timeline picture: a 12 s session recorded on the
# simulated demo bench (pellets every 2 s, the white spot every 3 s), drawn with zentrix.plot.
# Expects a release build (cmake --preset release && cmake --build --preset release).
set -euo pipefail
cd "$(dirname "$0")/.."
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
folder="$(build/release/cli/zentrix --simulate=examples/bench-demo.json --config-dir examples \
  record --subject demo --out "$out" --duration 12 \
  --send-every 2 "Pellet dispenser" "Drop pellet" \
  --send-every 3 "Left top unit" "White spot on" | tail -n 1)"
PYTHONPATH=build/release/python /usr/bin/python3 -m zentrix.plot "$folder" -o docs/timeline.png
