"""Draw the timeline of a session that ``zentrix record`` wrote.

    python3 -m zentrix.plot SESSION [-o timeline.png]

The picture has one row per input line signal (its level over time, each edge with the window
it happened in shaded), one row per output line that the session's commands drove (its level
filled in the device's colour, a mark at each command the user sent), the lick rate of each
lickometer under them, and lost boxes and dropped events as vertical lines across both. The
output format follows the file's suffix (.png or .svg); SVG output is the same bytes for the
same session.

A device's commands "X on" and "X off" drive one output, "X"; a command with pulse_end events
(a pulse, such as "Drop pellet") and a command of any other name are outputs of their own. The
plug-in sets every output to its default when sampling starts and stops; an output that never
left the level it was set to at the start and got no command from the user has no row, and one
line under the rows counts them instead.

From Python::

    from zentrix import plot, session
    plot.save_timeline("/tmp/sessions/mouse-12_2026-12-10_05-23-51", "timeline.svg")
    figure = plot.timeline(session.read(folder))  # a matplotlib Figure to adjust or show
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import pathlib
import re
import sys
from collections.abc import Sequence

try:
    import matplotlib
except ImportError as error:
    raise ImportError("zentrix.plot draws with matplotlib, which is not installed: install the "
                      "Debian package python3-matplotlib") from error
import numpy as np
from matplotlib.colors import to_rgba
from matplotlib.figure import Figure
from matplotlib.lines import Line2D
from matplotlib.patches import Patch
from matplotlib.transforms import offset_copy

from . import session as sessions
from .session import Event, Session, SessionError

__all__ = ["timeline", "save_timeline", "count_rate", "main", "FORMATS"]

FORMATS = {".png": "png", ".svg": "svg"}
DEFAULT_OUTPUT = "timeline.png"

# At 8 in a README's 900 px shows the 9 pt labels at 14 px.
_WIDTH_IN = 8.0
_ROW_IN = 0.34
_SIGNAL_ROW = 1.0
_OUTPUT_ROW = 0.9
_NOTE_ROW = 0.6
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
# Within an output row (its centre at 0): the low and high level, and the marks above them.
_OUTPUT_LOW = -0.3
_OUTPUT_HIGH = 0.08
_OUTPUT_MARK = 0.22

_ON_OFF_PATTERN = re.compile(r"(.*\S)\s+(on|off)\Z", re.IGNORECASE)
_ON_OFF_LEVELS = {"on": 1, "off": 0}

_Key = tuple[int | None, str, str]


@dataclasses.dataclass
class _Output:
    """One output line of a device and what its commands did to it.

    Attributes:
        key: (box, device, output name).
        levels: (seconds, level) after each of its command and pulse_end events, in order.
        sent: The commands the user sent to it (not the plug-in's defaults at start and stop).
        initial: The level before its first event: that of its default at the start, else 0.
    """

    key: _Key
    levels: list[tuple[float, int]] = dataclasses.field(default_factory=list)
    sent: list[Event] = dataclasses.field(default_factory=list)
    initial: int = 0

    @property
    def stayed(self) -> bool:
        """Whether only the plug-in's defaults reached it and its level never changed."""
        return not self.sent and all(level == self.initial for _, level in self.levels)


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
    outputs = _outputs(session)
    shown = [output for output in outputs if not output.stayed]
    note = _stayed_note(output for output in outputs if output.stayed)
    rates = [key for key in session.data_signals() if not session.is_duration(key[1], key[2])]
    many_boxes = len({key[0] for key in signals + [output.key for output in shown] + rates}) > 1
    rows = [(key, _SIGNAL_ROW) for key in signals] + [(output.key, _OUTPUT_ROW)
                                                      for output in shown]
    note_height = _NOTE_ROW if note and rows else 0.0
    rows_height = sum(height for _, height in rows) + note_height or _SIGNAL_ROW
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

    colors = _device_colors(session, signals + [output.key for output in outputs])
    for (box, device, item), y in zip(signals, centers):
        _draw_signal(rows_axes, session.edges(device, item, box), y, start_s, stop_s)
    for output, y in zip(shown, centers[len(signals):]):
        _draw_output(rows_axes, output, y, start_s, stop_s, colors[output.key[1]])
    _shade_devices(rows_axes, rows, rows_height)
    if signals and shown:
        rows_axes.axhline(rows_height - len(signals) * _SIGNAL_ROW, color="0.5", linewidth=0.8)
    _style_rows(rows_axes, centers, [_label(key, many_boxes) for key, _ in rows], rows_height,
                note)
    if note_height:
        rows_axes.axhline(note_height, color="0.5", linewidth=0.8)
        rows_axes.text(0.005, note_height / 2, note,
                       transform=rows_axes.get_yaxis_transform(), ha="left", va="center",
                       fontsize=8.5, color="0.3", style="italic", zorder=6,
                       bbox={"facecolor": "white", "edgecolor": "none", "alpha": 0.8, "pad": 1})

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


def _draw_output(axes, output: _Output, y: float, start_s: float, stop_s: float,
                 color: str) -> None:
    highs = []
    since = start_s if output.initial else None
    for t_s, level in output.levels:
        if level and since is None:
            since = t_s
        elif not level and since is not None:
            highs.append((since, max(t_s - since, 0.0)))
            since = None
    if since is not None:
        highs.append((since, max(stop_s - since, 0.0)))
    axes.hlines(y + _OUTPUT_LOW, start_s, stop_s, color=color, linewidth=1.0)
    if highs:
        axes.broken_barh(highs, (y + _OUTPUT_LOW, _OUTPUT_HIGH - _OUTPUT_LOW),
                         facecolor=to_rgba(color, 0.45), edgecolor=color, linewidth=0.9)
    if output.sent:
        sent = [command.t_s for command in output.sent]
        axes.plot(sent, [y + _OUTPUT_MARK] * len(sent), linestyle="none", marker="v",
                  markersize=5, color=color, clip_on=False, zorder=4)


def _outputs(session: Session) -> list[_Output]:
    """The output lines of the session's commands, ordered as the signals are."""
    pulsed = {event.key for event in session.of_kind("pulse_end")}
    names = _output_names(session, pulsed)
    defaults = _plugin_defaults(session, names, pulsed)
    outputs: dict[_Key, _Output] = {}
    for event in session.of_kind("command", "pulse_end"):
        key = (event.box, event.device, names[event.key])
        output = outputs.get(key)
        if output is None:
            output = outputs[key] = _Output(key)
        previous = output.levels[-1][1] if output.levels else output.initial
        level = _commanded_level(event, event.key in pulsed, previous)
        if not output.levels and id(event) in defaults:
            output.initial = level
        output.levels.append((event.t_s, level))
        if event.kind == "command" and id(event) not in defaults:
            output.sent.append(event)
    rank = {name: position for position, name in enumerate(session.devices())}
    return sorted(outputs.values(), key=lambda output: (
        -1 if output.key[0] is None else output.key[0], rank.get(output.key[1], len(rank))))


def _output_names(session: Session, pulsed: set[_Key]) -> dict[_Key, str]:
    """The output each (box, device, command) drives: "X" for "X on" and "X off", else itself."""
    names = {}
    for key in dict.fromkeys(event.key for event in session.of_kind("command", "pulse_end")):
        match = _ON_OFF_PATTERN.match(key[2])
        names[key] = match.group(1) if match and key not in pulsed else key[2]
    return names


def _plugin_defaults(session: Session, names: dict[_Key, str], pulsed: set[_Key]) -> set[int]:
    """The ids of the commands the plug-in carried out itself to set the outputs to defaults.

    A box carries out its commands in order: at the start the defaults come before anything the
    user sent, at the stop after it, each output once and never as a pulse.
    """
    per_box: dict[int | None, list[Event]] = {}
    for command in session.of_kind("command"):
        per_box.setdefault(command.box, []).append(command)
    lost_s: dict[int | None, float] = {}
    for event in session.of_kind("box_lost"):
        lost_s[event.box] = max(event.t_s, lost_s.get(event.box, event.t_s))
    stopped = bool(session.of_kind("sampling_stopped"))
    defaults: set[int] = set()
    for box, commands in per_box.items():
        defaults |= _burst(commands, names, pulsed)
        # A box lost after its last command had no final write, so those commands are the user's.
        if stopped and commands[-1].t_s > lost_s.get(box, -math.inf):
            defaults |= _burst(reversed(commands), names, pulsed)
    return defaults


def _burst(commands, names: dict[_Key, str], pulsed: set[_Key]) -> set[int]:
    """The ids of the first commands that set each output once, up to the first pulse."""
    seen = set()
    ids = set()
    for command in commands:
        output = (command.box, command.device, names[command.key])
        if command.key in pulsed or output in seen:
            break
        seen.add(output)
        ids.add(id(command))
    return ids


def _commanded_level(event: Event, pulse: bool, previous: int) -> int:
    if event.level is not None:
        return event.level
    if event.kind == "pulse_end":
        return 0
    match = _ON_OFF_PATTERN.match(event.item)
    if match:
        return _ON_OFF_LEVELS[match.group(2).lower()]
    return 1 if pulse else previous


def _stayed_note(outputs) -> str:
    counts = [0, 0]
    for output in outputs:
        counts[output.initial] += 1
    total = sum(counts)
    if not total:
        return ""
    noun = "output" if total == 1 else "outputs"
    verb = "is" if total == 1 else "are"
    if counts[0] and counts[1]:
        return (f"{total} {noun} stayed where the start set them ({counts[0]} off, "
                f"{counts[1]} on) and {verb} not drawn")
    return f"{total} {noun} stayed {'on' if counts[1] else 'off'} all session and {verb} not drawn"


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


def _style_rows(axes, centers: list[float], labels: list[str], rows_height: float,
                note: str) -> None:
    axes.set_yticks(centers, labels)
    axes.tick_params(axis="y", length=0, labelsize=9)
    axes.set_ylim(0, rows_height)
    axes.spines["left"].set_visible(False)
    if not labels:
        text = (f"no edges or commands of the user in this session\n{note}" if note
                else "no edges or commands in this session")
        axes.text(0.5, 0.5, text, transform=axes.transAxes, ha="center", va="center",
                  color="0.4")
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
        Line2D([], [], color=_LINE_COLOR, linewidth=1.3, label="input line level"),
        Patch(facecolor=_WINDOW_COLOR, alpha=0.55, label="edge window"),
        Patch(facecolor=to_rgba("0.45", 0.45), edgecolor="0.45", label="output line high"),
        Line2D([], [], linestyle="none", marker="v", markersize=5, color="0.45",
               label="command sent"),
    ]
    kinds = {event.kind for event in session.of_kind("box_lost", "dropped")}
    if "box_lost" in kinds:
        handles.append(Line2D([], [], color=_LOST_COLOR, linewidth=1.6, label="box lost"))
    if "dropped" in kinds:
        handles.append(Line2D([], [], color=_DROPPED_COLOR, linewidth=1.2, linestyle="--",
                              label="events dropped"))
    # A fixed distance in points keeps the legend clear of the axis label at any figure size.
    below = offset_copy(bottom_axes.transAxes, fig=figure, y=-30, units="points")
    # Six entries in one row are wider than the figure, so they take two rows of three.
    columns = len(handles) if len(handles) <= 4 else 3
    bottom_axes.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, 0),
                       bbox_transform=below, ncol=columns, fontsize=8, frameon=False,
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
