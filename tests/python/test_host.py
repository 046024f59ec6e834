"""zentrix.Zentrix against the simulated IO box: what it reads and times is held against what the
simulator logged it made, and its catalog against the reference host's."""

from __future__ import annotations

import datetime
import json
import os
import pathlib
import pydoc
import subprocess
import sys
import textwrap
import threading

import pytest

import zentrix

REPO = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
BUILD = pathlib.Path(os.environ.get("ZENTRIX_BUILD_DIR", REPO / "build" / "release"))
BUTTON = ("Button box", "Button 1 presses")
LICKS = ("Lickometer", "Number of licks")
LICK_COUNT = 9
LICK_MS = 30
PRESS_EVERY_MS = 250


@pytest.fixture(scope="module")
def bench(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    """The one bench of this process (the plug-in takes its backend once per process)."""
    folder = tmp_path_factory.mktemp("bench")
    bench = {
        "event_log": str(folder / "simulated-events.jsonl"),
        "controllers": [{
            "box_id": 0,
            "sdi": {"1": "top-unit-interface", "3": "lickometer"},
            "ttl": {"5": "pellet-dispenser"},
            "inputs": [{"port": 3, "line": 1, "every_ms": PRESS_EVERY_MS, "low_ms": 40}],
        }],
    }
    path = folder / "bench.json"
    path.write_text(json.dumps(bench))
    return path


@pytest.fixture
def z(bench: pathlib.Path):
    with zentrix.Zentrix(config_dir=EXAMPLES, backend=f"sim:{bench}") as host:
        yield host


def simulated(bench: pathlib.Path, since_us: int, io: str, port: int, line: int) -> list[dict]:
    """The simulator's own record of one line's changes since a time on the steady clock."""
    log = pathlib.Path(json.loads(bench.read_text())["event_log"])
    changes = [json.loads(text) for text in log.read_text().splitlines()]
    return [c for c in changes if c["steady_us"] >= since_us and c["io"] == io and
            c["box"] == 0 and c["port"] == port and c["line"] == line]


def reference_host(*arguments: str) -> object:
    result = subprocess.run(
        [str(BUILD / "cli" / "zentrix"), "--simulate", "--config-dir", str(EXAMPLES), "--json",
         *arguments], capture_output=True, text=True, timeout=60, check=True)
    return json.loads(result.stdout)


def in_child(code: str, *environment: str) -> subprocess.CompletedProcess[str]:
    """Runs code in a fresh interpreter, for what needs a backend of its own."""
    env = dict(os.environ)
    env.pop("ZENTRIX_IOWARRIOR", None)
    env.update(item.split("=", 1) for item in environment)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=60, env=env)


def test_the_catalog_is_the_one_the_reference_host_lists(z: zentrix.Zentrix) -> None:
    devices = reference_host("devices")
    assert [(d.id, d.name, d.type.id) for d in z.devices] == \
        [(d["id"], d["name"], d["type_id"]) for d in devices]
    types = reference_host("types")
    assert [(t.id, t.name) for t in z.device_types] == [(t["id"], t["name"]) for t in types]
    for device_type in z.device_types:
        commands = reference_host("commands", str(device_type.id))
        assert [(c.id, c.name, c.is_default) for c in device_type.commands] == \
            [(c["id"], c["name"], c["is_default"]) for c in commands]
        signals = reference_host("signals", str(device_type.id))
        assert [s.name for s in device_type.signals] == [s["name"] for s in signals]
    assert z.boxes == [zentrix.Box(0, z.boxes[0].name, True, "00001001")]


def test_names_and_ids_find_the_same_things_and_unknown_ones_list_the_valid(
        z: zentrix.Zentrix) -> None:
    assert z.device("Button box") == z.device(4) == z.device("4")
    assert z.command("Pellet dispenser", "Drop pellet") == \
        z.command(3, z.command("Pellet dispenser", "Drop pellet").id)
    with pytest.raises(zentrix.UnknownNameError) as unknown:
        z.send("Pellet dispensr", "Drop pellet")
    message = str(unknown.value)
    assert "'Pellet dispensr'" in message
    assert all(repr(device.name) in message for device in z.devices)
    with pytest.raises(LookupError, match="no signal 'Drop pellet' of 'Pellet dispenser'"):
        z.read("Pellet dispenser", "Drop pellet")
    with pytest.raises(TypeError):
        z.device(4.0)  # type: ignore[arg-type]


