#!/usr/bin/env python3
"""Runs the commands of README.md and fails when one of them does not exit as documented.

Commands are the lines of indented code blocks and of fenced blocks without a language or in
sh, bash, shell or console; in a block that has `$ ` prompt lines only those are commands and
the rest is sample output. Fenced blocks in other languages (json, cmake, ...) are left alone.
HTML comment lines right before a block change how it is run:

    <!-- doc-test: skip (REASON) -->        the block is not run; the reason is mandatory
    <!-- doc-test: skip sudo (REASON) -->   its commands that start with `sudo ` are not run
    <!-- doc-test: script for COMMAND -->   the block is the standard input of COMMAND
    <!-- doc-test: exit N -->               each command of the block must exit with N, not 0
    <!-- doc-test: timeout SECONDS -->      each command's time limit (default 120 s)

Every command runs with bash from the repository root, with BUILD_DIR/cli first on PATH (so a
bare `zentrix` is the built one), standard input from /dev/null, and no ZENTRIX_* or display
variable from the caller. Each block gets a fresh scratch directory holding HOME (and
XDG_CONFIG_HOME = HOME/.config) and TMPDIR; its commands run in order there, so later ones see
what earlier ones made. A path under /tmp/ in a command is moved into the scratch directory
(`/tmp/signals.csv` becomes `SCRATCH/tmp/signals.csv`), so every run starts without the files it
writes and never touches anybody else's. The build commands of the main job run as they are:
the doc test needs the release build anyway, so they find nothing to do. A command starting with
`sudo` must be covered by a `skip sudo` marker; it is never run. Python 3 standard library only.
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

MARKER = re.compile(r"^\s*<!--\s*doc-test:\s*(.*?)\s*-->\s*$")
FENCE = re.compile(r"^(\s*)(`{3,}|~{3,})\s*([^\s`]*)")
LIST_ITEM = re.compile(r"^(\s*)([-*+]|\d+[.)])(\s+)\S")
COMMAND_LANGUAGES = {"", "sh", "bash", "shell", "console"}
TMP_PATH = re.compile(r"(?<![\w./-])/tmp/")
DEFAULT_TIMEOUT = 120
SCRUBBED_VARIABLES = ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")


class MarkerError(Exception):
    pass


class Block:
    def __init__(self, line, fenced, language, text_lines, directives):
        self.line = line
        self.fenced = fenced
        self.language = language
        self.text_lines = text_lines
        self.skip_reason = None
        self.skip_sudo_reason = None
        self.script_for = None
        self.exit_status = 0
        self.timeout = DEFAULT_TIMEOUT
        for marker_line, directive in directives:
            self.apply(marker_line, directive)

    def apply(self, marker_line, directive):
        def fail(message):
            raise MarkerError(f"line {marker_line}: {message}: <!-- doc-test: {directive} -->")

        skip = re.fullmatch(r"skip(\s+sudo)?(?:\s*\((.*)\))?", directive)
        if skip:
            reason = (skip.group(2) or "").strip()
            if not reason:
                fail("a skip needs its reason in parentheses")
            if skip.group(1):
                self.skip_sudo_reason = reason
            else:
                self.skip_reason = reason
            return
        script = re.fullmatch(r"script for\s+(.+)", directive)
        if script:
            self.script_for = script.group(1)
            return
        status = re.fullmatch(r"exit\s+(\d+)", directive)
        if status:
            self.exit_status = int(status.group(1))
            return
        limit = re.fullmatch(r"timeout\s+(\d+)", directive)
        if limit:
            self.timeout = int(limit.group(1))
            return
        fail("unknown directive")

    @property
    def is_commands(self):
        return self.script_for is not None or not self.fenced or self.language in COMMAND_LANGUAGES

    def commands(self):
        """The block's commands as (line number, command) pairs."""
        if self.script_for is not None:
            return [(self.line, self.script_for)]
        lines = list(enumerate(self.text_lines, start=self.line))
        prompted = any(text.startswith("$ ") for _, text in lines)
        commands = []
        pending = None
        for number, text in lines:
            if pending is not None:
                pending = (pending[0], pending[1][:-1] + text.strip())
            elif prompted:
                if not text.startswith("$ "):
                    continue
                pending = (number, text[2:].strip())
            else:
                stripped = text.strip()
                if not stripped or stripped.startswith("#"):
                    continue
                pending = (number, stripped)
            if not pending[1].endswith("\\"):
                commands.append(pending)
                pending = None
        if pending is not None:
            commands.append(pending)
        return commands

    def script(self):
        return "".join(text + "\n" for text in self.text_lines)


