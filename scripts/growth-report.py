#!/usr/bin/python3
"""Turns the growth benchmarks' JSON output into a Markdown table and an SVG or PNG plot.

Reads the JSON output of the growth benchmarks in zentrix_bench (scripts/make-growth-report.sh
runs them and this script) and writes the sampling period's wall time, floor, CPU time and rate
against boxes and devices per box, serial and concurrent sampling side by side, plus the CPU cost
of a period on a zero-cost clock with a least-squares line through it. The table needs only the
Python 3 standard library; the plot is drawn with matplotlib, so run it with Debian's
/usr/bin/python3 and its python3-matplotlib.
"""

import argparse
import json
import statistics
import sys

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


SERIES_COLOURS = {"serial": "#c0392b", "concurrent": "#2471a3"}
MODE_MARKERS = {"serial": "o", "concurrent": "s"}
BOX_COLOURS = ("#1e8449", "#7d3c98", "#b9770e", "#2e4053")


def plural_boxes(boxes):
    return f"{boxes} box{'es' if boxes != 1 else ''}"


def draw_period(axes, periods, moving, full, name):
    """Wall median and floor of a period against boxes, serial and concurrent on one axes."""
    boxes_list = sorted({b for (m, b, d, _) in periods if m == moving and d == full})
    for mode in MODES:
        cases = [(b, periods[(moving, b, full, mode)]) for b in boxes_list
                 if (moving, b, full, mode) in periods]
        if not cases:
            continue
        xs = [b for b, _ in cases]
        axes.plot(xs, [c["wall_median_us"] / 1000 for _, c in cases], color=SERIES_COLOURS[mode],
                  marker=MODE_MARKERS[mode], markersize=4, linewidth=1.8,
                  label=f"{mode} wall median", gid=f"{name}-{mode}-wall-median")
        axes.plot(xs, [c["floor_median_us"] / 1000 for _, c in cases], color=SERIES_COLOURS[mode],
                  linestyle=":", linewidth=1.4, label=f"{mode} floor", gid=f"{name}-{mode}-floor")
    axes.set_xticks(boxes_list)
    axes.set_xlim(0, max(boxes_list) * 1.05)
    axes.set_ylim(bottom=0)
    axes.set_xlabel("boxes")
    axes.set_ylabel("period (ms)")


def draw_cpu(axes, cpu):
    """CPU per period on a zero-cost clock against devices per box, with each box count's
    least-squares line as in the Markdown table."""
    devices_list = sorted({d for _, d in cpu})
    handles = []
    top = max(cpu.values())
    for index, boxes in enumerate(sorted({b for b, _ in cpu})):
        colour = BOX_COLOURS[index % len(BOX_COLOURS)]
        points = sorted((d, us) for (b, d), us in cpu.items() if b == boxes)
        xs = [d for d, _ in points]
        dots, = axes.plot(xs, [us for _, us in points], color=colour, linestyle="none",
                          marker="o", markersize=4.5, gid=f"cpu-{boxes}-boxes")
        if len(points) < 2:
            handles.append((dots, plural_boxes(boxes)))
            continue
        slope, intercept, _ = fit_line(points)
        ends = (xs[0], xs[-1])
        top = max([top] + [slope * x + intercept for x in ends])
        line, = axes.plot(ends, [slope * x + intercept for x in ends], color=colour,
                          linewidth=1.4, gid=f"cpu-{boxes}-boxes-line")
        handles.append(((dots, line), f"{plural_boxes(boxes)}, line {intercept:.2f} µs\n"
                                      f"+ {slope / boxes:.3f} µs per device and box"))
    axes.set_xticks(devices_list)
    span = max(max(devices_list), 1)
    axes.set_xlim(-0.03 * span, 1.05 * span)
    # Headroom keeps the long legend entries clear of the top right points.
    axes.set_ylim(0, 1.3 * top if top > 0 else 1)
    axes.set_xlabel("devices per box")
    axes.set_ylabel("CPU per period (µs)")
    return handles


def figure(periods, cpu):
    """The period panels (inputs idle, then moving) and the zero-cost CPU panel side by side."""
    # Imported here so that the Markdown table and --save-runs need only the standard library.
    from matplotlib.figure import Figure
    from matplotlib.legend_handler import HandlerTuple

    full = max((d for (_, _, d, _) in periods), default=0)
    panels = []
    for moving, name, title in ((False, "idle", "inputs idle"),
                                (True, "moving", "one input per box moving")):
        if any(m == moving and d == full for (m, _, d, _) in periods):
            panels.append((draw_period, (periods, moving, full, name),
                           f"Period, {full} devices per box,\n{title}"))
    if cpu:
        panels.append((draw_cpu, (cpu,), "CPU per period,\nzero-cost clock"))
    plot = Figure(figsize=(3.6 * len(panels), 3.6), layout="constrained")
    for axes, (draw, args, title) in zip(plot.subplots(1, len(panels), squeeze=False)[0], panels):
        handles = draw(axes, *args)
        axes.set_title(title, fontsize=11)
        axes.grid(True, alpha=0.3)
        axes.tick_params(labelsize=9.5)
        if handles:
            axes.legend([h for h, _ in handles], [t for _, t in handles], loc="upper left",
                        fontsize=9, frameon=False, handler_map={tuple: HandlerTuple(ndivide=1)})
        else:
            axes.legend(loc="upper left", fontsize=9, frameon=False)
    return plot


def save_plot(plot, path, form):
    """Writes the figure as "svg" or "png"; an SVG carries no date and the same ids on every run,
    so that it comes out byte for byte the same."""
    import matplotlib

    with matplotlib.rc_context({"svg.hashsalt": "zentrix-growth-report", "svg.fonttype": "none"}):
        if form == "svg":
            plot.savefig(path, format="svg", metadata={"Date": None})
        else:
            plot.savefig(path, format="png", dpi=150)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("inputs", nargs="+", help="JSON output of zentrix_bench")
    parser.add_argument("--markdown", help="Markdown file to write (standard output without)")
    parser.add_argument("--svg", help="SVG file to write")
    parser.add_argument("--png", help="PNG file to write")
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
    if args.svg or args.png:
        plot = figure(periods, cpu)
        for path, form in ((args.svg, "svg"), (args.png, "png")):
            if path:
                save_plot(plot, path, form)
    if args.save_runs:
        save_runs(args.save_runs, context, runs)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
