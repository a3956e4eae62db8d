"""The module's surface: constants, text signatures, calling conventions."""

import inspect

import pytest

from conftest import unique_id

CONSTANTS = {
    "__version__": "0.2.0", "DEVICE_LEFT": 2, "DEVICE_RIGHT": 3, "PRESSURE_CHANNELS": 48, "SHEAR_CHANNELS": 3,
    "DEFAULT_SAMPLE_RATE_HZ": 50, "COMPANY_ID_TROVA": 0x5254, "COMPANY_ID_LEGACY": 0x5202,
    "INSOLE_MANUFACTURER_IDS": (0x5254, 0x5202),
    "INSOLE_SERVICE_UUID": "4de5a20c-0001-ae21-bf63-0242ac130002",
    "INSOLE_TX_UUID": "4de5a20c-0002-ae21-bf63-0242ac130002",
    "INSOLE_RX_UUID": "4de5a20c-0003-ae21-bf63-0242ac130002",
}

SIGNATURES = [
    *[f"build_{q}_request(msg_id, dest_id=2)" for q in ("device_info", "battery", "runtime_info", "sensor_config",
                                                        "device_status", "start_sensor_stream", "stop_sensor_stream",
                                                        "get_factory_config")],
    "build_enable_sensor_stream_request(msg_id, sample_rate_hz, dest_id=2)",
    'build_sensor_stream_config_request(msg_id, dest_id=..., sample_rate_hz=..., pressure_mode="raw", '
    'shear_mode="calibrated", imu_mode="calibrated", pressure_enabled=True, shear_enabled=False, '
    "acc_enabled=True, gyro_enabled=True, start_stream=True)",
    "build_set_sensor_config_request(msg_id, sample_rate_hz, dest_id=2)",
    "build_set_factory_config_request(msg_id, serial_number, device_id, model_name, mac_address, factory_key, "
    "dest_id=2)", "calibrate_pressure(resistances, device_id)", "derive_shear(resistances, device_id)",
    "register_ble_write_callback(cb)", "register_device_event_callback(cb)", "register_dfu_progress_callback(cb)",
    "start_dfu(device_id, firmware)", "start_mock_dfu(device_id)", "abort_dfu(device_id)",
    "feed_received_data(device_id, data)", "parse_foot_side(manufacturer_data)",
]

DOCS = {"calibrate_pressure": "Convert resistance values in ohms to calibrated normal load values in newtons.",
        "derive_shear": "Derive (force_x, force_y, normal_force) in newtons from resistance values in ohms."}


def test_constants_and_signatures(sdk):
    assert {name: (type(getattr(sdk, name)), getattr(sdk, name)) for name in CONSTANTS} == {
        name: (type(value), value) for name, value in CONSTANTS.items()}
    for text in SIGNATURES:
        name, params = text.split("(", 1)
        fn = getattr(sdk, name)
        assert fn.__text_signature__ == "(" + params and fn.__doc__ == DOCS.get(name), name
    cls = sdk.StreamParser
    assert (cls.__module__, cls.__name__) == ("trova_insole_sdk", "StreamParser")
    assert str(inspect.signature(cls)) == "(strict_crc=False, legacy_pressure_fallback=True)"
    for name in ("push", "buffered_len", "stats", "reset_stats", "reset"):
        assert getattr(cls, name).__text_signature__ == ("($self, data)" if name == "push" else "($self)")


@pytest.mark.parametrize("call", [  # one call per way of parsing arguments, every argument by keyword
    lambda m: m.build_set_sensor_config_request(sample_rate_hz=100, msg_id=7, dest_id=3),
    lambda m: m.build_set_factory_config_request(
        7, dest_id=3, factory_key="k", mac_address="m", model_name="n", device_id=2, serial_number="s"),
    lambda m: m.derive_shear(resistances=[1000] * 48, device_id=3), lambda m: m.parse_foot_side(manufacturer_data={}),
    lambda m: m.StreamParser(legacy_pressure_fallback=False, strict_crc=True).push(data=b""),
    lambda m: m.feed_received_data(data=b"", device_id=unique_id("kw")), lambda m: m.abort_dfu(device_id=unique_id("kw")),
    lambda m: m.register_device_event_callback(cb=None),
])
def test_keyword_and_positional_calls(sdk, call):
    call(sdk)

