"""zentrix.session against sessions that zentrix record wrote on the simulator."""

from __future__ import annotations

import collections
import datetime
import json
import math
import pathlib
import statistics
import subprocess
import sys

import pytest

from zentrix import session as zs


@pytest.fixture(scope="module")
def recorded(recorded_session: pathlib.Path) -> zs.Session:
    return zs.read(recorded_session)


def events_lines(folder: pathlib.Path) -> list[str]:
    return (folder / "events.csv").read_text(encoding="utf-8").splitlines(keepends=True)


def write_lines(folder: pathlib.Path, lines: list[str]) -> None:
    (folder / "events.csv").write_text("".join(lines), encoding="utf-8")


def mark_killed(folder: pathlib.Path) -> None:
    """Makes a session look as if its recorder was killed: no totals, session.json of the start."""
    (folder / "totals.csv").unlink()
    info = json.loads((folder / "session.json").read_text(encoding="utf-8"))
    info.update(complete=False, end_utc=None, end_local=None, duration_s=None, ended_by=None,
                events=None, lost_events=None, totals=None)
    (folder / "session.json").write_text(json.dumps(info, indent=2), encoding="utf-8")


class TestWhatTheFilesHold:
    def test_every_row_of_events_csv_becomes_one_event_with_its_fields(self, recorded,
                                                                        recorded_raw):
        assert len(recorded.events) == len(recorded_raw.events) > 20
        for event, row in zip(recorded.events, recorded_raw.events):
            assert (event.device, event.item, event.kind, event.value) == (
                row["device"], row["item"], row["kind"], row["value"])
            assert event.t_s == float(row["t_s"])
            assert event.box == (int(row["box"]) if row["box"] else None)
            assert event.window_s == (float(row["window_s"]) if row["window_s"] else None)
            assert event.utc.strftime("%Y-%m-%dT%H:%M:%S.%fZ") == row["utc"]

    def test_session_json_is_given_as_parsed_with_its_conveniences(self, recorded, recorded_raw):
        assert recorded.info == recorded_raw.info
        assert recorded.complete is True
        assert recorded.subject == "mouse-12"
        assert recorded.note == "first day"
        assert recorded.duration_s == recorded_raw.info["duration_s"]
        stopped = recorded.of_kind("sampling_stopped")
        assert len(stopped) == 1 and stopped[0].t_s == pytest.approx(recorded.duration_s, abs=1e-6)
        assert recorded.start_utc == recorded.of_kind("sampling_started")[0].utc
        assert recorded.start_utc.tzinfo == datetime.timezone.utc
        assert recorded.devices() == [device["name"] for device in recorded_raw.info["devices"]]

    def test_the_setup_copy_is_the_setup_recorded_with(self, recorded, examples_dir):
        assert recorded.setup_file is not None
        assert recorded.setup_file.read_bytes() == (examples_dir / "HardwareSetup.xml").read_bytes()

    def test_totals_are_the_rows_of_totals_csv_with_integer_values_parsed(self, recorded,
                                                                           recorded_raw):
        assert len(recorded.totals) == len(recorded_raw.totals)
        for total, row in zip(recorded.totals, recorded_raw.totals):
            assert (total.device, total.item, total.kind) == (
                row["device"], row["item"], row["kind"])
            assert total.count == int(row["count"])
            assert total.box == (int(row["box"]) if row["box"] else None)
            if row["last_value"] == "":
                assert total.last_value is None
            elif row["last_value"].lstrip("-").isdigit():
                assert total.last_value == int(row["last_value"])
            else:
                assert total.last_value == row["last_value"]
        pressed = recorded.total("Button box", "Is button 1 pressed", "fall")
        assert pressed is not None and pressed.last_value == "true"

    def test_totals_count_the_events_of_each_box_device_item_and_kind(self, recorded):
        counted = collections.Counter((e.box, e.device, e.item, e.kind) for e in recorded.events)
        assert {(t.box, t.device, t.item, t.kind): t.count for t in recorded.totals} == counted

    def test_a_name_with_a_comma_and_quotes_reads_back_whole(self, quoted_session, quoted_device):
        quoted = zs.read(quoted_session)
        assert '"Pellet dispenser, ""left"""' in (quoted_session / "events.csv").read_text()
        commands = quoted.commands(quoted_device, "Drop pellet")
        assert len(commands) == quoted.info["send_every"][0]["sent"] >= 3
        assert quoted.edges(quoted_device, "Number of drops")
        assert quoted.total(quoted_device, "Drop pellet", "command").count == len(commands)
        assert quoted_device in quoted.devices()
        assert all(len(e.value) <= 1 for e in quoted.events if e.device == quoted_device)


