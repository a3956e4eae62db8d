"""Gait events and strides, from a capture, from `read_capture`'s frame or
from plain arrays of loads, and a streaming detector for live hosts.

Every event comes from the SDK's own detector (trova_insole_sdk.GaitDetector,
the tracker the receive path runs for `enable_gait`); this module only picks
the samples and lays out the results. A capture is read the way the live
receive path reads the stream: per insole, each sample's total vertical load
(`load_total_N`, newtons, where the sample carries cell resistances; else the
sum of the insole's own cell values, device units), its device time
(`device_time_ms` / 1000, seconds on the insole's clock), frames lost before
it marking the open stride, and a repeated sample left out. So a capture
gives the same events here as the gait callback gave while it was received.

events() columns: device, foot, type ("contact" or "foot_off"), time_s
(seconds, insole clock), load (load_unit: "N" or "device units"; for plain
arrays "input units"), sample_index and decided_index (samples of that
device counted from 0: the first past the level, the one that decided it),
seq_num (the deciding sample's sequence number; -1 for plain arrays).

strides() columns: device, foot, contact_s, foot_off_s, next_contact_s,
stride_s, stance_s, swing_s (seconds), stance_pct and swing_pct (% of the
stride), flags (bits: 1 first of its bout, 4 across lost frames), and
first_of_bout and across_gap as booleans. A stride is marked, never left out.
"""

from __future__ import annotations

import math
import os
from typing import Any, Optional, Sequence, Union

import trova_insole_sdk as _sdk

from .export import read_capture

GaitDetector = _sdk.GaitDetector

FIRST_OF_BOUT, LAST_OF_BOUT, ACROSS_GAP, OUTLIER = 1, 2, 4, 8

_EVENT_COLUMNS = ("device", "foot", "type", "time_s", "load", "load_unit", "sample_index", "decided_index",
                  "seq_num")
_STRIDE_COLUMNS = ("device", "foot", "contact_s", "foot_off_s", "next_contact_s", "stride_s", "stance_s",
                   "swing_s", "stance_pct", "swing_pct", "flags", "first_of_bout", "across_gap")
_FORMS = ("auto", "pandas", "numpy", "lists")


def events(source: Any = None, *, times: Optional[Sequence[float]] = None, left: Optional[Sequence[float]] = None,
           right: Optional[Sequence[float]] = None, as_: str = "auto") -> Any:
    """The gait events of a capture (a path, or what read_capture returned),
    or of plain arrays: times (seconds, increasing) with the left and/or the
    right foot's total loads. as_ as for read_capture: "auto" gives a pandas
    DataFrame when pandas is installed, else a dict of numpy arrays when numpy
    is, else a list of dicts.

    Raises ValueError for an empty input, loads that are not finite, time that
    does not increase, arrays of different lengths; TypeError for values that
    are no numbers or a source of the wrong kind."""
    rows, _ = _analyse(source, times, left, right, as_)
    return _shape(rows, _EVENT_COLUMNS, as_)


def strides(source: Any = None, *, times: Optional[Sequence[float]] = None, left: Optional[Sequence[float]] = None,
            right: Optional[Sequence[float]] = None, as_: str = "auto") -> Any:
    """The strides (initial contact to the next) of the same inputs as events()."""
    _, rows = _analyse(source, times, left, right, as_)
    return _shape(rows, _STRIDE_COLUMNS, as_)


# --- inputs --------------------------------------------------------------------

def _analyse(source: Any, times: Any, left: Any, right: Any, as_: str) -> tuple[list[dict], list[dict]]:
    if as_ not in _FORMS:
        raise ValueError(f"as_ must be one of {', '.join(repr(f) for f in _FORMS)}, not {as_!r}")
    if source is not None and (times is not None or left is not None or right is not None):
        raise TypeError("give either a capture (source) or arrays (times= with left= and/or right=), not both")
    if source is None:
        return _from_arrays(times, left, right)
    if isinstance(source, (str, os.PathLike)):
        source = read_capture(source)
    return _from_table(_columns(source))


def _from_arrays(times: Any, left: Any, right: Any) -> tuple[list[dict], list[dict]]:
    if times is None or (left is None and right is None):
        raise TypeError("give a capture, or times= with left= and/or right= loads")
    times = _as_list(times, "times")
    if not times:
        raise ValueError("no samples: times is empty")
    ev: list[dict] = []
    st: list[dict] = []
    for foot, loads in (("left", left), ("right", right)):
        if loads is None:
            continue
        loads = _as_list(loads, foot)
        if len(loads) != len(times):
            raise ValueError(f"{foot} has {len(loads)} loads for {len(times)} times")
        found = GaitDetector().push_many(times, loads)
        _collect(found, foot, foot, "input units", None, ev, st)
    return ev, st