def dedent(lines):
    indents = [len(text) - len(text.lstrip(" ")) for text in lines if text.strip()]
    cut = min(indents, default=0)
    return [text[cut:] for text in lines]


def extract(text):
    """The code blocks of a Markdown text that hold commands, each with its doc-test markers."""
    lines = text.splitlines()
    blocks = []
    directives = []
    container = 0
    index = 0
    previous_blank = True

    def take_directives():
        nonlocal directives
        taken, directives = directives, []
        return taken

    while index < len(lines):
        text = lines[index]
        number = index + 1
        marker = MARKER.match(text)
        if marker:
            directives.append((number, marker.group(1)))
            index += 1
            previous_blank = True
            continue
        if not text.strip():
            index += 1
            previous_blank = True
            continue
        indent = len(text) - len(text.lstrip(" "))
        if previous_blank and indent >= container + 4:
            body = []
            while index < len(lines):
                line = lines[index]
                if line.strip() and len(line) - len(line.lstrip(" ")) < container + 4:
                    break
                body.append(line)
                index += 1
            while body and not body[-1].strip():
                body.pop()
            blocks.append(Block(number, False, "", dedent(body), take_directives()))
            previous_blank = False
            continue
        fence = FENCE.match(text)
        if fence:
            opener = fence.group(2)
            body = []
            index += 1
            while index < len(lines) and not lines[index].strip().startswith(opener):
                body.append(lines[index])
                index += 1
            index += 1
            blocks.append(Block(number + 1, True, fence.group(3).lower(), dedent(body),
                                take_directives()))
            previous_blank = False
            continue
        if directives:
            raise MarkerError(f"line {directives[0][0]}: a doc-test marker must be followed by a "
                              f"code block, not line {number}")
        item = LIST_ITEM.match(text)
        if item:
            container = len(item.group(1)) + len(item.group(2)) + len(item.group(3))
        elif indent < container:
            container = 0
        previous_blank = False
        index += 1
    if directives:
        raise MarkerError(f"line {directives[0][0]}: a doc-test marker at the end of the file")
    return [block for block in blocks if block.is_commands]


def plan(blocks):
    """Each command with what to do about it: ("run", None) or ("skip", reason)."""
    planned = []
    for block in blocks:
        for number, command in block.commands():
            if block.skip_reason is not None:
                planned.append((block, number, command, "skip", block.skip_reason))
            elif re.match(r"sudo(\s|$)", command):
                if block.skip_sudo_reason is None:
                    raise MarkerError(f"line {number}: a sudo command needs a "
                                      f"'skip sudo (REASON)' marker: {command}")
                planned.append((block, number, command, "skip", block.skip_sudo_reason))
            else:
                planned.append((block, number, command, "run", None))
    return planned


def environment(build_dir, scratch):
    home = os.path.join(scratch, "home")
    tmp = os.path.join(scratch, "tmp")
    os.makedirs(os.path.join(home, ".config"))
    os.makedirs(tmp)
    env = {name: value for name, value in os.environ.items()
           if not name.startswith("ZENTRIX_") and name not in SCRUBBED_VARIABLES}
    env["HOME"] = home
    env["XDG_CONFIG_HOME"] = os.path.join(home, ".config")
    env["TMPDIR"] = tmp
    env["PATH"] = os.path.join(build_dir, "cli") + os.pathsep + env.get("PATH", "/usr/bin:/bin")
    return env


