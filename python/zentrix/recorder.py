"""Session folders written from Python, in the format of ``zentrix record``.

``Zentrix.record()`` hands every event the object takes from the plug-in to a ``Recorder``, so a
task script keeps its session as ``zentrix record`` would have: ``events.csv`` written as the
events come (synced to the disk at least once a second), ``session.json`` (``"complete":
false`` until the recording ends), ``totals.csv`` at the end and a copy of the setup. The files
read back with ``zentrix.session.read`` and draw with ``zentrix.plot``.
"""

from __future__ import annotations

import csv
import datetime
import io
import json
import os
import pathlib
import shutil
import socket
import time
from typing import TYPE_CHECKING, Any, Iterable, Optional, Union

from . import _zentrix
from .session import EVENT_COLUMNS, EVENTS_FILE, SESSION_FILE, SETUP_FILE, TOTAL_COLUMNS, TOTALS_FILE

if TYPE_CHECKING:
    from ._host import Event, Zentrix

_SYNC_SECONDS = 1.0
_MAX_FOLDER_NUMBER = 9999
_LEVEL_KINDS = frozenset({"box_state", "rise", "fall", "command", "pulse_end"})
# session.json names value types as the reference host does.
_VALUE_TYPE_NAMES = {"int": "integer", "float": "double"}
_SESSION_KINDS = frozenset({"sampling_started", "sampling_stopped"})


def _microseconds(value: Any) -> Any:
    return value // datetime.timedelta(microseconds=1) if isinstance(value, datetime.timedelta) \
        else value


