"""StreamParser: reassembly, statistics, options, the JSON text of messages,
and that nothing is lost when push raises.

Every text goes through `push` below, which also checks that it is already
in Python's canonical JSON form."""

import json

import numpy
import pytest

from conftest import frame

COUNTERS = ["frames_received", "crc_errors", "protobuf_errors", "dropped_bytes", "buffer_overflows",
            "packets_lost", "sequence_discontinuities"]
STATS_KEYS = COUNTERS + ["last_seq", "buffered_bytes"]
FRESH = dict.fromkeys(COUNTERS, 0) | {"last_seq": None, "buffered_bytes": 0}


def canonical(text):
    return json.dumps(json.loads(text), sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def push(parser, data):
    texts = parser.push(data)
    assert type(texts) is list
    for text in texts:
        assert type(text) is str and text == canonical(text)
    return texts


def stats(parser, **expected):
    """Stats, checked for shape; the named entries must hold the given values."""
    s = parser.stats()
    assert list(s) == STATS_KEYS
    assert s["buffered_bytes"] == parser.buffered_len()
    for key, value in expected.items():
        assert s[key] == value, key
    return s


def sensor(pb, seq=None, **fields):
    sd = pb.SensorData(**fields)
    if seq is not None:
        sd.seq_num = seq
    return pb.InsoleResp(sensor_data=sd)


@pytest.fixture
def parser(sdk):
    return sdk.StreamParser()


def test_fresh_stats_and_empty_push(sdk, pb, parser):
    assert parser.stats() == FRESH and list(parser.stats()) == STATS_KEYS
    assert push(parser, b"") == []
    assert parser.stats() == FRESH
    push(parser, frame(sensor(pb, 3))[:20])
    before = parser.stats()
    assert push(parser, b"") == [] and parser.stats() == before


def test_empty_message_and_member_order(pb, parser):
    assert push(parser, frame(b"")) == ["{}"]
    msg = pb.InsoleResp(msg_id=7, device_info=pb.DeviceInfo(product_id=1))
    assert push(parser, frame(msg)) == ['{"deviceInfo":{"productId":1},"msgId":7}']


@pytest.mark.parametrize("cut", [1, 3, 4, 7, 11, 12, 40, -2, -1])
def test_frame_split_over_two_pushes(pb, parser, cut):
    data = frame(sensor(pb, 5, pressure_data=pb.PressureData(pressure=list(range(20)))))
    assert push(parser, data[:cut]) == []
    assert parser.buffered_len() == len(data[:cut])
    texts = push(parser, data[cut:])
    assert len(texts) == 1 and json.loads(texts[0])["sensorData"]["seqNum"] == 5
    stats(parser, buffered_bytes=0, frames_received=1, dropped_bytes=0)


def test_noise_and_overflow_only_count(pb, parser):
    push(parser, b"0123456789")
    stats(parser, dropped_bytes=7, buffered_bytes=3)
    assert push(parser, b"xyz" + frame(b"\x08\x05")) == ['{"msgId":5}']
    stats(parser, dropped_bytes=13, frames_received=1, buffered_bytes=0)

    head = frame(b"\x00" * 16000)[:16000]  # a frame still missing its tail
    push(parser, head)
    stats(parser, buffered_bytes=16000)
    assert push(parser, b"\x00" * 400) == []
    stats(parser, buffer_overflows=1, buffered_bytes=0, frames_received=1)
    assert push(parser, frame(b"\x08\x06")) == ['{"msgId":6}']


@pytest.mark.parametrize("strict", [False, True])
def test_bad_crc(sdk, strict):
    parser = sdk.StreamParser(strict_crc=strict)
    texts = push(parser, frame(b"\x08\x01", bad_crc=True) + frame(b"\x08\x02"))
    if strict:
        assert texts == ['{"msgId":2}']
        stats(parser, crc_errors=1, frames_received=1)
    else:
        assert texts == ['{"msgId":1}', '{"msgId":2}']
        stats(parser, crc_errors=1, frames_received=2)


@pytest.mark.parametrize("seqs, discontinuities, lost", [
    ([7], 0, 0),
    ([10, 11, 15], 1, 3),
    ([15, 14], 1, 0),
    ([10, 2000], 1, 0),
    ([10, 1010], 1, 999),
    ([10, 1011], 1, 0),
    ([5, 5], 1, 0),
    ([0xFFFFFFFF, 0, 1], 0, 0),
    ([0xFFFFFFFE, 3], 1, 4),
])
def test_sequence_statistics(pb, parser, seqs, discontinuities, lost):
    data = b"".join(frame(sensor(pb, s)) for s in seqs)
    assert len(push(parser, data)) == len(seqs)
    stats(parser, sequence_discontinuities=discontinuities, packets_lost=lost, last_seq=seqs[-1])


def test_last_seq_needs_sensor_data(pb, parser):
    push(parser, frame(pb.InsoleResp(msg_id=3)))
    stats(parser, last_seq=None)
    push(parser, frame(sensor(pb)))  # seq_num absent reads as 0
    stats(parser, last_seq=0)
    push(parser, frame(sensor(pb, 2)))
    stats(parser, last_seq=2, sequence_discontinuities=1, packets_lost=1)


@pytest.mark.usefixtures("logging_on")
def test_sequence_warning_line(pb, parser, capfd):
    capfd.readouterr()
    push(parser, b"".join(frame(sensor(pb, s)) for s in [10, 11, 15, 14]))
    out = capfd.readouterr().out
    prefix = "[Rust][WARN][python] [trova_insole_sdk] Python Insole SeqNum not continuous: "
    assert prefix + "11 -> 15 (diff 4)\n" in out
    assert prefix + "15 -> 14 (diff 4294967295)\n" in out
    assert out.count(prefix) == 2


@pytest.mark.parametrize("fallback, pressure, raw, expected", [
    (True, [], [5, 6], '{"pressure":[5,6],"rawPressure":[5,6]}'),
    (False, [], [5, 6], '{"rawPressure":[5,6]}'),
    (True, [1], [5, 6], '{"pressure":[1],"rawPressure":[5,6]}'),
    (True, [], [], "{}"),
    (True, [-2147483648, 2147483647], [], '{"pressure":[-2147483648,2147483647]}'),
])
def test_legacy_pressure_fallback(sdk, pb, fallback, pressure, raw, expected):
    parser = sdk.StreamParser(legacy_pressure_fallback=fallback)
    msg = sensor(pb, pressure_data=pb.PressureData(pressure=pressure, raw_pressure=raw))
    assert push(parser, frame(msg)) == ['{"sensorData":{"pressureData":' + expected + "}}"]


ZERO_DERIVED = '"accYMg":0.0,"accZMg":0.0,"gyroXDps":0.0,"gyroYDps":0.0,"gyroZDps":0.0'


@pytest.mark.parametrize("imu, expected", [
    (dict(acc_x=1000), '{"accX":1000,"accXMg":488.28125,' + ZERO_DERIVED + "}"),
    (dict(), '{"accXMg":0.0,' + ZERO_DERIVED + "}"),
    (dict(acc_x=3, acc_scale=0.5), '{"accScale":0.5,"accX":3,"accXMg":1.5,' + ZERO_DERIVED + "}"),
    (dict(gyro_z=-16), '{"accXMg":0.0,"accYMg":0.0,"accZMg":0.0,"gyroXDps":0.0,"gyroYDps":0.0,"gyroZ":-16,'
                       '"gyroZDps":-0.9765625}'),
    (dict(acc_x=1, acc_scale=0.1), '{"accScale":0.10000000149011612,"accX":1,"accXMg":0.10000000149011612,'
                                   + ZERO_DERIVED + "}"),
    # single-precision product: 16777217 is not a float32 value
    (dict(acc_x=16777217, acc_scale=1.0), '{"accScale":1.0,"accX":16777217,"accXMg":16777216.0,'
                                          + ZERO_DERIVED + "}"),
    # a product that overflows is left out; a non-finite scale is null
    (dict(acc_x=10**6, acc_scale=1e38), '{"accScale":9.999999680285692e+37,"accX":1000000,' + ZERO_DERIVED + "}"),
    (dict(acc_x=2, acc_scale=float("nan")), '{"accScale":null,"accX":2,' + ZERO_DERIVED.replace(
        '"accYMg":0.0,"accZMg":0.0,', "") + "}"),
    (dict(acc_scale=1e-45, gyro_scale=3e38), '{"accScale":1.401298464324817e-45,"accXMg":0.0,"accYMg":0.0,"accZMg":0.0,'
                                             '"gyroScale":3.0000000054977558e+38,"gyroXDps":0.0,'
                                             '"gyroYDps":0.0,"gyroZDps":0.0}'),
])
def test_derived_imu_values(pb, parser, imu, expected):
    assert push(parser, frame(sensor(pb, imu_data=pb.ImuData(**imu)))) == ['{"sensorData":{"imuData":' + expected + "}}"]


def test_imu_member_order(pb, parser):
    fields = ["acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z",
              "raw_acc_x", "raw_acc_y", "raw_acc_z", "raw_gyro_x", "raw_gyro_y", "raw_gyro_z"]
    imu = pb.ImuData(acc_scale=2.0, gyro_scale=4.0, **{f: i + 1 for i, f in enumerate(fields)})
    (text,) = push(parser, frame(sensor(pb, imu_data=imu)))
    keys = list(json.loads(text)["sensorData"]["imuData"])
    assert keys == ["accScale", "accX", "accXMg", "accY", "accYMg", "accZ", "accZMg", "gyroScale", "gyroX",
                    "gyroXDps", "gyroY", "gyroYDps", "gyroZ", "gyroZDps", "rawAccX", "rawAccY", "rawAccZ",
                    "rawGyroX", "rawGyroY", "rawGyroZ"]


def test_string_escapes(pb, parser):
    texts = "q\"b\\s/ \b\f\n\r\t \x01\x1f\x7f é ✓ 🦶"
    (text,) = push(parser, frame(pb.InsoleResp(device_info=pb.DeviceInfo(serial_number=texts, mac="m"))))
    assert text == ('{"deviceInfo":{"mac":"m","serialNumber":"q\\"b\\\\s/ \\b\\f\\n\\r\\t \\u0001\\u001f\x7f é ✓ 🦶"}}')
    assert json.loads(text)["deviceInfo"]["serialNumber"] == texts


@pytest.mark.parametrize("msg, text", [
    (lambda pb: pb.InsoleResp(device_event=pb.DeviceEvent(type=12)), "Invalid variant 12"),
    (lambda pb: pb.InsoleResp(err_code=-1), "Invalid variant -1"),
    (lambda pb: sensor(pb, device_id=1), "Invalid variant 1"),
    (lambda pb: pb.InsoleResp(factory_config=pb.FactoryConfig(device_id=4)), "Invalid variant 4"),
    (lambda pb: pb.InsoleResp(ota_resp=pb.OtaResp(result=8)), "Invalid variant 8"),
    (lambda pb: pb.InsoleResp(battery_data=pb.BatteryData(status=4)), "Invalid variant 4"),
    (lambda pb: pb.InsoleResp(sensor_config=pb.SensorConfig(shear_config=pb.ShearConfig(mode=3))),
     "Invalid variant 3"),
    (b"\x0a\x00", "failed to decode Protobuf message: InsoleResp.msg_id: invalid wire type: LengthDelimited "
                  "(expected Varint)"),
    (b"\xfa\x01\x02\x12\x00", "failed to decode Protobuf message: DeviceEvent.r#type: InsoleResp.device_event: "
                              "invalid wire type: LengthDelimited (expected Varint)"),
    (b"\xf2\x01\x05", "failed to decode Protobuf message: InsoleResp.sensor_data: buffer underflow"),
])
def test_refused_messages(pb, parser, msg, text):
    payload = msg if isinstance(msg, bytes) else msg(pb).SerializeToString()
    decode_error = isinstance(msg, bytes)
    with pytest.raises(ValueError) as err:
        push(parser, frame(payload))
    assert str(err.value) == text
    stats(parser, frames_received=1, protobuf_errors=1 if decode_error else 0, buffered_bytes=0)
    assert push(parser, frame(b"\x08\x02")) == ['{"msgId":2}']


@pytest.mark.parametrize("kwargs", [dict(strict_crc=1), dict(legacy_pressure_fallback=0), dict(strict_crc=None),
                                    dict(strict_crc="yes"), dict(strict_crc=numpy.int64(1))])
def test_options_must_be_bool(sdk, kwargs):
    with pytest.raises(TypeError, match=f"^argument '{next(iter(kwargs))}': "):
        sdk.StreamParser(**kwargs)


@pytest.mark.parametrize("strict, fallback", [(True, False), (numpy.bool_(True), numpy.bool_(False))])
def test_options_accept_bool_and_numpy_bool(sdk, pb, strict, fallback):
    parser = sdk.StreamParser(strict, fallback)
    data = frame(sensor(pb, pressure_data=pb.PressureData(raw_pressure=[1])))
    assert push(parser, frame(b"", bad_crc=True) + data) == ['{"sensorData":{"pressureData":{"rawPressure":[1]}}}']


class Bytes(bytes):
    pass


@pytest.mark.parametrize("data", [bytearray(b"TRVA"), "TRVA", memoryview(b"TRVA"), [84, 82], None, 5])
def test_push_takes_only_bytes(pb, parser, data):
    push(parser, b"TR")
    with pytest.raises(TypeError, match="^argument 'data': "):
        parser.push(data)
    assert parser.buffered_len() == 2
    assert push(parser, Bytes(frame(b"")[2:] + frame(b"\x08\x01"))) == ["{}", '{"msgId":1}']


def test_reset_and_reset_stats(pb, parser):
    push(parser, b"".join(frame(sensor(pb, s)) for s in (1, 5)) + b"\x00" + frame(b"")[:6])
    stats(parser, frames_received=2, last_seq=5, dropped_bytes=1, buffered_bytes=6)
    parser.reset_stats()
    assert parser.stats() == FRESH | {"buffered_bytes": 6}
    parser.reset()
    assert parser.stats() == FRESH
    assert push(parser, frame(b"")[6:]) == []  # the partial frame went with the reset
    stats(parser, dropped_bytes=4, buffered_bytes=3)


# --- nothing is lost when push raises -------------------------------------------

BAD = frame(b"\x0a\x00")
INVALID = frame(b"\xfa\x01\x02\x10\x0c")  # device event type 12


def msg(n):
    return frame(b"\x08" + bytes([n]))


def text(n):
    return '{"msgId":%d}' % n


@pytest.mark.parametrize("bad", [BAD, INVALID], ids=["decode", "variant"])
def test_push_raising_keeps_the_rest(parser, bad):
    push(parser, msg(1))
    assert push(parser, msg(2)) == [text(2)]
    with pytest.raises(ValueError):
        push(parser, msg(3) + msg(4) + bad + msg(5) + msg(6)[:5])
    s = stats(parser, frames_received=5, buffered_bytes=5)
    # Handled again by the next push, which also completes the partial frame.
    assert push(parser, msg(6)[5:] + msg(7)) == [text(n) for n in (3, 4, 5, 6, 7)]
    stats(parser, frames_received=s["frames_received"] + 3, buffered_bytes=0)


def test_held_texts_come_back_with_an_empty_push(parser):
    with pytest.raises(ValueError, match="Invalid variant 12"):
        push(parser, msg(1) + INVALID + msg(2))
    assert push(parser, b"") == [text(1), text(2)]
    assert push(parser, b"") == []
    stats(parser, frames_received=3, protobuf_errors=0)


def test_consecutive_failures_in_one_push(parser):
    with pytest.raises(ValueError, match="^failed to decode"):
        push(parser, msg(1) + BAD + msg(2) + INVALID + msg(3))
    stats(parser, frames_received=2, protobuf_errors=1)
    with pytest.raises(ValueError, match="^Invalid variant 12$"):
        push(parser, b"")
    stats(parser, frames_received=4, protobuf_errors=1)
    assert push(parser, msg(4)) == [text(n) for n in (1, 2, 3, 4)]
    stats(parser, frames_received=6, protobuf_errors=1)


def test_held_sequence_numbers_count_once(pb, parser):
    frames = [frame(sensor(pb, s)) for s in (1, 2, 4, 5)]
    with pytest.raises(ValueError):
        push(parser, frames[0] + BAD + frames[1] + frames[2])
    stats(parser, last_seq=1, packets_lost=0)
    assert len(push(parser, frames[3])) == 4
    stats(parser, last_seq=5, packets_lost=1, sequence_discontinuities=1, frames_received=5)


def test_reset_drops_held_output_and_reset_stats_keeps_it(parser):
    with pytest.raises(ValueError):
        push(parser, msg(1) + BAD + msg(2))
    parser.reset_stats()
    assert parser.stats() == FRESH
    assert push(parser, b"") == [text(1), text(2)]
    stats(parser, frames_received=1)

    with pytest.raises(ValueError):
        push(parser, msg(1) + BAD + msg(2) + msg(3)[:4])
    parser.reset()
    assert parser.stats() == FRESH
    assert push(parser, b"") == []
    assert push(parser, msg(9)) == [text(9)]
