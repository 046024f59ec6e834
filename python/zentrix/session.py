"""Read the session folders that ``zentrix record`` writes.

A session folder holds ``events.csv`` (one row per event the plug-in timed), ``session.json``
(who, when, with what, and whether the recording ended cleanly), ``totals.csv`` (counts per
box, device, item and kind, written at the end) and a copy of ``HardwareSetup.xml``.

    from zentrix import session

    s = session.read("/tmp/sessions/mouse-12_2026-12-10_05-23-51")
    print(s.subject, s.start_utc, s.duration_s, "complete" if s.complete else "incomplete")
    presses = [e.t_s for e in s.edges("Button box", "Button 1 presses") if e.kind == "fall"]
    drops = len(s.commands("Pellet dispenser", "Drop pellet"))

Everything is read with the standard library into plain dataclasses; ``events_frame()`` and
``totals_frame()`` hand the same rows to pandas for those who have it.

A session that was killed outright (``"complete": false`` in ``session.json``) is read as far as
its files go: ``events.csv`` up to its last whole row, no totals, and ``Session.complete`` False.
"""

from __future__ import annotations

import csv
import dataclasses
import datetime
import io
import json
import math
import pathlib
import re
from collections.abc import Iterator
from typing import Any

__all__ = [
    "SessionError",
    "Event",
    "Total",
    "Session",
    "read",
    "EVENTS_FILE",
    "SESSION_FILE",
    "TOTALS_FILE",
    "SETUP_FILE",
    "EVENT_COLUMNS",
    "TOTAL_COLUMNS",
    "KINDS",
    "LEVEL_KINDS",
    "EDGE_KINDS",
]

EVENTS_FILE = "events.csv"
SESSION_FILE = "session.json"
TOTALS_FILE = "totals.csv"
SETUP_FILE = "HardwareSetup.xml"

EVENT_COLUMNS = ("utc", "t_s", "window_s", "box", "device", "item", "kind", "value")
TOTAL_COLUMNS = ("box", "device", "item", "kind", "count", "last_value")

KINDS = frozenset(
    {
        "sampling_started",
        "sampling_stopped",
        "box_state",
        "box_lost",
        "rise",
        "fall",
        "data_change",
        "command",
        "pulse_end",
        "dropped",
    }
)
LEVEL_KINDS = frozenset({"rise", "fall", "command", "pulse_end", "box_state"})
EDGE_KINDS = frozenset({"rise", "fall"})
_EMPTY_KINDS = frozenset({"sampling_started", "sampling_stopped", "box_lost"})

# A recorder newer than this reader may add kinds; they are kept with their value as text.
_KIND_PATTERN = re.compile(r"[a-z][a-z0-9_]*\Z")
_DATA_CHANGE_PATTERN = re.compile(r"(-?\d+)(?: \(([+-]\d+)\))?\Z")
_INTEGER_PATTERN = re.compile(r"-?\d+\Z")
# Only used when session.json does not give the signal's value type.
_DURATION_NAME_PATTERN = re.compile(r"\b(duration|time)\b", re.IGNORECASE)

_PANDAS_MISSING = (
    "pandas is optional for zentrix.session and is not installed; install it "
    "(on Debian: apt install python3-pandas) or use Session.events and Session.totals"
)


class SessionError(Exception):
    """A session folder or one of its files cannot be read; the message names the file."""


@dataclasses.dataclass(frozen=True)
class Event:
    """One row of ``events.csv``.

    The event happened no earlier than ``earliest_s`` and no later than ``t_s`` (seconds since
    sampling started); ``utc`` is ``t_s`` on the wall clock of the start.

    Attributes:
        utc: When the event happened at the latest, timezone-aware in UTC.
        t_s: Seconds since sampling started.
        window_s: How long before ``t_s`` the event may have happened; None where nothing
            bounds it (a line already away from its idle level at the first read).
        box: The IO box's id; None for ``sampling_started`` and ``sampling_stopped``.
        device: The device's name ("" where the event has none).
        item: The signal's or command's name ("" where the event has none).
        kind: One of ``KINDS`` (or a newer kind this reader does not know).
        level: The line's level, 0 or 1, for rise, fall, command, pulse_end and box_state
            (1: the box has a controller).
        total: A data_change's total: a count, or whole microseconds for a duration signal.
        change: What a data_change counted since the previous read (same unit as ``total``).
        count: How many events a ``dropped`` event stands for.
        is_duration: True for a data_change of a duration signal ("Duration of licks").
        value: The ``value`` field as written.
    """

    utc: datetime.datetime
    t_s: float
    window_s: float | None
    box: int | None
    device: str
    item: str
    kind: str
    level: int | None = None
    total: int | None = None
    change: int | None = None
    count: int | None = None
    is_duration: bool = False
    value: str = ""

    @property
    def earliest_s(self) -> float | None:
        """The earliest time (seconds since the start) the event may have happened, or None."""
        if self.window_s is None:
            return None
        return self.t_s - self.window_s

    @property
    def key(self) -> tuple[int | None, str, str]:
        """The (box, device, item) the event belongs to."""
        return (self.box, self.device, self.item)


