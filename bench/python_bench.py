#!/usr/bin/env python3
"""StreamParser.push against the same road in pure Python.

A stream of sensor frames shaped like a streaming insole's (48 pressure
cells, 3 + 3 shear forces, calibrated and raw IMU with scale factors,
battery; about 227 bytes a frame) arrives in BLE-sized pieces of 20 to 244
bytes. Both roads turn it into one JSON text per message:

  sdk:    trova_insole_sdk.StreamParser.push
  python: a reassembly loop (magic search, CRC-16/MODBUS check), google.protobuf
          decoding, json_format.MessageToDict, json.dumps(sort_keys=True,
          separators=(",", ":"))

Run with the module and google.protobuf importable, for example:
  PYTHONPATH=build/release/python /usr/bin/python3 bench/python_bench.py
Prints messages per second of each road and their ratio. Rates are taken
over process CPU time (best of several runs), so a busy machine does not
skew them; both roads are single-threaded.
"""

import argparse
import json
import math
import pathlib
import random
import subprocess
import sys
import tempfile
import time

import trova_insole_sdk as sdk

PROTO = pathlib.Path(__file__).resolve().parents[1] / "tests" / "proto" / "insole.proto"


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


class PurePythonParser:
    """The same road written in Python."""

    MAGIC = b"TRVA"

    def __init__(self, pb):
        from google.protobuf import json_format

        self.decode = pb.InsoleResp.FromString
        self.to_dict = json_format.MessageToDict
        self.buf = bytearray()

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
            msg = self.decode(raw[head:head + n])
            out.append(json.dumps(self.to_dict(msg), sort_keys=True, separators=(",", ":")))
        return out


def rate(make_parser, pieces, expected, repeats):
    best = math.inf
    for _ in range(repeats):
        parser = make_parser()
        push = parser.push
        count = 0
        start = time.process_time()
        for piece in pieces:
            count += len(push(piece))
        elapsed = time.process_time() - start
        assert count == expected, (count, expected)
        best = min(best, elapsed)
    return expected / best


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--frames", type=int, default=20000, help="frames in the SDK stream")
    ap.add_argument("--python-frames", type=int, default=4000, help="frames in the pure-Python stream")
    ap.add_argument("--repeats", type=int, default=5)
    args = ap.parse_args()

    pb = load_reference()
    data, pieces = make_stream(pb, args.frames)
    _, py_pieces = make_stream(pb, args.python_frames)
    print(f"stream: {args.frames} frames, {len(data) / args.frames:.1f} bytes a frame, "
          f"{len(pieces)} pieces of 20..244 bytes")

    sdk_rate = rate(sdk.StreamParser, pieces, args.frames, args.repeats)
    py_rate = rate(lambda: PurePythonParser(pb), py_pieces, args.python_frames, max(1, args.repeats // 2))
    print(f"StreamParser.push:   {sdk_rate:12,.0f} messages/s")
    print(f"pure-Python road:    {py_rate:12,.0f} messages/s")
    print(f"ratio:               {sdk_rate / py_rate:12.1f} x")


if __name__ == "__main__":
    main()
