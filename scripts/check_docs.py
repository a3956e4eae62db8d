#!/usr/bin/env python3
"""Runs every command the README and the examples' header comments show, as written.

A newcomer copies these commands literally, so each one must work on a fresh
machine. The script runs them in a checkout (by default a fresh clone of HEAD
in a temporary folder), in order, with the checkout's `.venv/bin` first on
PATH, the way the README asks the reader to work:

- README: every ```sh block runs in bash -e (without pipefail, as in the
  reader's own shell, so `| head` may end a writer early); a ```python block
  runs with the venv's python; a ```c or ```python block whose first line is a
  comment naming a file (`/* quick_start.c */`, `# quick_start.py`) is written
  to that file instead, for a later block to build or run. A block right after
  an HTML comment starting with "not run by scripts/check_docs.py" is skipped;
  the comment gives the reason.
- Examples: the lines of a header comment or docstring that start with `$ `
  run in bash, in the example's folder.
- Last, mypy checks the Python examples against the type stubs the wheel
  installed in the venv.

Usage: check_docs.py [CHECKOUT]
"""

import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SKIP_MARK = "<!-- not run by scripts/check_docs.py"
FENCE = re.compile(r"^```(\w*)\s*$")
FILE_LINE = re.compile(r"^(?:/\*\s*(\S+\.c)\s*\*/|#\s*(\S+\.py)\s*)$")
TIMEOUT_S = 1200


def readme_blocks(text):
    """Yields (language, body, skipped) for each fenced block."""
    lines = text.splitlines()
    i = 0
    previous = ""
    while i < len(lines):
        match = FENCE.match(lines[i])
        if not match:
            if lines[i].strip():
                previous = lines[i]
            i += 1
            continue
        language = match.group(1)
        end = i + 1
        while end < len(lines) and not lines[end].startswith("```"):
            end += 1
        yield language, "\n".join(lines[i + 1:end]) + "\n", previous.startswith(SKIP_MARK)
        previous = ""
        i = end + 1


def example_commands(path):
    """The `$ ` lines of a file's leading comment or docstring."""
    commands = []
    for line in path.read_text(encoding="utf-8").splitlines():
        stripped = line.strip().lstrip("*").strip()
        if stripped.startswith("$ "):
            commands.append(stripped[2:])
        if line.startswith(('"""', "*/")) and commands:
            break
    return commands


def run(label, argv, cwd, env):
    print(f"-- {label}", flush=True)
    try:
        done = subprocess.run(argv, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, timeout=TIMEOUT_S)
    except subprocess.TimeoutExpired:
        print(f"FAILED: {label}: no end after {TIMEOUT_S} s")
        return False
    if done.returncode != 0:
        print(done.stdout[-4000:])
        print(f"FAILED: {label}: exit status {done.returncode}")
        return False
    for line in done.stdout.splitlines()[-3:]:
        print("   ", line[:150])
    return True


def main():
    if len(sys.argv) > 1:
        checkout = Path(sys.argv[1]).resolve()
    else:
        checkout = Path(tempfile.mkdtemp(prefix="check_docs-")) / "checkout"
        subprocess.run(["git", "clone", "-q", str(ROOT), str(checkout)], check=True)
    env = dict(os.environ)
    env["PATH"] = f"{checkout / '.venv' / 'bin'}{os.pathsep}{env['PATH']}"
    env.pop("PYTHONPATH", None)
    env.pop("VIRTUAL_ENV", None)
    if "CCACHE_BASEDIR" in env:
        # The caller's compiler cache (scripts/ccache_env.sh) serves the
        # checkout's builds too: paths are hashed relative to the checkout, so
        # what the caller's own builds compiled hits here.
        env["CCACHE_BASEDIR"] = str(checkout.resolve())
    python = str(checkout / ".venv" / "bin" / "python3")

    failures = 0
    ran = skipped = 0
    for number, (language, body, skip) in enumerate(readme_blocks((checkout / "README.md").read_text("utf-8")), 1):
        if language not in ("sh", "c", "python"):
            continue
        label = f"README block {number} ({language}): {body.splitlines()[0][:70]}"
        if skip:
            print(f"-- {label}: not run (marked)")
            skipped += 1
            continue
        first = body.splitlines()[0]
        named = FILE_LINE.match(first)
        if named:
            (checkout / (named.group(1) or named.group(2))).write_text(body, encoding="utf-8")
            continue
        if language == "c":
            print(f"FAILED: {label}: a C block must start with a /* name.c */ line")
            failures += 1
            continue
        argv = ["bash", "-e", "-c", body] if language == "sh" else [python, "-c", body]
        ran += 1
        failures += not run(label, argv, checkout, env)

    for example in sorted((checkout / "examples").rglob("*")):
        if example.suffix not in (".c", ".py") or not example.is_file():
            continue
        for command in example_commands(example):
            ran += 1
            label = f"{example.relative_to(checkout)}: {command[:70]}"
            failures += not run(label, ["bash", "-e", "-c", command], example.parent, env)

    # The examples type-check against the stubs the wheel installed.
    ran += 1
    failures += not run("mypy over the examples, with the installed stubs",
                        ["mypy", "--python-executable", python, "examples/python"], checkout, env)

    print(f"documentation commands: {ran} run, {skipped} marked as not run, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
