"""Fixtures shared by the tests of the Python package: the build tree, its `zentrix` and sessions
recorded with it on the simulator."""

from __future__ import annotations

import csv
import json
import os
import pathlib
import shutil
import subprocess
import sys
from dataclasses import dataclass

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
BUILD = pathlib.Path(os.environ.get("ZENTRIX_BUILD_DIR", REPO / "build" / "release"))

# The package as the build tree holds it, beside its compiled layer, unless PYTHONPATH names one.
if not any(pathlib.Path(entry, "zentrix").is_dir() for entry in sys.path if entry):
    sys.path.insert(0, str(BUILD / "python"))


@dataclass(frozen=True)
class Recording:
    """What a recording fixture asked the simulator and the recorder for."""

    duration_s: float
    pellet_every_s: float
    spot_every_s: float
    button_1_every_ms: int
    button_2_every_ms: int
    licks_per_second: int
    lick_ms: int


RECORDING = Recording(
    duration_s=3.0,
    pellet_every_s=0.4,
    spot_every_s=1.0,
    button_1_every_ms=300,
    button_2_every_ms=500,
    licks_per_second=5,
    lick_ms=40,
)

QUOTED_DEVICE = 'Pellet dispenser, "left"'


def bench_for(recording: Recording) -> dict:
    """A bench like examples/bench-demo.json with both buttons of the button box pressed."""
    return {
        "controllers": [
            {
                "box_id": 0,
                "serial": "00001001",
                "sdi": {"1": "top-unit-interface", "3": "lickometer"},
                "ttl": {"5": "pellet-dispenser"},
                "inputs": [
                    {"port": 3, "line": 1, "every_ms": recording.button_1_every_ms, "low_ms": 60},
                    {"port": 3, "line": 2, "every_ms": recording.button_2_every_ms, "low_ms": 100},
                ],
                "licks": [
                    {
                        "sdi": 3,
                        "per_second": recording.licks_per_second,
                        "lick_ms": recording.lick_ms,
                    }
                ],
            }
        ]
    }


def run_record(
    zentrix: pathlib.Path, bench: pathlib.Path, config_dir: pathlib.Path, out: pathlib.Path,
    *arguments: str,
) -> pathlib.Path:
    """Runs `zentrix record` on the simulator and returns the session folder it printed."""
    out.mkdir(parents=True, exist_ok=True)
    command = [
        str(zentrix), f"--simulate={bench}", "--config-dir", str(config_dir), "record",
        "--out", str(out), *arguments,
    ]
    result = subprocess.run(command, capture_output=True, text=True, timeout=60, check=False)
    assert result.returncode == 0, f"{command} exited {result.returncode}: {result.stderr}"
    folder = pathlib.Path(result.stdout.strip().splitlines()[-1])
    assert folder.is_dir(), f"zentrix record printed {result.stdout!r}, not a folder"
    return folder


@pytest.fixture(scope="session")
def build_dir() -> pathlib.Path:
    """The build tree to test: $ZENTRIX_BUILD_DIR, else build/release of this checkout."""
    path = pathlib.Path(os.environ.get("ZENTRIX_BUILD_DIR") or REPO / "build" / "release")
    if not path.is_dir():
        pytest.fail(
            f"no build tree at {path}: build first (cmake --preset release && "
            "cmake --build --preset release) or set ZENTRIX_BUILD_DIR"
        )
    return path


@pytest.fixture(scope="session")
def zentrix(build_dir: pathlib.Path) -> pathlib.Path:
    """The `zentrix` host of the build tree."""
    path = build_dir / "cli" / "zentrix"
    if not os.access(path, os.X_OK):
        pytest.fail(f"no executable {path}: build first (cmake --build --preset release)")
    return path


