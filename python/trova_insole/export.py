"""Captures into numpy, pandas or plain Python, in one call.

The work is done by the SDK's `insole export` tool (decoding, gap flags,
clock alignment, in C++); this module only loads its CSV, with the fastest
reader available.
"""

from __future__ import annotations

import csv
import io
import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any, Union


def _tool() -> str:
    """The insole tool: $INSOLE_BIN, beside this Python (a venv's bin), or on PATH."""
    named = os.environ.get("INSOLE_BIN")
    if named:
        return named
    beside = Path(sys.executable).with_name("insole")
    if beside.exists():
        return str(beside)
    found = shutil.which("insole")
    if not found:
        raise FileNotFoundError("the insole tool is not installed (pip install the SDK's wheel, or set INSOLE_BIN)")
    return found


def export_csv(path: Union[str, os.PathLike]) -> bytes:
    """The capture as CSV bytes, one row per sample (see `insole export --help`)."""
    done = subprocess.run([_tool(), "export", os.fspath(path), "--csv"], capture_output=True, check=False)
    if done.returncode != 0:
        message = done.stderr.decode(errors="replace").strip().splitlines()
        raise ValueError(message[-1] if message else f"insole export failed ({done.returncode})")
    return done.stdout


def read_capture(path: Union[str, os.PathLike], as_: str = "auto") -> Any:
    """Read a capture (MCAP or raw) into one row per sensor sample.

    as_="auto" gives a pandas DataFrame when pandas is installed, else a dict
    of numpy arrays (one per column) when numpy is, else a list of dicts.
    "pandas", "numpy" and "lists" ask for one of them.
    """
    data = export_csv(path)
    if as_ in ("auto", "pandas"):
        try:
            import pandas
        except ImportError:
            if as_ == "pandas":
                raise
        else:
            return pandas.read_csv(io.BytesIO(data), dtype={"device": str, "foot": str})
    if as_ in ("auto", "numpy"):
        try:
            import numpy
        except ImportError:
            if as_ == "numpy":
                raise
        else:
            table = numpy.genfromtxt(io.BytesIO(data), delimiter=",", names=True, dtype=None, encoding="utf-8",
                                     missing_values="", filling_values=numpy.nan)
            return {name: table[name] for name in (table.dtype.names or ())}
    rows = csv.DictReader(io.StringIO(data.decode("utf-8")))
    return [{k: (_number(v) if k not in ("device", "foot") else v) for k, v in row.items()} for row in rows]


def _number(text: str) -> Any:
    if text == "":
        return None
    try:
        return int(text)
    except ValueError:
        return float(text)


__all__ = ["export_csv", "read_capture"]