def _as_list(values: Any, name: str) -> list:
    if isinstance(values, (str, bytes, bytearray)) or not hasattr(values, "__len__"):
        raise TypeError(f"{name} must be a sequence of numbers, not {type(values).__name__}")
    return values.tolist() if hasattr(values, "tolist") else list(values)


def _columns(table: Any) -> dict[str, list]:
    """read_capture's result in any of its forms, as lists per column."""
    if hasattr(table, "columns") and hasattr(table, "to_dict"):  # a pandas DataFrame
        return {str(name): table[name].tolist() for name in table.columns}
    if isinstance(table, dict):
        return {str(name): _as_list(values, str(name)) for name, values in table.items()}
    if isinstance(table, list):
        if not table:
            raise ValueError("no samples: the capture has no sensor samples")
        if not all(isinstance(row, dict) for row in table):
            raise TypeError("a list source must hold read_capture's rows (dicts)")
        return {name: [row.get(name) for row in table] for name in table[0]}
    raise TypeError(f"source must be a capture path or read_capture's result, not {type(table).__name__}")


def _missing(value: Any) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value))


def _from_table(cols: dict[str, list]) -> tuple[list[dict], list[dict]]:
    for needed in ("device", "device_time_ms"):
        if needed not in cols:
            raise ValueError(f"the capture table has no {needed} column (is it read_capture's?)")
    n = len(cols["device_time_ms"])
    if n == 0:
        raise ValueError("no samples: the capture has no sensor samples")
    devices, feet, times_ms = cols["device"], cols.get("foot", [""] * n), cols["device_time_ms"]
    seqs, gaps = cols.get("seq", [-1] * n), cols.get("gap", [0] * n)
    totals = cols.get("load_total_N", [None] * n)
    own = [cols[f"pressure_{i}"] for i in range(48) if f"pressure_{i}" in cols]
    # Per device, in capture order: the samples the receive path would push.
    per_device: dict[str, dict[str, list]] = {}
    for r in range(n):
        d = per_device.setdefault(devices[r], {"t": [], "load": [], "gap": [], "seq": [], "unit": [], "foot": [],
                                               "lost": [False]})
        if not _missing(gaps[r]) and gaps[r] > 0:
            d["lost"][0] = True  # carried to the next sample with a load, as the tracker marks it
        if not _missing(totals[r]):
            load, unit = float(totals[r]), "N"
        else:
            cells = [column[r] for column in own if not _missing(column[r])]
            if not cells:
                continue
            load, unit = float(sum(int(c) for c in cells)), "device units"
        d["t"].append(int(times_ms[r]) / 1000.0)
        d["load"].append(load)
        d["gap"].append(d["lost"][0])
        d["lost"][0] = False
        d["seq"].append(int(seqs[r]) if not _missing(seqs[r]) else -1)
        d["unit"].append(unit)
        d["foot"].append(feet[r] if isinstance(feet[r], str) else "")
    ev: list[dict] = []
    st: list[dict] = []
    for device, d in per_device.items():
        if not d["t"]:
            continue
        found = GaitDetector().push_many(d["t"], d["load"], d["gap"], skip_repeats=True)
        _collect(found, device, d["foot"], d["unit"], d["seq"], ev, st)
    return ev, st


def _collect(found: list[dict], device: str, foot: Union[str, list], unit: Union[str, list],
             seq: Optional[list], ev: list[dict], st: list[dict]) -> None:
    for e in found:
        row = e["row"]
        foot_here = foot[row] if isinstance(foot, list) else foot
        ev.append({"device": device, "foot": foot_here, "type": e["type"], "time_s": e["time_s"], "load": e["load"],
                   "load_unit": unit[row] if isinstance(unit, list) else unit, "sample_index": e["sample_index"],
                   "decided_index": e["decided_index"], "seq_num": seq[row] if seq is not None else -1})
        s = e["stride"]
        if s is not None:
            st.append({"device": device, "foot": foot_here, **{k: s[k] for k in _STRIDE_COLUMNS[2:8]},
                       "stance_pct": 100.0 * s["stance_s"] / s["stride_s"],
                       "swing_pct": 100.0 * s["swing_s"] / s["stride_s"], "flags": s["flags"],
                       "first_of_bout": bool(s["flags"] & FIRST_OF_BOUT),
                       "across_gap": bool(s["flags"] & ACROSS_GAP)})


# --- outputs -------------------------------------------------------------------

def _shape(rows: list[dict], columns: tuple[str, ...], as_: str) -> Any:
    if as_ in ("auto", "pandas"):
        try:
            import pandas
        except ImportError:
            if as_ == "pandas":
                raise
        else:
            return pandas.DataFrame(rows, columns=list(columns))
    if as_ in ("auto", "numpy"):
        try:
            import numpy
        except ImportError:
            if as_ == "numpy":
                raise
        else:
            return {c: numpy.array([r[c] for r in rows]) for c in columns}
    return rows
