"""zentrix.plot: the timeline of a recorded session, as a figure, a file and a command."""

from __future__ import annotations

import csv
import datetime
import io
import json
import pathlib
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import numpy as np
import pytest
from matplotlib.figure import Figure
from matplotlib.legend import Legend

from zentrix import plot
from zentrix import session as zs

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
SVG_ROOT = "{http://www.w3.org/2000/svg}svg"


def rows_axes(figure: Figure):
    (axes,) = [axes for axes in figure.axes if axes.get_label() == "rows"]
    return axes


def row_labels(figure: Figure) -> list[str]:
    return [label.get_text() for label in rows_axes(figure).get_yticklabels()]


def vertical_lines_at(axes) -> list[float]:
    return [line.get_xdata()[0] for line in axes.get_lines()
            if len(line.get_xdata()) == 2 and line.get_xdata()[0] == line.get_xdata()[1]
            and tuple(line.get_ydata()) == (0, 1)]


def row_centers(figure: Figure) -> dict[str, float]:
    axes = rows_axes(figure)
    return {label.get_text(): y for label, y in zip(axes.get_yticklabels(), axes.get_yticks())}


def bars_in_row(figure: Figure, label: str) -> list[tuple[float, float]]:
    """The (start, end) of each filled span drawn in one row, to the microsecond of the session's
    times: a span's end is drawn as start plus width, which need not give back the same float."""
    y = row_centers(figure)[label]
    bars = []
    for collection in rows_axes(figure).collections:
        for path in collection.get_paths():
            xs, ys = path.vertices[:, 0], path.vertices[:, 1]
            if len(xs) <= 6 and ys.max() > ys.min() and abs(ys.mean() - y) < 0.4:
                bars.append((round(float(xs.min()), 6), round(float(xs.max()), 6)))
    return sorted(bars)


def marks_in_row(figure: Figure, label: str) -> list[float]:
    y = row_centers(figure)[label]
    return sorted(x for line in rows_axes(figure).get_lines() if line.get_linestyle() == "None"
                  for x, mark_y in zip(line.get_xdata(), line.get_ydata()) if abs(mark_y - y) < 0.4)


def note_under_rows(figure: Figure) -> str:
    (note,) = [text.get_text() for text in rows_axes(figure).texts if "stayed" in text.get_text()]
    return note


def times_of(raw, device: str, item: str, kind: str = "command") -> list[float]:
    return [float(row["t_s"]) for row in raw.events
            if (row["device"], row["item"], row["kind"]) == (device, item, kind)]


def insert_events(folder: pathlib.Path, rows: list[list[str]]) -> None:
    """Adds rows to events.csv, each after every event of its time or earlier."""
    path = folder / "events.csv"
    header, *lines = path.read_text(encoding="utf-8").splitlines(keepends=True)
    added = []
    for row in rows:
        buffer = io.StringIO()
        csv.writer(buffer, lineterminator="\n").writerow(row)
        added.append(buffer.getvalue())
    merged = sorted(lines + added, key=lambda line: float(line.split(",")[1]))
    path.write_text(header + "".join(merged), encoding="utf-8")


def command_row(t_s: float, device: str, item: str, level: int | str, kind: str = "command"):
    return ["2026-12-10T08:53:26.000000Z", f"{t_s:.6f}", "0.000001", "0", device, item, kind,
            str(level)]


def keep_events(folder: pathlib.Path, keep) -> None:
    path = folder / "events.csv"
    with open(path, newline="", encoding="utf-8") as file:
        rows = list(csv.reader(file))
    with open(path, "w", newline="", encoding="utf-8") as file:
        csv.writer(file, lineterminator="\n").writerows(rows[:1] + [row for row in rows[1:]
                                                                    if keep(row)])


def make_killed(folder: pathlib.Path, events_lines: int) -> None:
    """Turns the session into one killed after its first events_lines lines of events.csv."""
    lines = (folder / "events.csv").read_text(encoding="utf-8").splitlines(True)
    (folder / "events.csv").write_text("".join(lines[:events_lines]), encoding="utf-8")
    (folder / "totals.csv").unlink()
    info = json.loads((folder / "session.json").read_text(encoding="utf-8"))
    info.update(complete=False, duration_s=None)
    (folder / "session.json").write_text(json.dumps(info), encoding="utf-8")


def default_outputs(raw) -> set[tuple[str, str]]:
    """The (device, output) of each "X off" in a session where only the plug-in sends those."""
    return {(row["device"], row["item"][: -len(" off")]) for row in raw.events
            if row["kind"] == "command" and row["item"].endswith(" off")}


