#!/usr/bin/env python3
"""Runs README.md's shell examples in order and compares what they print.

Every indented code block whose lines open with "$ " is a script: each
command runs with bash, standard error joined to standard output, in one
scratch folder, and what it prints must be the lines that follow it up to
the next command. "/tmp/tour" stands for the scratch folder and
"build/default/tools/dlupdate" for the program under test, both ways.

Marks for what cannot be the same from run to run:
  a line "..." alone     any number of lines, none included
  "…" inside a line      any text within that line
  <!-- readme: skip -->  on the line before a block: the block is not run
                         (it needs a key, a GPG key or a home folder)

    readme_commands.py README.md DLUPDATE [--keep]
"""

import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

SKIP = "<!-- readme: skip -->"
PROGRAM = "build/default/tools/dlupdate"
SCRATCH = "/tmp/tour"


def blocks(lines):
    """Yields (first line number, block lines) of every indented block."""
    i = 0
    while i < len(lines):
        if lines[i].startswith("    ") and (i == 0 or not lines[i - 1].strip()):
            before = next((lines[k] for k in range(i - 1, -1, -1) if lines[k].strip()), "")
            start = i
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip()):
                i += 1
            indent = min(len(l) - len(l.lstrip(" ")) for l in lines[start:i] if l.strip())
            body = [l[indent:] for l in lines[start:i]]
            while body and not body[-1].strip():
                body.pop()
            if before.strip() != SKIP:
                yield start + 1, body
        else:
            i += 1


def complete(command):
    if command.endswith("\\"):
        return False
    try:
        shlex.split(command)
        return True
    except ValueError:
        return False


def commands(body):
    """Splits a block into (offset, command, expected lines); [] when it
    holds none."""
    if not body or not body[0].startswith("$ "):
        return []
    out, i = [], 0
    while i < len(body):
        offset, command = i, body[i][2:]
        i += 1
        while not complete(command) and i < len(body):
            command += "\n" + body[i].strip()
            i += 1
        expected = []
        while i < len(body) and not body[i].startswith("$ "):
            expected.append(body[i])
            i += 1
        out.append((offset, command, expected))
    return out


def line_pattern(line):
    return re.compile("".join(".*" if c == "…" else re.escape(c) for c in line.rstrip()) + r"\Z")


def matches(expected, actual):
    if not expected:
        return not actual
    if expected[0].strip() == "...":
        return any(matches(expected[1:], actual[k:]) for k in range(len(actual) + 1))
    return bool(actual) and line_pattern(expected[0]).match(actual[0].rstrip()) is not None \
        and matches(expected[1:], actual[1:])


def main():
    args = [a for a in sys.argv[1:] if a != "--keep"]
    if len(args) != 2:
        print(__doc__.strip().splitlines()[-1].strip(), file=sys.stderr)
        return 64
    readme, program = args[0], os.path.abspath(args[1])
    lines = open(readme, encoding="utf-8").read().split("\n")
    scratch = tempfile.mkdtemp(prefix="readme-")
    env = dict(os.environ, LC_ALL="C.UTF-8", NO_COLOR="1", TERM="dumb", COLUMNS="80")
    failures, ran, status = 0, 0, 0
    try:
        for number, body in blocks(lines):
            for offset, command, expected in commands(body):
                script = command.replace(PROGRAM, program).replace(SCRATCH, scratch)
                result = subprocess.run(["bash", "-c", f"(exit {status}); {script}"], cwd=scratch, env=env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, errors="replace")
                status, ran = result.returncode, ran + 1
                text = result.stdout.replace(scratch, SCRATCH).replace(program, PROGRAM)
                # A block cannot show the blank lines that end an output.
                actual = text.rstrip().split("\n") if text.strip() else []
                if not matches(expected, actual):
                    failures += 1
                    print(f"README.md:{number + offset}: $ {command}")
                    print("  README shows:")
                    print("".join(f"    {l}\n" for l in expected), end="")
                    print("  the program printed:")
                    print("".join(f"    {l}\n" for l in actual), end="")
    finally:
        if "--keep" in sys.argv:
            print(f"scratch folder kept: {scratch}")
        else:
            shutil.rmtree(scratch, ignore_errors=True)
    print(f"{ran} commands, {failures} differ from README.md")
    return 1 if failures or ran == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
