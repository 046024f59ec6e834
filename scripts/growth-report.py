#!/usr/bin/env python3
"""Turns the growth benchmarks' JSON output into a Markdown table and an SVG plot.

Reads the JSON output of the growth benchmarks in zentrix_bench (scripts/make-growth-report.sh
runs them and this script) and writes the sampling period's wall time, floor, CPU time and rate against boxes and devices per
box, serial and concurrent sampling side by side, plus the CPU cost of a period on a zero-cost
clock with a least-squares line through it. Python 3 standard library only.
"""

import argparse
import json
import statistics
import sys
import xml.sax.saxutils

PERIOD = "BM_GrowthPeriod"
CPU = "BM_GrowthCpuPerPeriod"
MODES = ("serial", "concurrent")
PERIOD_COUNTERS = (
    "wall_median_us",
    "wall_p99_us",
    "floor_median_us",
    "wall_floor_ratio",
    "cpu_median_us",
    "cpu_all_lanes_us",
    "cpu_core_percent",
    "periods_per_box_per_s",
    "lanes",
    "periods",
    "sampling_seconds",
)


class ReportError(Exception):
    pass


def family(name):
    return name.split("/", 1)[0]


def load(paths):
    """Returns (context, period cases, cpu cases, the runs used); repeated runs of a case give
    their medians."""
    context = {}
    runs = {}
    for path in paths:
        try:
            with open(path, encoding="utf-8") as handle:
                document = json.load(handle)
        except (OSError, json.JSONDecodeError) as error:
            raise ReportError(f"{path}: {error}") from error
        context = context or document.get("context", {})
        for run in document.get("benchmarks", []):
            if run.get("run_type", "iteration") != "iteration" or run.get("error_occurred"):
                continue
            if family(run.get("name", "")) in (PERIOD, CPU):
                runs.setdefault(run["name"], []).append(run)

    periods = {}
    cpu = {}
    for name, repeats in runs.items():
        first = repeats[0]
        boxes = int(first["boxes"])
        devices = int(first["devices_per_box"])
        if family(name) == PERIOD:
            mode = "concurrent" if first.get("concurrent") else "serial"
            moving = bool(first.get("moving_inputs"))
            case = {
                key: statistics.median(float(r[key]) for r in repeats)
                for key in PERIOD_COUNTERS
                if key in first
            }
            case["repetitions"] = len(repeats)
            periods[(moving, boxes, devices, mode)] = case
        else:
            cpu[(boxes, devices)] = statistics.median(
                to_us(float(r["cpu_time"]), r.get("time_unit", "ns")) for r in repeats)
    if not periods and not cpu:
        raise ReportError("no growth benchmark results in the input")
    used = [run for repeats in runs.values() for run in repeats]
    return context, periods, cpu, used


def save_runs(path, context, runs):
    """Writes the runs a report was made from, one a line, as a smaller input for this script."""
    with open(path, "w", encoding="utf-8") as handle:
        handle.write('{"context": ' + json.dumps(context, sort_keys=True) + ',\n"benchmarks": [\n')
        handle.write(",\n".join(json.dumps(run, sort_keys=True) for run in runs))
        handle.write("\n]}\n")


