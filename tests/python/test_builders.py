"""Command builders: every frame decodes (with google.protobuf) to the intended
request, byte for byte, and arguments are converted and refused as documented."""

import re
import time

import numpy
import pytest

from conftest import unframe

QUERIES = {
    "build_device_info_request": "get_device_info",
    "build_battery_request": "get_battery",
    "build_runtime_info_request": "get_runtime_info",
    "build_sensor_config_request": "get_sensor_config",
    "build_device_status_request": "get_device_status",
    "build_get_factory_config_request": "get_factory_config",
}


def standard_config(pb, rate):
    on = rate != 0
    return pb.SensorConfig(
        imu_config=pb.ImuConfig(acc_subscription=on, gyro_subscription=on, sample_rate_hz=rate, mode=0),
        pressure_config=pb.PressureConfig(subscription=on, sample_rate_hz=rate, mode=1),
        shear_config=pb.ShearConfig(subscription=False, sample_rate_hz=rate, mode=0),
    )


def check_frame(pb, data, expected, dest=2):
    """The frame carries exactly `expected` (plus a current timestamp) for `dest`."""
    assert isinstance(data, bytes)
    assert data[9] == dest
    payload = unframe(data)
    req = pb.InsoleReq.FromString(payload)
    now = int(time.time() * 1000)
    assert now - 5000 <= req.timestamp_ms <= now
    expected.timestamp_ms = req.timestamp_ms
    # Byte equality also pins field order and the presence of empty sub-messages.
    assert payload == expected.SerializeToString(deterministic=True)
    return req


@pytest.mark.parametrize("name, flag", QUERIES.items())
@pytest.mark.parametrize("msg_id, dest", [(1, None), (0, 3), (0xFFFFFFFF, 0), (300, 255)])
def test_query_builders(sdk, pb, name, flag, msg_id, dest):
    args = (msg_id,) if dest is None else (msg_id, dest)
    data = getattr(sdk, name)(*args)
    check_frame(pb, data, pb.InsoleReq(msg_id=msg_id, **{flag: True}), 2 if dest is None else dest)


def test_short_query_frame_size(sdk):
    assert len(sdk.build_battery_request(1)) == 24


@pytest.mark.parametrize("name, cmd", [("build_start_sensor_stream_request", 1), ("build_stop_sensor_stream_request", 2)])
def test_stream_control(sdk, pb, name, cmd):
    check_frame(pb, getattr(sdk, name)(9, 3), pb.InsoleReq(msg_id=9, stream_ctrl=pb.StreamCtrl(cmd=cmd)), 3)


@pytest.mark.parametrize("rate", [0, 50, 0xFFFFFFFF])
def test_sensor_config_builders(sdk, pb, rate):
    check_frame(pb, sdk.build_set_sensor_config_request(4, rate),
                pb.InsoleReq(msg_id=4, set_sensor_config=standard_config(pb, rate)))
    cmd = pb.STREAM_CMD_START if rate else pb.STREAM_CMD_STOP
    req = check_frame(pb, sdk.build_enable_sensor_stream_request(4, rate, 3),
                      pb.InsoleReq(msg_id=4, set_sensor_config=standard_config(pb, rate),
                                   stream_ctrl=pb.StreamCtrl(cmd=cmd)), 3)
    assert req.set_sensor_config.HasField("imu_config")


def test_stream_config_defaults(sdk, pb):
    expected = pb.InsoleReq(msg_id=1, set_sensor_config=standard_config(pb, 50),
                            stream_ctrl=pb.StreamCtrl(cmd=pb.STREAM_CMD_START))
    check_frame(pb, sdk.build_sensor_stream_config_request(1), expected)


def test_stream_config_every_argument(sdk, pb):
    data = sdk.build_sensor_stream_config_request(
        77, 3, 200, pressure_mode="Both", shear_mode="RAW", imu_mode="raw", pressure_enabled=False,
        shear_enabled=numpy.bool_(True), acc_enabled=False, gyro_enabled=True, start_stream=False)
    expected = pb.InsoleReq(msg_id=77, set_sensor_config=pb.SensorConfig(
        imu_config=pb.ImuConfig(acc_subscription=False, gyro_subscription=True, sample_rate_hz=200, mode=1),
        pressure_config=pb.PressureConfig(subscription=False, sample_rate_hz=200, mode=2),
        shear_config=pb.ShearConfig(subscription=True, sample_rate_hz=200, mode=1)))
    req = check_frame(pb, data, expected, 3)
    assert not req.HasField("stream_ctrl")


@pytest.mark.parametrize("text, mode", [("calibrated", 0), ("CALIBRATED", 0), ("RAW", 1), ("rAw", 1),
                                        ("Both", 2), ("BOTH", 2)])
def test_mode_texts_accepted(sdk, pb, text, mode):
    for kind in ("imu", "pressure", "shear"):
        req = pb.InsoleReq.FromString(unframe(sdk.build_sensor_stream_config_request(1, **{kind + "_mode": text})))
        assert getattr(req.set_sensor_config, kind + "_config").mode == mode


@pytest.mark.parametrize("text, shown", [
    (" raw", '" raw"'),
    ("raw ", '"raw "'),
    ("", '""'),
    ("Fast", '"Fast"'),
    ("calibrated\t", r'"calibrated\t"'),
    ('r"aw', r'"r\"aw"'),
    ("r\\aw", r'"r\\aw"'),
    ("r\0aw", r'"r\0aw"'),
    ("a\r\nb", r'"a\r\nb"'),
    ("x\x01\x7f", r'"x\u{1}\u{7f}"'),
    ("Größe", '"Größe"'),
    ("ｒａｗ", '"ｒａｗ"'),  # only A to Z are folded
])
def test_mode_texts_refused(sdk, text, shown):
    for kind in ("imu", "pressure", "shear"):
        with pytest.raises(ValueError) as err:
            sdk.build_sensor_stream_config_request(1, **{kind + "_mode": text})
        assert str(err.value) == f"invalid {kind} mode {shown}; expected 'calibrated', 'raw', or 'both'"


