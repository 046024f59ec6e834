"""The plug-in's component from Python: ``zentrix.Zentrix`` and the records it hands out."""

from __future__ import annotations

import collections
import dataclasses
import datetime
import os
import threading
import time
from pathlib import Path
from typing import Any, Deque, Iterator, Optional, Sequence, TypeVar, Union

from . import _zentrix
from .recorder import Recorder

#: A device, command or signal is named by its id (an int) or its exact name (a str).
Name = Union[int, str]
#: What a signal reads as: bool, int, float, a duration, or None when it has no value.
Value = Union[bool, int, float, datetime.timedelta, None]

# How long the event iterator sleeps when the plug-in has nothing new, well under a box's period.
_EVENT_POLL_SECONDS = 0.005
_UTC_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


class ZentrixError(Exception):
    """A call into the plug-in failed, or something was asked that the setup cannot do.

    ``hresult`` is the status code the plug-in returned, or None when the failure was found
    before calling it; the message always says in words what failed.
    """

    def __init__(self, message: str, hresult: Optional[int] = None) -> None:
        super().__init__(message)
        self.hresult = hresult


class UnknownNameError(ZentrixError, LookupError):
    """A device, device type, command or signal that the setup does not have; the message lists
    the valid ones."""


@dataclasses.dataclass(frozen=True)
class Command:
    """A command of a device type: what ``Zentrix.send`` carries out."""

    id: int
    name: str
    is_default: bool


@dataclasses.dataclass(frozen=True)
class Signal:
    """A signal of a device type.

    ``value_type`` is "bool", "int", "float" or "duration". Counting signals (ints and
    durations: presses, drops, licks, lick time) read as the change since the previous read.
    """

    id: int
    name: str
    value_type: str
    default: Value

    @property
    def counting(self) -> bool:
        """Whether reads give what accrued since the previous read rather than a level."""
        return self.value_type in ("int", "duration")


@dataclasses.dataclass(frozen=True)
class DeviceType:
    """A kind of device, with the commands it takes and the signals it gives."""

    id: int
    name: str
    max_frequency: float
    commands: tuple[Command, ...]
    signals: tuple[Signal, ...]


@dataclasses.dataclass(frozen=True)
class Device:
    """A device of the hardware setup, mapped to a port of an IO box."""

    id: int
    name: str
    type: DeviceType


@dataclasses.dataclass(frozen=True)
class Box:
    """An IO box of the hardware setup; ``serial`` is its controller's, None without one."""

    id: int
    name: str
    connected: bool
    serial: Optional[str]


@dataclasses.dataclass(frozen=True)
class TimeBase:
    """The moment sampling last started, on the events' monotonic clock and in UTC."""

    monotonic_us: int
    utc: datetime.datetime


@dataclasses.dataclass(frozen=True)
class Event:
    """Something the plug-in timed while sampling.

    ``kind`` is one of "sampling_started", "sampling_stopped", "box_state", "box_lost", "rise",
    "fall", "data_change", "command", "pulse_end" and "dropped". It happened after
    ``earliest_us`` and no later than ``time_us`` (microseconds on the plug-in's monotonic
    clock); ``t`` is ``time_us`` in seconds since sampling started and ``window`` the width of
    that interval in seconds (0 when the time is exact, None when nothing bounds it: a line
    already away from its idle level at the first read). ``device`` and ``item`` name the
    device and its signal or command; ``level`` is a line level or a box's state (1:
    connected); ``value`` is the signal's value after the event and ``change`` what a data
    signal counted since its previous read; ``count`` is the number of events lost for
    "dropped".
    """

    kind: str
    box: Optional[int]
    device: Optional[str]
    item: Optional[str]
    level: Optional[int]
    time_us: int
    earliest_us: Optional[int]
    t: float
    window: Optional[float]
    utc: datetime.datetime
    value: Value
    change: Value
    count: Optional[int]
    device_id: Optional[int]
    signal_id: Optional[int]
    command_id: Optional[int]


_Item = TypeVar("_Item", Device, DeviceType, Command, Signal)

# The backend the plug-in chose when this process made its first component; it reads
# ZENTRIX_IOWARRIOR then, and only then.
_process_backend: Optional[str] = None