@dataclasses.dataclass(frozen=True)
class Total:
    """One row of ``totals.csv``: how many events of a kind a box, device and item had.

    Attributes:
        box: The IO box's id; None for the session's start and stop.
        device: The device's name ("" for box and session rows).
        item: The signal's or command's name ("" for box and session rows).
        kind: The events' kind.
        count: How many such events the session had.
        last_value: A signal's value after its last event (for a counting signal its total for
            the session) as an int where it is one, else the text ("true", "1.5"); None for
            commands and rows without a signal.
    """

    box: int | None
    device: str
    item: str
    kind: str
    count: int
    last_value: int | str | None


@dataclasses.dataclass
class Session:
    """A recorded session: its folder, ``session.json`` as parsed, its events and totals.

    Attributes:
        folder: The session's folder.
        info: ``session.json`` as parsed (subject, note, start, boxes, devices, ...).
        events: Every event of ``events.csv`` in file (time) order.
        totals: The rows of ``totals.csv``; empty when the file is missing (a killed session).
        complete: True when the recording ended cleanly and wrote ``session.json`` at its end.
    """

    folder: pathlib.Path
    info: dict[str, Any] = dataclasses.field(repr=False)
    events: list[Event] = dataclasses.field(repr=False)
    totals: list[Total] = dataclasses.field(repr=False)
    complete: bool

    def __repr__(self) -> str:
        state = "complete" if self.complete else "incomplete"
        return f"<Session {self.folder.name!r}: {len(self.events)} events, {state}>"

    @property
    def subject(self) -> str:
        """The subject the session was recorded for."""
        subject = self.info.get("subject")
        if isinstance(subject, str):
            return subject
        return self.folder.name.rsplit("_", 2)[0]

    @property
    def note(self) -> str | None:
        """The note given with ``--note``, or None."""
        note = self.info.get("note")
        return note if isinstance(note, str) else None

    @property
    def start_utc(self) -> datetime.datetime | None:
        """When sampling started, timezone-aware in UTC (None if neither file tells)."""
        text = self.info.get("start_utc")
        if isinstance(text, str):
            try:
                return _parse_utc(text)
            except ValueError:
                pass
        for event in self.events:
            if event.kind == "sampling_started":
                return event.utc - datetime.timedelta(seconds=event.t_s)
        return None

    @property
    def start_local(self) -> datetime.datetime | None:
        """When sampling started in the recorder's local time, with its UTC offset, or None."""
        text = self.info.get("start_local")
        if isinstance(text, str):
            try:
                return datetime.datetime.fromisoformat(text)
            except ValueError:
                pass
        return None

    @property
    def duration_s(self) -> float:
        """Seconds from the start to the stop; for an incomplete session, to its last event."""
        duration = self.info.get("duration_s")
        if isinstance(duration, (int, float)) and not isinstance(duration, bool):
            return float(duration)
        return self.events[-1].t_s if self.events else 0.0

    @property
    def setup_file(self) -> pathlib.Path | None:
        """The path of the session's copy of ``HardwareSetup.xml``, or None without one."""
        name = self.info.get("setup_file")
        candidates = [name] if isinstance(name, str) and name else []
        candidates.append(SETUP_FILE)
        for candidate in candidates:
            path = self.folder / candidate
            if path.is_file():
                return path
        return None

    def devices(self) -> list[str]:
        """The names of the setup's devices as ``session.json`` lists them."""
        devices = self.info.get("devices")
        if not isinstance(devices, list):
            return []
        return [
            device["name"]
            for device in devices
            if isinstance(device, dict) and isinstance(device.get("name"), str)
        ]

    def of_kind(self, *kinds: str) -> list[Event]:
        """The events of the given kinds, in time order."""
        wanted = frozenset(kinds)
        return [event for event in self.events if event.kind in wanted]

    def signals(self) -> list[tuple[int | None, str, str]]:
        """The distinct (box, device, item) of the line signals that had rise or fall events.

        Ordered by box, then by the devices' order in ``session.json``, then by first edge.
        """
        return self._keys_of(EDGE_KINDS)

    def data_signals(self) -> list[tuple[int | None, str, str]]:
        """The distinct (box, device, item) of the signals that had data_change events."""
        return self._keys_of(frozenset({"data_change"}))

    def command_items(self) -> list[tuple[int | None, str, str]]:
        """The distinct (box, device, command) that had command events."""
        return self._keys_of(frozenset({"command"}))

    def edges(self, device: str, item: str, box: int | None = None) -> list[Event]:
        """The rise and fall events of one line signal (of any box unless ``box`` is given)."""
        return self._matching(EDGE_KINDS, device, item, box)

    def data_changes(self, device: str, item: str, box: int | None = None) -> list[Event]:
        """The data_change events of one signal, such as a lickometer's "Number of licks"."""
        return self._matching(frozenset({"data_change"}), device, item, box)

    def commands(
        self, device: str | None = None, item: str | None = None, box: int | None = None
    ) -> list[Event]:
        """The command events, of every device or of one device (and command)."""
        return [
            event
            for event in self.events
            if event.kind == "command"
            and (device is None or event.device == device)
            and (item is None or event.item == item)
            and (box is None or event.box == box)
        ]

    def pulses(self) -> list[tuple[Event, Event]]:
        """Each command that set its line high paired with the pulse_end that set it low again.

        A pulse_end ends every command of its item that raised the line since the previous
        pulse_end, so a command repeated while its pulse runs ends with that pulse.
        """
        pending: dict[tuple[int | None, str, str], list[Event]] = {}
        pairs: list[tuple[Event, Event]] = []
        for event in self.events:
            if event.kind == "command":
                if event.level == 1:
                    pending.setdefault(event.key, []).append(event)
                else:
                    pending.pop(event.key, None)
            elif event.kind == "pulse_end":
                for command in pending.pop(event.key, []):
                    pairs.append((command, event))
        return pairs

    def is_duration(self, device: str, item: str) -> bool:
        """Whether a counting signal counts time (whole microseconds) rather than events."""
        known = _value_types(self.info).get((device, item))
        if known is not None:
            return known
        return bool(_DURATION_NAME_PATTERN.search(item))

    def total(self, device: str, item: str, kind: str, box: int | None = None) -> Total | None:
        """The ``totals.csv`` row of one device, item and kind, or None without one."""
        for row in self.totals:
            if (
                row.device == device
                and row.item == item
                and row.kind == kind
                and (box is None or row.box == box)
            ):
                return row
        return None

    def events_frame(self) -> Any:
        """The events as a pandas DataFrame, one column per ``Event`` field plus ``earliest_s``.

        Raises:
            ImportError: pandas is not installed (it is optional; Debian: python3-pandas).
        """
        pandas = _import_pandas()
        columns = [field.name for field in dataclasses.fields(Event)] + ["earliest_s"]
        rows = [
            [getattr(event, name) for name in columns[:-1]] + [event.earliest_s]
            for event in self.events
        ]
        frame = pandas.DataFrame(rows, columns=columns)
        frame["utc"] = pandas.to_datetime(frame["utc"], utc=True)
        for name in ("t_s", "window_s", "earliest_s"):
            frame[name] = frame[name].astype("float64")
        for name in ("box", "level", "total", "change", "count"):
            frame[name] = frame[name].astype("Int64")
        frame["is_duration"] = frame["is_duration"].astype(bool)
        return frame

    def totals_frame(self) -> Any:
        """The totals as a pandas DataFrame with the columns of ``totals.csv``.

        Raises:
            ImportError: pandas is not installed (it is optional; Debian: python3-pandas).
        """
        pandas = _import_pandas()
        rows = [[getattr(row, name) for name in TOTAL_COLUMNS] for row in self.totals]
        frame = pandas.DataFrame(rows, columns=list(TOTAL_COLUMNS))
        frame["box"] = frame["box"].astype("Int64")
        frame["count"] = frame["count"].astype("int64")
        return frame

    def _keys_of(self, kinds: frozenset[str]) -> list[tuple[int | None, str, str]]:
        first: dict[tuple[int | None, str, str], int] = {}
        for index, event in enumerate(self.events):
            if event.kind in kinds:
                first.setdefault(event.key, index)
        rank = {name: position for position, name in enumerate(self.devices())}

        def order(key: tuple[int | None, str, str]) -> tuple[int, int, int]:
            box, device, _ = key
            return (-1 if box is None else box, rank.get(device, len(rank)), first[key])

        return sorted(first, key=order)

    def _matching(
        self, kinds: frozenset[str], device: str, item: str, box: int | None
    ) -> list[Event]:
        return [
            event
            for event in self.events
            if event.kind in kinds
            and event.device == device
            and event.item == item
            and (box is None or event.box == box)
        ]


