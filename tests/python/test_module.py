"""The module's surface: attributes in their order, text signatures, calling
conventions, and the C face reached through the same library file."""

import ctypes
import inspect
import threading

import pytest

from conftest import frame, unique_id

CONSTANTS = {
    "__version__": "0.2.0",
    "DEVICE_LEFT": 2,
    "DEVICE_RIGHT": 3,
    "PRESSURE_CHANNELS": 48,
    "SHEAR_CHANNELS": 3,
    "DEFAULT_SAMPLE_RATE_HZ": 50,
    "COMPANY_ID_TROVA": 0x5254,
    "COMPANY_ID_LEGACY": 0x5202,
    "INSOLE_MANUFACTURER_IDS": (0x5254, 0x5202),
    "INSOLE_SERVICE_UUID": "4de5a20c-0001-ae21-bf63-0242ac130002",
    "INSOLE_TX_UUID": "4de5a20c-0002-ae21-bf63-0242ac130002",
    "INSOLE_RX_UUID": "4de5a20c-0003-ae21-bf63-0242ac130002",
}

SIGNATURES = [
    "build_device_info_request(msg_id, dest_id=2)",
    "build_battery_request(msg_id, dest_id=2)",
    "build_runtime_info_request(msg_id, dest_id=2)",
    "build_sensor_config_request(msg_id, dest_id=2)",
    "build_device_status_request(msg_id, dest_id=2)",
    "build_enable_sensor_stream_request(msg_id, sample_rate_hz, dest_id=2)",
    'build_sensor_stream_config_request(msg_id, dest_id=..., sample_rate_hz=..., pressure_mode="raw", '
    'shear_mode="calibrated", imu_mode="calibrated", pressure_enabled=True, shear_enabled=False, '
    "acc_enabled=True, gyro_enabled=True, start_stream=True)",
    "build_set_sensor_config_request(msg_id, sample_rate_hz, dest_id=2)",
    "build_start_sensor_stream_request(msg_id, dest_id=2)",
    "build_stop_sensor_stream_request(msg_id, dest_id=2)",
    "build_get_factory_config_request(msg_id, dest_id=2)",
    "build_set_factory_config_request(msg_id, serial_number, device_id, model_name, mac_address, factory_key, "
    "dest_id=2)",
    "calibrate_pressure(resistances, device_id)",
    "derive_shear(resistances, device_id)",
    "register_ble_write_callback(cb)",
    "register_device_event_callback(cb)",
    "register_dfu_progress_callback(cb)",
    "start_dfu(device_id, firmware)",
    "start_mock_dfu(device_id)",
    "abort_dfu(device_id)",
    "feed_received_data(device_id, data)",
    "parse_foot_side(manufacturer_data)",
]

DOCS = {
    "calibrate_pressure": "Convert resistance values in ohms to calibrated normal load values in newtons.",
    "derive_shear": "Derive (force_x, force_y, normal_force) in newtons from resistance values in ohms.",
}

PARSER_SIGNATURES = {
    "push": "($self, data)",
    "buffered_len": "($self)",
    "stats": "($self)",
    "reset_stats": "($self)",
    "reset": "($self)",
}


def test_attributes_in_order(sdk):
    names = [k for k in vars(sdk) if not (k.startswith("__") and k.endswith("__")) or k == "__version__"]
    functions = [s.split("(")[0] for s in SIGNATURES]
    assert names == list(CONSTANTS) + ["StreamParser"] + functions
    # Only the standard module dunders come before __version__.
    keys = list(vars(sdk))
    assert all(k.startswith("__") for k in keys[: keys.index("__version__")])


def test_constant_values(sdk):
    for name, value in CONSTANTS.items():
        got = getattr(sdk, name)
        assert type(got) is type(value) and got == value, name
    assert sdk.INSOLE_MANUFACTURER_IDS == (sdk.COMPANY_ID_TROVA, sdk.COMPANY_ID_LEGACY)


