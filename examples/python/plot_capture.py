#!/usr/bin/env python3
"""Summarise and plot a capture of insole notifications.

A capture is told by its content, as the insole tool tells it: an MCAP
capture (`insole record FILE.mcap`, `ble_host.py --record`), one channel per
insole; a phone's Bluetooth HCI snoop log; or the raw bytes one insole sent
(the .bin form), one file per insole. With --hex the file holds those raw
bytes as hex text instead; whitespace, commas, colons, 0x prefixes and
#-comments are ignored.

    $ insole record walk.mcap --virtual left --virtual right --seconds 10
    $ python3 plot_capture.py walk.mcap -o walk.png
    $ insole record capture-left.bin --device left --seconds 2
    $ python3 plot_capture.py capture-left.bin --no-plot
    $ insole record - --seconds 2 | od -An -v -tx1 > notifications.txt
    $ python3 plot_capture.py --hex notifications.txt --no-plot

It prints a summary per foot (samples, rate, lost packets, load and IMU
figures) and, when matplotlib is installed, draws per foot the total load, a
heatmap of every cell over time and the three acceleration axes into a PNG.
Loads are in newtons: an insole that sends its cells' resistances (ohms) has
them calibrated by the SDK (trova_insole_sdk.calibrate_pressure); values the
insole calibrated itself are taken as sent, in the insole's own units. Without
matplotlib it prints the summary only and still succeeds; inside a venv,
matplotlib comes from `python3 -m venv --system-site-packages` over Debian's
python3-matplotlib (or `pip install matplotlib` where an index is reachable).

Without insoles at hand, the SDK's command-line tool writes captures of its
simulated insole, as above.
"""

import argparse
import json
import pathlib
import re
import sys
from dataclasses import dataclass, field

import trova_insole_sdk as sdk
from trova_insole import read_messages

# Bytes handed to the parser per call: a short BLE notification's worth, so a
# frame whose payload does not decode never takes good frames down with it.
CHUNK = 20

FOOT_NAMES = {"DEVICE_LEFT": "left", "DEVICE_RIGHT": "right"}
DEVICE_IDS = {"left": sdk.DEVICE_LEFT, "right": sdk.DEVICE_RIGHT}
FOOT_ORDER = ("left", "right", "unknown")
STAT_KEYS = ("frames_received", "crc_errors", "protobuf_errors", "dropped_bytes",
             "buffer_overflows", "packets_lost", "sequence_discontinuities")


@dataclass
class FootSeries:
    """The sensor samples of one foot, in arrival order."""
    times_ms: list = field(default_factory=list)
    seqs: list = field(default_factory=list)
    pressure: list = field(default_factory=list)  # one list of cell loads per sample
    newtons: bool = True                          # False once a sample carried the insole's own units
    acc_mg: list = field(default_factory=list)    # (x, y, z) per sample
    battery_pct: list = field(default_factory=list)

    def __len__(self):
        return len(self.seqs)


@dataclass
class Capture:
    feet: dict = field(default_factory=dict)       # foot name -> FootSeries
    kinds: dict = field(default_factory=dict)      # message kind -> count
    stats: dict = field(default_factory=lambda: dict.fromkeys(STAT_KEYS, 0))
    undecodable: list = field(default_factory=list)  # error texts of frames that did not decode
    sources: list = field(default_factory=list)

    def foot(self, name):
        return self.feet.setdefault(name, FootSeries())


# --- reading -------------------------------------------------------------------

def read_capture(path, hex_text=False):
    """The bytes of a raw capture, or of its hex text."""
    data = pathlib.Path(path).read_bytes()
    if not hex_text:
        return data
    text = re.sub(r"#[^\n]*", "", data.decode("ascii", errors="replace"))
    digits = re.sub(r"0[xX]|[\s,:]", "", text)
    try:
        return bytes.fromhex(digits)
    except ValueError as err:
        raise ValueError(f"{path}: not hex text ({err})") from None


def foot_from_name(path):
    stem = pathlib.Path(path).name.lower()
    for name in ("left", "right"):
        if name in stem:
            return name
    return "unknown"