def _optional_id(value: int) -> Optional[int]:
    return None if value < 0 else value


def _find(what: str, items: Sequence[_Item], name: Name, where: str = "") -> _Item:
    if isinstance(name, bool) or not isinstance(name, (int, str)):
        raise TypeError(f"a {what} is named by its id (int) or its name (str), not {name!r}")
    if isinstance(name, int):
        matches = [item for item in items if item.id == name]
    else:
        matches = [item for item in items if item.name == name]
        if not matches and name.strip().isdigit():
            matches = [item for item in items if item.id == int(name)]
    if matches:
        return matches[0]
    valid = ", ".join(f"{item.name!r} ({item.id})" for item in items) or "none"
    shown = name if isinstance(name, int) else repr(name)
    raise UnknownNameError(f"no {what} {shown}{where}; the {what}s are: {valid}")


def default_config_dir() -> Path:
    """Where the host keeps HardwareSetup.xml when not told: $XDG_CONFIG_HOME/zentrix, else
    ~/.config/zentrix."""
    base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return Path(base) / "zentrix"


def _default_plugin() -> str:
    candidates = _zentrix.plugin_candidates()
    for candidate in candidates:
        if os.path.isfile(candidate):
            return candidate
    raise ZentrixError(
        "no libzentrix.so beside the zentrix package (looked for " + ", ".join(candidates) +
        "); pass plugin=PATH")