def read(folder: str | pathlib.Path) -> Session:
    """Read the session folder ``folder`` that ``zentrix record`` wrote.

    Raises:
        SessionError: the folder is missing, or a file of it is missing or malformed; the
            message names the file (and the line of a malformed row).
    """
    folder = pathlib.Path(folder)
    if not folder.exists():
        raise SessionError(f"{folder}: no such session folder")
    if not folder.is_dir():
        raise SessionError(f"{folder}: not a folder")
    if not (folder / EVENTS_FILE).exists():
        raise SessionError(f"{folder}: no {EVENTS_FILE}, so not a folder of zentrix record")
    info = _read_info(folder / SESSION_FILE)
    complete = info.get("complete", False)
    if not isinstance(complete, bool):
        raise SessionError(
            f"{folder / SESSION_FILE}: \"complete\" is {complete!r}, not true or false"
        )
    events = _read_events(folder / EVENTS_FILE, _value_types(info), cut_allowed=not complete)
    totals_path = folder / TOTALS_FILE
    totals = _read_totals(totals_path) if totals_path.exists() else []
    return Session(folder=folder, info=info, events=events, totals=totals, complete=complete)


def _read_info(path: pathlib.Path) -> dict[str, Any]:
    text = _read_text(path)
    try:
        info = json.loads(text)
    except json.JSONDecodeError as error:
        raise SessionError(
            f"{path}: not valid JSON: {error.msg} at line {error.lineno} column {error.colno}"
        ) from None
    if not isinstance(info, dict):
        raise SessionError(f"{path}: not a JSON object")
    return info