def add_stream(capture, data, default_foot="unknown", chunk=CHUNK):
    """Parse one insole's byte stream into `capture`."""
    parser = sdk.StreamParser()
    for start in range(0, len(data), chunk):
        piece = data[start:start + chunk]
        while True:
            try:
                texts = parser.push(piece)
                break
            except ValueError as err:
                capture.undecodable.append(str(err))
                piece = b""  # go on with what the parser still holds
        for text in texts:
            add_message(capture, json.loads(text), default_foot)
    stats = parser.stats()
    for key in STAT_KEYS:
        capture.stats[key] += stats[key]
    capture.stats.setdefault("trailing_bytes", 0)
    capture.stats["trailing_bytes"] += stats["buffered_bytes"]
    return capture


def add_message(capture, message, default_foot="unknown"):
    kinds = [key for key in message if key not in ("msgId", "errCode")] or ["empty"]
    for kind in kinds:
        capture.kinds[kind] = capture.kinds.get(kind, 0) + 1
    sensor = message.get("sensorData")
    if sensor is None:
        return
    series = capture.foot(FOOT_NAMES.get(sensor.get("deviceId"), default_foot))
    series.times_ms.append(sensor.get("timestampMs", 0))
    series.seqs.append(sensor.get("seqNum", 0))
    series.pressure.append(cell_loads(series, sensor, default_foot))
    imu = sensor.get("imuData")
    if imu is not None:
        series.acc_mg.append((imu.get("accXMg", 0.0), imu.get("accYMg", 0.0), imu.get("accZMg", 0.0)))
    battery = sensor.get("batteryData")
    if battery is not None:
        series.battery_pct.append(battery.get("batteryPct", 0))


def cell_loads(series, sensor, default_foot):
    """The cells' loads in newtons. Resistances (ohms) are calibrated by the
    SDK; the parser also renders them under "pressure" when the insole sent
    nothing else, so both lists are looked at."""
    pressure = sensor.get("pressureData", {})
    raw, calibrated = pressure.get("rawPressure") or [], pressure.get("pressure") or []
    if raw and (not calibrated or calibrated == raw):
        device = sensor.get("deviceId")
        foot = FOOT_NAMES.get(device, default_foot)
        return sdk.calibrate_pressure(raw, DEVICE_IDS.get(foot, sdk.DEVICE_LEFT))
    if calibrated:
        series.newtons = False
    return calibrated


def load(paths, hex_text=False):
    """Every insole of every capture; a capture's kind is told by its content."""
    capture = Capture()
    for path in paths:
        capture.sources.append(str(path))
        if hex_text:
            add_stream(capture, read_capture(path, hex_text), foot_from_name(path))
            continue
        streams: dict = {}  # one parser per insole, as a host keeps
        for message in read_messages(path):
            foot, data = streams.setdefault(message.device_id, (message.foot, bytearray()))
            data += message.data
        for foot, data in streams.values():
            add_stream(capture, bytes(data), foot if foot in ("left", "right") else foot_from_name(path))
    return capture


# --- summary -------------------------------------------------------------------

def lost_between(seqs):
    """Samples missing from a sequence-number run (steps of 2 to 1000 only)."""
    lost = 0
    for before, after in zip(seqs, seqs[1:]):
        step = (after - before) & 0xFFFFFFFF
        if 2 <= step <= 1000:
            lost += step - 1
    return lost


def sample_steps(seqs):
    """Sample periods spanned by a sequence-number run, counting lost samples too."""
    return sum(step if 1 <= step <= 1000 else 1
               for step in ((b - a) & 0xFFFFFFFF for a, b in zip(seqs, seqs[1:])))


def mean(values):
    return sum(values) / len(values) if values else 0.0