class Zentrix:
    """The Zentrix plug-in's component, with the hardware setup of ``config_dir`` loaded.

    ``config_dir`` is where HardwareSetup.xml lives (default: as the reference host,
    ``$XDG_CONFIG_HOME/zentrix``); a directory named that does not exist is an error.
    ``backend`` chooses the boxes: "sim" (a simulated box), "sim:BENCH.json", "kernel" (the
    boxes of the iowarrior driver), "kernel:DIR" or "none"; by default ``ZENTRIX_IOWARRIOR``
    decides, else the kernel driver. The plug-in chooses once per process, so a second
    ``Zentrix`` that asks for another backend than the first is refused. ``plugin`` is the path of
    libzentrix.so (default: the one installed or built beside this package). With ``events``
    (the default) the plug-in keeps timestamped events for ``events()`` from now on, in a
    bounded buffer per box.

    It is a context manager: leaving the ``with`` block stops sampling and releases the
    component. Like every host of the plug-in, use one object from one thread, the one that
    made it; a call from another thread raises ZentrixError.

    >>> with zentrix.Zentrix(config_dir="examples", backend="sim") as z:   # doctest: +SKIP
    ...     z.start()
    ...     z.send("Pellet dispenser", "Drop pellet")
    ...     z.read("Lickometer", "Number of licks")
    """

    def __init__(
        self,
        config_dir: Union[str, os.PathLike[str], None] = None,
        backend: Optional[str] = None,
        *,
        plugin: Union[str, os.PathLike[str], None] = None,
        events: bool = True,
    ) -> None:
        global _process_backend
        self._thread = threading.get_ident()
        self._host: Optional[Any] = None
        self._running = False
        self._pending: Deque[Event] = collections.deque()
        self._totals: dict[tuple[int, int], Value] = {}
        self._time_base: Optional[TimeBase] = None
        self._events_enabled = events
        self._recorder: Optional[Recorder] = None
        named = config_dir is not None
        directory = Path(config_dir) if named else default_config_dir()
        if named and not directory.is_dir():
            reason = "does not exist" if not directory.exists() else "is not a directory"
            raise ZentrixError(f"the configuration directory {str(directory)!r} {reason}")
        self.config_dir = directory.absolute()
        if backend is not None:
            if _process_backend is not None and backend != _process_backend:
                raise ZentrixError(
                    f"this process already uses the backend {_process_backend!r}; the plug-in "
                    f"chooses its backend once per process, so {backend!r} cannot be had here")
            os.environ["ZENTRIX_IOWARRIOR"] = backend
        library = os.fspath(plugin) if plugin is not None else _default_plugin()
        try:
            self._host = _zentrix.Host(library)
        except _zentrix.Error as error:
            raise ZentrixError(str(error)) from None
        if _process_backend is None:
            _process_backend = os.environ.get("ZENTRIX_IOWARRIOR", "kernel")
        try:
            self._check(self._host.load(str(self.config_dir)),
                        f"loading the hardware setup from {str(self.config_dir)!r}")
            if events:
                self._call(self._host.enable_events)
            self._types = self._read_device_types()
            self._devices = [Device(id, name, _find("device type", self._types, type_id))
                             for id, name, type_id in self._call(self._host.devices)]
        except BaseException:
            # The traceback keeps this object alive; its component must not keep the boxes.
            self._host.release()
            self._host = None
            raise

    def __enter__(self) -> "Zentrix":
        return self

    def __exit__(self, kind: Optional[type], *_: object) -> None:
        if kind is None:
            self.close()
        else:
            self.close(ended_by="signal" if issubclass(kind, KeyboardInterrupt) else "exception")

    def __repr__(self) -> str:
        state = "closed" if self._host is None else ("sampling" if self._running else "idle")
        return f"<zentrix.Zentrix {str(self.config_dir)!r}, {len(self._devices)} devices, {state}>"

    def close(self, *, ended_by: str = "close") -> None:
        """Stops sampling if it runs, ends a recording (``ended_by`` goes into its
        session.json) and releases the component; the object is unusable after."""
        if self._host is None:
            return
        self._check_thread()
        host = self._host
        try:
            if self._running:
                self.stop()
            if self._recorder is not None:
                self._take_events()
        finally:
            recorder, self._recorder = self._recorder, None
            self._host = None
            host.release()
            if recorder is not None:
                try:
                    recorder.close(ended_by)
                except OSError as error:
                    raise ZentrixError(f"writing the session to {str(recorder.folder)!r} "
                                       f"failed: {error}") from None

    def record(self, out_dir: Union[str, os.PathLike[str]], subject: str, *,
               note: Optional[str] = None) -> Path:
        """Keeps this session as ``zentrix record`` does, in a new folder
        SUBJECT_YYYY-MM-DD_HH-MM-SS under ``out_dir``, and returns the folder.

        Every event this object takes from the plug-in (by ``events()`` or ``poll_events()``)
        goes into events.csv at once; ``close()`` (or the end of the ``with`` block) writes the
        totals and completes session.json. Call it before ``start()``.
        """
        self._usable()
        self._require_events()
        if self._recorder is not None:
            raise ZentrixError(f"already recording into {str(self._recorder.folder)!r}")
        if self._running:
            raise ZentrixError("record() comes before start(), so that the session is whole")
        try:
            self._recorder = Recorder(self, out_dir, subject, note)
        except (OSError, ValueError) as error:
            raise ZentrixError(f"cannot record the session: {error}") from None
        return self._recorder.folder

    @property
    def library_path(self) -> str:
        """The libzentrix.so this object loaded."""
        return self._usable().library_path

    @property
    def backend(self) -> str:
        """The backend of this process's plug-in, as ZENTRIX_IOWARRIOR names it."""
        return _process_backend or "kernel"

    @property
    def boxes(self) -> list[Box]:
        """The IO boxes of the setup, each with whether it is connected now."""
        host = self._usable()
        boxes = []
        for id, name in self._call(host.boxes):
            connected = self._call(host.is_connected, id) == _zentrix.S_OK
            serial = self._call(host.serial, id) if self._events_enabled else ""
            boxes.append(Box(id, name, connected, serial or None))
        return boxes

    @property
    def devices(self) -> list[Device]:
        """The devices of the setup."""
        self._usable()
        return list(self._devices)

    @property
    def device_types(self) -> list[DeviceType]:
        """Every device type the plug-in knows, with its commands and signals."""
        self._usable()
        return list(self._types)

    def device(self, device: Name) -> Device:
        """The device of that id or exact name; UnknownNameError lists the valid ones."""
        self._usable()
        return _find("device", self._devices, device)

    def device_type(self, device_type: Name) -> DeviceType:
        """The device type of that id or exact name."""
        self._usable()
        return _find("device type", self._types, device_type)

    def command(self, device: Name, command: Name) -> Command:
        """A command of a device, by id or exact name."""
        found = self.device(device)
        return _find("command", found.type.commands, command, f" for {found.name!r}")

    def signal(self, device: Name, signal: Name) -> Signal:
        """A signal of a device, by id or exact name."""
        found = self.device(device)
        return _find("signal", found.type.signals, signal, f" of {found.name!r}")

    @property
    def running(self) -> bool:
        """Whether sampling runs."""
        return self._running

    def start(self, *, allow_missing_boxes: bool = False) -> None:
        """Starts sampling. Raises ZentrixError when a box of the setup is not connected (its
        devices would give no data) unless ``allow_missing_boxes``; running totals start at 0."""
        host = self._usable()
        if self._running:
            raise ZentrixError("sampling already runs")
        if not allow_missing_boxes:
            missing = [f"{box.id} {box.name!r}" for box in self.boxes if not box.connected]
            if missing:
                raise ZentrixError(
                    "not connected: IO box " + ", ".join(missing) +
                    " (pass allow_missing_boxes=True to sample anyway)")
        self._check(self._call(host.start), "starting the sampler")
        self._running = True
        self._totals.clear()
        if self._events_enabled:
            monotonic_us, utc_us, _ = self._call(host.time_base)
            self._time_base = TimeBase(monotonic_us,
                                       _UTC_EPOCH + datetime.timedelta(microseconds=utc_us))

    def stop(self) -> None:
        """Stops sampling; the events up to "sampling_stopped" stay for ``events()``."""
        host = self._usable()
        if not self._running:
            return
        self._running = False
        self._check(self._call(host.stop), "stopping the sampler")

    def send(self, device: Name, command: Name) -> None:
        """Carries out a command of a device, both by id or exact name."""
        host = self._usable()
        found = self.device(device)
        chosen = _find("command", found.type.commands, command, f" for {found.name!r}")
        self._check(self._call(host.send, found.id, chosen.id),
                    f"sending {chosen.name!r} to {found.name!r}")

    def read(self, device: Name, signal: Name) -> Value:
        """A signal's value: for a counting signal, what accrued since its previous read (the
        running total is kept for ``total()``); else its level or value now."""
        host = self._usable()
        found = self.device(device)
        chosen = _find("signal", found.type.signals, signal, f" of {found.name!r}")
        try:
            value = host.receive(found.id, chosen.id)
        except _zentrix.Error as error:
            raise ZentrixError(f"reading {chosen.name!r} of {found.name!r}: {error}") from None
        if chosen.counting and value is not None:
            key = (found.id, chosen.id)
            zero: Value = datetime.timedelta(0) if chosen.value_type == "duration" else 0
            self._totals[key] = self._totals.get(key, zero) + value  # type: ignore[operator]
        return value

    def total(self, device: Name, signal: Name) -> Value:
        """The sum of a counting signal's reads since ``start()`` (0 before the first)."""
        found = self.device(device)
        chosen = _find("signal", found.type.signals, signal, f" of {found.name!r}")
        if not chosen.counting:
            raise ZentrixError(f"{chosen.name!r} of {found.name!r} is a level, not a count")
        zero: Value = datetime.timedelta(0) if chosen.value_type == "duration" else 0
        return self._totals.get((found.id, chosen.id), zero)

    def totals(self) -> dict[tuple[str, str], Value]:
        """Every counting signal read since ``start()``, by (device, signal) name."""
        self._usable()
        named = {}
        for (device_id, signal_id), value in self._totals.items():
            device = _find("device", self._devices, device_id)
            named[(device.name, _find("signal", device.type.signals, signal_id).name)] = value
        return named

    @property
    def time_base(self) -> Optional[TimeBase]:
        """When sampling last started (None before the first start or without events)."""
        return self._time_base

    def now_us(self) -> int:
        """Now, in microseconds on the events' monotonic clock."""
        host = self._usable()
        self._require_events()
        return self._call(host.now)

    def poll_events(self) -> list[Event]:
        """The events since the previous call or iteration, at once (perhaps none)."""
        self._take_events()
        taken = list(self._pending)
        self._pending.clear()
        return taken

    def events(self, timeout: Optional[float] = None) -> Iterator[Event]:
        """Yields the events as the plug-in times them, in time order per box.

        The iteration ends ``timeout`` seconds from now, or with None once sampling has
        stopped and its last events are out. Events not yet yielded when a loop breaks stay for
        the next iteration or ``poll_events()``.
        """
        self._require_events()
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            if not self._pending:
                self._take_events()
            while self._pending:
                yield self._pending.popleft()
                if deadline is not None and time.monotonic() >= deadline:
                    return
            if deadline is not None:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return
                time.sleep(min(_EVENT_POLL_SECONDS, remaining))
            elif not self._running:
                self._take_events()
                if not self._pending:
                    return
            else:
                time.sleep(_EVENT_POLL_SECONDS)

    def save(self, config_dir: Union[str, os.PathLike[str], None] = None) -> Path:
        """Saves the hardware setup to HardwareSetup.xml in ``config_dir`` (default: the one
        it was loaded from) and returns the file's path."""
        host = self._usable()
        directory = Path(config_dir).absolute() if config_dir is not None else self.config_dir
        self._check(self._call(host.save, str(directory)), f"saving the setup to {str(directory)!r}")
        return directory / "HardwareSetup.xml"

    def _take_events(self) -> None:
        host = self._usable()
        self._require_events()
        taken = [self._event(*raw) for raw in self._call(host.events)]
        self._pending.extend(taken)
        if self._recorder is not None and taken:
            try:
                self._recorder.add(taken)
            except OSError as error:
                raise ZentrixError(f"writing the session to {str(self._recorder.folder)!r} "
                                   f"failed: {error}") from None

    def _event(self, kind: str, box: int, device_id: int, signal_id: int, command_id: int,
               level: int, time_us: int, earliest_us: int, count: int, value: Value,
               change: Value) -> Event:
        device = next((d for d in self._devices if d.id == device_id), None)
        item: Optional[str] = None
        if device is not None:
            named = [s.name for s in device.type.signals if s.id == signal_id] + \
                    [c.name for c in device.type.commands if c.id == command_id]
            item = named[0] if named else None
        base = self._time_base or TimeBase(0, _UTC_EPOCH)
        bounded = earliest_us > 0 or earliest_us == time_us
        return Event(
            kind=kind,
            box=_optional_id(box),
            device=device.name if device is not None else None,
            item=item,
            level=_optional_id(level),
            time_us=time_us,
            earliest_us=earliest_us if bounded else None,
            t=(time_us - base.monotonic_us) / 1e6,
            window=(time_us - earliest_us) / 1e6 if bounded else None,
            utc=base.utc + datetime.timedelta(microseconds=time_us - base.monotonic_us),
            value=value,
            change=change,
            count=count if kind == "dropped" else None,
            device_id=_optional_id(device_id),
            signal_id=_optional_id(signal_id),
            command_id=_optional_id(command_id),
        )

    def _read_device_types(self) -> list[DeviceType]:
        host = self._usable()
        types = []
        for id, name, max_frequency in self._call(host.device_types):
            commands = tuple(Command(*record) for record in self._call(host.commands, id))
            signals = tuple(
                Signal(signal_id, signal_name, value_type, default if has_default else None)
                for signal_id, signal_name, value_type, has_default, default
                in self._call(host.signals, id))
            types.append(DeviceType(id, name, max_frequency, commands, signals))
        return types

    def _require_events(self) -> None:
        if not self._events_enabled:
            raise ZentrixError("this Zentrix was made with events=False, so it keeps no events")

    def _check_thread(self) -> None:
        current = threading.get_ident()
        if current != self._thread:
            raise ZentrixError(
                f"this Zentrix belongs to thread {self._thread} and was called from thread "
                f"{current}; the plug-in's component is used from the thread that made it only")

    def _usable(self) -> Any:
        self._check_thread()
        if self._host is None:
            raise ZentrixError("this Zentrix is closed")
        return self._host

    @staticmethod
    def _call(function: Any, *arguments: Any) -> Any:
        try:
            return function(*arguments)
        except _zentrix.Error as error:
            raise ZentrixError(str(error)) from None

    @staticmethod
    def _check(result: int, what: str) -> None:
        if result < 0:
            raise ZentrixError(f"{what} failed: the plug-in answered "
                               f"{_zentrix.hresult_text(result)}", result)

