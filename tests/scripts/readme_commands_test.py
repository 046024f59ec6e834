#!/usr/bin/env python3
"""Checks scripts/readme-commands.py on small sample READMEs: which commands it finds, which it
skips and why, which markers it refuses, and how it runs commands (exit status, standard input,
scratch HOME and /tmp, a fake build's zentrix first on PATH)."""

import importlib.util
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SCRIPT = os.path.join(ROOT, "scripts", "readme-commands.py")

SAMPLE = textwrap.dedent("""\
    # Sample

    Build it:

        ./configure && make
        make check   # a trailing comment

    <!-- doc-test: skip (needs a real IO box) -->
        zentrix --real bench

    A sample run:

        $ zentrix check
        No IO box attached
        $ zentrix --json \\
            types
        [ ]

    ```json
    { "not": "a command" }
    ```

    ```sh
    # a comment line
    echo fenced
    ```

    - A list item with a file in it:

      <!-- doc-test: skip (a registry file, not a command) -->
          [HKEY_CURRENT_USER]
          "Value"=dword:00000002

      A continuation paragraph of the item.

    | table | row |
    |---|---|
    | `not a command` | |

    <!-- doc-test: script for zentrix run -->
    <!-- doc-test: exit 1 -->
        send "Left top unit" "White spot on"
        quit

    <!-- doc-test: skip sudo (installs into /usr/local) -->
        cmake --install build
        sudo cmake --install build --prefix /usr/local
    """)


