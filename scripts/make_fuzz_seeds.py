#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets from real messages.

The messages are built with the reference protobuf schema (proto/insole.proto), so
the seeds do not depend on the SDK's own encoder:

  corpus/fuzz_decode/  bare payloads: every InsoleResp kind, a few InsoleReq
                       commands, and hand-made wire oddities;
  corpus/fuzz_stream/  framed streams with the control prefix fuzz_stream
                       expects (see its header comment).

Needs protoc and the python3 protobuf package (Debian python3-protobuf);
run it with the system interpreter: /usr/bin/python3 scripts/make_fuzz_seeds.py
"""
import importlib
import math
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parents[1] / "tests" / "fuzz"
PROTO = HERE.parents[1] / "proto" / "insole.proto"
sys.path.insert(0, str(HERE.parent))
from reference_frames import frame  # noqa: E402


def load_schema():
    out = tempfile.mkdtemp(prefix="insole_seeds_")
    subprocess.run(["protoc", f"-I{PROTO.parent}", f"--python_out={out}", PROTO.name], check=True)
    sys.path.insert(0, out)
    return importlib.import_module("insole_pb2"), out


def sensor_sample(pb, n, right=False):
    """One tick of the synthetic sensor stream (48 cells, 3 shear sensors)."""
    t = float(n)
    pphase, sphase = (0.5, 0.3) if right else (0.0, 0.0)
    m = pb.InsoleResp()
    sd = m.sensor_data
    sd.device_id = 3 if right else 2
    sd.timestamp_ms = (n * 20) & 0xFFFFFFFF
    sd.seq_num = n
    sd.pressure_data.pressure.extend(
        int((math.sin(pphase + (t * 0.1 + i * 0.2)) + 1.0) * 500.0) for i in range(48))
    for k in range(3):
        phi = sphase + (t * 0.15 + k * 0.5)
        sd.shear_data.shear_force_x.append(int((math.sin(phi) + 1.0) * 200.0))
        sd.shear_data.shear_force_y.append(int((math.cos(phi) + 1.0) * 200.0))
    a = t * 0.05
    imu = sd.imu_data
    imu.acc_x = imu.raw_acc_x = int(math.sin(a) * 1000.0)
    imu.acc_y = imu.raw_acc_y = int(math.cos(a) * 1000.0)
    imu.acc_z = imu.raw_acc_z = 16384
    imu.acc_scale = 0.48828125
    imu.gyro_scale = 0.06103515625
    sd.battery_data.battery_pct = 91 if right else 95
    sd.battery_data.voltage_mv = 4070 if right else 4100
    return m


def responses(pb):
    r = {}
    r["sensor_left_1"] = sensor_sample(pb, 1)
    r["sensor_right_40"] = sensor_sample(pb, 40, right=True)
    m = sensor_sample(pb, 7)
    m.sensor_data.pressure_data.raw_pressure.extend(range(-3, 45))
    m.sensor_data.shear_data.raw_shear_x.extend([-5, 0, 70000])
    m.sensor_data.shear_data.raw_shear_y.extend([1, 2, 3])
    m.sensor_data.imu_data.gyro_x = -12
    m.sensor_data.imu_data.raw_gyro_z = 2**31 - 1
    r["sensor_raw_and_calibrated"] = m

    m = pb.InsoleResp(msg_id=3)
    di = m.device_info
    di.device_id = 2
    di.serial_number = "SN-00042"
    di.product_id = 0x5A01
    di.model_name = "Insole L"
    di.fw_version = "1.4.2"
    di.hw_version = "B"
    di.git_commit = "9f3c2e1"
    di.mac = "C0:FF:EE:00:11:22"
    r["device_info"] = m

    m = pb.InsoleResp(msg_id=4)
    m.runtime_info.boot_time = 1_700_000_000_123
    m.runtime_info.uptime_ms = 2**40 + 5
    r["runtime_info"] = m

    m = pb.InsoleResp(msg_id=5)
    m.battery_data.battery_pct = 100
    m.battery_data.voltage_mv = 4200
    m.battery_data.status = 2
    r["battery"] = m

    m = pb.InsoleResp(msg_id=6)
    sc = m.sensor_config
    sc.imu_config.acc_subscription = True
    sc.imu_config.gyro_subscription = True
    sc.imu_config.sample_rate_hz = 100
    sc.imu_config.mode = 2
    sc.imu_config.imu_offset.acc_offset_x = -3
    sc.imu_config.imu_offset.gyro_offset_z = 17
    sc.pressure_config.subscription = True
    sc.pressure_config.sample_rate_hz = 50
    sc.pressure_config.mode = 1
    sc.shear_config.subscription = True
    sc.shear_config.sample_rate_hz = 50
    sc.shear_config.shear_offset.shear_offset_x = 4
    sc.shear_config.shear_offset.shear_offset_y = -4
    r["sensor_config"] = m

    m = pb.InsoleResp(msg_id=7)
    ds = m.device_status
    ds.is_wearing = True
    ds.imu_calibrated = True
    ds.pressure_calibrated = True
    ds.hardware_error_flags = 0x81
    r["device_status"] = m

    m = pb.InsoleResp(msg_id=8)
    fc = m.factory_config
    fc.serial_number = "SN-00042"
    fc.device_id = 3
    fc.model_name = "Insole R"
    fc.mac_address = "C0:FF:EE:00:11:23"
    fc.factory_key = "k\u00e9y-\u2713"
    r["factory_config"] = m

    m = pb.InsoleResp()
    m.device_event.timestamp_ms = 123456
    m.device_event.type = 6
    r["device_event"] = m

    m = pb.InsoleResp()
    m.ota_resp.state = 1
    m.ota_resp.offset = 4096
    r["ota_downloading"] = m
    m = pb.InsoleResp()
    m.ota_resp.state = 5
    m.ota_resp.result = 2
    r["ota_abort"] = m

    m = pb.InsoleResp(msg_id=9, err_code=3)
    m.battery_data.SetInParent()  # present but empty
    r["error_with_empty_battery"] = m
    return r


def requests(pb):
    r = {}
    r["req_get_all"] = pb.InsoleReq(msg_id=1, timestamp_ms=1_700_000_000_000, get_device_info=True,
                                    get_runtime_info=True, get_battery=True, get_sensor_config=True,
                                    get_device_status=True, get_factory_config=True)
    m = pb.InsoleReq(msg_id=2)
    m.stream_ctrl.cmd = 1
    m.set_sensor_config.pressure_config.subscription = True
    m.set_sensor_config.pressure_config.sample_rate_hz = 50
    r["req_stream_start"] = m
    m = pb.InsoleReq(msg_id=3)
    m.ota_req.cmd = 1
    m.ota_req.file_size = 65536
    m.ota_req.file_crc32 = 0xDEADBEEF
    r["req_ota_start"] = m
    m = pb.InsoleReq(msg_id=4)
    m.ota_data.offset = 4096
    m.ota_data.data = bytes(range(64))
    m.ota_data.seq = 2
    m.ota_data.crc32 = 0x12345678
    m.ota_data.is_last = True
    r["req_ota_data"] = m
    m = pb.InsoleReq(msg_id=5)
    m.set_factory_config.serial_number = "SN-1"
    m.set_factory_config.device_id = 2
    r["req_factory_config"] = m
    return r


def oddities():
    """Wire forms a generated encoder never writes but a decoder must take."""
    return {
        # unknown fields 99 of wire types 0, 1, 2, 5 and a group, then msg_id 5
        "odd_unknown_fields": bytes([0x98, 0x06, 0x01, 0x99, 0x06]) + bytes(8) +
        bytes([0x9A, 0x06, 0x02, 0xAA, 0xBB, 0x9D, 0x06]) + bytes(4) +
        bytes([0x9B, 0x06, 0x08, 0x01, 0x9C, 0x06, 0x08, 0x05]),
        # pressure as three unpacked elements inside sensor_data
        "odd_unpacked_pressure": bytes([0xF2, 0x01, 0x08, 0x5A, 0x06, 0x08, 0x01, 0x08, 0x02, 0x08, 0x03]),
        # two sensor_data fields that merge
        "odd_merged_sensor_data": bytes([0xF2, 0x01, 0x06, 0x18, 0x01, 0x5A, 0x02, 0x08, 0x07,
                                         0xF2, 0x01, 0x06, 0x18, 0x02, 0x5A, 0x02, 0x08, 0x09]),
        # err_code as the ten-byte varint of -1
        "odd_negative_enum": bytes([0x10] + [0xFF] * 9 + [0x01]),
        # msg_id with a foreign wire type
        "odd_wrong_wire_type": bytes([0x0A, 0x01, 0x00]),
    }


def write(directory, name, data):
    directory.mkdir(parents=True, exist_ok=True)
    (directory / name).write_bytes(data)


def main():
    pb, tmp = load_schema()
    try:
        decode_dir = HERE / "corpus" / "fuzz_decode"
        stream_dir = HERE / "corpus" / "fuzz_stream"
        for d in (decode_dir, stream_dir):
            if d.exists():
                shutil.rmtree(d)

        resp = {k: m.SerializeToString() for k, m in responses(pb).items()}
        req = {k: m.SerializeToString() for k, m in requests(pb).items()}
        for name, payload in {**resp, **req, **oddities()}.items():
            write(decode_dir, name, payload)

        # Stream seeds: control byte (chunk-size count, repeats), sizes, body.
        def stream_seed(name, body, sizes=(), control_extra=0):
            write(stream_dir, name, bytes([len(sizes) | control_extra]) + bytes(sizes) + body)

        for name, payload in resp.items():
            stream_seed(name, frame(payload))
        sensor = frame(resp["sensor_left_1"])
        ble = (20, 244, 185, 61)
        stream_seed("ble_pieces_three_frames", sensor + frame(resp["sensor_right_40"]) + frame(resp["battery"]), ble)
        stream_seed("short_header_frame", frame(resp["device_event"], version=1), (3,))
        stream_seed("noise_then_frame", b"\x00TRV\xffTR" + sensor, (5, 9))
        bad = bytearray(sensor)
        bad[40] ^= 0x01
        stream_seed("crc_mismatch_then_frame", bytes(bad) + frame(resp["ota_abort"]), (64,), 0x40)
        stream_seed("false_magic", b"TRVA\x02\x21\x20\x4e" + frame(resp["device_status"]))
        stream_seed("undecodable_payload", frame(oddities()["odd_wrong_wire_type"]))
        # A header announcing a 16000-byte payload, fed until the buffer overflows.
        stream_seed("overflow", b"TRVA\x01\x21\x80\x3e" + bytes(2100), (240,), 0x30)
        # Eight copies of the body in one call, longer than the buffer: taken in pieces.
        stream_seed("one_long_chunk", (sensor + b"\x17") * 24, (255,), 0x30)
        # A frame too large to ever fit, inside one long call.
        stream_seed("stuck_frame_in_long_chunk", b"TRVA\x02\x21\xfe\x3f\x01\x02\x00" + bytes(2100) + sensor, (255,), 0x30)
        stream_seed("empty_payload_frames", frame(b"") + frame(b"", version=0) + b"TR", (1, 2))

        total = sum(1 for _ in decode_dir.iterdir()) + sum(1 for _ in stream_dir.iterdir())
        print(f"wrote {total} seeds; sensor frame is {len(sensor)} bytes")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
