#!/usr/bin/python3
"""Draws the pulse-width sweep of `zentrix --json bench --pulse-widths ...`: the share of the
moving input's falls that the host counted against the width of their low phase, one line per
timing, with the 99.9% mark.

    /usr/bin/python3 scripts/pulse-width-plot.py BENCH.json -o docs/pulse-widths.svg

The output format follows the file name (.svg or .png)."""

import argparse
import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

RELIABLE_PERCENT = 99.9
STYLES = {"original": ("tab:gray", "o"), "spec": ("tab:blue", "s"), "lean": ("tab:green", "^")}


def series_of(document):
    sweep = document.get("sweep") or []
    if not sweep:
        raise SystemExit("pulse-width-plot: the bench output has no pulse-width sweep "
                         "(run zentrix --json bench --pulse-widths ...)")
    return sweep


def label(series):
    shortest = series.get("shortest_ms")
    reliable = f"{shortest} ms" if shortest is not None else "none measured"
    return (f"{series['timing']} ({series['boxes']} box{'es' if series['boxes'] > 1 else ''}, "
            f"{series['mode']}): counted at {RELIABLE_PERCENT}% from {reliable}")


def draw(document, output):
    figure, (whole, close) = plt.subplots(1, 2, figsize=(11, 4.2))
    order = list(STYLES)
    ranked = sorted(series_of(document),
                    key=lambda s: (order.index(s["timing"]) if s["timing"] in order else len(order),
                                   s["boxes"], s["mode"]))
    for series in ranked:
        widths = [point["low_ms"] for point in series["points"]]
        percents = [point["percent"] for point in series["points"]]
        color, marker = STYLES.get(series["timing"], ("tab:red", "x"))
        for axes in (whole, close):
            axes.plot(widths, percents, marker=marker, color=color, label=label(series))
    for axes in (whole, close):
        axes.axhline(RELIABLE_PERCENT, color="tab:red", linewidth=0.8, linestyle="--")
        axes.set_xlabel("low phase of the moving input (ms)")
        axes.grid(True, alpha=0.3)
    whole.set_ylabel("falls counted by the host (% of those made)")
    whole.set_ylim(0, 101)
    close.set_ylim(98, 100.1)
    close.set_title("close to 100%", fontsize=10)
    every = document.get("command_every_ms")
    commands = f"a command every {every:g} ms" if every else "no commands"
    whole.set_title(f"fully mapped boxes, 7 lickometers each, {commands}", fontsize=10)
    handles, labels = whole.get_legend_handles_labels()
    figure.legend(handles, labels, loc="lower center", ncol=1, fontsize=9, frameon=False)
    figure.tight_layout(rect=(0, 0.2, 1, 1))
    figure.savefig(output, metadata={"Date": None} if output.endswith(".svg") else None)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("bench", help="output of zentrix --json bench --pulse-widths ...")
    parser.add_argument("-o", "--output", required=True, help="picture to write (.svg or .png)")
    arguments = parser.parse_args()
    if not arguments.output.endswith((".svg", ".png")):
        parser.error("the picture must be .svg or .png")
    try:
        with open(arguments.bench, encoding="utf-8") as file:
            document = json.load(file)
    except (OSError, json.JSONDecodeError) as error:
        sys.exit(f"pulse-width-plot: cannot read {arguments.bench}: {error}")
    draw(document, arguments.output)


if __name__ == "__main__":
    main()