def summarize_foot(series):
    n = len(series)
    duration_s = (series.times_ms[-1] - series.times_ms[0]) / 1000.0 if n > 1 else 0.0
    sums = [sum(cells) for cells in series.pressure]
    cells = max((len(c) for c in series.pressure), default=0)
    cell_means = [mean([c[i] for c in series.pressure if i < len(c)]) for i in range(cells)]
    summary = {
        "samples": n,
        "seq_first": series.seqs[0] if n else None,
        "seq_last": series.seqs[-1] if n else None,
        "lost": lost_between(series.seqs),
        "duration_s": round(duration_s, 3),
        "rate_hz": round(sample_steps(series.seqs) / duration_s, 1) if duration_s > 0 else None,
        "pressure_cells": cells,
        "load_unit": "N" if series.newtons else "insole units",
        "load_total_mean": round(mean(sums), 1),
        "load_total_max": round(max(sums, default=0), 1),
        "busiest_cell": max(range(cells), key=cell_means.__getitem__) if cells else None,
        "acc_mean_mg": [round(mean([a[axis] for a in series.acc_mg]), 1) for axis in range(3)]
        if series.acc_mg else None,
        "battery_pct": series.battery_pct[-1] if series.battery_pct else None,
    }
    return summary


def summarize(capture):
    feet = {name: summarize_foot(capture.feet[name]) for name in FOOT_ORDER if name in capture.feet}
    return {
        "sources": list(capture.sources),
        "feet": feet,
        "messages": dict(sorted(capture.kinds.items())),
        "stream": dict(capture.stats, undecodable=len(capture.undecodable)),
    }


def format_summary(summary):
    lines = ["capture: " + ", ".join(summary["sources"])]
    stream = summary["stream"]
    lines.append("frames {frames_received}, CRC errors {crc_errors}, undecodable {undecodable}, "
                 "dropped bytes {dropped_bytes}".format(**stream))
    lines.append("messages: " + (", ".join(f"{k} {v}" for k, v in summary["messages"].items()) or "none"))
    for name, foot in summary["feet"].items():
        rate = f"{foot['rate_hz']:g} Hz" if foot["rate_hz"] else "rate unknown"
        lines.append(f"{name}: {foot['samples']} samples over {foot['duration_s']:g} s ({rate}), "
                     f"seq {foot['seq_first']}..{foot['seq_last']}, {foot['lost']} lost")
        if foot["pressure_cells"]:
            unit = foot["load_unit"]
            lines.append(f"  load: {foot['pressure_cells']} cells, total mean {foot['load_total_mean']:g} {unit} "
                         f"max {foot['load_total_max']:g} {unit}, busiest cell {foot['busiest_cell']}")
        if foot["acc_mean_mg"]:
            x, y, z = foot["acc_mean_mg"]
            lines.append(f"  acceleration mean: x {x:g} y {y:g} z {z:g} mg")
        if foot["battery_pct"] is not None:
            lines.append(f"  battery: {foot['battery_pct']}%")
    if not summary["feet"]:
        lines.append("no sensor data")
    return "\n".join(lines)


# --- plot ----------------------------------------------------------------------

def pressure_grid(np, series, width):
    """Cells by sample, one column per sequence number, so lost samples stay blank (NaN).

    Falls back to one column per received sample when the sequence numbers do
    not simply count up (a restart or a wrap in the capture)."""
    seqs = series.seqs
    span = seqs[-1] - seqs[0] + 1 if seqs else 0
    ordered = all(a < b for a, b in zip(seqs, seqs[1:]))
    columns = [q - seqs[0] for q in seqs] if ordered and span <= 2 * len(seqs) + 1000 else range(len(seqs))
    grid = np.full((width, (columns[-1] + 1) if len(seqs) else 0), np.nan)
    for column, cells in zip(columns, series.pressure):
        grid[:, column] = 0
        grid[:len(cells), column] = cells
    return grid