def _read_text(path: pathlib.Path) -> str:
    try:
        data = path.read_bytes()
    except FileNotFoundError:
        raise SessionError(f"{path}: missing") from None
    except OSError as error:
        raise SessionError(f"{path}: cannot be read: {error.strerror}") from None
    # The recorder writes names as the setup gives them; a stray byte must not lose the session.
    return data.decode("utf-8", errors="replace")


def _rows(path: pathlib.Path, text: str) -> Iterator[tuple[int, list[str]]]:
    """The CSV rows of ``text`` with the line each starts on."""
    reader = csv.reader(io.StringIO(text, newline=""), strict=True)
    line = 1
    while True:
        try:
            row = next(reader)
        except StopIteration:
            return
        except csv.Error as error:
            raise SessionError(f"{path}: line {line}: not valid CSV: {error}") from None
        yield line, row
        line = reader.line_num + 1


def _check_header(
    path: pathlib.Path, rows: list[tuple[int, list[str]]], columns: tuple[str, ...]
) -> None:
    if not rows:
        raise SessionError(f"{path}: empty, expected the header {','.join(columns)}")
    _, header = rows[0]
    if tuple(header) != columns:
        raise SessionError(
            f"{path}: line 1: the header is {','.join(header)!r}, expected {','.join(columns)!r}"
        )


def _read_events(
    path: pathlib.Path, value_types: dict[tuple[str, str], bool], *, cut_allowed: bool
) -> list[Event]:
    text = _read_text(path)
    try:
        return _parse_events(path, text, value_types)
    except SessionError:
        # A recorder killed in the middle of a write leaves its last row without its line end.
        if not cut_allowed or not text or text.endswith(("\n", "\r")):
            raise
        last_break = max(text.rfind("\n"), text.rfind("\r"))
        try:
            return _parse_events(path, text[: last_break + 1], value_types)
        except SessionError:
            pass
        raise


def _parse_events(
    path: pathlib.Path, text: str, value_types: dict[tuple[str, str], bool]
) -> list[Event]:
    rows = list(_rows(path, text))
    _check_header(path, rows, EVENT_COLUMNS)
    events = []
    for line, row in rows[1:]:
        try:
            events.append(_event(row, value_types))
        except ValueError as error:
            raise SessionError(f"{path}: line {line}: {error}") from None
    return events