@pytest.mark.parametrize("text", SIGNATURES, ids=lambda s: s.split("(")[0])
def test_function_text_signature(sdk, text):
    name, params = text.split("(", 1)
    fn = getattr(sdk, name)
    assert fn.__text_signature__ == "(" + params
    assert fn.__doc__ == DOCS.get(name)  # CPython turns an empty doc text into None
    # inspect reads the same text; "..." becomes Ellipsis.
    expected = inspect.signature(eval("lambda " + params[:-1] + ": None"))
    assert inspect.signature(fn) == expected


def test_stream_parser_signatures(sdk):
    cls = sdk.StreamParser
    assert cls.__text_signature__ == "(strict_crc=False, legacy_pressure_fallback=True)"
    assert str(inspect.signature(cls)) == "(strict_crc=False, legacy_pressure_fallback=True)"
    for name, text in PARSER_SIGNATURES.items():
        method = getattr(cls, name)
        assert method.__text_signature__ == text
        params = list(inspect.signature(method).parameters)
        assert params == ["self"] + (["data"] if name == "push" else [])
    assert cls.__module__ == "trova_insole_sdk" and cls.__name__ == "StreamParser"


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.build_battery_request(7, 3),
        lambda m: m.build_battery_request(msg_id=7, dest_id=3),
        lambda m: m.build_battery_request(7, dest_id=3),
        lambda m: m.build_set_sensor_config_request(sample_rate_hz=100, msg_id=7, dest_id=3),
        lambda m: m.build_set_factory_config_request(
            7, dest_id=3, factory_key="k", mac_address="m", model_name="n", device_id=2, serial_number="s"),
        lambda m: m.calibrate_pressure(device_id=2, resistances=[1000]),
        lambda m: m.derive_shear(resistances=[1000] * 48, device_id=3),
        lambda m: m.parse_foot_side(manufacturer_data={}),
        lambda m: m.StreamParser(legacy_pressure_fallback=False, strict_crc=True).push(data=b""),
        lambda m: m.feed_received_data(data=b"", device_id=unique_id("kw")),
        lambda m: m.abort_dfu(device_id=unique_id("kw")),
    ],
)
def test_keyword_and_positional_calls(sdk, call):
    call(sdk)


def test_c_face_shares_the_ble_write_slot(sdk, clib, clean_callbacks):
    """A Python registration and the C setter write the same slot."""
    progress = []
    done = threading.Event()
    writes = []

    def on_progress(device, p):
        progress.append(p)
        if p["state"] >= 6:
            done.set()

    sdk.register_ble_write_callback(lambda device, data: writes.append(data))
    sdk.register_dfu_progress_callback(on_progress)
    clib.tvis_set_ble_write_callback(None)
    sdk.start_dfu(unique_id("cslot"), b"\x01" * 10)
    assert done.wait(10)
    assert writes == []
    assert progress[-1]["state"] == 7 and progress[-1]["message"] == "No BLE write callback registered"


def test_c_feed_reaches_python_device_event_callback(sdk, clib, pb, clean_callbacks):
    events = []
    sdk.register_device_event_callback(lambda device, ev: events.append((device, ev)))
    msg = pb.InsoleResp(device_event=pb.DeviceEvent(timestamp_ms=1234, type=pb.EVENT_WEAR_ON))
    data = frame(msg)
    device = unique_id("cfeed")
    clib.tvis_did_receive_data(device.encode(), data, len(data))
    assert events == [(device, {"timestamp_ms": 1234, "event_type": 6})]

    # And the reverse: a C registration replaces the Python adapter.
    seen = []
    c_callback = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)(lambda d, rec: seen.append(d))
    clib.tvis_set_device_event_callback(ctypes.cast(c_callback, ctypes.c_void_p))
    try:
        sdk.feed_received_data(device, data)
        assert seen == [device.encode()] and len(events) == 1
    finally:
        clib.tvis_set_device_event_callback(None)
