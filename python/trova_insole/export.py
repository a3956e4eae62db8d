"""Captures into numpy, pandas or plain Python, in one call.

The work is done by the SDK's `insole export` tool (decoding, gap flags,
clock alignment, in C++). For numpy and pandas this module loads the tool's
binary form (`--binary`, docs/capture-format.md): each column arrives as runs
of little-endian values that numpy copies into place without parsing any
text. Without numpy it reads the CSV form.
"""

from __future__ import annotations

import csv
import errno
import io
import json
import mmap
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import warnings
from pathlib import Path
from typing import Any, Union

_BEGIN, _END = b"TVROWS1\n", b"TVROWEND"
# Said when numpy or pandas is missing: inside a venv the system's packages
# are out of sight unless the venv was made to see them.
_GET_NUMPY = ("read_capture(as_={form!r}) needs {what}: in a venv on Debian, make it with "
              "`python3 -m venv --system-site-packages .venv` and `apt-get install python3-numpy python3-pandas` "
              "(or `pip install numpy pandas` where an index is reachable)")
_TEXT_COLUMNS = ("device", "foot")


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


def _export(path: Union[str, os.PathLike], form: str, out: Any = subprocess.PIPE) -> Any:
    """Runs `insole export PATH FORM` to out; its warnings about damage become
    Python warnings. Returns the output when it went to a pipe. Raises
    FileNotFoundError for a missing file, ValueError with the tool's one-line
    reason for a file it refuses (one that is no capture, say)."""
    if os.fspath(path) != "-" and not os.path.exists(path):
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), os.fspath(path))
    with tempfile.TemporaryFile() as errors:
        done = subprocess.run([_tool(), "export", os.fspath(path), form], stdout=out, stderr=errors, check=False)
        errors.seek(0)
        lines = errors.read().decode(errors="replace").strip().splitlines()
    if done.returncode != 0:
        reason = lines[-1] if lines else f"insole export failed ({done.returncode})"
        raise ValueError(reason[len("insole: "):] if reason.startswith("insole: ") else reason)
    for line in lines:
        if line.startswith("insole: warning: "):
            warnings.warn(line[len("insole: warning: "):], stacklevel=3)
    return done.stdout


def _binary(numpy: Any, path: Union[str, os.PathLike], text: type) -> "_Columns":
    """The binary form through a temporary file that numpy reads in place:
    no copy of a few hundred megabytes through a pipe into Python."""
    with tempfile.TemporaryFile() as rows:
        _export(path, "--binary", rows)
        if os.fstat(rows.fileno()).st_size == 0:
            raise ValueError("insole export --binary gave no binary rows")
        # Unmapped when the last view on it goes, once the columns are copied out.
        return _Columns(numpy, mmap.mmap(rows.fileno(), 0, access=mmap.ACCESS_READ), text)


def export_csv(path: Union[str, os.PathLike]) -> bytes:
    """The capture as CSV bytes, one row per sample (see `insole export --help`)."""
    return _export(path, "--csv")


def read_capture(path: Union[str, os.PathLike], as_: str = "auto") -> Any:
    """Read a capture (MCAP or raw) into one row per sensor sample.

    as_="auto" gives a pandas DataFrame when pandas is installed, else a dict
    of numpy arrays (one per column) when numpy is, else a list of dicts.
    "pandas", "numpy" and "lists" ask for one of them. The columns are the
    CSV's, in its order: integers as int64, a column with empty fields (or a
    float column) as float64 with NaN for them, device and foot as text.

    Raises FileNotFoundError for a missing file, ValueError for one that is
    no capture (the reason in one line), and ModuleNotFoundError, saying how
    to get them, when "pandas" or "numpy" is asked for and not installed.
    """
    if as_ in ("auto", "pandas"):
        try:
            import numpy
            import pandas
        except ImportError as missing:
            if as_ == "pandas":
                raise ModuleNotFoundError(_GET_NUMPY.format(form=as_, what="numpy and pandas"),
                                          name=missing.name) from None
        else:
            return _frame(pandas, _binary(numpy, path, object))
    if as_ in ("auto", "numpy"):
        try:
            import numpy
        except ImportError as missing:
            if as_ == "numpy":
                raise ModuleNotFoundError(_GET_NUMPY.format(form=as_, what="numpy"), name=missing.name) from None
        else:
            table = _binary(numpy, path, str)
            return {name: table.column(name) for name in table.names}
    rows = csv.DictReader(io.StringIO(export_csv(path).decode("utf-8")))
    return [{k: (_number(v) if k not in _TEXT_COLUMNS else v) for k, v in row.items()} for row in rows]


def _number(text: str) -> Any:
    if text in ("", "null"):  # empty: not in this sample; null: a product that overflowed
        return None
    try:
        return int(text)
    except ValueError:
        return float(text)