def _field(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(_microseconds(value))


def _seconds(microseconds: int) -> str:
    sign = "-" if microseconds < 0 else ""
    whole, fraction = divmod(abs(microseconds), 1_000_000)
    return f"{sign}{whole}.{fraction:06d}"


def _utc(moment: datetime.datetime) -> str:
    return moment.astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def _value(event: "Event") -> str:
    if event.kind in _LEVEL_KINDS:
        return "" if event.level is None else str(event.level)
    if event.kind == "data_change":
        total = _field(event.value)
        if event.change is None:
            return total
        change = _microseconds(event.change)
        return f"{total} ({'+' if change >= 0 else ''}{change})"
    if event.kind == "dropped":
        return str(event.count)
    return ""


def _backend_name(setting: str) -> str:
    if setting in ("", "kernel") or setting.startswith("kernel:"):
        return "kernel driver"
    if setting == "sim" or setting.startswith("sim:"):
        return "simulator"
    return setting


def new_folder(out_dir: pathlib.Path, subject: str, when: datetime.datetime) -> pathlib.Path:
    """Creates SUBJECT_YYYY-MM-DD_HH-MM-SS (local time) in ``out_dir``, with ``_2``, ``_3``, ...
    when that name is taken: a recording never writes into a folder it did not make."""
    if not subject or "/" in subject or subject.startswith(".") or \
            any(ord(c) < 32 or ord(c) == 127 for c in subject):
        raise ValueError(f"the subject {subject!r} names no folder (empty, '/', a leading '.' "
                         "or a control character)")
    if not out_dir.is_dir():
        raise FileNotFoundError(f"{out_dir} is no directory to keep sessions in")
    base = f"{subject}_{when.astimezone().strftime('%Y-%m-%d_%H-%M-%S')}"
    for number in range(1, _MAX_FOLDER_NUMBER + 1):
        folder = out_dir / (base if number == 1 else f"{base}_{number}")
        try:
            folder.mkdir()
        except FileExistsError:
            continue
        return folder
    raise FileExistsError(f"{out_dir / base}: every numbered name is taken")


class Recorder:
    """Writes one session folder from the events of a ``Zentrix`` object."""

    def __init__(self, host: "Zentrix", out_dir: Union[str, os.PathLike[str]], subject: str,
                 note: Optional[str]) -> None:
        self._subject = subject
        self._note = note
        self._start: Optional["Event"] = None
        self._last_us: Optional[int] = None
        self._count = 0
        self._lost = 0
        self._kinds: dict[str, int] = {}
        self._totals: dict[tuple[Optional[int], str, str, str], list[Any]] = {}
        self._ended_by: Optional[str] = None
        # The boxes as the session begins, and the setup, which a session does not change.
        self._plugin = host.library_path
        self._config_dir = str(host.config_dir)
        self._boxes = [{"id": box.id, "name": box.name, "serial": box.serial,
                        "connected": box.connected} for box in host.boxes]
        self._devices = [{"id": device.id, "name": device.name, "type_id": device.type.id,
                          "type": device.type.name,
                          "signals": [{"id": signal.id, "name": signal.name,
                                       "value_type": _VALUE_TYPE_NAMES.get(signal.value_type,
                                                                           signal.value_type)}
                                      for signal in device.type.signals]}
                         for device in host.devices]
        self.folder = new_folder(pathlib.Path(out_dir), subject,
                                 datetime.datetime.now(datetime.timezone.utc))
        setup = host.config_dir / SETUP_FILE
        self._setup_copied = setup.is_file()
        if self._setup_copied:
            shutil.copyfile(setup, self.folder / SETUP_FILE)
        self._events = open(self.folder / EVENTS_FILE, "x", newline="", encoding="utf-8")
        self._events.write(",".join(EVENT_COLUMNS) + "\n")
        self._last_sync = time.monotonic()
        self._write_session()

    def add(self, events: Iterable["Event"]) -> None:
        """Appends the events to events.csv at once, in whole rows."""
        rows = io.StringIO()
        writer = csv.writer(rows, lineterminator="\n")
        for event in events:
            if self._start is None:
                if event.kind != "sampling_started":
                    continue
                self._start = event
            since = event.time_us - self._start.time_us
            writer.writerow([
                _utc(self._start.utc + datetime.timedelta(microseconds=since)),
                _seconds(since),
                "" if event.earliest_us is None else _seconds(event.time_us - event.earliest_us),
                "" if event.kind in _SESSION_KINDS or event.box is None else event.box,
                event.device or "",
                event.item or "",
                event.kind,
                _value(event),
            ])
            self._count += 1
            self._kinds[event.kind] = self._kinds.get(event.kind, 0) + 1
            box = None if event.kind in _SESSION_KINDS else event.box
            total = self._totals.setdefault((box, event.device or "", event.item or "", event.kind),
                                            [0, None])
            total[0] += 1
            if event.signal_id is not None:
                total[1] = event.value
            if event.kind == "dropped" and event.count is not None:
                self._lost += event.count
            self._last_us = event.time_us
        self._events.write(rows.getvalue())
        self._events.flush()
        if time.monotonic() - self._last_sync >= _SYNC_SECONDS:
            os.fsync(self._events.fileno())
            self._last_sync = time.monotonic()

    def close(self, ended_by: str) -> None:
        """Ends the recording: events.csv synced, totals.csv and the complete session.json."""
        if self._events.closed:
            return
        self._ended_by = ended_by
        self._events.flush()
        os.fsync(self._events.fileno())
        self._events.close()
        with open(self.folder / TOTALS_FILE, "w", newline="", encoding="utf-8") as totals:
            writer = csv.writer(totals, lineterminator="\n")
            writer.writerow(TOTAL_COLUMNS)
            for (box, device, item, kind), (count, last) in sorted(
                    self._totals.items(), key=lambda entry: (entry[0][0] is not None,
                                                             entry[0][0] or 0, *entry[0][1:])):
                writer.writerow(["" if box is None else box, device, item, kind, count,
                                 _field(last)])
        self._write_session()

    def _write_session(self) -> None:
        complete = self._events.closed
        start = self._start
        duration_us = None if start is None or self._last_us is None else \
            self._last_us - start.time_us
        end = None if duration_us is None or not complete else \
            start.utc + datetime.timedelta(microseconds=duration_us)
        setting = os.environ.get("ZENTRIX_IOWARRIOR", "")
        session = {
            "subject": self._subject,
            "note": self._note,
            "folder": self.folder.name,
            "start_utc": _utc(start.utc) if start is not None else None,
            "start_local": start.utc.astimezone().isoformat() if start is not None else None,
            "end_utc": _utc(end) if end is not None else None,
            "end_local": end.astimezone().isoformat() if end is not None else None,
            "duration_s": duration_us / 1e6 if complete and duration_us is not None else None,
            "ended_by": self._ended_by,
            "complete": complete,
            "host": socket.gethostname(),
            "recorded_by": "zentrix Python package",
            "zentrix_version": _zentrix.__version__,
            "plugin": self._plugin,
            "backend": _backend_name(setting),
            "backend_setting": setting,
            "timing": os.environ.get("ZENTRIX_TIMING") or "default",
            "sampling": os.environ.get("ZENTRIX_SAMPLING") or "default",
            "config_dir": self._config_dir,
            "setup_file": SETUP_FILE if self._setup_copied else None,
            "boxes": self._boxes,
            "devices": self._devices,
            "events": self._count if complete else None,
            "lost_events": self._lost if complete else None,
            "totals": dict(self._kinds) if complete else None,
        }
        text = json.dumps(session, indent=2) + "\n"
        temporary = self.folder / (SESSION_FILE + ".new")
        with open(temporary, "w", encoding="utf-8") as handle:
            handle.write(text)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, self.folder / SESSION_FILE)