def change(t_s: float, window_s: float | None, amount: int) -> zs.Event:
    return zs.Event(utc=datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc), t_s=t_s,
                    window_s=window_s, box=0, device="Lickometer", item="Number of licks",
                    kind="data_change", total=None, change=amount)


class TestFiles:
    def test_png_and_svg_are_written_whole(self, recorded_session, tmp_path):
        png = plot.save_timeline(recorded_session, tmp_path / "timeline.png")
        assert png.read_bytes().startswith(PNG_MAGIC) and png.stat().st_size > 20_000
        svg = plot.save_timeline(zs.read(recorded_session), tmp_path / "timeline.SVG")
        assert ElementTree.parse(svg).getroot().tag == SVG_ROOT
        text = svg.read_text(encoding="utf-8")
        assert "Button box: Button 1 presses" in text and "mouse-12" in text

    def test_svg_is_the_same_bytes_on_every_run(self, recorded_session, tmp_path):
        first = plot.save_timeline(recorded_session, tmp_path / "first.svg").read_bytes()
        second = plot.save_timeline(recorded_session, tmp_path / "second.svg").read_bytes()
        assert first == second
        assert b"<dc:date>" not in first

    def test_other_suffixes_are_refused_before_anything_is_written(self, recorded_session,
                                                                   tmp_path):
        for name in ("timeline.pdf", "timeline"):
            with pytest.raises(ValueError, match=r"\.png or \.svg"):
                plot.save_timeline(recorded_session, tmp_path / name)
            assert not (tmp_path / name).exists()


class TestFigure:
    def test_the_x_axis_runs_from_sampling_started_to_stopped(self, recorded_session):
        session = zs.read(recorded_session)
        figure = plot.timeline(session)
        stopped = session.of_kind("sampling_stopped")[0].t_s
        for axes in figure.axes:
            assert axes.get_xlim() == pytest.approx((0.0, stopped))
        assert figure._suptitle.get_text().startswith("mouse-12 — ")
        assert session.start_utc.strftime("%H:%M:%S") in figure._suptitle.get_text()

    def test_each_edge_window_is_a_shaded_span(self, recorded_session):
        session = zs.read(recorded_session)
        axes = rows_axes(plot.timeline(session))
        spans = sorted(
            (round(path.vertices[:, 0].min(), 6), round(path.vertices[:, 0].max(), 6))
            for collection in axes.collections
            for path in collection.get_paths()
            if len(path.vertices) <= 6
        )
        for box, device, item in session.signals():
            for edge in session.edges(device, item, box):
                if edge.window_s:
                    assert (round(edge.earliest_s, 6), round(edge.t_s, 6)) in spans

    def test_a_lick_rate_trace_follows_the_lick_counts(self, recorded_session):
        session = zs.read(recorded_session)
        figure = plot.timeline(session)
        (rates,) = [axes for axes in figure.axes if axes.get_label() == "rates"]
        legends = [[text.get_text() for text in child.get_texts()]
                   for child in rates.get_children() if isinstance(child, Legend)]
        assert ["Lickometer: Number of licks"] in legends
        licks = session.data_changes("Lickometer", "Number of licks")
        (trace,) = [patch for patch in rates.patches if not patch.get_fill()]
        values, edges = trace.get_data().values, trace.get_data().edges
        assert np.sum(values * np.diff(edges)) == pytest.approx(licks[-1].total)
        assert edges[-1] == pytest.approx(licks[-1].t_s)

    def test_a_figure_given_is_drawn_into_and_returned(self, recorded_session):
        figure = Figure()
        figure.add_subplot().plot([0, 1])
        assert plot.timeline(recorded_session, figure=figure) is figure
        assert {axes.get_label() for axes in figure.axes} == {"rows", "rates"}


