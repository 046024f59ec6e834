#!/bin/bash
# Inside the rig (scripts/virtual-rig.sh -- scripts/rig/report-order.sh [SECONDS]): how often an SPI
# frame reaches the box before the select lines written just before it, for waits after a pin
# report of 0, 0.5, 1 and 2 ms, against a box that keeps four reads queued on each OUT endpoint
# and one that takes a single report per frame and interface. Samples the demo setup on box 0 for
# SECONDS (default 10) each and prints one Markdown table row per case.
set -euo pipefail
seconds="${1:-10}"
root="$(cd "$(dirname "$0")/../.." && pwd)"
zentrix="$ZENTRIX_RIG_TREE/cli/zentrix"

echo "| reads queued per endpoint | wait after a pin report | pin reports | special reports | frames before their selects | other protocol errors |"
echo "|---|---|---|---|---|---|"
for reads in 4 1; do
    for wait in 0 500 1000 2000; do
        zentrix-rig restart --reads-per-endpoint "$reads" > /dev/null
        ZENTRIX_PIN_REPORT_WAIT_US="$wait" "$zentrix" --config-dir "$root/examples" \
            monitor --duration "$seconds" > /dev/null 2>&1 || true
        report="$(zentrix-rig report 0)"
        python3 - "$reads" "$wait" <<'PY' "$report"
import json, sys
reads, wait, text = sys.argv[1], int(sys.argv[2]), sys.argv[3]
report = json.loads(text)
errors = [e["text"] for e in report["protocol_errors"]]
early = sum("before the select lines it needs" in e for e in errors)
others = sorted({e.split(" (")[0] for e in errors if "before the select lines it needs" not in e})
print(f"| {reads} | {wait / 1000:g} ms | {report['pin_reports']} | {report['special_reports']} "
      f"| {early} | {len(errors) - early}{': ' + '; '.join(others) if others else ''} |")
PY
    done
done
