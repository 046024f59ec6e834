#!/usr/bin/env python3
"""Checks scripts/growth-report.py on a kept sample and that docs/growth.* are what it makes of
docs/growth.json.

The sample's figures are round numbers; its concurrent rows for 8 boxes show one sampling thread
per box, so that serial and concurrent figures differ and a swap of the two would show.
"""

import copy
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SCRIPT = os.path.join(ROOT, "scripts", "growth-report.py")
SAMPLE = os.path.join(HERE, "growth-sample.json")
SVG_NS = "{http://www.w3.org/2000/svg}"


def load_module():
    spec = importlib.util.spec_from_file_location("growth_report", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run(*args):
    return subprocess.run([sys.executable, SCRIPT, *args], capture_output=True, text=True, check=False)


class GrowthReport(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)

    def path(self, name):
        return os.path.join(self.directory.name, name)

    def report(self, *inputs):
        result = run(*inputs, "--markdown", self.path("growth.md"), "--svg",
                     self.path("growth.svg"))
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.path("growth.md"), encoding="utf-8") as handle:
            markdown = handle.read()
        return markdown, ElementTree.parse(self.path("growth.svg")).getroot()

    def write_json(self, name, document):
        with open(self.path(name), "w", encoding="utf-8") as handle:
            json.dump(document, handle)
        return self.path(name)

    def test_full_boxes_show_serial_beside_concurrent(self):
        markdown, _ = self.report(SAMPLE)
        idle = markdown.split("## 64 devices per box, inputs idle")[1]
        self.assertIn("| 8 | 35.7 / 6.12 | 35.8 / 6.22 | 34.0 / 6.00 | 1.050 / 1.020 | "
                      "5140 / 5280 | 14.4 / 86.3 | 28.0 / 163.4 |", idle.split("##")[0])
        moving = markdown.split("one input per box changing every 50 ms")[1]
        self.assertIn("| 8 | 346.5 / 43.9 |", moving.split("##")[0])

    def test_devices_table_has_a_column_per_device_count(self):
        markdown, _ = self.report(SAMPLE)
        self.assertIn("| boxes | 0 devices | 32 devices | 64 devices |", markdown)
        self.assertIn("| 8 | 2.10 / 2.10 | 35.7 / 6.12 | 35.7 / 6.12 |", markdown)

    def test_zero_cost_cpu_is_fitted_per_device_and_box(self):
        markdown, _ = self.report(SAMPLE)
        self.assertIn("| 8 | 2.00 | 34.00 | 66.00 | 0.125 | 2.00 | 0.0% |", markdown)

    def test_fit_reports_how_far_a_point_lies_off_the_line(self):
        module = load_module()
        slope, intercept, worst = module.fit_line([(0, 3.0), (1, 5.0), (2, 7.0)])
        self.assertAlmostEqual(slope, 2.0)
        self.assertAlmostEqual(intercept, 3.0)
        self.assertAlmostEqual(worst, 0.0)
        _, _, worst = module.fit_line([(0, 0.0), (1, 0.0), (2, 10.0)])
        self.assertGreater(worst, 0.1)

    def test_the_plot_draws_both_modes_their_floors_and_the_cpu_lines(self):
        _, root = self.report(SAMPLE)
        names = {group.get("id") for group in root.iter(SVG_NS + "g")}
        for panel in ("idle", "moving"):
            for mode in ("serial", "concurrent"):
                self.assertIn(f"{panel}-{mode}-wall-median", names)
                self.assertIn(f"{panel}-{mode}-floor", names)
        for boxes in (1, 8):
            self.assertIn(f"cpu-{boxes}-boxes", names)
            self.assertIn(f"cpu-{boxes}-boxes-line", names)

    def test_the_plot_comes_out_the_same_every_time_and_as_png_too(self):
        first = run(SAMPLE, "--svg", self.path("first.svg"), "--png", self.path("plot.png"))
        self.assertEqual(first.returncode, 0, first.stderr)
        second = run(SAMPLE, "--svg", self.path("second.svg"))
        self.assertEqual(second.returncode, 0, second.stderr)
        with open(self.path("first.svg"), "rb") as one, open(self.path("second.svg"), "rb") as two:
            self.assertEqual(one.read(), two.read())
        with open(self.path("plot.png"), "rb") as handle:
            self.assertEqual(handle.read(8), b"\x89PNG\r\n\x1a\n")

    def test_repeated_runs_give_their_median(self):
        with open(SAMPLE, encoding="utf-8") as handle:
            document = json.load(handle)
        inputs = []
        for index, factor in enumerate((1.0, 3.0, 2.0)):
            copy_of = copy.deepcopy(document)
            for run_ in copy_of["benchmarks"]:
                if "wall_median_us" in run_:
                    run_["wall_median_us"] *= factor
            inputs.append(self.write_json(f"run{index}.json", copy_of))
        markdown, _ = self.report(*inputs)
        self.assertIn("| 8 | 71.4 / 12.2 |", markdown)

    def test_aggregates_and_failed_runs_are_left_out(self):
        with open(SAMPLE, encoding="utf-8") as handle:
            document = json.load(handle)
        extra = []
        for run_ in document["benchmarks"]:
            if "wall_median_us" in run_:
                aggregate = dict(run_, run_type="aggregate", wall_median_us=1e9)
                failed = dict(run_, error_occurred=True, wall_median_us=1e9)
                extra += [aggregate, failed]
        document["benchmarks"] += extra
        markdown, _ = self.report(self.write_json("mixed.json", document))
        self.assertIn("| 8 | 35.7 / 6.12 |", markdown)

    def test_saved_runs_give_the_same_report_without_the_rest(self):
        with open(SAMPLE, encoding="utf-8") as handle:
            document = json.load(handle)
        document["benchmarks"].append({"name": "BM_IdlePass", "run_type": "iteration"})
        source = self.write_json("source.json", document)
        result = run(source, "--save-runs", self.path("saved.json"))
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.path("saved.json"), encoding="utf-8") as handle:
            saved = json.load(handle)
        self.assertNotIn("BM_IdlePass", [r["name"] for r in saved["benchmarks"]])
        self.assertEqual(len(saved["benchmarks"]), len(document["benchmarks"]) - 1)
        self.assertEqual(run(self.path("saved.json")).stdout, run(SAMPLE).stdout)

    def test_input_without_growth_results_is_an_error(self):
        path = self.write_json("other.json", {
            "context": {},
            "benchmarks": [{"name": "BM_IdlePass", "run_type": "iteration", "real_time": 1}]})
        result = run(path)
        self.assertEqual(result.returncode, 1)
        self.assertIn("no growth benchmark results", result.stderr)

    def test_the_committed_report_is_what_the_script_makes_of_the_committed_run(self):
        docs = os.path.join(ROOT, "docs")
        markdown, _ = self.report(os.path.join(docs, "growth.json"))
        with open(os.path.join(docs, "growth.md"), encoding="utf-8") as handle:
            self.assertEqual(markdown, handle.read())
        with open(self.path("growth.svg"), encoding="utf-8") as made, \
                open(os.path.join(docs, "growth.svg"), encoding="utf-8") as committed:
            self.assertEqual(made.read(), committed.read())


if __name__ == "__main__":
    unittest.main()
