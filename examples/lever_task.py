#!/usr/bin/env python3
"""A lever task: each trial the light goes on and the animal has up to 5 s to press the lever;
a press drops a pellet, and the light goes off until the next trial.

The lever is button 1 of the TTL port tester "Button box", the light its light 1, and the
pellet dispenser "Pellet dispenser", as mapped in examples/HardwareSetup.xml. Each trial is one
row of the trial log (CSV): its number, when the light went on, whether and when the lever was
pressed (the press happened at most ``press_window_s`` before ``press_s``), the latency and
whether a pellet was dropped. Times are seconds since sampling started.

With ``--record DIR`` the session is kept as ``zentrix record`` keeps one, in a new folder
under DIR, whose timeline ``python3 -m zentrix.plot FOLDER`` draws.

On a laptop with no box attached, the simulated box presses the lever for you:

    python3 examples/lever_task.py --backend sim:examples/lever-bench.json --log trials.csv
"""

from __future__ import annotations

import argparse
import csv
import sys
from pathlib import Path
from typing import Optional

import zentrix

LEVER = ("Button box", "Button 1 presses")
LIGHT = "Button box"
DISPENSER = "Pellet dispenser"
COLUMNS = ["trial", "light_on_s", "pressed", "press_s", "press_window_s", "latency_s", "pellet"]


def is_press(event: zentrix.Event) -> bool:
    # The button pulls its line low while it is held, so a press is the line's fall.
    return event.kind == "fall" and (event.device, event.item) == LEVER


def is_light_on(event: zentrix.Event) -> bool:
    return event.kind == "command" and (event.device, event.item) == (LIGHT, "Light 1 on")


def run_trial(z: zentrix.Zentrix, timeout: float) -> tuple[float, Optional[zentrix.Event]]:
    """Turns the light on and waits for the lever: the light's time (when the box's write turned
    it on) and the press, or None when none came within ``timeout`` s of the light."""
    z.send(LIGHT, "Light 1 on")
    light_on: Optional[zentrix.Event] = None
    for event in z.events(timeout=timeout):
        if light_on is None:
            light_on = event if is_light_on(event) else None
            continue
        if event.t - light_on.t > timeout:
            break
        if is_press(event):
            return light_on.t, event
    if light_on is None:
        raise zentrix.ZentrixError("the light's command was not carried out in time")
    return light_on.t, None


def run(z: zentrix.Zentrix, trials: int, timeout: float, pause: float, log: csv.writer) -> int:
    z.start()
    log.writerow(COLUMNS)
    pressed_trials = 0
    for trial in range(1, trials + 1):
        # What happened between trials is no answer to this one.
        z.poll_events()
        light_on_s, press = run_trial(z, timeout)
        if press is not None:
            z.send(DISPENSER, "Drop pellet")
            pressed_trials += 1
        z.send(LIGHT, "Light 1 off")
        log.writerow([
            trial,
            f"{light_on_s:.6f}",
            int(press is not None),
            f"{press.t:.6f}" if press else "",
            f"{press.window:.6f}" if press and press.window is not None else "",
            f"{press.t - light_on_s:.6f}" if press else "",
            int(press is not None),
        ])
        # Inter-trial interval, still taking the events so none is kept for the next trial.
        for _ in z.events(timeout=pause):
            pass
    z.stop()
    return pressed_trials


def main(argv: Optional[list[str]] = None) -> int:
    here = Path(__file__).resolve().parent
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--config-dir", default=str(here),
                        help="where HardwareSetup.xml is (default: this script's folder)")
    parser.add_argument("--backend", help="sim, sim:BENCH.json, kernel (default: "
                                          "ZENTRIX_IOWARRIOR, else the kernel driver)")
    parser.add_argument("--trials", type=int, default=20, help="number of trials (default 20)")
    parser.add_argument("--timeout", type=float, default=5.0,
                        help="seconds the lever is waited for (default 5)")
    parser.add_argument("--pause", type=float, default=1.0,
                        help="seconds between trials (default 1)")
    parser.add_argument("--log", default="-", help="trial log CSV file (default: standard output)")
    parser.add_argument("--record", metavar="DIR",
                        help="keep the session in a new folder under DIR (as zentrix record)")
    parser.add_argument("--subject", default="lever", help="the recorded session's subject")
    args = parser.parse_args(argv)
    out = sys.stdout if args.log == "-" else open(args.log, "x", newline="", encoding="utf-8")
    try:
        with zentrix.Zentrix(config_dir=args.config_dir, backend=args.backend) as z:
            if args.record:
                print(z.record(args.record, args.subject, note="lever task"), file=sys.stderr)
            pressed = run(z, args.trials, args.timeout, args.pause,
                          csv.writer(out, lineterminator="\n"))
    except zentrix.ZentrixError as error:
        print(f"lever_task: {error}", file=sys.stderr)
        return 1
    finally:
        if out is not sys.stdout:
            out.close()
    sys.stdout.flush()
    print(f"lever_task: {pressed} of {args.trials} trials pressed", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