def run_command(command, stdin_text, env, root, timeout, log_path):
    with open(log_path, "wb") as log:
        process = subprocess.Popen(["bash", "-c", command], cwd=root, env=env,
                                   stdin=subprocess.PIPE if stdin_text is not None
                                   else subprocess.DEVNULL,
                                   stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            process.communicate(stdin_text.encode() if stdin_text is not None else None,
                                timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            return None
        finally:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
    return process.returncode


def tail(path, count=30):
    with open(path, "rb") as handle:
        lines = handle.read().decode(errors="replace").splitlines()
    return lines[-count:]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--readme", default="README.md", help="the Markdown file (README.md)")
    parser.add_argument("--root", help="where commands run (default: the README's directory)")
    parser.add_argument("--build-dir", default="build/release",
                        help="the build whose cli/ goes first on PATH (relative to the root)")
    parser.add_argument("--list", action="store_true", help="print the plan, run nothing")
    parser.add_argument("--only", help="run only the commands containing this text")
    args = parser.parse_args()

    readme = os.path.abspath(args.readme)
    name = os.path.basename(readme)
    root = os.path.abspath(args.root or os.path.dirname(readme))
    build_dir = os.path.join(root, args.build_dir)
    with open(readme, encoding="utf-8") as handle:
        text = handle.read()
    try:
        planned = plan(extract(text))
    except MarkerError as error:
        print(f"readme-commands: {name}: {error}", file=sys.stderr)
        return 2

    if args.list:
        for block, number, command, action, reason in planned:
            how = f"skip ({reason})" if action == "skip" else (
                f"run, exit {block.exit_status}" + (", with the block as input"
                                                    if block.script_for is not None else ""))
            print(f"{name}:{number}: {how}: {command}")
        return 0

    if not os.path.isdir(os.path.join(build_dir, "cli")):
        print(f"readme-commands: no {build_dir}/cli: build it first", file=sys.stderr)
        return 2

    failures = []
    skipped = []
    ran = 0
    started = time.monotonic()
    scratch_of_block = {}
    with tempfile.TemporaryDirectory(prefix="readme-commands-") as scratch_root:
        for block, number, command, action, reason in planned:
            if args.only is not None and args.only not in command:
                continue
            if action == "skip":
                if block.skip_reason is not None and skipped and skipped[-1][0] is block:
                    skipped[-1][3] += 1
                else:
                    skipped.append([block, number, command, 1, reason])
                print(f"{name}:{number}: skipped: {command}", flush=True)
                continue
            if block not in scratch_of_block:
                scratch = os.path.join(scratch_root, f"block-{block.line}")
                scratch_of_block[block] = (scratch, environment(build_dir, scratch))
            scratch, env = scratch_of_block[block]
            to_run = TMP_PATH.sub(env["TMPDIR"] + "/", command)
            log_path = os.path.join(scratch, f"output-{number}.log")
            stdin_text = block.script() if block.script_for is not None else None
            began = time.monotonic()
            status = run_command(to_run, stdin_text, env, root, block.timeout, log_path)
            seconds = time.monotonic() - began
            ran += 1
            if status == block.exit_status:
                print(f"{name}:{number}: ok ({seconds:.1f} s): {command}", flush=True)
                continue
            outcome = (f"no end within {block.timeout} s" if status is None
                       else f"exit {status}, documented {block.exit_status}")
            failures.append((number, command, outcome))
            print(f"{name}:{number}: FAILED ({outcome}, {seconds:.1f} s): {command}")
            if stdin_text is not None:
                print("  with standard input:")
                print("".join(f"  | {line}\n" for line in block.text_lines), end="")
            print("  output (last lines):")
            print("".join(f"  > {line}\n" for line in tail(log_path)), end="", flush=True)

    print(f"\nSkipped ({len(skipped)}):")
    for _, number, command, count, reason in skipped:
        more = f" (and {count - 1} more lines of its block)" if count > 1 else ""
        print(f"  {name}:{number}: {command}{more}\n      {reason}")
    print(f"\n{ran} commands run in {time.monotonic() - started:.0f} s, {len(failures)} failed, "
          f"{len(skipped)} skipped.")
    for number, command, outcome in failures:
        print(f"  FAILED {name}:{number} ({outcome}): {command}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
