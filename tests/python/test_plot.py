"""zentrix.plot: the timeline of a recorded session, as a figure, a file and a command."""

from __future__ import annotations

import csv
import datetime
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


def insert_before_stop(folder: pathlib.Path, rows: list[list[str]]) -> None:
    path = folder / "events.csv"
    lines = path.read_text(encoding="utf-8").splitlines(keepends=True)
    with open(path, "w", newline="", encoding="utf-8") as file:
        file.writelines(lines[:-1])
        csv.writer(file, lineterminator="\n").writerows(rows)
        file.write(lines[-1])


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
    def test_one_row_per_line_signal_then_one_per_device_and_command(self, recorded_session,
                                                                      recorded_raw):
        signals, commands = [], []
        for row in recorded_raw.events:
            label = f"{row['device']}: {row['item']}"
            target = signals if row["kind"] in ("rise", "fall") else (
                commands if row["kind"] == "command" else None)
            if target is not None and label not in target:
                target.append(label)
        labels = row_labels(plot.timeline(recorded_session))
        assert len(labels) == len(signals) + len(commands)
        assert set(labels[: len(signals)]) == set(signals)
        assert set(labels[len(signals):]) == set(commands)
        assert {"Button box: Button 1 presses", "Pellet dispenser: Drop pellet"} <= set(labels)

    def test_the_x_axis_runs_from_sampling_started_to_stopped(self, recorded_session):
        session = zs.read(recorded_session)
        figure = plot.timeline(session)
        stopped = session.of_kind("sampling_stopped")[0].t_s
        for axes in figure.axes:
            assert axes.get_xlim() == pytest.approx((0.0, stopped))
        assert figure._suptitle.get_text().startswith("mouse-12 — ")
        assert session.start_utc.strftime("%H:%M:%S") in figure._suptitle.get_text()

    def test_each_edge_window_is_a_shaded_span_and_each_pulse_a_bar(self, recorded_session):
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
        for command, end in session.pulses():
            assert (round(command.t_s, 6), round(end.t_s, 6)) in spans

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


class TestInterruptions:
    def test_a_lost_box_and_dropped_events_are_vertical_lines_with_their_words(self, session_copy):
        insert_before_stop(session_copy, [
            ["2026-12-10T08:53:26.000000Z", "1.250000", "", "0", "", "", "dropped", "17"],
            ["2026-12-10T08:53:27.000000Z", "2.500000", "0.000000", "0", "", "", "box_lost", ""],
        ])
        figure = plot.timeline(session_copy)
        for axes in figure.axes:
            assert sorted(vertical_lines_at(axes)) == [1.25, 2.5]
        words = [text.get_text() for text in rows_axes(figure).texts]
        assert "17 events dropped" in words and "box 0 lost" in words

    def test_an_incomplete_session_ends_at_its_last_event_and_says_so(self, session_copy):
        lines = (session_copy / "events.csv").read_text(encoding="utf-8").splitlines(True)
        (session_copy / "events.csv").write_text("".join(lines[:30]), encoding="utf-8")
        (session_copy / "totals.csv").unlink()
        info = json.loads((session_copy / "session.json").read_text(encoding="utf-8"))
        info.update(complete=False, duration_s=None)
        (session_copy / "session.json").write_text(json.dumps(info), encoding="utf-8")
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