class TestWhatTheSimulatorWasToldToDo:
    def test_every_pellet_commanded_is_a_command_event_and_a_totals_row(self, recorded, recording):
        sent = {(r["device"], r["command"]): r for r in recorded.info["send_every"]}
        drops = recorded.commands("Pellet dispenser", "Drop pellet")
        scheduled = math.floor(recording.duration_s / recording.pellet_every_s + 1e-9) + 1
        assert len(drops) == sent[("Pellet dispenser", "Drop pellet")]["sent"] == scheduled
        assert recorded.total("Pellet dispenser", "Drop pellet", "command").count == len(drops)
        assert all(drop.level == 1 for drop in drops)
        spot = recorded.commands("Left top unit", "White spot on")
        assert len(spot) == sent[("Left top unit", "White spot on")]["sent"]

    def test_each_drop_follows_its_command_and_each_pulse_ends_after_it(self, recorded):
        drops = recorded.commands("Pellet dispenser", "Drop pellet")
        pulses = [p for p in recorded.pulses() if p[0].item == "Drop pellet"]
        assert [command for command, _ in pulses] == drops
        assert all(0 <= end.t_s - command.t_s < 0.1 for command, end in pulses)
        drops_made = recorded.edges("Pellet dispenser", "Number of drops")
        rises = [e for e in drops_made if e.kind == "rise"]
        # The last command may come as the sampler stops, too late for its drop to be read.
        assert len(drops) - 1 <= len(rises) <= len(drops)
        for rise in rises:
            assert any(0.0 < rise.t_s - drop.t_s < 0.1 for drop in drops)
        commands_without_pulse = [c for c in recorded.commands() if c.item != "Drop pellet"]
        paired = {id(command) for command, _ in recorded.pulses()}
        assert not any(id(command) in paired for command in commands_without_pulse)

    @pytest.mark.parametrize("item, period_field", [("Button 1 presses", "button_1_every_ms"),
                                                     ("Button 2 presses", "button_2_every_ms")])
    def test_button_presses_come_at_the_benchs_period(self, recorded, recording, item,
                                                      period_field):
        every_ms = getattr(recording, period_field)
        falls = [e.t_s for e in recorded.edges("Button box", item) if e.kind == "fall"]
        assert len(falls) >= 4
        period = statistics.median(b - a for a, b in zip(falls, falls[1:]))
        assert period == pytest.approx(every_ms / 1000, abs=0.015)
        assert recorded.total("Button box", item, "fall").last_value == len(falls)

    def test_lick_counts_add_up_and_lick_time_is_counted_in_microseconds(self, recorded, recording):
        licks = recorded.data_changes("Lickometer", "Number of licks")
        time = recorded.data_changes("Lickometer", "Duration of licks")
        assert licks and len(licks) == len(time)
        assert sum(e.change for e in licks) == licks[-1].total
        assert sum(e.change for e in time) == time[-1].total
        assert time[-1].total == licks[-1].total * recording.lick_ms * 1000
        assert not recorded.is_duration("Lickometer", "Number of licks")
        assert recorded.is_duration("Lickometer", "Duration of licks")
        assert [e.is_duration for e in licks + time] == [False] * len(licks) + [True] * len(time)
        seen_s = licks[-1].t_s - licks[0].earliest_s
        assert licks[-1].total == pytest.approx(recording.licks_per_second * seen_s, abs=1.5)
        counted = recorded.total("Lickometer", "Number of licks", "data_change")
        assert counted.last_value == licks[-1].total


