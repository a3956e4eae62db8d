#!/usr/bin/env python3
"""StreamParser.push against the same road in pure Python.

A stream of sensor frames shaped like a streaming insole's (48 pressure
cells, 3 + 3 shear forces, calibrated and raw IMU with scale factors,
battery; about 227 bytes a frame) arrives in BLE-sized pieces of 20 to 244
bytes. Both roads turn it into one JSON text per message, and the texts must
be identical (checked before anything is timed):

  sdk:    trova_insole_sdk.StreamParser.push
  python: a reassembly loop (magic search, CRC-16/MODBUS check), google.protobuf
          decoding, json_format.MessageToDict, the SDK's adjustments (float
          fields as the doubles they hold, the derived IMU values in single
          precision, raw pressure standing in for missing calibrated values),
          json.dumps(sort_keys=True, separators=(",", ":"),
          ensure_ascii=False)

The two roads run alternately in short adjacent runs (the first of each pair
alternates too); each pair gives one ratio of messages per second, and the
figure is the median of the pairs. Rates are taken over process CPU time.
Run it pinned to one core, with the module and google.protobuf importable:
  PYTHONPATH=build/release/python taskset -c 1 /usr/bin/python3 bench/python_bench.py
"""

import argparse
import json
import math
import pathlib
import random
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import trova_insole_sdk as sdk

PROTO = pathlib.Path(__file__).resolve().parents[1] / "proto" / "insole.proto"


def load_reference():
    out = tempfile.mkdtemp(prefix="insole_ref_")
    subprocess.run(["protoc", f"-I{PROTO.parent}", f"--python_out={out}", str(PROTO)], check=True)
    sys.path.insert(0, out)
    import insole_pb2

    return insole_pb2


def crc_table():
    table = []
    for i in range(256):
        crc = i
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
        table.append(crc)
    return table


CRC_TABLE = crc_table()


def crc16(data):
    crc = 0xFFFF
    table = CRC_TABLE
    for b in data:
        crc = (crc >> 8) ^ table[(crc ^ b) & 0xFF]
    return crc


def sensor_message(pb, n):
    t = float(n)
    a = t * 0.05
    acc_x, acc_y, acc_z = int(math.sin(a) * 1000.0), int(math.cos(a) * 1000.0), 16384
    gyro_x, gyro_y, gyro_z = int(math.sin(a * 3.0) * 250.0), int(math.cos(a * 2.0) * 180.0), int(math.sin(a + 1.0) * 90.0)
    phis = [t * 0.15 + k * 0.5 for k in range(3)]
    return pb.InsoleResp(sensor_data=pb.SensorData(
        device_id=pb.DEVICE_LEFT, timestamp_ms=n * 20, seq_num=n,
        pressure_data=pb.PressureData(pressure=[int((math.sin(t * 0.1 + i * 0.2) + 1.0) * 500.0) for i in range(48)]),
        shear_data=pb.ShearData(shear_force_x=[int((math.sin(p) + 1.0) * 200.0) for p in phis],
                                shear_force_y=[int((math.cos(p) + 1.0) * 200.0) for p in phis]),
        imu_data=pb.ImuData(acc_x=acc_x, acc_y=acc_y, acc_z=acc_z, gyro_x=gyro_x, gyro_y=gyro_y, gyro_z=gyro_z,
                            raw_acc_x=acc_x + 37, raw_acc_y=acc_y - 21, raw_acc_z=acc_z + 112,
                            raw_gyro_x=gyro_x * 16 + 5, raw_gyro_y=gyro_y * 16 - 3, raw_gyro_z=gyro_z * 16 + 9,
                            acc_scale=0.48828125, gyro_scale=0.06103515625),
        battery_data=pb.BatteryData(battery_pct=95, voltage_mv=4100)))


def frame(payload):
    head = b"TRVA" + bytes([2, 0x21]) + len(payload).to_bytes(2, "little") + bytes([1, 2, 0])
    return head + payload + crc16(head + payload).to_bytes(2, "little")


def make_stream(pb, frames, seed=20240611):
    data = b"".join(frame(sensor_message(pb, n).SerializeToString()) for n in range(1, frames + 1))
    rng = random.Random(seed)
    pieces, at = [], 0
    while at < len(data):
        n = rng.randint(20, 244)
        pieces.append(data[at:at + n])
        at += n
    return data, pieces


F32 = struct.Struct("<f")


def f32(x):
    """x rounded to single precision (overflow is not finite, as in C)."""
    try:
        return F32.unpack(F32.pack(x))[0]
    except OverflowError:
        return math.inf if x > 0 else -math.inf


