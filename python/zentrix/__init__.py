"""Experiments in Python with the Zentrix plug-in.

``zentrix.Zentrix`` drives the plug-in's component (boxes, devices, commands, signals and
timestamped events) and records sessions (``zentrix.recorder``); ``zentrix.session`` reads the
folders ``zentrix record`` writes and ``zentrix.plot`` draws their timelines. The analysis modules need neither the plug-in nor its
compiled extension, so a session can be read on a machine without IO boxes.
"""

from __future__ import annotations

__all__ = [
    "Zentrix",
    "ZentrixError",
    "UnknownNameError",
    "Box",
    "Device",
    "DeviceType",
    "Command",
    "Signal",
    "Event",
    "TimeBase",
    "default_config_dir",
]

_HOST_NAMES = frozenset(__all__)


def __getattr__(name: str):
    # The host layer loads the compiled extension, which only what drives the plug-in needs.
    if name in _HOST_NAMES:
        from . import _host

        return getattr(_host, name)
    raise AttributeError(f"module 'zentrix' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(list(globals()) + list(_HOST_NAMES))
