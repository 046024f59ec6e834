"""Sessions recorded from Python: in the format of zentrix record, holding every event the task
saw, and readable after a kill."""

from __future__ import annotations

import json
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from zentrix import session

REPO = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"


def child(code: str) -> subprocess.Popen[str]:
    env = dict(os.environ)
    env.pop("ZENTRIX_IOWARRIOR", None)
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env)


def run(code: str) -> str:
    process = child(code)
    out, err = process.communicate(timeout=120)
    assert process.returncode == 0, err
    return out


def test_a_recorded_session_holds_what_the_task_saw_in_the_format_of_zentrix_record(
        tmp_path: pathlib.Path, recorded_session: pathlib.Path) -> None:
    out = run(f"""
        import json, zentrix
        with zentrix.Zentrix(config_dir={str(EXAMPLES)!r}, backend="sim") as z:
            folder = z.record({str(tmp_path)!r}, "mouse-3", note="python")
            seen = []
            z.start()
            for _ in range(3):
                z.send("Pellet dispenser", "Drop pellet")
                seen += z.events(timeout=0.4)
            z.stop()
            seen += z.poll_events()
        print(folder)
        print(json.dumps([[e.kind, e.device or "", e.item or "", e.level, round(e.t, 6)]
                          for e in seen]))
    """)
    folder_text, seen_text = out.splitlines()
    folder = pathlib.Path(folder_text)
    assert folder.parent == tmp_path and folder.name.startswith("mouse-3_")
    recorded = session.read(folder)
    assert recorded.complete and recorded.subject == "mouse-3" and recorded.note == "python"
    seen = json.loads(seen_text)
    assert [[e.kind, e.device, e.item, e.level, e.t_s] for e in recorded.events] == seen
    drops = recorded.commands("Pellet dispenser", "Drop pellet")
    assert len(drops) == 3
    assert recorded.total("Pellet dispenser", "Drop pellet", "command").count == 3
    assert recorded.info["events"] == len(seen)
    assert recorded.info["ended_by"] == "close"
    assert (folder / "HardwareSetup.xml").read_bytes() == \
        (EXAMPLES / "HardwareSetup.xml").read_bytes()

    # The files are the ones zentrix record writes: the same columns and session.json fields.
    reference = session.read(recorded_session)
    for name in ("events.csv", "totals.csv"):
        assert (folder / name).read_text().splitlines()[0] == \
            (recorded_session / name).read_text().splitlines()[0]
    missing = set(reference.info) - set(recorded.info) - {"send_every"}
    assert not missing
    assert recorded.info["zentrix_version"] == reference.info["zentrix_version"]
    assert recorded.info["devices"] == reference.info["devices"]
    assert recorded.is_duration("Lickometer", "Duration of licks")


def test_a_killed_session_keeps_whole_rows_and_says_it_is_incomplete(
        tmp_path: pathlib.Path) -> None:
    process = child(f"""
        import sys, zentrix
        z = zentrix.Zentrix(config_dir={str(EXAMPLES)!r}, backend="sim")
        print(z.record({str(tmp_path)!r}, "killed"), flush=True)
        z.start()
        while True:
            z.send("Pellet dispenser", "Drop pellet")
            for _ in z.events(timeout=0.2):
                pass
    """)
    folder = pathlib.Path(process.stdout.readline().strip())
    time.sleep(2.5)
    process.send_signal(signal.SIGKILL)
    process.communicate(timeout=30)
    recorded = session.read(folder)
    assert not recorded.complete
    assert recorded.totals == []
    assert len(recorded.commands("Pellet dispenser", "Drop pellet")) >= 8
    # At most the last second or so is missing: the rows are written as they are taken.
    assert recorded.events[-1].t_s > 1.5
    assert (folder / "events.csv").read_text().endswith("\n")


def test_a_recording_never_reuses_a_folder_and_refuses_what_it_cannot_do(
        tmp_path: pathlib.Path) -> None:
    out = run(f"""
        import zentrix
        with zentrix.Zentrix(config_dir={str(EXAMPLES)!r}, backend="sim") as z:
            for subject in ("../up", ".hidden", ""):
                try:
                    z.record({str(tmp_path)!r}, subject)
                except zentrix.ZentrixError as error:
                    print("refused:", error)
            try:
                z.record({str(tmp_path / "missing")!r}, "mouse")
            except zentrix.ZentrixError as error:
                print("refused:", error)
            print(z.record({str(tmp_path)!r}, "same").name)
            try:
                z.record({str(tmp_path)!r}, "same")
            except zentrix.ZentrixError as error:
                print("refused:", error)
        with zentrix.Zentrix(config_dir={str(EXAMPLES)!r}, backend="sim") as z:
            print(z.record({str(tmp_path)!r}, "same").name)
            z.start()
        with zentrix.Zentrix(config_dir={str(EXAMPLES)!r}, backend="sim") as z:
            z.start()
            try:
                z.record({str(tmp_path)!r}, "late")
            except zentrix.ZentrixError as error:
                print("refused:", error)
    """)
    lines = out.splitlines()
    refused = [line for line in lines if line.startswith("refused:")]
    assert len(refused) == 6
    assert "names no folder" in refused[0] and "is no directory" in refused[3]
    assert "already recording" in refused[4] and "before start()" in refused[5]
    first, second = [line for line in lines if line.startswith("same_")]
    assert first != second
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([first, second])
    if first[len("same_"):] == second[len("same_"):len(first)]:
        assert second == first + "_2"
    with pytest.raises(session.SessionError):
        session.read(tmp_path / "late")