def load_module():
    spec = importlib.util.spec_from_file_location("readme_commands", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class ReadmeCommands(unittest.TestCase):
    def setUp(self):
        self.module = load_module()
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)

    def plan(self, text):
        return [(number, command, action, reason)
                for _, number, command, action, reason
                in self.module.plan(self.module.extract(text))]

    def run_script(self, readme_text, *args, build_files=None):
        readme = os.path.join(self.directory.name, "README.md")
        with open(readme, "w", encoding="utf-8") as handle:
            handle.write(readme_text)
        cli = os.path.join(self.directory.name, "build", "cli")
        os.makedirs(cli, exist_ok=True)
        for name, content in (build_files or {}).items():
            path = os.path.join(cli, name)
            with open(path, "w", encoding="utf-8") as handle:
                handle.write(content)
            os.chmod(path, 0o755)
        return subprocess.run([sys.executable, SCRIPT, "--readme", readme, "--build-dir", "build",
                               *args], capture_output=True, text=True, check=False)

    def test_finds_every_command_with_its_line_and_what_to_do(self):
        self.assertEqual(self.plan(SAMPLE), [
            (5, "./configure && make", "run", None),
            (6, "make check   # a trailing comment", "run", None),
            (9, "zentrix --real bench", "skip", "needs a real IO box"),
            (13, "zentrix check", "run", None),
            (15, "zentrix --json types", "run", None),
            (25, "echo fenced", "run", None),
            (31, "[HKEY_CURRENT_USER]", "skip", "a registry file, not a command"),
            (32, '"Value"=dword:00000002', "skip", "a registry file, not a command"),
            (42, "zentrix run", "run", None),
            (46, "cmake --install build", "run", None),
            (47, "sudo cmake --install build --prefix /usr/local", "skip",
             "installs into /usr/local"),
        ])

    def test_a_script_block_is_the_input_of_its_command_with_its_exit_status(self):
        block = [block for block in self.module.extract(SAMPLE) if block.script_for][0]
        self.assertEqual(block.script_for, "zentrix run")
        self.assertEqual(block.exit_status, 1)
        self.assertEqual(block.script(), 'send "Left top unit" "White spot on"\nquit\n')

    def test_a_skip_without_a_reason_is_refused(self):
        for marker in ("skip", "skip ()", "skip sudo", "skip sudo (  )"):
            with self.subTest(marker=marker):
                result = self.run_script(f"Text.\n\n<!-- doc-test: {marker} -->\n    make\n",
                                         "--list")
                self.assertEqual(result.returncode, 2, result.stdout)
                self.assertIn("line 3: a skip needs its reason", result.stderr)

    def test_an_unknown_or_stray_marker_is_refused(self):
        cases = {
            "<!-- doc-test: skipp (typo) -->\n    make\n": "line 1: unknown directive",
            "<!-- doc-test: skip (why) -->\nA paragraph.\n": "must be followed by a code block",
            "Text.\n\n<!-- doc-test: exit 1 -->\n": "at the end of the file",
        }
        for text, message in cases.items():
            with self.subTest(text=text):
                result = self.run_script(text, "--list")
                self.assertEqual(result.returncode, 2, result.stdout)
                self.assertIn(message, result.stderr)

    def test_a_sudo_command_without_a_skip_sudo_marker_is_refused(self):
        result = self.run_script("Install:\n\n    sudo make install\n", "--list")
        self.assertEqual(result.returncode, 2, result.stdout)
        self.assertIn("line 3: a sudo command needs a 'skip sudo (REASON)' marker",
                      result.stderr)

    def test_runs_commands_and_reports_skipped_blocks_with_their_reasons(self):
        text = textwrap.dedent("""\
            Commands:

                true
                zentrix hello

            <!-- doc-test: exit 3 -->
                sh -c 'exit 3'

            <!-- doc-test: script for zentrix read -->
                first line
                second line

            <!-- doc-test: skip (needs a real IO box) -->
                zentrix --real

            Scratch places:

                test "$HOME" != "$REAL_HOME" && test -d "$XDG_CONFIG_HOME" && test -d "$TMPDIR"
                echo kept > /tmp/readme-commands-test.txt
                test -f "$TMPDIR/readme-commands-test.txt"
                test -z "${ZENTRIX_IOWARRIOR-}"
            """)
        fake_zentrix = textwrap.dedent("""\
            #!/bin/sh
            if [ "$1" = read ]; then
              [ "$(cat)" = "$(printf 'first line\\nsecond line')" ] || exit 4
            fi
            exit 0
            """)
        real_tmp_file = "/tmp/readme-commands-test.txt"
        self.assertFalse(os.path.exists(real_tmp_file))
        os.environ["REAL_HOME"] = os.environ.get("HOME", "")
        self.addCleanup(os.environ.pop, "REAL_HOME")
        os.environ["ZENTRIX_IOWARRIOR"] = "none"
        self.addCleanup(os.environ.pop, "ZENTRIX_IOWARRIOR")
        result = self.run_script(text, build_files={"zentrix": fake_zentrix})
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertFalse(os.path.exists(real_tmp_file))
        self.assertIn("8 commands run", result.stdout)
        self.assertIn("0 failed, 1 skipped", result.stdout)
        self.assertIn("README.md:14: zentrix --real\n      needs a real IO box", result.stdout)
        for line in (3, 4, 7, 10, 18, 19, 20, 21):
            self.assertIn(f"README.md:{line}: ok", result.stdout)

    def test_fails_on_a_wrong_exit_status_and_shows_the_output(self):
        text = ("Commands:\n\n    true\n    echo to the log; exit 5\n\n"
                "<!-- doc-test: exit 1 -->\n    true\n")
        result = self.run_script(text)
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn("README.md:4: FAILED (exit 5, documented 0", result.stdout)
        self.assertIn("  > to the log", result.stdout)
        self.assertIn("README.md:7: FAILED (exit 0, documented 1", result.stdout)
        self.assertIn("3 commands run", result.stdout)
        self.assertIn("2 failed", result.stdout)

    def test_a_command_that_outlasts_its_timeout_fails(self):
        text = "Commands:\n\n<!-- doc-test: timeout 1 -->\n    sleep 30\n"
        result = self.run_script(text)
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn("FAILED (no end within 1 s", result.stdout)


if __name__ == "__main__":
    unittest.main()