class PurePythonParser:
    """The same road written in Python."""

    MAGIC = b"TRVA"
    DEFAULT_SCALES = {"acc": 0.48828125, "gyro": 0.06103515625}

    def __init__(self, pb):
        from google.protobuf import json_format

        self.decode = pb.InsoleResp.FromString
        self.to_dict = json_format.MessageToDict
        self.buf = bytearray()

    def render(self, msg):
        d = self.to_dict(msg)
        sd = d.get("sensorData")
        if sd is not None:
            pressure = sd.get("pressureData")
            if pressure is not None and "pressure" not in pressure and "rawPressure" in pressure:
                pressure["pressure"] = list(pressure["rawPressure"])
            imu = sd.get("imuData")
            if imu is not None:
                imu_msg = msg.sensor_data.imu_data
                for kind, suffix in (("acc", "Mg"), ("gyro", "Dps")):
                    # The SDK writes a float field as the double it holds, not
                    # as the shortest single-precision text.
                    value = f32(getattr(imu_msg, kind + "_scale"))
                    imu.pop(kind + "Scale", None)
                    if value != 0.0:
                        imu[kind + "Scale"] = value if math.isfinite(value) else None
                    scale = value or self.DEFAULT_SCALES[kind]
                    for axis in "xyz":
                        product = f32(scale * f32(float(getattr(imu_msg, f"{kind}_{axis}"))))
                        if math.isfinite(product):
                            imu[f"{kind}{axis.upper()}{suffix}"] = product
        return json.dumps(d, sort_keys=True, separators=(",", ":"), ensure_ascii=False)

    def push(self, data):
        buf = self.buf
        buf += data
        out = []
        while len(buf) >= 4:
            if buf[:4] != self.MAGIC:
                at = buf.find(self.MAGIC, 1)
                del buf[:at if at > 0 else len(buf) - 3]
                continue
            if len(buf) < 5:
                break
            head = 11 if buf[4] == 2 else 8
            if len(buf) < head:
                break
            n = buf[6] | buf[7] << 8
            if n > 16384:
                del buf[:1]
                continue
            size = head + n + 2
            if len(buf) < size:
                break
            raw = bytes(buf[:size])
            del buf[:size]
            if crc16(raw[:-2]) != (raw[-2] | raw[-1] << 8):
                continue
            out.append(self.render(self.decode(raw[head:head + n])))
        return out


def run(make_parser, pieces, seconds):
    """Messages per CPU second over whole passes of the pieces, for at least the given time."""
    count = 0
    start = time.process_time()
    while True:
        push = make_parser().push
        for piece in pieces:
            count += len(push(piece))
        elapsed = time.process_time() - start
        if elapsed >= seconds:
            return count / elapsed


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--frames", type=int, default=2000, help="frames in the stream")
    ap.add_argument("--pairs", type=int, default=7)
    ap.add_argument("--seconds", type=float, default=0.3, help="CPU time of each side of a pair")
    args = ap.parse_args()

    pb = load_reference()
    data, pieces = make_stream(pb, args.frames)
    print(f"stream: {args.frames} frames, {len(data) / args.frames:.1f} bytes a frame, "
          f"{len(pieces)} pieces of 20..244 bytes", flush=True)

    parser, reference = sdk.StreamParser(), PurePythonParser(pb)
    sdk_texts = [t for piece in pieces for t in parser.push(piece)]
    py_texts = [t for piece in pieces for t in reference.push(piece)]
    if sdk_texts != py_texts or len(sdk_texts) != args.frames:
        bad = next((i for i, (a, b) in enumerate(zip(sdk_texts, py_texts)) if a != b), None)
        sys.exit(f"the roads disagree: {len(sdk_texts)} and {len(py_texts)} texts"
                 + (f", first difference at message {bad}:\n  {sdk_texts[bad]}\n  {py_texts[bad]}" if bad is not None else ""))
    print(f"texts identical: {len(sdk_texts)} messages")

    roads = {"sdk": sdk.StreamParser, "python": lambda: PurePythonParser(pb)}
    ratios = []
    for i in range(args.pairs):
        order = ("sdk", "python") if i % 2 == 0 else ("python", "sdk")
        rates = {road: run(roads[road], pieces, args.seconds) for road in order}
        ratios.append(rates["sdk"] / rates["python"])
        print(f"  pair {i + 1}: StreamParser.push {rates['sdk']:11,.0f} msgs/s   "
              f"pure Python {rates['python']:9,.0f} msgs/s   ratio {ratios[-1]:6.1f}")
    print(f"  median ratio {statistics.median(ratios):.1f}")


if __name__ == "__main__":
    main()