class TestEventsAreConsistent:
    def test_every_line_signals_levels_alternate_and_match_its_edges(self, recorded):
        signals = recorded.signals()
        assert {(d, i) for _, d, i in signals} >= {("Pellet dispenser", "Number of drops"),
                                                  ("Button box", "Button 1 presses"),
                                                  ("Button box", "Button 2 presses")}
        for box, device, item in signals:
            edges = recorded.edges(device, item, box)
            levels = [edge.level for edge in edges]
            assert all(a != b for a, b in zip(levels, levels[1:])), (device, item, levels)
            assert all(edge.level == (1 if edge.kind == "rise" else 0) for edge in edges)

    def test_windows_are_non_negative_and_times_in_order(self, recorded):
        assert all(e.window_s is None or e.window_s >= 0 for e in recorded.events)
        assert all(e.earliest_s is None or e.earliest_s <= e.t_s for e in recorded.events)
        times = [e.t_s for e in recorded.events]
        assert times == sorted(times)
        start = recorded.start_utc
        for event in recorded.events:
            assert event.utc - start == datetime.timedelta(seconds=round(event.t_s, 6))

    def test_values_are_parsed_by_kind(self, recorded):
        for event in recorded.events:
            if event.kind in zs.LEVEL_KINDS:
                assert event.level in (0, 1)
                assert (event.total, event.change, event.count) == (None, None, None)
            elif event.kind == "data_change":
                assert event.value == f"{event.total} (+{event.change})"
                assert event.level is None
            else:
                assert event.value == ""
                assert (event.level, event.total, event.change, event.count) == (None,) * 4
        box_state = recorded.of_kind("box_state")
        assert [(e.box, e.level) for e in box_state] == [(0, 1)]
        assert all(e.box is None for e in recorded.of_kind("sampling_started", "sampling_stopped"))


class TestRowsMadeByHand:
    def test_values_of_every_kind_parse_as_their_kind_says(self, session_copy):
        rows = [
            ",0.5,0.25,0,Lickometer,Number of licks,data_change,20 (+5)\n",
            ",0.6,0.25,0,Lickometer,Duration of licks,data_change,-3 (-4)\n",
            ",0.7,,0,Lickometer,Number of licks,data_change,7\n",
            ",0.8,0.001,0,,,dropped,17\n",
            ",0.9,,0,Button box,Button 1 presses,rise,\n",
            ",1.0,0.0,0,Lever,Lever moved,lever_moved,far\n",
        ]
        lines = events_lines(session_copy)
        write_lines(session_copy, lines[:3] + ["2026-12-10T08:53:25.000000Z" + r for r in rows]
                    + lines[3:])
        made = zs.read(session_copy).events[2:8]
        assert [(e.total, e.change, e.is_duration) for e in made[:3]] == [
            (20, 5, False), (-3, -4, True), (7, None, False)]
        assert (made[3].count, made[3].earliest_s) == (17, pytest.approx(0.799))
        assert (made[4].level, made[4].window_s, made[4].earliest_s) == (None, None, None)
        assert (made[5].kind, made[5].value, made[5].level) == ("lever_moved", "far", None)

    def test_a_value_type_in_session_json_outranks_the_signals_name(self, session_copy):
        info = json.loads((session_copy / "session.json").read_text(encoding="utf-8"))
        for device in info["devices"]:
            if device["name"] == "Lickometer":
                device["signals"] = [{"name": "Number of licks", "value_type": "duration"},
                                     {"name": "Duration of licks", "value_type": "long long"}]
        (session_copy / "session.json").write_text(json.dumps(info), encoding="utf-8")
        session = zs.read(session_copy)
        assert session.is_duration("Lickometer", "Number of licks")
        assert not session.is_duration("Lickometer", "Duration of licks")
        assert {e.item for e in session.of_kind("data_change") if e.is_duration} == {
            "Number of licks"}

    def test_pulses_pair_each_raising_command_with_the_end_of_its_pulse(self):
        def event(t_s, item, kind, level):
            return zs.Event(utc=datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc),
                            t_s=t_s, window_s=0.0, box=0, device="Dispenser", item=item,
                            kind=kind, level=level)

        first = event(0.0, "Drop", "command", 1)
        again = event(0.01, "Drop", "command", 1)
        end = event(0.03, "Drop", "pulse_end", 0)
        raised = event(0.1, "Light", "command", 1)
        lowered = event(0.2, "Light", "command", 0)
        stray_end = event(0.3, "Light", "pulse_end", 0)
        other_end = event(0.4, "Drop", "pulse_end", 0)
        made = zs.Session(folder=pathlib.Path("made"), info={}, totals=[], complete=False,
                          events=[first, again, end, raised, lowered, stray_end, other_end])
        assert made.pulses() == [(first, end), (again, end)]
        assert made.commands("Dispenser", "Light") == [raised, lowered]
        assert made.duration_s == 0.4 and made.start_utc is None