class TestOutputs:
    def test_rows_are_the_line_signals_then_each_output_the_user_drove(self, recorded_session,
                                                                       recorded_raw):
        signals = list(dict.fromkeys(f"{row['device']}: {row['item']}"
                                     for row in recorded_raw.events
                                     if row["kind"] in ("rise", "fall")))
        labels = row_labels(plot.timeline(recorded_session))
        assert set(labels[: len(signals)]) == set(signals)
        assert labels[len(signals):] == ["Left top unit: White spot",
                                         "Pellet dispenser: Drop pellet"]

    def test_an_output_is_filled_while_its_commands_hold_it_high(self, recorded_session,
                                                                recorded_raw):
        figure = plot.timeline(recorded_session)
        switched_on = times_of(recorded_raw, "Left top unit", "White spot on")
        switched_off = times_of(recorded_raw, "Left top unit", "White spot off")
        assert bars_in_row(figure, "Left top unit: White spot") == pytest.approx(
            [(switched_on[0], switched_off[-1])])
        drops = times_of(recorded_raw, "Pellet dispenser", "Drop pellet")
        ends = times_of(recorded_raw, "Pellet dispenser", "Drop pellet", "pulse_end")
        assert len(drops) == len(ends) > 1
        assert bars_in_row(figure, "Pellet dispenser: Drop pellet") == pytest.approx(
            list(zip(drops, ends)))

    def test_each_command_the_recorder_sent_is_a_mark_on_its_output(self, recorded_session,
                                                                   recorded_raw):
        figure = plot.timeline(recorded_session)
        rows = {"Drop pellet": "Pellet dispenser: Drop pellet",
                "White spot on": "Left top unit: White spot"}
        for sent in recorded_raw.info["send_every"]:
            marks = marks_in_row(figure, rows[sent["command"]])
            assert len(marks) == sent["sent"] - sent["failed"]
            assert marks == pytest.approx(times_of(recorded_raw, sent["device"], sent["command"]))

    def test_outputs_left_at_their_defaults_have_no_row_and_are_counted(self, recorded_session,
                                                                       recorded_raw):
        figure = plot.timeline(recorded_session)
        labels = row_labels(figure)
        stayed = default_outputs(recorded_raw) - {("Left top unit", "White spot")}
        assert len(stayed) > 1
        for device, output in stayed:
            assert not any(label.startswith(f"{device}: {output}") for label in labels)
        assert note_under_rows(figure).startswith(f"{len(stayed)} outputs stayed off")

    def test_a_command_sent_at_the_level_the_line_had_keeps_its_row(self, session_copy,
                                                                    recorded_raw):
        insert_events(session_copy, [command_row(1.5, "Right top unit", "Sound off", 0)])
        figure = plot.timeline(session_copy)
        assert "Right top unit: Sound" in row_labels(figure)
        assert marks_in_row(figure, "Right top unit: Sound") == [pytest.approx(1.5)]
        assert bars_in_row(figure, "Right top unit: Sound") == []
        stayed = len(default_outputs(recorded_raw)) - 2
        assert note_under_rows(figure).startswith(f"{stayed} outputs stayed off")

    def test_pulses_and_names_without_on_or_off_are_outputs_of_their_own(self, session_copy):
        insert_events(session_copy, [
            command_row(1.1, "Left top unit", "Beep", 1),
            command_row(1.2, "Left top unit", "Flash on", 1),
            command_row(1.3, "Button box", "Reward on", 1),
            command_row(1.35, "Button box", "Reward on", 0, "pulse_end"),
            command_row(1.6, "Button box", "Reward off", 0),
        ])
        figure = plot.timeline(session_copy)
        stop_s = rows_axes(figure).get_xlim()[1]
        expected = {
            "Left top unit: Beep": [(1.1, stop_s)],
            "Left top unit: Flash": [(1.2, stop_s)],
            "Button box: Reward on": [(1.3, 1.35)],
            "Button box: Reward": [],
        }
        labels = row_labels(figure)
        for label, bars in expected.items():
            assert labels.count(label) == 1
            assert bars_in_row(figure, label) == pytest.approx(bars)
            assert len(marks_in_row(figure, label)) == 1

    def test_a_command_without_its_level_takes_it_from_its_name(self, session_copy):
        insert_events(session_copy, [
            command_row(1.2, "Right top unit", "Sound on", ""),
            command_row(1.7, "Right top unit", "Sound off", ""),
        ])
        figure = plot.timeline(session_copy)
        assert bars_in_row(figure, "Right top unit: Sound") == pytest.approx([(1.2, 1.7)])

    def test_a_killed_session_keeps_its_last_commands_as_the_users(self, session_copy,
                                                                 recorded_raw):
        switched_on = times_of(recorded_raw, "Left top unit", "White spot on")
        (last_line,) = [number for number, row in enumerate(recorded_raw.events, start=2)
                        if row["item"] == "White spot on" and float(row["t_s"]) == switched_on[2]]
        make_killed(session_copy, last_line)
        figure = plot.timeline(session_copy)
        assert marks_in_row(figure, "Left top unit: White spot") == pytest.approx(switched_on[:3])
        stayed = len(default_outputs(recorded_raw)) - 1
        assert note_under_rows(figure).startswith(f"{stayed} outputs stayed off")

    def test_a_session_with_only_the_defaults_draws_no_output(self, session_copy, recorded_raw):
        user_items = {"White spot on", "Drop pellet"}
        keep_events(session_copy, lambda row: row[5] not in user_items)
        figure = plot.timeline(session_copy)
        signals = {f"{row['device']}: {row['item']}" for row in recorded_raw.events
                   if row["kind"] in ("rise", "fall")}
        assert set(row_labels(figure)) == signals
        stayed = len(default_outputs(recorded_raw))
        assert note_under_rows(figure).startswith(f"{stayed} outputs stayed off")


