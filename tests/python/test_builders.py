"""Command builders: each frames its request from the converted arguments; refusals carry the documented texts."""

import time

import numpy
import pytest

from conftest import unframe


QUERIES = ["device_info", "battery", "runtime_info", "sensor_config", "device_status", "get_factory_config"]
TEXTS = dict(serial_number="SN-Größe-✓", model_name="🦶 Insole", mac_address="AA:BB:CC:DD:EE:FF",
             factory_key="k\0ey\"\\")


def config(rate, imu=0, pressure=1, shear=0, acc=True, gyro=True, on=(True, False)):
    return dict(imu_config=dict(acc_subscription=acc, gyro_subscription=gyro, sample_rate_hz=rate, mode=imu),
                pressure_config=dict(subscription=on[0], sample_rate_hz=rate, mode=pressure),
                shear_config=dict(subscription=on[1], sample_rate_hz=rate, mode=shear))


@pytest.mark.parametrize("call, dest, expected", [
    *[(lambda m, q=q: getattr(m, f"build_{q}_request")(300, 3), 3,
       {"msg_id": 300, "get_" + q.removeprefix("get_"): True}) for q in QUERIES],
    (lambda m: m.build_battery_request(0xFFFFFFFF, 255), 255, dict(msg_id=0xFFFFFFFF, get_battery=True)),
    (lambda m: m.build_battery_request(numpy.uint32(0), True), 1, dict(get_battery=True)),
    (lambda m: m.build_start_sensor_stream_request(9, 3), 3, dict(msg_id=9, stream_ctrl=dict(cmd=1))),
    (lambda m: m.build_stop_sensor_stream_request(9), 2, dict(msg_id=9, stream_ctrl=dict(cmd=2))),
    (lambda m: m.build_set_sensor_config_request(4, 2**32 - 1), 2, dict(msg_id=4, set_sensor_config=config(2**32 - 1))),
    (lambda m: m.build_enable_sensor_stream_request(4, 0, 3), 3, dict(
        msg_id=4, set_sensor_config=config(0, acc=False, gyro=False, on=(False, False)), stream_ctrl=dict(cmd=2))),
    (lambda m: m.build_sensor_stream_config_request(1), 2,
     dict(msg_id=1, set_sensor_config=config(50), stream_ctrl=dict(cmd=1))),
    (lambda m: m.build_sensor_stream_config_request(
        77, 3, 200, pressure_mode="Both", shear_mode="RAW", imu_mode="raw", pressure_enabled=False,
        shear_enabled=numpy.bool_(True), acc_enabled=False, gyro_enabled=True, start_stream=False), 3,
     dict(msg_id=77, set_sensor_config=config(200, imu=1, pressure=2, shear=1, acc=False, on=(False, True)))),
    (lambda m: m.build_set_factory_config_request(5, TEXTS["serial_number"], -(2**31), TEXTS["model_name"],
                                                  TEXTS["mac_address"], TEXTS["factory_key"], 3), 3,
     dict(msg_id=5, set_factory_config=dict(device_id=-(2**31), **TEXTS))),
])
def test_builders_frame_the_intended_request(sdk, pb, call, dest, expected):
    data = call(sdk)
    assert type(data) is bytes and data[9] == dest
    payload = unframe(data)
    req = pb.InsoleReq.FromString(payload)
    assert int(time.time() * 1000) - 5000 <= req.timestamp_ms <= int(time.time() * 1000)
    # Byte equality also pins field order and the presence of empty sub-messages.
    assert payload == pb.InsoleReq(timestamp_ms=req.timestamp_ms, **expected).SerializeToString(deterministic=True)


@pytest.mark.parametrize("kind", ["imu", "pressure", "shear"])
def test_mode_texts(sdk, pb, kind):
    for text, mode in [("calibrated", 0), ("CALIBRATED", 0), ("rAw", 1), ("BOTH", 2)]:
        req = pb.InsoleReq.FromString(unframe(sdk.build_sensor_stream_config_request(1, **{kind + "_mode": text})))
        assert getattr(req.set_sensor_config, kind + "_config").mode == mode
    for text, shown in [(" raw", '" raw"'), ('calibrated\t"\\\0\r\n', r'"calibrated\t\"\\\0\r\n"'),
                        ("x\x01\x7f\u00a0\u200bb\ue000\uffff", r'"x\u{1}\u{7f}\u{a0}\u{200b}b\u{e000}\u{ffff}"'),
                        ("Größe ｒａｗ", '"Größe ｒａｗ"')]:  # only A to Z are folded
        with pytest.raises(ValueError) as err:
            sdk.build_sensor_stream_config_request(1, **{kind + "_mode": text})
        assert str(err.value) == f"invalid {kind} mode {shown}; expected 'calibrated', 'raw', or 'both'"
    # The modes are read imu, pressure, shear: the first bad one is named.
    later = {"imu": dict(pressure_mode="y", shear_mode="z"), "pressure": dict(shear_mode="z"), "shear": {}}[kind]
    with pytest.raises(ValueError, match=f'^invalid {kind} mode "x";'):
        sdk.build_sensor_stream_config_request(1, **{kind + "_mode": "x"}, **later)


RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize("call, error, prefix", [
    *[(call, TypeError, f"argument '{name}': ") for call, name in [
        (lambda m: m.build_battery_request(1.0), "msg_id"), (lambda m: m.build_battery_request(1, "2"), "dest_id"),
        (lambda m: m.build_set_sensor_config_request(1, 50.0), "sample_rate_hz"),
        (lambda m: m.build_sensor_stream_config_request(1, imu_mode=b"raw"), "imu_mode"),
        (lambda m: m.build_sensor_stream_config_request(1, start_stream=1), "start_stream"),
        (lambda m: m.build_set_factory_config_request(1, "s", "2", "m", "a", "k"), "device_id")]],
    *[(call, OverflowError, RANGE) for call in [
        lambda m: m.build_battery_request(-1), lambda m: m.build_battery_request(2**32),
        lambda m: m.build_battery_request(1, 256),
        lambda m: m.build_set_factory_config_request(1, "s", 2**31, "m", "a", "k")]],
    (lambda m: m.build_battery_request(2**64), OverflowError, ""),
])
def test_argument_errors(sdk, call, error, prefix):
    with pytest.raises(error) as err:
        call(sdk)
    assert str(err.value).startswith(prefix)


def test_payload_size_limit(sdk):  # where the limit lies is the frame code's concern
    with pytest.raises(ValueError, match=r"^payload too large: 17\d{3} > 16384$"):
        sdk.build_set_factory_config_request(1, "x" * 17000, 0, "", "", "")