class TestKilledSession:
    def test_a_session_cut_after_a_whole_row_reads_as_incomplete(self, session_copy, recorded):
        lines = events_lines(session_copy)
        kept = len(lines) // 2
        write_lines(session_copy, lines[:kept])
        mark_killed(session_copy)
        killed = zs.read(session_copy)
        assert killed.complete is False
        assert killed.totals == []
        assert killed.events == recorded.events[: kept - 1]
        assert killed.duration_s == recorded.events[kept - 2].t_s
        assert "incomplete" in repr(killed)

    def test_a_row_cut_in_the_middle_is_left_out_of_an_incomplete_session(self, session_copy,
                                                                           recorded):
        lines = events_lines(session_copy)
        write_lines(session_copy, lines[:10] + [lines[10][:17]])
        mark_killed(session_copy)
        assert zs.read(session_copy).events == recorded.events[:9]

    def test_a_row_cut_in_the_middle_of_a_complete_session_is_an_error(self, session_copy):
        lines = events_lines(session_copy)
        write_lines(session_copy, lines[:10] + [lines[10][:17]])
        with pytest.raises(zs.SessionError, match=r"events\.csv: line 11: "):
            zs.read(session_copy)

    def test_a_session_killed_before_its_first_event_has_none(self, session_copy):
        write_lines(session_copy, events_lines(session_copy)[:1])
        mark_killed(session_copy)
        killed = zs.read(session_copy)
        assert (killed.events, killed.complete, killed.duration_s) == ([], False, 0.0)
        assert killed.start_utc == datetime.datetime.fromisoformat(killed.info["start_utc"])


class TestErrors:
    @pytest.mark.parametrize(
        "row, message",
        [
            ("2026-12-10T08:53:25.142007Z,0.1,0.0,0,Button box,Light 1 off,command\n", "7 fields"),
            ("yesterday,0.1,0.0,0,Button box,Light 1 off,command,0\n", "utc 'yesterday'"),
            ("2026-12-10T08:53:25.142007,0.1,0.0,0,Button box,Light 1 off,command,0\n", "utc"),
            ("2026-12-10T08:53:25.142007Z,soon,0.0,0,Button box,Light 1 off,command,0\n", "t_s"),
            ("2026-12-10T08:53:25.142007Z,0.1,nan,0,Button box,Light 1 off,command,0\n",
             "window_s"),
            ("2026-12-10T08:53:25.142007Z,0.1,0.0,zero,Button box,Light 1 off,command,0\n", "box"),
            ("2026-12-10T08:53:25.142007Z,0.1,0.0,0,Button box,Light 1 off,command,2\n",
             "not 0 or 1"),
            ("2026-12-10T08:53:25.142007Z,0.1,0.0,0,Lickometer,Number of licks,data_change,8 (x)\n",
             "TOTAL"),
            ("2026-12-10T08:53:25.142007Z,0.1,0.0,0,,,dropped,\n", "events lost"),
            ("2026-12-10T08:53:25.142007Z,0.1,0.0,0,,,box_lost,1\n", "expected none"),
            ("2026-12-10T08:53:25.142007Z,0.1,0.0,0,,,Box Lost,\n", "kind"),
            ("2026-12-10T08:53:25.142007Z,0.1,0.0,0,\"Button\" box,x,command,0\n", "not valid CSV"),
            ("\n", "0 fields"),
        ],
    )
    def test_a_malformed_row_names_the_file_and_its_line(self, session_copy, row, message):
        lines = events_lines(session_copy)
        write_lines(session_copy, lines[:5] + [row] + lines[5:])
        with pytest.raises(zs.SessionError) as caught:
            zs.read(session_copy)
        text = str(caught.value)
        assert str(session_copy / "events.csv") in text
        assert "line 6: " in text and message in text

    def test_the_line_of_a_row_after_a_quoted_line_break_counts_physical_lines(self, session_copy):
        lines = events_lines(session_copy)
        broken = '2026-12-10T08:53:25.142007Z,0.1,0.0,0,"Button\nbox",Light 1 off,command,0\n'
        write_lines(session_copy, lines[:3] + [broken, "bad row\n"] + lines[3:])
        with pytest.raises(zs.SessionError, match=r"line 6: 1 fields"):
            zs.read(session_copy)

    def test_a_bad_header_is_named(self, session_copy):
        lines = events_lines(session_copy)
        write_lines(session_copy, ["utc,t,window_s,box,device,item,kind,value\n"] + lines[1:])
        with pytest.raises(zs.SessionError, match=r"events\.csv: line 1: the header"):
            zs.read(session_copy)
        write_lines(session_copy, [])
        with pytest.raises(zs.SessionError, match=r"events\.csv: empty"):
            zs.read(session_copy)

    def test_a_malformed_totals_row_names_its_line(self, session_copy):
        totals = session_copy / "totals.csv"
        lines = totals.read_text(encoding="utf-8").splitlines(keepends=True)
        totals.write_text("".join(lines[:3] + ["0,Lickometer,Number of licks,data_change,many,8\n"]
                                  + lines[3:]), encoding="utf-8")
        with pytest.raises(zs.SessionError, match=r"totals\.csv: line 4: count 'many'"):
            zs.read(session_copy)

    def test_missing_folder_and_files(self, tmp_path, session_copy):
        with pytest.raises(zs.SessionError, match="no such session folder"):
            zs.read(tmp_path / "nowhere")
        (tmp_path / "file").write_text("x")
        with pytest.raises(zs.SessionError, match="not a folder"):
            zs.read(tmp_path / "file")
        with pytest.raises(zs.SessionError, match=r"no events\.csv"):
            zs.read(tmp_path)
        (session_copy / "session.json").unlink()
        with pytest.raises(zs.SessionError, match=r"session\.json: missing"):
            zs.read(session_copy)

    @pytest.mark.parametrize(
        "text, message",
        [
            ('{"subject": "mouse-12",', "not valid JSON"),
            ("[1, 2]", "not a JSON object"),
            ('{"subject": "mouse-12", "complete": "yes"}', '"complete" is'),
        ],
    )
    def test_a_bad_session_json_is_named(self, session_copy, text, message):
        (session_copy / "session.json").write_text(text, encoding="utf-8")
        with pytest.raises(zs.SessionError, match=message) as caught:
            zs.read(session_copy)
        assert "session.json" in str(caught.value)