class TestInterruptions:
    def test_a_lost_box_and_dropped_events_are_vertical_lines_with_their_words(self, session_copy):
        insert_events(session_copy, [
            ["2026-12-10T08:53:26.000000Z", "1.250000", "", "0", "", "", "dropped", "17"],
            ["2026-12-10T08:53:27.000000Z", "2.500000", "0.000000", "0", "", "", "box_lost", ""],
        ])
        figure = plot.timeline(session_copy)
        for axes in figure.axes:
            assert sorted(vertical_lines_at(axes)) == [1.25, 2.5]
        words = [text.get_text() for text in rows_axes(figure).texts]
        assert "17 events dropped" in words and "box 0 lost" in words

    def test_an_incomplete_session_ends_at_its_last_event_and_says_so(self, session_copy):
        make_killed(session_copy, 30)
        session = zs.read(session_copy)
        axes = rows_axes(plot.timeline(session))
        assert axes.get_xlim()[1] == pytest.approx(session.events[-1].t_s)
        assert "incomplete" in axes.get_title(loc="left")


class TestCountRate:
    def test_a_change_is_spread_over_its_window(self):
        edges, rates = plot.count_rate([change(3.0, 2.0, 10)], 0.0, 4.0, 1.0)
        assert list(edges) == [0.0, 1.0, 2.0, 3.0]
        assert list(rates) == pytest.approx([0.0, 5.0, 5.0])

    def test_the_bins_end_at_the_last_read_and_keep_every_count(self):
        changes = [change(1.5, 1.5, 4), change(3.5, 2.0, 6), change(3.9, None, 2)]
        edges, rates = plot.count_rate(changes, 0.0, 10.0, 1.0)
        assert edges[-1] == pytest.approx(3.9)
        assert np.sum(rates * np.diff(edges)) == pytest.approx(12)
        assert rates[0] == pytest.approx(4 / 1.5)

    def test_a_window_reaching_before_the_start_counts_from_the_start(self):
        edges, rates = plot.count_rate([change(1.0, 5.0, 3)], 0.0, 2.0, 0.5)
        assert list(rates) == pytest.approx([3.0, 3.0])


class TestCommand:
    def test_python_m_writes_the_default_picture_into_the_session(self, session_copy, python_env):
        result = subprocess.run([sys.executable, "-m", "zentrix.plot", str(session_copy)],
                                capture_output=True, text=True, env=python_env, check=False)
        assert result.returncode == 0, result.stderr
        picture = session_copy / "timeline.png"
        assert result.stdout.strip() == str(picture)
        assert picture.read_bytes().startswith(PNG_MAGIC)

    @pytest.mark.parametrize(
        "arguments, message",
        [
            (["{missing}"], "no such session folder"),
            (["{session}", "-o", "{tmp}/timeline.pdf"], "use .png or .svg"),
            (["{session}", "-o", "{tmp}/no/such/dir/timeline.svg"], "cannot write"),
        ],
    )
    def test_failures_are_one_line_and_status_1(self, recorded_session, tmp_path, capsys,
                                                 arguments, message):
        names = {"missing": tmp_path / "missing", "session": recorded_session, "tmp": tmp_path}
        assert plot.main([argument.format(**names) for argument in arguments]) == 1
        captured = capsys.readouterr()
        lines = captured.err.splitlines()
        assert len(lines) == 1 and lines[0].startswith("zentrix.plot: ") and message in lines[0]
        assert "Traceback" not in captured.err and captured.out == ""

    def test_usage_errors_exit_2(self, capsys):
        with pytest.raises(SystemExit) as caught:
            plot.main([])
        assert caught.value.code == 2
        assert "usage: zentrix.plot" in capsys.readouterr().err

    def test_without_matplotlib_the_import_names_the_package_to_install(self, python_env):
        code = "import sys; sys.modules['matplotlib'] = None; import zentrix.plot"
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                env=python_env, check=False)
        assert result.returncode != 0
        assert "install the Debian package python3-matplotlib" in result.stderr