def plot(capture, out_path):
    """Draw the capture into a PNG; raises ImportError without matplotlib."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    feet = [name for name in FOOT_ORDER if name in capture.feet and len(capture.feet[name])]
    fig, axes = plt.subplots(3, len(feet), figsize=(7 * len(feet) if len(feet) > 1 else 9, 9), squeeze=False,
                             gridspec_kw={"height_ratios": [1, 1.4, 1]}, constrained_layout=True)
    width = max((len(c) for name in feet for c in capture.feet[name].pressure), default=0)
    top = max((max(c) for name in feet for c in capture.feet[name].pressure if c), default=1)
    sum_top = max((sum(c) for name in feet for c in capture.feet[name].pressure), default=1)

    for col, name in enumerate(feet):
        series = capture.feet[name]
        t = (np.asarray(series.times_ms, dtype=float) - series.times_ms[0]) / 1000.0
        grid = pressure_grid(np, series, width)

        ax = axes[0][col]
        ax.plot(t, [sum(cells) for cells in series.pressure], color="tab:purple", linewidth=1)
        battery = f", battery {series.battery_pct[-1]}%" if series.battery_pct else ""
        ax.set_title(f"{name} foot: {len(series)} samples, {lost_between(series.seqs)} lost{battery}")
        ax.set_ylabel("total load (N)" if series.newtons else "total load (insole units)")
        ax.set_ylim(0, sum_top * 1.05)
        ax.grid(alpha=0.3)

        ax = axes[1][col]
        span = (t[0], t[-1] if len(t) > 1 else t[0] + 1)
        cmap = matplotlib.colormaps["viridis"].with_extremes(bad="white")
        image = ax.imshow(grid, aspect="auto", origin="lower", interpolation="nearest", cmap=cmap,
                          vmin=0, vmax=top, extent=(span[0], span[1], -0.5, width - 0.5))
        ax.set_ylabel("pressure cell (lost samples blank)" if np.isnan(grid).any() else "pressure cell")
        fig.colorbar(image, ax=ax, label="cell load (N)" if series.newtons else "cell load (insole units)", pad=0.01)

        ax = axes[2][col]
        if series.acc_mg and len(series.acc_mg) == len(series):
            acc = np.asarray(series.acc_mg)
            for axis, (label, colour) in enumerate(zip("xyz", ("tab:red", "tab:green", "tab:blue"))):
                ax.plot(t, acc[:, axis], label=f"acc {label}", color=colour, linewidth=1)
            ax.legend(loc="best", fontsize="small", ncol=3)
        else:
            ax.text(0.5, 0.5, "no IMU data", ha="center", va="center", transform=ax.transAxes)
        ax.set_ylabel("acceleration (mg)")
        ax.set_xlabel("device time (s)")
        ax.grid(alpha=0.3)
        for row in range(3):
            axes[row][col].set_xlim(span)

    fig.suptitle(", ".join(pathlib.Path(s).name for s in capture.sources))
    fig.savefig(out_path, dpi=100)
    plt.close(fig)
    return out_path


# --- the program ---------------------------------------------------------------

def parse_args(argv=None):
    p = argparse.ArgumentParser(description="Summarise and plot captures of insole notifications.")
    p.add_argument("captures", nargs="+", help="capture file(s): MCAP, snoop log or raw bytes of one insole")
    p.add_argument("--hex", action="store_true", help="the files hold a raw capture's bytes as hex text")
    p.add_argument("-o", "--output", help="PNG to write (default: the first capture's name with .png)")
    p.add_argument("--no-plot", action="store_true", help="print the summary only")
    p.add_argument("--json", action="store_true", help="print the summary as JSON")
    return p.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    try:
        capture = load(args.captures, args.hex)
    except OSError as err:
        print(f"plot_capture: {err}", file=sys.stderr)
        return 2
    except ValueError as err:  # bad hex text (2), or a file that is no capture (1)
        hint = "" if args.hex or "hex text" in str(err) else " (if the file holds hex text, pass --hex)"
        print(f"plot_capture: {err}{hint}", file=sys.stderr)
        return 2 if args.hex else 1
    summary = summarize(capture)
    print(json.dumps(summary, indent=2) if args.json else format_summary(summary))
    if not capture.kinds:
        hint = "" if args.hex else " (if the file holds hex text, pass --hex)"
        print(f"plot_capture: no insole message found{hint}", file=sys.stderr)
        return 1
    if args.no_plot:
        return 0
    if not summary["feet"]:
        print("plot_capture: no sensor data to plot", file=sys.stderr)
        return 0
    out = args.output or str(pathlib.Path(args.captures[0]).with_suffix(".png"))
    try:
        plot(capture, out)
    except ImportError:
        print("plot_capture: matplotlib is not installed, no plot written (in a venv on Debian: "
              "python3 -m venv --system-site-packages over python3-matplotlib; elsewhere pip install matplotlib)",
              file=sys.stderr)
        return 0
    print(f"plot written to {out}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