@pytest.fixture(scope="session")
def bench_file(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    """The simulator bench of `recorded_session`, as a file."""
    path = tmp_path_factory.mktemp("bench") / "bench.json"
    path.write_text(json.dumps(bench_for(RECORDING), indent=2), encoding="utf-8")
    return path


@pytest.fixture(scope="session")
def examples_dir() -> pathlib.Path:
    """The configuration directory examples/ that the recordings use."""
    return EXAMPLES


@pytest.fixture(scope="session")
def python_env() -> dict[str, str]:
    """The environment for a child Python that imports the same zentrix package as the tests."""
    import zentrix

    package_parent = str(pathlib.Path(zentrix.__file__).resolve().parent.parent)
    path = os.pathsep.join(filter(None, [package_parent, os.environ.get("PYTHONPATH")]))
    return {**os.environ, "PYTHONPATH": path}


@pytest.fixture(scope="session")
def recording() -> Recording:
    """What `recorded_session` asked for."""
    return RECORDING


@pytest.fixture(scope="session")
def recorded_session(
    zentrix: pathlib.Path, bench_file: pathlib.Path, tmp_path_factory: pytest.TempPathFactory
) -> pathlib.Path:
    """A session of about 3 s on the simulator with pellets dropped and a light switched on.

    Session-scoped: copy it before changing anything in it.
    """
    return run_record(
        zentrix, bench_file, EXAMPLES, tmp_path_factory.mktemp("sessions"),
        "--subject", "mouse-12",
        "--duration", f"{RECORDING.duration_s:g}",
        "--send-every", f"{RECORDING.pellet_every_s:g}", "Pellet dispenser", "Drop pellet",
        "--send-every", f"{RECORDING.spot_every_s:g}", "Left top unit", "White spot on",
        "--note", "first day",
    )


@pytest.fixture(scope="session")
def quoted_device() -> str:
    """The pellet dispenser's name in `quoted_session`."""
    return QUOTED_DEVICE


@pytest.fixture(scope="session")
def quoted_session(
    zentrix: pathlib.Path, tmp_path_factory: pytest.TempPathFactory
) -> pathlib.Path:
    """A session of 1 s whose pellet dispenser's name has a comma and quotes, dropping pellets."""
    config = tmp_path_factory.mktemp("quoted-config")
    setup = (EXAMPLES / "HardwareSetup.xml").read_text(encoding="utf-8")
    escaped = QUOTED_DEVICE.replace('"', "&quot;")
    renamed = setup.replace("<m_strDeviceName>Pellet dispenser</m_strDeviceName>",
                            f"<m_strDeviceName>{escaped}</m_strDeviceName>")
    assert renamed != setup, "examples/HardwareSetup.xml has no device named Pellet dispenser"
    (config / "HardwareSetup.xml").write_text(renamed, encoding="utf-8")
    bench = config / "bench.json"
    bench.write_text(json.dumps(bench_for(RECORDING)), encoding="utf-8")
    return run_record(
        zentrix, bench, config, tmp_path_factory.mktemp("quoted"),
        "--subject", "quoted", "--duration", "1",
        "--send-every", "0.3", QUOTED_DEVICE, "Drop pellet",
    )


@dataclass(frozen=True)
class RawSession:
    """A session folder's files as the csv and json modules read them, without zentrix.session."""

    events: list[dict[str, str]]
    totals: list[dict[str, str]]
    info: dict


def read_raw(folder: pathlib.Path) -> RawSession:
    def rows(name: str) -> list[dict[str, str]]:
        with open(folder / name, newline="", encoding="utf-8") as file:
            return list(csv.DictReader(file))

    info = json.loads((folder / "session.json").read_text(encoding="utf-8"))
    return RawSession(events=rows("events.csv"), totals=rows("totals.csv"), info=info)


@pytest.fixture(scope="session")
def recorded_raw(recorded_session: pathlib.Path) -> RawSession:
    """`recorded_session`'s files read with the csv and json modules."""
    return read_raw(recorded_session)


@pytest.fixture
def session_copy(recorded_session: pathlib.Path, tmp_path: pathlib.Path) -> pathlib.Path:
    """A copy of `recorded_session` that the test may change."""
    return pathlib.Path(shutil.copytree(recorded_session, tmp_path / recorded_session.name))
