#!/usr/bin/python3
"""Checks scripts/pulse-width-plot.py on the committed sweep and on bench output without one.

Run with Debian's python3, which has matplotlib."""

import json
import os
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SCRIPT = os.path.join(ROOT, "scripts", "pulse-width-plot.py")
SWEEP = os.path.join(ROOT, "docs", "pulse-widths.json")


def run(*arguments):
    return subprocess.run([sys.executable, SCRIPT, *arguments], capture_output=True, text=True,
                          check=False)


class PulseWidthPlotTest(unittest.TestCase):
    def test_the_committed_sweep_draws_one_line_per_timing_with_its_shortest_width(self):
        with open(SWEEP, encoding="utf-8") as file:
            document = json.load(file)
        with tempfile.TemporaryDirectory() as scratch:
            picture = os.path.join(scratch, "sweep.svg")
            result = run(SWEEP, "-o", picture)
            self.assertEqual(result.returncode, 0, result.stderr)
            ElementTree.parse(picture)
            with open(picture, encoding="utf-8") as file:
                text = file.read()
        for series in document["sweep"]:
            self.assertIn(series["timing"] + " (", text)

    def test_bench_output_without_a_sweep_is_refused_plainly(self):
        with tempfile.TemporaryDirectory() as scratch:
            bench = os.path.join(scratch, "bench.json")
            with open(bench, "w", encoding="utf-8") as file:
                json.dump({"scenarios": [], "sweep": []}, file)
            result = run(bench, "-o", os.path.join(scratch, "sweep.png"))
            self.assertNotEqual(result.returncode, 0)
            self.assertIn("no pulse-width sweep", result.stderr)
            result = run(bench, "-o", os.path.join(scratch, "sweep.pdf"))
            self.assertEqual(result.returncode, 2)


if __name__ == "__main__":
    unittest.main()