def test_values_are_typed_and_counts_add_up_to_what_the_box_made(tmp_path: pathlib.Path) -> None:
    # A process of its own, so that the bench's clock starts with this session.
    bench = tmp_path / "licks.json"
    bench.write_text(json.dumps({"controllers": [{
        "box_id": 0, "sdi": {"3": "lickometer"}, "ttl": {},
        "licks": [{"sdi": 3, "per_second": 20, "lick_ms": LICK_MS, "start_ms": 500,
                   "count": LICK_COUNT}]}]}))
    result = in_child(f"""
        import datetime, json, zentrix
        with zentrix.Zentrix(config_dir={str(EXAMPLES)!r}, backend="sim:{bench}") as z:
            z.start()
            light_before = z.read("Button box", "Is light 1 on")
            z.send("Button box", "Light 1 on")
            # The licks come after the start of sampling (which latches the counters) and
            # within the first second; the box reads its lickometers every two seconds.
            changes = [e.change for e in z.events(timeout=2.6)
                       if e.kind == "data_change" and e.item == "Number of licks"]
            reads = [z.read("Lickometer", "Number of licks") for _ in range(3)]
            durations = [z.read("Lickometer", "Duration of licks") for _ in range(3)]
            print(json.dumps({{
                "light": [light_before, z.read("Button box", "Is light 1 on")],
                "types": sorted({{type(v).__name__ for v in reads + durations}}),
                "reads": reads, "changes": changes,
                "lick_time_us": sum(durations, datetime.timedelta(0)) // datetime.timedelta(microseconds=1),
                "total": z.total("Lickometer", "Number of licks"),
                "totals": {{" / ".join(k): str(v) for k, v in z.totals().items()}},
            }}))
            try:
                z.total("Button box", "Is light 1 on")
            except zentrix.ZentrixError as error:
                print(error)
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    got = json.loads(lines[0])
    assert got["light"] == [False, True]
    assert got["types"] == ["int", "timedelta"]
    assert sum(got["reads"]) == sum(got["changes"]) == got["total"] == LICK_COUNT
    assert got["lick_time_us"] == LICK_COUNT * LICK_MS * 1000
    assert got["totals"] == {"Lickometer / Number of licks": str(LICK_COUNT),
                             "Lickometer / Duration of licks": f"0:00:00.{LICK_COUNT * LICK_MS:03d}000"}
    assert "is a level, not a count" in lines[1]


def test_every_press_the_box_read_is_one_event_whose_window_holds_it(
        z: zentrix.Zentrix, bench: pathlib.Path) -> None:
    z.start()
    since = z.time_base.monotonic_us
    taken = list(z.events(timeout=1.6))
    z.stop()
    events = [e for e in taken + z.poll_events() if (e.device, e.item) == BUTTON]
    falls = [e for e in events if e.kind == "fall"]
    reads = [c for c in simulated(bench, since, "read", 3, 1) if c["level"] == 0]
    made = [c for c in simulated(bench, since, "in", 3, 1) if c["level"] == 0]
    assert len(made) >= 1600 // PRESS_EVERY_MS - 1
    # Every press the box made in the session was read; the last may fall after the last read.
    assert len(made) - len(reads) in (0, 1)
    assert len(falls) == len(reads)
    for event, change in zip(falls, made):
        assert event.earliest_us < change["steady_us"] <= event.time_us
        assert event.window == pytest.approx((event.time_us - event.earliest_us) / 1e6)
    levels = [e.level for e in events]
    assert all(a != b for a, b in zip(levels, levels[1:])), "edges alternate"


def test_a_command_is_timed_within_the_writes_that_changed_its_line(
        z: zentrix.Zentrix, bench: pathlib.Path) -> None:
    z.start()
    since = z.time_base.monotonic_us
    events = []
    for _ in range(3):
        z.send("Pellet dispenser", "Drop pellet")
        events += z.events(timeout=0.3)
    z.stop()
    events += z.poll_events()
    drops = [e for e in events if e.kind == "command" and e.item == "Drop pellet"]
    ends = [e for e in events if e.kind == "pulse_end" and e.item == "Drop pellet"]
    rises = [c for c in simulated(bench, since, "out", 5, 1) if c["level"] == 1]
    assert len(drops) == len(ends) == len(rises) == 3
    for event, change in zip(drops, rises):
        assert event.earliest_us <= change["steady_us"] <= event.time_us
        assert event.level == 1 and event.device == "Pellet dispenser"
    assert events[0].kind == "sampling_started" and events[-1].kind == "sampling_stopped"
    assert events[0].utc == z.time_base.utc and events[0].t == 0.0


def test_the_event_iterator_keeps_what_a_loop_left_and_ends_on_time(
        z: zentrix.Zentrix) -> None:
    z.start()
    for _ in z.events(timeout=0.5):
        pass
    z.stop()
    first = next(z.events())
    rest = list(z.events())
    assert rest and rest[-1].kind == "sampling_stopped"
    assert first not in rest
    assert [e.time_us for e in rest] == sorted(e.time_us for e in rest)
    assert list(z.events()) == [] and z.poll_events() == []
    began = z.now_us()
    assert list(z.events(timeout=0.2)) == []
    assert z.now_us() - began >= 200_000


def test_the_object_belongs_to_its_thread_and_is_done_once_closed(
        z: zentrix.Zentrix) -> None:
    failures: list[BaseException] = []

    def elsewhere() -> None:
        try:
            z.devices
        except zentrix.ZentrixError as error:
            failures.append(error)

    thread = threading.Thread(target=elsewhere)
    thread.start()
    thread.join()
    assert len(failures) == 1 and "from the thread that made it" in str(failures[0])
    z.start()
    with pytest.raises(zentrix.ZentrixError, match="already runs"):
        z.start()
    z.close()
    assert not z.running
    with pytest.raises(zentrix.ZentrixError, match="closed"):
        z.read(*LICKS)


def test_bad_setups_and_backends_are_errors_that_say_why(
        bench: pathlib.Path, tmp_path: pathlib.Path) -> None:
    with pytest.raises(zentrix.ZentrixError, match="does not exist"):
        zentrix.Zentrix(config_dir=tmp_path / "missing")
    with pytest.raises(zentrix.ZentrixError, match="cannot load plug-in"):
        zentrix.Zentrix(config_dir=EXAMPLES, plugin=tmp_path / "libnothing.so")
    with zentrix.Zentrix(config_dir=EXAMPLES, backend=f"sim:{bench}"):
        pass
    with pytest.raises(zentrix.ZentrixError, match="once per process"):
        zentrix.Zentrix(config_dir=EXAMPLES, backend="none")
    with zentrix.Zentrix(config_dir=EXAMPLES, events=False) as quiet:
        with pytest.raises(zentrix.ZentrixError, match="events=False"):
            quiet.poll_events()
        with pytest.raises(zentrix.ZentrixError) as refused:
            quiet.save(tmp_path / "missing")
        assert refused.value.hresult == -0x7FFFBFFB
        assert str(refused.value).endswith("failed: the plug-in answered 0x80004005 (E_FAIL)")
        assert not (tmp_path / "missing").exists()


def test_a_box_without_hardware_is_refused_and_failures_come_in_words() -> None:
    result = in_child(f"""
        import zentrix
        with zentrix.Zentrix(config_dir={str(EXAMPLES)!r}, backend="none") as z:
            try:
                z.start()
            except zentrix.ZentrixError as error:
                print("refused:", error)
            z.start(allow_missing_boxes=True)
            print("boxes:", z.boxes)
            print("running:", z.running)
    """)
    assert result.returncode == 0, result.stderr
    assert "refused: not connected: IO box -1" in result.stdout
    assert "allow_missing_boxes=True" in result.stdout
    assert "running: True" in result.stdout


def test_help_describes_the_object() -> None:
    text = pydoc.render_doc(zentrix.Zentrix, renderer=pydoc.plaintext)
    for words in ("config_dir", "backend", "one thread", "events(self, timeout"):
        assert words in text
    assert "zentrix.session" in pydoc.render_doc(zentrix, renderer=pydoc.plaintext)