class TestFrames:
    def test_frames_have_a_column_per_field_and_a_row_per_event(self, recorded):
        pandas = pytest.importorskip("pandas", reason="pandas is optional: python3-pandas")
        events = recorded.events_frame()
        assert list(events.columns) == [
            "utc", "t_s", "window_s", "box", "device", "item", "kind", "level", "total",
            "change", "count", "is_duration", "value", "earliest_s"]
        assert len(events) == len(recorded.events)
        assert str(events["box"].dtype) == "Int64" and str(events["utc"].dt.tz) == "UTC"
        assert events["box"].isna().sum() == len(recorded.of_kind("sampling_started",
                                                                  "sampling_stopped"))
        licks = events[(events["kind"] == "data_change") & ~events["is_duration"]]
        counted = recorded.data_changes("Lickometer", "Number of licks")[-1].total
        assert licks["change"].sum() == counted
        totals = recorded.totals_frame()
        assert list(totals.columns) == ["box", "device", "item", "kind", "count", "last_value"]
        assert len(totals) == len(recorded.totals)
        assert totals["count"].sum() == len(recorded.events)
        assert isinstance(events, pandas.DataFrame)

    def test_without_pandas_the_frames_say_it_is_optional(self, recorded, monkeypatch):
        monkeypatch.setitem(sys.modules, "pandas", None)
        for frame in (recorded.events_frame, recorded.totals_frame):
            with pytest.raises(ImportError, match="optional") as caught:
                frame()
            assert "python3-pandas" in str(caught.value)

    def test_the_analysis_modules_load_without_pandas_or_the_host_layer(self, recorded_session,
                                                                        python_env):
        code = (
            "import sys; sys.modules['pandas'] = None; "
            "import zentrix.session, zentrix.plot; "
            f"s = zentrix.session.read({str(recorded_session)!r}); "
            "assert not any(name.startswith(('zentrix._host', 'zentrix._zentrix')) "
            "for name in sys.modules), sorted(sys.modules); print(len(s.events))"
        )
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                env=python_env, check=False)
        assert result.returncode == 0, result.stderr
        assert int(result.stdout) == len(zs.read(recorded_session).events)


def test_every_public_name_has_a_docstring():
    for name in zs.__all__:
        value = getattr(zs, name)
        if callable(value):
            assert (value.__doc__ or "").strip(), name
    for cls in (zs.Session, zs.Event):
        for name, member in vars(cls).items():
            if not name.startswith("_") and (callable(member) or isinstance(member, property)):
                assert (member.__doc__ or "").strip(), f"{cls.__name__}.{name}"
