#!/usr/bin/env python3
"""tools/bench-table: the README's table from two runs' JSON, as rendak-bench
writes it (shape, not speed).

    python3 tests/bench_table_test.py TOOLS/bench-table
"""
import json
import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = sys.argv.pop(1) if len(sys.argv) > 1 else "tools/bench-table"


def figure(name, value, unit="ratio", goal="<= 1.5", detail="", met=True):
    return {"name": name, "value": value, "unit": unit, "goal": goal, "detail": detail,
            "met": met}


class BenchTable(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def write(self, name, content):
        path = os.path.join(self.dir.name, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(content if isinstance(content, str) else json.dumps(content))
        return path

    def run_table(self, *args):
        return subprocess.run([sys.executable, SCRIPT, *args], capture_output=True, text=True)

    def runs(self):
        x64 = self.write("x.json", {"arch": "x86_64", "load": "1.00 2.00 3.00", "figures": [
            figure("cost.InitWiFi", 0.93, detail="1 us; median of 300, spread P10-P90 0.74-1.28"),
            figure("notify.median", 0.31, "ms", "< 5 ms"),
            figure("overhead.reg-flush", 2.4, goal="<= 1.2", met=False),
            figure("library.load", 1.08, "ms", "none set", met=None),
            figure("realtime.InitWiFi", None, "%", "< 1%", met=None),
        ]})
        x86 = self.write("i.json", {"arch": "i686", "load": "0.50 0.60 0.70", "figures": [
            figure("cost.InitWiFi", 1.6, met=False),
            figure("notify.median", 0.28, "ms", "< 5 ms"),
            figure("overhead.reg-flush", 2.1, goal="<= 1.2", met=False),
            figure("panel.only-here", 3.0, "ms", "none set", met=None),
        ]})
        return x64, x86

    def test_one_row_per_figure_with_both_columns_and_the_verdict(self):
        x64, x86 = self.runs()
        out = self.run_table(x64, x86)
        self.assertEqual(out.returncode, 0, out.stderr)
        lines = out.stdout.splitlines()
        self.assertEqual(lines[0], "| figure | i686 | x86_64 | goal | met |")
        self.assertEqual(lines[1], "|---|---|---|---|---|")
        rows = {l.split(" | ")[0][3:-1]: l for l in lines[2:] if l.startswith("| `")}
        # The first column's run gives the order; the other's own figures follow.
        self.assertEqual(list(rows), ["cost.InitWiFi", "notify.median", "overhead.reg-flush",
                                      "panel.only-here", "library.load", "realtime.InitWiFi"])
        # A ratio shows its spread; other units show the unit; a missing value n/a,
        # a figure one run lacks a dash.
        self.assertEqual(rows["cost.InitWiFi"],
                         "| `cost.InitWiFi` | 1.60 | 0.93 (0.74-1.28) | <= 1.5 | no (i686) |")
        self.assertEqual(rows["notify.median"],
                         "| `notify.median` | 0.28 ms | 0.31 ms | < 5 ms | yes |")
        self.assertTrue(rows["overhead.reg-flush"].endswith("| <= 1.2 | no |"))
        self.assertTrue(rows["library.load"].endswith("| none set |  |"))
        self.assertEqual(rows["realtime.InitWiFi"], "| `realtime.InitWiFi` | - | n/a | < 1% |  |")
        self.assertIn("| 3.00 ms | - |", rows["panel.only-here"])
        self.assertIn("i686 0.50 0.60 0.70; x86_64 1.00 2.00 3.00", out.stdout)

    def test_the_order_of_the_files_does_not_matter(self):
        x64, x86 = self.runs()
        self.assertEqual(self.run_table(x64, x86).stdout, self.run_table(x86, x64).stdout)

    def test_update_replaces_only_the_marked_block(self):
        x64, x86 = self.runs()
        readme = self.write("README.md", "intro\n<!-- bench-table -->\nold table\n"
                            "<!-- /bench-table -->\nafter\n")
        out = self.run_table("--update", readme, x64, x86)
        self.assertEqual(out.returncode, 0, out.stderr)
        with open(readme, encoding="utf-8") as f:
            text = f.read()
        self.assertTrue(text.startswith("intro\n<!-- bench-table -->\n| figure |"))
        self.assertTrue(text.endswith("<!-- /bench-table -->\nafter\n"))
        self.assertNotIn("old table", text)
        self.assertEqual(text.count("| `cost.InitWiFi` |"), 1)

    def test_refuses_what_is_not_a_run(self):
        x64, _ = self.runs()
        cases = {
            "not JSON": self.write("bad.json", "{"),
            "no arch": self.write("noarch.json", {"figures": []}),
            "figure without met": self.write("nomet.json", {"arch": "i686", "figures": [
                {"name": "a", "value": 1, "unit": "ms", "goal": "none set", "detail": ""}]}),
        }
        for what, path in cases.items():
            with self.subTest(what):
                out = self.run_table(x64, path)
                self.assertEqual(out.returncode, 2)
                self.assertTrue(out.stderr.startswith("bench-table: "), out.stderr)
        self.assertEqual(self.run_table(x64, x64).returncode, 2)  # two runs of one arch
        readme = self.write("plain.md", "no markers\n")
        self.assertEqual(self.run_table("--update", readme, x64).returncode, 2)
        with open(readme, encoding="utf-8") as f:
            self.assertEqual(f.read(), "no markers\n")


if __name__ == "__main__":
    unittest.main()
