"""Draw the timeline of a session that ``zentrix record`` wrote.

    python3 -m zentrix.plot SESSION [-o timeline.png]

The picture has one row per input line signal (its level over time, each edge with the window
it happened in shaded), one row per device and command (a pulse as a bar to its end, any other
command as a mark), the lick rate of each lickometer under them, and lost boxes and dropped
events as vertical lines across both. The output format follows the file's suffix (.png or
.svg); SVG output is the same bytes for the same session.

From Python::

    from zentrix import plot, session
    plot.save_timeline("/tmp/sessions/mouse-12_2026-12-10_05-23-51", "timeline.svg")
    figure = plot.timeline(session.read(folder))  # a matplotlib Figure to adjust or show
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys
from collections.abc import Sequence

import matplotlib
import numpy as np
from matplotlib.figure import Figure
from matplotlib.lines import Line2D
from matplotlib.patches import Patch
from matplotlib.transforms import offset_copy

from . import session as sessions
from .session import Event, Session, SessionError

__all__ = ["timeline", "save_timeline", "count_rate", "main", "FORMATS"]

FORMATS = {".png": "png", ".svg": "svg"}
DEFAULT_OUTPUT = "timeline.png"

_WIDTH_IN = 10.0
_ROW_IN = 0.34
_SIGNAL_ROW = 1.0
_COMMAND_ROW = 0.72
_RATE_IN = 1.25
_CHROME_IN = 1.55
_PNG_DPI = 150
# Any fixed salt makes the SVG's ids the same on every run.
_SVG_HASH_SALT = "zentrix-timeline"

_LINE_COLOR = "#1f5fa8"
_WINDOW_COLOR = "#f28e2b"
_LOST_COLOR = "#d62728"
_DROPPED_COLOR = "#9467bd"
_DEVICE_COLORS = ("#4e79a7", "#59a14f", "#e15759", "#b07aa1", "#9c755f", "#76b7b2", "#edc948")
_BAND = 0.3


def timeline(session: Session | str | pathlib.Path, *, figure: Figure | None = None) -> Figure:
    """Draw the session's timeline and return the figure.

    Args:
        session: A ``Session`` or the path of a session folder.
        figure: A figure to draw into (cleared first); a new one sized for the session if None.

    Raises:
        SessionError: ``session`` is a folder that cannot be read.
    """
    if not isinstance(session, Session):
        session = sessions.read(session)
    start_s, stop_s = _bounds(session)
    signals = session.signals()
    commands = session.command_items()
    rates = [key for key in session.data_signals() if not session.is_duration(key[1], key[2])]
    many_boxes = len({key[0] for key in signals + commands + rates}) > 1
    rows = [(key, _SIGNAL_ROW) for key in signals] + [(key, _COMMAND_ROW) for key in commands]
    rows_height = sum(height for _, height in rows) or _SIGNAL_ROW
    centers = []
    top = rows_height
    for _, height in rows:
        centers.append(top - height / 2)
        top -= height

    if figure is None:
        height_in = _CHROME_IN + rows_height * _ROW_IN + (_RATE_IN if rates else 0.0)
        figure = Figure(figsize=(_WIDTH_IN, height_in), layout="constrained")
    else:
        figure.clear()
        figure.set_layout_engine("constrained")
    ratios = [rows_height * _ROW_IN] + ([_RATE_IN] if rates else [])
    grid = figure.add_gridspec(len(ratios), 1, height_ratios=ratios)
    rows_axes = figure.add_subplot(grid[0])
    rows_axes.set_label("rows")
    all_axes = [rows_axes]
    rate_axes = None
    if rates:
        rate_axes = figure.add_subplot(grid[1], sharex=rows_axes)
        rate_axes.set_label("rates")
        all_axes.append(rate_axes)

    colors = _device_colors(session, signals + commands)
    pulse_ends = {id(command): end for command, end in session.pulses()}
    for (box, device, item), y in zip(signals, centers):
        _draw_signal(rows_axes, session.edges(device, item, box), y, start_s, stop_s)
    for (box, device, item), y in zip(commands, centers[len(signals):]):
        _draw_commands(rows_axes, session.commands(device, item, box), pulse_ends, y,
                       colors[device])
    _shade_devices(rows_axes, rows, rows_height)
    if signals and commands:
        rows_axes.axhline(rows_height - len(signals) * _SIGNAL_ROW, color="0.5", linewidth=0.8)
    _style_rows(rows_axes, centers, [_label(key, many_boxes) for key, _ in rows], rows_height)

    if rate_axes is not None:
        _draw_rates(rate_axes, session, rates, start_s, stop_s, many_boxes)
    _draw_interruptions(session, all_axes, rows_axes)
    _shade_lost(session, rows_axes, rate_axes, rows, rows_height, rates, stop_s)

    for axes in all_axes:
        axes.set_xlim(start_s, stop_s)
        axes.grid(axis="x", color="0.85", linewidth=0.6)
        axes.set_axisbelow(True)
        for side in ("top", "right"):
            axes.spines[side].set_visible(False)
    all_axes[-1].set_xlabel("seconds since sampling started")
    if rate_axes is not None:
        rows_axes.tick_params(axis="x", labelbottom=False)

    _legend(figure, all_axes[-1], session)
    figure.suptitle(_title(session), x=0.01, ha="left", fontsize=13, fontweight="bold")
    rows_axes.set_title(_subtitle(session, start_s, stop_s), loc="left", fontsize=9,
                        color="0.3" if session.complete else _LOST_COLOR)
    return figure


def save_timeline(
    session: Session | str | pathlib.Path, output: str | pathlib.Path
) -> pathlib.Path:
    """Draw the session's timeline into ``output`` (.png or .svg) and return its path.

    Raises:
        SessionError: ``session`` is a folder that cannot be read.
        ValueError: ``output`` has another suffix than .png or .svg.
        OSError: ``output`` cannot be written.
    """
    output = pathlib.Path(output)
    file_format = _format_of(output)
    figure = timeline(session)
    if file_format == "svg":
        with matplotlib.rc_context({"svg.hashsalt": _SVG_HASH_SALT}):
            figure.savefig(output, format="svg", metadata={"Date": None})
    else:
        figure.savefig(output, format="png", dpi=_PNG_DPI)
    return output


def count_rate(
    changes: Sequence[Event], start_s: float, stop_s: float, bin_s: float
) -> tuple[np.ndarray, np.ndarray]:
    """Counts per second in bins of ``bin_s`` from ``start_s`` to ``stop_s``.

    Each change is spread evenly over its window (between the two reads that saw it), since
    nothing tells when in the window its counts fell. The bins end at the last change, as
    nothing after it was read yet, so the last bin may be shorter than ``bin_s``.

    Returns:
        The bins' edges (one more than bins) and the rate in each bin, so that
        ``sum(rates * diff(edges))`` is the sum of the changes.
    """
    if bin_s <= 0:
        raise ValueError("bin_s must be positive")
    seen_until = min(max((change.t_s for change in changes), default=start_s), stop_s)
    bins = max(1, math.ceil((seen_until - start_s) / bin_s - 1e-9))
    edges = start_s + bin_s * np.arange(bins + 1)
    edges[-1] = max(seen_until, start_s + 1e-9)
    counts = np.zeros(bins)
    for change in changes:
        if not change.change:
            continue
        latest = min(change.t_s, edges[-1])
        earliest = change.earliest_s if change.earliest_s is not None else latest
        earliest = min(max(earliest, start_s), latest)
        if latest - earliest <= 0:
            index = int(np.searchsorted(edges, latest, side="right")) - 1
            counts[min(max(index, 0), bins - 1)] += change.change
            continue
        overlap = np.minimum(edges[1:], latest) - np.maximum(edges[:-1], earliest)
        counts += change.change * np.clip(overlap, 0, None) / (latest - earliest)
    return edges, counts / np.diff(edges)


def main(argv: Sequence[str] | None = None) -> int:
    """Run ``python3 -m zentrix.plot``; returns the exit status (0 done, 1 failed)."""
    parser = argparse.ArgumentParser(
        prog="zentrix.plot",
        description="Draw the timeline of a session folder written by zentrix record.",
    )
    parser.add_argument("session", type=pathlib.Path, help="the session's folder")
    parser.add_argument(
        "-o",
        "--output",
        type=pathlib.Path,
        help=f"picture to write, .png or .svg (default SESSION/{DEFAULT_OUTPUT})",
    )
    arguments = parser.parse_args(argv)
    matplotlib.use("Agg")
    output = arguments.output or arguments.session / DEFAULT_OUTPUT
    try:
        _format_of(output)
        written = save_timeline(sessions.read(arguments.session), output)
    except (SessionError, ValueError) as error:
        print(f"zentrix.plot: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        reason = error.strerror or str(error)
        print(f"zentrix.plot: cannot write {output}: {reason}", file=sys.stderr)
        return 1
    print(written)
    return 0


def _format_of(output: pathlib.Path) -> str:
    file_format = FORMATS.get(output.suffix.lower())
    if file_format is None:
        kind = f"a {output.suffix} file" if output.suffix else "a file without a suffix"
        raise ValueError(f"{output}: cannot draw {kind}, use {' or '.join(FORMATS)}")
    return file_format


def _bounds(session: Session) -> tuple[float, float]:
    started = session.of_kind("sampling_started")
    stopped = session.of_kind("sampling_stopped")
    start_s = started[0].t_s if started else 0.0
    stop_s = stopped[-1].t_s if stopped else session.duration_s
    if session.events:
        stop_s = max(stop_s, session.events[-1].t_s)
    if stop_s <= start_s:
        stop_s = start_s + 1.0
    return start_s, stop_s


def _label(key: tuple[int | None, str, str], many_boxes: bool) -> str:
    box, device, item = key
    text = f"{device}: {item}" if device else item
    return f"box {box} · {text}" if many_boxes and box is not None else text


def _device_colors(session: Session, keys: list[tuple[int | None, str, str]]) -> dict[str, str]:
    names = session.devices() + sorted({key[1] for key in keys} - set(session.devices()))
    return {name: _DEVICE_COLORS[index % len(_DEVICE_COLORS)] for index, name in enumerate(names)}


def _level(edge: Event) -> int:
    if edge.level is not None:
        return edge.level
    return 1 if edge.kind == "rise" else 0


def _draw_signal(axes, edges: list[Event], y: float, start_s: float, stop_s: float) -> None:
    if not edges:
        return
    levels = [_level(edge) for edge in edges]
    times = [start_s] + [edge.t_s for edge in edges] + [stop_s]
    trace = [1 - levels[0]] + levels + [levels[-1]]
    heights = [y - _BAND + 2 * _BAND * level for level in trace]
    axes.fill_between(times, y - _BAND, heights, step="post", color=_LINE_COLOR, alpha=0.12,
                      linewidth=0)
    axes.step(times, heights, where="post", color=_LINE_COLOR, linewidth=1.3)
    windows = [
        (edge.earliest_s, edge.window_s) for edge in edges if edge.window_s and edge.window_s > 0
    ]
    if windows:
        axes.broken_barh(windows, (y - 0.42, 0.84), facecolor=_WINDOW_COLOR, alpha=0.55,
                         edgecolor=_WINDOW_COLOR, linewidth=0.5)


def _draw_commands(axes, commands: list[Event], pulse_ends: dict[int, Event], y: float,
                   color: str) -> None:
    bars = []
    raised = []
    lowered = []
    for command in commands:
        end = pulse_ends.get(id(command))
        if end is not None:
            bars.append((command.t_s, max(end.t_s - command.t_s, 0.0)))
        elif command.level == 0:
            lowered.append(command.t_s)
        else:
            raised.append(command.t_s)
    if bars:
        axes.broken_barh(bars, (y - 0.24, 0.48), facecolor=color, edgecolor=color, linewidth=0.6)
    if raised:
        axes.plot(raised, [y] * len(raised), linestyle="none", marker="^", markersize=6,
                  color=color, clip_on=False, zorder=4)
    if lowered:
        axes.plot(lowered, [y] * len(lowered), linestyle="none", marker="v", markersize=5,
                  markerfacecolor="white", markeredgecolor=color, markeredgewidth=1.1,
                  clip_on=False, zorder=4)


def _shade_devices(axes, rows, rows_height: float) -> None:
    top = rows_height
    group = 0
    previous = None
    for (_, device, _), height in rows:
        if previous is not None and device != previous:
            group += 1
        if group % 2 == 1:
            axes.axhspan(top - height, top, color="0.95", linewidth=0, zorder=0)
        previous = device
        top -= height


def _style_rows(axes, centers: list[float], labels: list[str], rows_height: float) -> None:
    axes.set_yticks(centers, labels)
    axes.tick_params(axis="y", length=0, labelsize=9)
    axes.set_ylim(0, rows_height)
    axes.spines["left"].set_visible(False)
    if not labels:
        axes.text(0.5, 0.5, "no edges or commands in this session", transform=axes.transAxes,
                  ha="center", va="center", color="0.4")
        axes.set_yticks([])


def _bin_width(session: Session, keys, start_s: float, stop_s: float) -> float:
    span = stop_s - start_s
    windows = [
        event.window_s
        for key in keys
        for event in session.data_changes(key[1], key[2], key[0])
        if event.window_s
    ]
    # Bins finer than the lickometer's reads only repeat one rate; a long session gets ~60 bins.
    floor = float(np.median(windows)) / 4 if windows else 0.0
    wanted = max(span / 60, floor, 0.1)
    magnitude = 10 ** math.floor(math.log10(wanted))
    for step in (1, 2, 5, 10):
        if step * magnitude >= wanted * 0.999:
            return step * magnitude
    return 10 * magnitude


def _draw_rates(axes, session: Session, keys, start_s: float, stop_s: float,
                many_boxes: bool) -> None:
    bin_s = _bin_width(session, keys, start_s, stop_s)
    colors = _device_colors(session, keys)
    seen_until = start_s
    highest = 0.0
    for key in keys:
        edges, rates = count_rate(session.data_changes(key[1], key[2], key[0]), start_s, stop_s,
                                  bin_s)
        color = colors[key[1]]
        axes.stairs(rates, edges, color=color, linewidth=1.5, label=_label(key, many_boxes))
        axes.stairs(rates, edges, fill=True, color=color, alpha=0.15)
        seen_until = max(seen_until, edges[-1])
        highest = max(highest, float(rates.max()))
    if seen_until < stop_s:
        axes.axvspan(seen_until, stop_s, facecolor="0.93", edgecolor="0.8", hatch="///",
                     linewidth=0)
        axes.text((seen_until + stop_s) / 2, 0.5, "not read yet",
                  transform=axes.get_xaxis_transform(), ha="center", va="center", fontsize=8,
                  color="0.35", style="italic",
                  bbox={"facecolor": "0.93", "edgecolor": "none", "pad": 2})
    what = "licks" if all("lick" in key[2].lower() for key in keys) else "counts"
    axes.set_ylabel(f"{what} per second\n({bin_s:g} s bins)", fontsize=9)
    axes.set_ylim(0, max(highest, 1.0) * 1.4)
    # A second legend goes below this axes, so this one must stay an artist of its own.
    axes.add_artist(axes.legend(loc="upper left", fontsize=8, frameon=False))
    axes.tick_params(axis="y", labelsize=8)


def _draw_interruptions(session: Session, all_axes, rows_axes) -> None:
    for event in session.of_kind("box_lost", "dropped"):
        lost = event.kind == "box_lost"
        color = _LOST_COLOR if lost else _DROPPED_COLOR
        for axes in all_axes:
            axes.axvline(event.t_s, color=color, linewidth=1.6 if lost else 1.2,
                         linestyle="-" if lost else "--", zorder=5)
        text = f"box {event.box} lost" if lost else f"{event.count} events dropped"
        rows_axes.annotate(text, (event.t_s, 1.0), xycoords=("data", "axes fraction"),
                           xytext=(3, -2), textcoords="offset points", ha="left", va="top",
                           fontsize=8, color=color, fontweight="bold", zorder=6,
                           bbox={"facecolor": "white", "edgecolor": "none", "alpha": 0.8,
                                 "pad": 1})


def _shade_lost(session: Session, rows_axes, rate_axes, rows, rows_height: float, rates,
                stop_s: float) -> None:
    """Marks the rows of a lost box from its loss on, since their levels only repeat the last."""
    lost = {}
    for event in session.of_kind("box_lost"):
        lost.setdefault(event.box, event.t_s)
    if not lost:
        return
    top = rows_height
    for (box, _, _), height in rows:
        if box in lost:
            rows_axes.broken_barh([(lost[box], stop_s - lost[box])], (top - height, height),
                                  facecolor=_LOST_COLOR, alpha=0.07, linewidth=0, zorder=0.5)
        top -= height
    if rate_axes is not None:
        since = [lost[key[0]] for key in rates if key[0] in lost]
        if since:
            rate_axes.axvspan(min(since), stop_s, facecolor=_LOST_COLOR, alpha=0.07, linewidth=0)


def _legend(figure: Figure, bottom_axes, session: Session) -> None:
    handles = [
        Line2D([], [], color=_LINE_COLOR, linewidth=1.3, label="line level (high up)"),
        Patch(facecolor=_WINDOW_COLOR, alpha=0.55, label="edge window"),
        Patch(facecolor="0.45", label="command's pulse"),
        Line2D([], [], linestyle="none", marker="^", color="0.45", label="command, line high"),
        Line2D([], [], linestyle="none", marker="v", markerfacecolor="white",
               markeredgecolor="0.45", label="command, line low"),
    ]
    kinds = {event.kind for event in session.of_kind("box_lost", "dropped")}
    if "box_lost" in kinds:
        handles.append(Line2D([], [], color=_LOST_COLOR, linewidth=1.6, label="box lost"))
    if "dropped" in kinds:
        handles.append(Line2D([], [], color=_DROPPED_COLOR, linewidth=1.2, linestyle="--",
                              label="events dropped"))
    # A fixed distance in points keeps the legend clear of the axis label at any figure size.
    below = offset_copy(bottom_axes.transAxes, fig=figure, y=-30, units="points")
    bottom_axes.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, 0),
                       bbox_transform=below, ncol=len(handles), fontsize=8, frameon=False,
                       handlelength=1.6, columnspacing=1.4)


def _title(session: Session) -> str:
    start = session.start_local or session.start_utc
    if start is None:
        return session.subject
    zone = start.strftime("%z")
    zone = "UTC" if zone in ("+0000", "") else f"UTC{zone[:3]}:{zone[3:]}"
    return f"{session.subject} — {start:%Y-%m-%d %H:%M:%S} {zone}"


def _subtitle(session: Session, start_s: float, stop_s: float) -> str:
    parts = []
    if session.note:
        parts.append(session.note)
    parts.append(f"{stop_s - start_s:.1f} s")
    boxes = session.info.get("boxes")
    if isinstance(boxes, list) and boxes:
        names = [str(box.get("name") or box.get("id")) for box in boxes if isinstance(box, dict)]
        parts.append(", ".join(names))
    backend = session.info.get("backend")
    if isinstance(backend, str) and backend:
        parts.append(backend)
    if not session.complete:
        parts.append("incomplete: the recording was killed, events end at its last write")
    return "  ·  ".join(parts)


if __name__ == "__main__":
    sys.exit(main())