def to_us(value, unit):
    return value * {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[unit]


def fit_line(points):
    """Least squares: (slope, intercept, largest distance from the line relative to the largest y)."""
    n = len(points)
    mean_x = sum(x for x, _ in points) / n
    mean_y = sum(y for _, y in points) / n
    sxx = sum((x - mean_x) ** 2 for x, _ in points)
    slope = sum((x - mean_x) * (y - mean_y) for x, y in points) / sxx if sxx else 0.0
    intercept = mean_y - slope * mean_x
    top = max(abs(y) for _, y in points) or 1.0
    worst = max(abs(y - (slope * x + intercept)) for x, y in points) / top
    return slope, intercept, worst


def ms(us):
    return f"{us / 1000:.1f}" if us >= 10000 else f"{us / 1000:.2f}"


def pair(cases, key, form):
    values = [cases.get(mode, {}).get(key) for mode in MODES]
    return " / ".join("–" if v is None else form(v) for v in values)


def modes_of(periods, moving, boxes, devices):
    return {mode: periods[(moving, boxes, devices, mode)]
            for mode in MODES if (moving, boxes, devices, mode) in periods}


def period_table(periods, moving, devices):
    boxes_list = sorted({b for (m, b, d, _) in periods if m == moving and d == devices})
    if not boxes_list:
        return []
    lines = [
        "| boxes | wall median (ms) | wall p99 (ms) | floor (ms) | wall / floor | "
        "CPU per period, all lanes (µs) | CPU (% of a core) | periods per box per s |",
        "|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for boxes in boxes_list:
        cases = modes_of(periods, moving, boxes, devices)
        lines.append("| " + " | ".join([
            str(boxes),
            pair(cases, "wall_median_us", ms),
            pair(cases, "wall_p99_us", ms),
            pair(cases, "floor_median_us", ms),
            pair(cases, "wall_floor_ratio", lambda v: f"{v:.3f}"),
            pair(cases, "cpu_all_lanes_us", lambda v: f"{v:.0f}"),
            pair(cases, "cpu_core_percent", lambda v: f"{v:.1f}"),
            pair(cases, "periods_per_box_per_s", lambda v: f"{v:.1f}"),
        ]) + " |")
    return lines


def devices_table(periods, key, form):
    devices_list = sorted({d for (m, _, d, _) in periods if not m})
    boxes_list = sorted({b for (m, b, _, _) in periods if not m})
    lines = ["| boxes | " + " | ".join(f"{d} devices" for d in devices_list) + " |",
             "|---:|" + "---:|" * len(devices_list)]
    for boxes in boxes_list:
        cells = [pair(modes_of(periods, False, boxes, d), key, form) for d in devices_list]
        lines.append(f"| {boxes} | " + " | ".join(cells) + " |")
    return lines


def cpu_table(cpu):
    lines = []
    for boxes in sorted({b for b, _ in cpu}):
        points = sorted((d, us) for (b, d), us in cpu.items() if b == boxes)
        if len(points) < 2:
            continue
        slope, intercept, worst = fit_line(points)
        if not lines:
            lines += ["| boxes | " + " | ".join(f"{d} devices" for d, _ in points) +
                      " | per device per box | fixed | farthest from the line |",
                      "|---:|" + "---:|" * (len(points) + 3)]
        lines.append(f"| {boxes} | " + " | ".join(f"{us:.2f}" for _, us in points) +
                     f" | {slope / boxes:.3f} | {intercept:.2f} | {100 * worst:.1f}% |")
    return lines


def markdown(context, periods, cpu, svg_name):
    full = max((d for (_, _, d, _) in periods), default=None)
    out = ["# How a sampling period grows", ""]
    out.append("Generated by `scripts/growth-report.py` from the growth benchmarks in "
               "`bench/growth_bench.cpp`; every cell gives serial / concurrent sampling "
               "from the same run.")
    out.append("")
    machine = []
    if context:
        machine.append(f"{context.get('num_cpus', '?')} CPUs at "
                       f"{context.get('mhz_per_cpu', '?')} MHz")
        if "load_avg" in context:
            machine.append("load average " +
                           ", ".join(f"{v:.2f}" for v in context["load_avg"]))
        if "date" in context:
            machine.append(context["date"])
    if machine:
        out += ["Measured on " + "; ".join(machine) + ".", ""]
    seconds = max((c.get("sampling_seconds", 0) for c in periods.values()), default=0)
    repetitions = max((c["repetitions"] for c in periods.values()), default=1)
    if seconds:
        out += [f"Reproduce (each case samples for {seconds:g} s and at least five periods, "
                f"{repetitions} times in random order among the others; a cell is the median "
                f"of the {repetitions}):", "",
                "```sh", f"scripts/make-growth-report.sh {seconds:g} {repetitions}", "```", ""]
    if svg_name:
        out += [f"![Period and CPU against boxes and devices]({svg_name})", ""]
    out.append("A period is one pass over the boxes a sampling thread serves and its 2 ms sleep, "
               "on the simulator with real sleeps. The floor is the sum of the waits the period "
               "asked its clock for (report exchanges, select waits, re-arm pulse, loop sleep). "
               "CPU per period is the sampling thread's CPU time, summed over the threads' "
               "medians in concurrent mode; the CPU share is of the whole run.")
    if full is not None and period_table(periods, False, full):
        out += ["", f"## {full} devices per box, inputs idle", ""]
        out += period_table(periods, False, full)
    if full is not None and period_table(periods, True, full):
        out += ["", f"## {full} devices per box, one input per box changing every 50 ms", ""]
        out += period_table(periods, True, full)
    if any(not m for (m, _, _, _) in periods):
        out += ["", "## Wall time per period (ms) against devices per box, inputs idle", ""]
        out += devices_table(periods, "wall_median_us", ms)
        out += ["", "## CPU per period (µs, all lanes) against devices per box, inputs idle", ""]
        out += devices_table(periods, "cpu_all_lanes_us", lambda v: f"{v:.0f}")
    lines = cpu_table(cpu)
    if lines:
        out += ["", "## CPU per period on a zero-cost clock (µs)", "",
                "The passes alone, no sleeping: the CPU the plug-in and the simulator need "
                "for the devices served, with a least-squares line through the points.", ""]
        out += lines
    return "\n".join(out) + "\n"


class Panel:
    """One plot area of the SVG with linear axes from zero."""

    COLOURS = {"serial": "#c0392b", "concurrent": "#2471a3", "floor": "#7f8c8d"}

    def __init__(self, x, y, width, height, title, xlabel, ylabel, xmax, ymax, xticks):
        self.x, self.y, self.width, self.height = x, y, width, height
        self.xmax, self.ymax = xmax, nice_ceiling(ymax)
        self.parts = [
            f'<text x="{x + width / 2}" y="{y - 12}" text-anchor="middle" '
            f'font-weight="bold">{escape(title)}</text>',
            f'<rect x="{x}" y="{y}" width="{width}" height="{height}" fill="none" '
            f'stroke="#333"/>',
            f'<text x="{x + width / 2}" y="{y + height + 36}" '
            f'text-anchor="middle">{escape(xlabel)}</text>',
            f'<text x="{x - 46}" y="{y + height / 2}" text-anchor="middle" '
            f'transform="rotate(-90 {x - 46} {y + height / 2})">{escape(ylabel)}</text>',
        ]
        for tick in xticks:
            px = self.px(tick)
            self.parts.append(f'<line x1="{px}" y1="{y + height}" x2="{px}" '
                              f'y2="{y + height + 5}" stroke="#333"/>')
            self.parts.append(f'<text x="{px}" y="{y + height + 19}" '
                              f'text-anchor="middle">{tick:g}</text>')
        step = self.ymax / 5
        for i in range(6):
            value = step * i
            py = self.py(value)
            self.parts.append(f'<line x1="{x}" y1="{py}" x2="{x + width}" y2="{py}" '
                              f'stroke="#ddd"/>')
            self.parts.append(f'<text x="{x - 6}" y="{py + 4}" '
                              f'text-anchor="end">{value:g}</text>')
        self.legend = []

    def px(self, value):
        return round(self.x + self.width * value / self.xmax, 1)

    def py(self, value):
        return round(self.y + self.height - self.height * value / self.ymax, 1)

    def series(self, name, points, colour, dash=None, marker=True):
        if not points:
            return
        coords = " ".join(f"{self.px(x)},{self.py(y)}" for x, y in points)
        dashing = f' stroke-dasharray="{dash}"' if dash else ""
        self.parts.append(f'<polyline class="series" data-name="{escape(name)}" '
                          f'points="{coords}" fill="none" stroke="{colour}" '
                          f'stroke-width="2"{dashing}/>')
        if marker:
            for x, y in points:
                self.parts.append(f'<circle cx="{self.px(x)}" cy="{self.py(y)}" r="3" '
                                  f'fill="{colour}"/>')
        self.legend.append((name, colour, dash))

    def render(self):
        for i, (name, colour, dash) in enumerate(self.legend):
            ly = self.y + 16 + 18 * i
            dashing = f' stroke-dasharray="{dash}"' if dash else ""
            self.parts.append(f'<line x1="{self.x + 10}" y1="{ly - 4}" x2="{self.x + 34}" '
                              f'y2="{ly - 4}" stroke="{colour}" stroke-width="2"{dashing}/>')
            self.parts.append(f'<text x="{self.x + 40}" y="{ly}">{escape(name)}</text>')
        return self.parts


def nice_ceiling(value):
    if value <= 0:
        return 1.0
    magnitude = 10 ** len(str(int(value))) / 10 if value >= 1 else 1.0
    while magnitude > value:
        magnitude /= 10
    for factor in (1, 2, 2.5, 5, 10):
        if factor * magnitude >= value:
            return factor * magnitude
    return 10 * magnitude


def escape(text):
    return xml.sax.saxutils.escape(str(text), {'"': "&quot;"})


def svg(periods, cpu):
    full = max((d for (_, _, d, _) in periods), default=0)
    panels = []
    width, height, top = 300, 220, 50
    left = 70
    for moving, title in ((False, "inputs idle"), (True, "one input per box moving")):
        cases = {k: v for k, v in periods.items() if k[0] == moving and k[2] == full}
        if not cases:
            continue
        boxes_list = sorted({k[1] for k in cases})
        ymax = max(max(v["floor_median_us"], v["wall_median_us"]) for v in cases.values()) / 1000
        panel = Panel(left, top, width, height, f"Period, {full} devices per box, {title}",
                      "boxes", "ms", max(boxes_list), ymax, boxes_list)
        for mode, dash in (("serial", None), ("concurrent", "6 4")):
            points = [(b, cases[(moving, b, full, mode)]["wall_median_us"] / 1000)
                      for b in boxes_list if (moving, b, full, mode) in cases]
            panel.series(f"{mode} wall median", points, Panel.COLOURS[mode], dash)
            floor = [(b, cases[(moving, b, full, mode)]["floor_median_us"] / 1000)
                     for b in boxes_list if (moving, b, full, mode) in cases]
            panel.series(f"{mode} floor", floor, Panel.COLOURS["floor"],
                         "2 3" if mode == "serial" else "1 5", marker=False)
        panels.append(panel)
        left += width + 100
    if cpu:
        devices_list = sorted({d for _, d in cpu})
        panel = Panel(left, top, width, height, "CPU per period, zero-cost clock",
                      "devices per box", "µs", max(devices_list), max(cpu.values()),
                      devices_list)
        for boxes, colour in zip(sorted({b for b, _ in cpu}),
                                 ("#1e8449", "#7d3c98", "#b9770e", "#2e4053")):
            points = sorted((d, us) for (b, d), us in cpu.items() if b == boxes)
            panel.series(f"{boxes} box{'es' if boxes != 1 else ''}", points, colour)
        panels.append(panel)
        left += width + 100
    total_width = left - 30
    body = [part for panel in panels for part in panel.render()]
    return "\n".join(
        [f'<svg xmlns="http://www.w3.org/2000/svg" width="{total_width}" '
         f'height="{top + height + 60}" viewBox="0 0 {total_width} {top + height + 60}" '
         f'font-family="DejaVu Sans, sans-serif" font-size="12">',
         f'<rect width="{total_width}" height="{top + height + 60}" fill="white"/>'] +
        body + ["</svg>"]) + "\n"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("inputs", nargs="+", help="JSON output of zentrix_bench")
    parser.add_argument("--markdown", help="Markdown file to write (standard output without)")
    parser.add_argument("--svg", help="SVG file to write")
    parser.add_argument("--save-runs", help="JSON file to write the growth runs used to")
    args = parser.parse_args(argv)
    try:
        context, periods, cpu, runs = load(args.inputs)
    except ReportError as error:
        print(f"growth-report: {error}", file=sys.stderr)
        return 1
    svg_name = args.svg.replace("\\", "/").rsplit("/", 1)[-1] if args.svg else None
    text = markdown(context, periods, cpu, svg_name)
    if args.markdown:
        with open(args.markdown, "w", encoding="utf-8") as handle:
            handle.write(text)
    else:
        sys.stdout.write(text)
    if args.svg:
        with open(args.svg, "w", encoding="utf-8") as handle:
            handle.write(svg(periods, cpu))
    if args.save_runs:
        save_runs(args.save_runs, context, runs)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