@pytest.mark.parametrize("modes, named", [
    (dict(imu_mode="x", pressure_mode="y", shear_mode="z"), 'imu mode "x"'),
    (dict(pressure_mode="y", shear_mode="z"), 'pressure mode "y"'),
    (dict(imu_mode="both", shear_mode="z"), 'shear mode "z"'),
])
def test_mode_check_order(sdk, modes, named):
    with pytest.raises(ValueError, match=re.escape(f"invalid {named};")):
        sdk.build_sensor_stream_config_request(1, **modes)


@pytest.mark.parametrize("call, error, prefix", [
    (lambda m: m.build_battery_request("1"), TypeError, "argument 'msg_id': "),
    (lambda m: m.build_battery_request(1.0), TypeError, "argument 'msg_id': "),
    (lambda m: m.build_battery_request(None), TypeError, "argument 'msg_id': "),
    (lambda m: m.build_battery_request(1, "2"), TypeError, "argument 'dest_id': "),
    (lambda m: m.build_set_sensor_config_request(1, 50.0), TypeError, "argument 'sample_rate_hz': "),
    (lambda m: m.build_sensor_stream_config_request(1, imu_mode=b"raw"), TypeError, "argument 'imu_mode': "),
    (lambda m: m.build_sensor_stream_config_request(1, start_stream=1), TypeError, "argument 'start_stream': "),
    (lambda m: m.build_sensor_stream_config_request(1, acc_enabled=None), TypeError, "argument 'acc_enabled': "),
    (lambda m: m.build_sensor_stream_config_request(1, shear_enabled=numpy.int8(1)), TypeError,
     "argument 'shear_enabled': "),
    (lambda m: m.build_set_factory_config_request(1, 5, 2, "m", "a", "k"), TypeError, "argument 'serial_number': "),
    (lambda m: m.build_set_factory_config_request(1, "s", "2", "m", "a", "k"), TypeError, "argument 'device_id': "),
    (lambda m: m.build_battery_request(-1), OverflowError, "out of range integral type conversion attempted"),
    (lambda m: m.build_battery_request(2**32), OverflowError, "out of range integral type conversion attempted"),
    (lambda m: m.build_battery_request(2**64), OverflowError, ""),
    (lambda m: m.build_battery_request(1, 256), OverflowError, "out of range integral type conversion attempted"),
    (lambda m: m.build_battery_request(1, -1), OverflowError, "out of range integral type conversion attempted"),
    (lambda m: m.build_enable_sensor_stream_request(1, 2**32), OverflowError, ""),
    (lambda m: m.build_sensor_stream_config_request(1, dest_id=256), OverflowError, ""),
    (lambda m: m.build_set_factory_config_request(1, "s", 2**31, "m", "a", "k"), OverflowError, ""),
])
def test_argument_errors(sdk, call, error, prefix):
    with pytest.raises(error) as err:
        call(sdk)
    assert str(err.value).startswith(prefix)


def test_integer_like_arguments(sdk, pb):
    """Anything with __index__ converts, bool included; floats do not (above)."""
    req = pb.InsoleReq.FromString(unframe(sdk.build_battery_request(numpy.uint32(7), True)))
    assert req.msg_id == 7
    assert sdk.build_battery_request(numpy.uint32(7), True)[9] == 1


@pytest.mark.parametrize("device_id", [2, 3, 0, -1, 2**31 - 1, -(2**31)])
def test_factory_config(sdk, pb, device_id):
    texts = dict(serial_number="SN-Größe-✓", model_name="🦶 Insole", mac_address="AA:BB:CC:DD:EE:FF",
                 factory_key="k\0ey\"\\")
    data = sdk.build_set_factory_config_request(5, texts["serial_number"], device_id, texts["model_name"],
                                                texts["mac_address"], texts["factory_key"], 3)
    expected = pb.InsoleReq(msg_id=5, set_factory_config=pb.FactoryConfig(device_id=device_id, **texts))
    check_frame(pb, data, expected, 3)


def test_factory_config_empty_texts_keep_the_sub_message(sdk, pb):
    req = check_frame(pb, sdk.build_set_factory_config_request(1, "", 0, "", "", ""),
                      pb.InsoleReq(msg_id=1, set_factory_config=pb.FactoryConfig()))
    assert req.HasField("set_factory_config")


def test_payload_size_limit(sdk, pb):
    def payload_size(n):
        msg = pb.InsoleReq(msg_id=1, timestamp_ms=int(time.time() * 1000),
                           set_factory_config=pb.FactoryConfig(serial_number="x" * n))
        return msg.ByteSize()

    n = 16384 - (payload_size(16000) - 16000)
    assert payload_size(n) == 16384
    assert len(sdk.build_set_factory_config_request(1, "x" * n, 0, "", "", "")) == 16384 + 13
    with pytest.raises(ValueError) as err:
        sdk.build_set_factory_config_request(1, "x" * (n + 1), 0, "", "", "")
    assert str(err.value) == "payload too large: 16385 > 16384"
    with pytest.raises(ValueError, match=r"^payload too large: \d+ > 16384$"):
        sdk.build_set_factory_config_request(1, "é" * 40000, 2, "", "", "")