class _Columns:
    """The binary form turned into columns, grouped the way pandas keeps them:
    one 2-D array per dtype (int64, float64, text), one row per column."""

    def __init__(self, numpy: Any, data: Any, text: type) -> None:
        if len(data) < 32 or data[:8] != _BEGIN or data[-8:] != _END:
            raise ValueError("insole export --binary gave no binary rows")
        (header_len,) = struct.unpack_from("<I", data, 8)
        (trailer_len,) = struct.unpack_from("<I", data, len(data) - 12)
        header = json.loads(data[12:12 + header_len])
        trailer = json.loads(data[len(data) - 12 - trailer_len:len(data) - 12])
        self.n = n = trailer["rows"]
        block, row_bytes = header["block_rows"], header["row_bytes"]
        blocks = -(-n // block)
        start = 12 + header_len
        if start + blocks * block * row_bytes + trailer_len + 12 != len(data):
            raise ValueError("insole export --binary gave rows of an unexpected size")
        fields = {name: (numpy.dtype(kind), offset) for name, kind, offset in header["fields"]}
        full = n // block

        def fill(out: Any, name: str) -> None:
            """Copies a field into out (n values), converting to out's dtype."""
            if n == 0:  # no block to view
                return
            dtype, offset = fields[name]
            runs = numpy.ndarray((blocks, block), dtype, data, start + offset * block,
                                 (block * row_bytes, dtype.itemsize))
            numpy.copyto(out[:full * block].reshape(full, block), runs[:full], casting="unsafe")
            if n > full * block:  # the last block, filled up with zero rows
                numpy.copyto(out[full * block:], runs[full, :n - full * block], casting="unsafe")

        counts: dict[str, tuple[Any, int]] = {}

        def count(name: str) -> tuple[Any, int]:
            """A count field's values, and the lowest of them."""
            if name not in counts:
                values = numpy.empty(n, numpy.uint8)
                fill(values, name)
                counts[name] = (values, int(values.min()) if n else 0)
            return counts[name]

        # Where each column goes: an integer column with a value in every row
        # stays integral; any other becomes float64 with NaN where it is empty.
        self.names: list[str] = header["columns"]
        ints: list[str] = []
        floats: list[tuple[str, Any, int]] = []  # with the count that says where it has values
        for name in self.names:
            if name in _TEXT_COLUMNS:
                continue
            rule = header["valid"].get(name)
            present, lowest = count(rule[0]) if rule else (None, 0)
            index = rule[1] if rule else -1
            if lowest > index and fields[name][0].kind in "iu":
                ints.append(name)
            else:
                floats.append((name, None if lowest > index else present, index))
        self.ints = numpy.empty((len(ints), n), numpy.int64)
        for row, name in enumerate(ints):
            fill(self.ints[row], name)
        self.floats = numpy.empty((len(floats), n), numpy.float64)
        for row, (name, present, index) in enumerate(floats):
            fill(self.floats[row], name)
            if present is not None:
                self.floats[row][present <= index] = numpy.nan
        source = numpy.empty(n, numpy.uint32)
        fill(source, "source")
        pairs = numpy.array(trailer["sources"], dtype=text).reshape(-1, len(_TEXT_COLUMNS)).T
        if n and int(source.max()) >= pairs.shape[1]:
            raise ValueError("insole export --binary names a device it never declared")
        self.texts = pairs[:, source]
        self._where = {name: (self.ints, i) for i, name in enumerate(ints)}
        self._where.update({name: (self.floats, i) for i, (name, _, _) in enumerate(floats)})
        self._where.update({name: (self.texts, i) for i, name in enumerate(_TEXT_COLUMNS)})

    def column(self, name: str) -> Any:
        group, row = self._where[name]
        return group[row]

    def groups(self) -> list[tuple[Any, list[int]]]:
        """Each 2-D array with the positions of its rows among the columns."""
        position = {name: i for i, name in enumerate(self.names)}
        out = []
        for group in (self.ints, self.floats, self.texts):
            rows = sorted((row, position[name]) for name, (g, row) in self._where.items() if g is group)
            if rows:
                out.append((group, [p for _, p in rows]))
        return out


def _frame(pandas: Any, table: _Columns) -> Any:
    """A DataFrame over the table's arrays as they are: pandas keeps each dtype
    as one 2-D block, and these arrays already have that shape, so they are
    handed over without the copy that building from a dict makes."""
    try:
        from pandas.core.internals import BlockManager
        from pandas.core.internals.api import make_block
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            blocks = [make_block(values, placement=positions) for values, positions in table.groups()]
            manager = BlockManager(blocks, [pandas.Index(table.names), pandas.RangeIndex(table.n)])
            from_manager = getattr(pandas.DataFrame, "_from_mgr", None)
            frame = from_manager(manager, manager.axes) if from_manager else pandas.DataFrame(manager)
        if list(frame.columns) == table.names and len(frame) == table.n:
            return frame
    except Exception:  # pandas moved its internals: build it the public way
        pass
    return pandas.DataFrame({name: table.column(name) for name in table.names})


__all__ = ["export_csv", "read_capture"]