def _event(row: list[str], value_types: dict[tuple[str, str], bool]) -> Event:
    if len(row) != len(EVENT_COLUMNS):
        raise ValueError(f"{len(row)} fields, expected {len(EVENT_COLUMNS)}")
    utc_text, t_text, window_text, box_text, device, item, kind, value = row
    try:
        utc = _parse_utc(utc_text)
    except ValueError:
        raise ValueError(f"utc {utc_text!r} is not an ISO 8601 time in UTC") from None
    t_s = _parse_seconds("t_s", t_text)
    window_s = None if window_text == "" else _parse_seconds("window_s", window_text)
    box = None if box_text == "" else _parse_integer("box", box_text)
    if not _KIND_PATTERN.match(kind):
        raise ValueError(f"kind {kind!r} is not an event kind")
    level = total = change = count = None
    is_duration = False
    if kind in LEVEL_KINDS:
        if value != "":
            level = _parse_integer("the level", value)
            if level not in (0, 1):
                raise ValueError(f"the level of a {kind} is {value!r}, not 0 or 1")
    elif kind == "data_change":
        if value != "":
            match = _DATA_CHANGE_PATTERN.match(value)
            if match is None:
                raise ValueError(f"the value of a data_change is {value!r}, not 'TOTAL (+CHANGE)'")
            total = int(match.group(1))
            change = None if match.group(2) is None else int(match.group(2))
        known = value_types.get((device, item))
        is_duration = known if known is not None else bool(_DURATION_NAME_PATTERN.search(item))
    elif kind == "dropped":
        count = _parse_integer("the number of events lost", value)
    elif kind in _EMPTY_KINDS and value != "":
        raise ValueError(f"a {kind} has the value {value!r}, expected none")
    return Event(
        utc=utc,
        t_s=t_s,
        window_s=window_s,
        box=box,
        device=device,
        item=item,
        kind=kind,
        level=level,
        total=total,
        change=change,
        count=count,
        is_duration=is_duration,
        value=value,
    )


def _read_totals(path: pathlib.Path) -> list[Total]:
    rows = list(_rows(path, _read_text(path)))
    _check_header(path, rows, TOTAL_COLUMNS)
    totals = []
    for line, row in rows[1:]:
        try:
            if len(row) != len(TOTAL_COLUMNS):
                raise ValueError(f"{len(row)} fields, expected {len(TOTAL_COLUMNS)}")
            box_text, device, item, kind, count_text, last_text = row
            if not _KIND_PATTERN.match(kind):
                raise ValueError(f"kind {kind!r} is not an event kind")
            last_value: int | str | None = last_text
            if last_text == "":
                last_value = None
            elif _INTEGER_PATTERN.match(last_text):
                last_value = int(last_text)
            totals.append(
                Total(
                    box=None if box_text == "" else _parse_integer("box", box_text),
                    device=device,
                    item=item,
                    kind=kind,
                    count=_parse_integer("count", count_text),
                    last_value=last_value,
                )
            )
        except ValueError as error:
            raise SessionError(f"{path}: line {line}: {error}") from None
    return totals


def _parse_utc(text: str) -> datetime.datetime:
    moment = datetime.datetime.fromisoformat(text)
    if moment.tzinfo is None:
        raise ValueError(f"{text!r} has no time zone")
    return moment.astimezone(datetime.timezone.utc)


def _parse_seconds(name: str, text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        raise ValueError(f"{name} {text!r} is not a number of seconds") from None
    if not math.isfinite(seconds):
        raise ValueError(f"{name} {text!r} is not a number of seconds")
    return seconds


def _parse_integer(name: str, text: str) -> int:
    if not _INTEGER_PATTERN.match(text):
        raise ValueError(f"{name} {text!r} is not a whole number")
    return int(text)


def _value_types(info: dict[str, Any]) -> dict[tuple[str, str], bool]:
    """Which (device, signal) count durations, where session.json lists the devices' signals."""
    types: dict[tuple[str, str], bool] = {}
    devices = info.get("devices")
    if not isinstance(devices, list):
        return types
    for device in devices:
        if not isinstance(device, dict) or not isinstance(device.get("name"), str):
            continue
        signals = device.get("signals")
        if not isinstance(signals, list):
            continue
        for signal in signals:
            if not isinstance(signal, dict) or not isinstance(signal.get("name"), str):
                continue
            value_type = signal.get("value_type", signal.get("type"))
            if isinstance(value_type, str):
                types[(device["name"], signal["name"])] = value_type.lower() == "duration"
    return types


def _import_pandas() -> Any:
    try:
        import pandas
    except ImportError as error:
        raise ImportError(_PANDAS_MISSING) from error
    return pandas
