"""StreamParser statistics, options, refusals and held-back output; `push` also checks canonical JSON form."""

import json

import numpy
import pytest

from conftest import frame

FRESH = {"frames_received": 0, "crc_errors": 0, "protobuf_errors": 0, "dropped_bytes": 0, "buffer_overflows": 0,
         "packets_lost": 0, "sequence_discontinuities": 0, "last_seq": None, "buffered_bytes": 0}
BAD = frame(b"\x0a\x00")  # does not decode
INVALID = frame(b"\xfa\x01\x02\x10\x0c")  # device event type 12


def push(parser, data):
    texts = parser.push(data)
    assert type(texts) is list and all(type(t) is str for t in texts)
    assert texts == [json.dumps(json.loads(t), sort_keys=True, separators=(",", ":"), ensure_ascii=False)
                     for t in texts]
    return texts


def stats(parser, **expected):
    """Stats, checked for shape; the named entries must hold the given values."""
    s = parser.stats()
    assert list(s) == list(FRESH) and s["buffered_bytes"] == parser.buffered_len()
    assert {k: s[k] for k in expected} == expected
    return s


def sensor(pb, seq=0, **fields):  # 0 is the default: it is not on the wire
    return frame(pb.InsoleResp(sensor_data=pb.SensorData(seq_num=seq, **fields)))


def msg(n):
    return frame(b"\x08" + bytes([n]))


def texts(*ns):
    return ['{"msgId":%d}' % n for n in ns]


@pytest.fixture
def parser(sdk):
    return sdk.StreamParser()


def test_empty_push_and_overflow(parser):  # reassembly, noise and bad CRCs: see the differential test
    assert parser.stats() == FRESH and push(parser, b"") == [] and parser.stats() == FRESH
    push(parser, frame(b"\x00" * 16000)[:16000])  # a frame still missing its tail
    stats(parser, buffered_bytes=16000)
    assert push(parser, b"\x00" * 400) == []
    stats(parser, buffer_overflows=1, buffered_bytes=0, frames_received=0)
    assert push(parser, frame(b"")) == ["{}"]


def test_one_long_push_gives_what_its_pieces_give(sdk, pb):  # a whole capture at once
    pressure = pb.PressureData(raw_pressure=list(range(48)))
    stream = b"\x00\xffT" + b"".join(sensor(pb, s, pressure_data=pressure) + b"\x17" * (s % 3) for s in range(1, 500))
    stream += frame(b"\x08\x01", bad_crc=True) + sensor(pb, 600)
    assert len(stream) > 2 * 16394
    whole, pieces = sdk.StreamParser(), sdk.StreamParser()
    got = push(whole, stream[:30]) + push(whole, stream[30:])  # the first frame has begun
    assert got == [text for at in range(0, len(stream), 20) for text in push(pieces, stream[at:at + 20])]
    assert len(got) == 501 and whole.stats() == pieces.stats()
    stats(whole, crc_errors=1, dropped_bytes=3 + 499, buffer_overflows=0, sequence_discontinuities=1, last_seq=600)


@pytest.mark.parametrize("seqs, discontinuities, lost", [  # the loss window's edges, repeats and wrap-around
    ([10, 1010], 1, 999), ([10, 1011], 1, 0), ([5, 5], 1, 0), ([0xFFFFFFFF, 0, 1], 0, 0), ([0xFFFFFFFE, 3], 1, 4),
])
def test_sequence_statistics(pb, parser, seqs, discontinuities, lost):
    assert len(push(parser, b"".join(sensor(pb, s) for s in seqs))) == len(seqs)
    stats(parser, sequence_discontinuities=discontinuities, packets_lost=lost, last_seq=seqs[-1])


@pytest.mark.usefixtures("logging_on")
def test_last_seq_needs_sensor_data_and_gaps_are_logged(pb, parser, capfd):
    push(parser, msg(3))
    stats(parser, last_seq=None)
    push(parser, sensor(pb))  # seq_num absent reads as 0
    stats(parser, last_seq=0)
    capfd.readouterr()
    push(parser, b"".join(sensor(pb, s) for s in [2, 3, 7, 6]))
    stats(parser, last_seq=6, sequence_discontinuities=3, packets_lost=4)
    out = capfd.readouterr().out
    prefix = "[Rust][WARN][python] [trova_insole_sdk] Python Insole SeqNum not continuous: "
    assert [line.removeprefix(prefix) for line in out.splitlines() if line.startswith(prefix)] == [
        "0 -> 2 (diff 2)", "3 -> 7 (diff 4)", "7 -> 6 (diff 4294967295)"]


def test_options_in_positional_order(sdk, pb):  # both settings of each: see the differential test
    data = frame(b"\x08\x01", bad_crc=True) + sensor(pb, pressure_data=pb.PressureData(raw_pressure=[5, 6]))
    assert push(sdk.StreamParser(True, numpy.bool_(False)), data) == [
        '{"sensorData":{"pressureData":{"rawPressure":[5,6]}}}']


@pytest.mark.parametrize("name, value", [("strict_crc", 1), ("legacy_pressure_fallback", None),
                                         ("strict_crc", numpy.int64(1))])
def test_options_must_be_bool(sdk, name, value):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        sdk.StreamParser(**{name: value})


@pytest.mark.parametrize("bad, error", [
    (lambda pb: pb.InsoleResp(err_code=-1), "Invalid variant -1"),
    (lambda pb: pb.InsoleResp(sensor_data=pb.SensorData(device_id=1)), "Invalid variant 1"),
    (lambda pb: pb.InsoleResp(sensor_config=pb.SensorConfig(shear_config=pb.ShearConfig(mode=3))), "Invalid variant 3"),
    (lambda pb: pb.InsoleResp(device_event=pb.DeviceEvent(type=12), ota_resp=pb.OtaResp(state=9)),
     "Invalid variant 9"),  # the OTA answer is named before the event, as the protocol's table lists them
    (b"\xfa\x01\x02\x12\x00", "failed to decode Protobuf message: DeviceEvent.r#type: InsoleResp.device_event: "
                              "invalid wire type: LengthDelimited (expected Varint)"),
])
def test_refused_messages(pb, parser, bad, error):
    decode_error = isinstance(bad, bytes)
    with pytest.raises(ValueError) as err:
        push(parser, frame(bad if decode_error else bad(pb)))
    assert str(err.value) == error
    stats(parser, frames_received=1, protobuf_errors=int(decode_error), buffered_bytes=0)
    assert push(parser, msg(2)) == texts(2)


class Bytes(bytes):
    pass


@pytest.mark.parametrize("device_id", [None, "only-bytes"])
@pytest.mark.parametrize("data", [bytearray(b"TRVA"), "TRVA", memoryview(b"TRVA"), [84, 82], None, 5])
def test_push_takes_only_bytes(sdk, data, device_id):  # other buffers too: the caller converts with bytes(data)
    parser = sdk.StreamParser(device_id=device_id)
    push(parser, b"TR")
    with pytest.raises(TypeError, match="^argument 'data': "):
        parser.push(data)
    assert parser.buffered_len() == 2 and push(parser, Bytes(frame(b"")[2:] + msg(1))) == ["{}"] + texts(1)


def test_push_by_position_or_keyword_only(parser):  # one positional argument takes a shortcut; the rest must not
    assert parser.push(data=msg(1)) == texts(1)
    for args, kwargs in [((), {}), ((msg(2), msg(2)), {}), ((), {"bytes": msg(2)}), ((msg(2),), {"data": msg(2)})]:
        with pytest.raises(TypeError, match="argument"):
            parser.push(*args, **kwargs)
    stats(parser, frames_received=1)


def test_failed_push_holds_back_the_rest(parser):
    assert push(parser, msg(1)) == texts(1)
    with pytest.raises(ValueError, match="^failed to decode"):
        push(parser, msg(2) + BAD + msg(3) + INVALID + msg(4) + msg(5)[:5])
    stats(parser, frames_received=3, protobuf_errors=1, buffered_bytes=5)
    with pytest.raises(ValueError, match="^Invalid variant 12$"):  # a second error, raised by an empty push
        push(parser, b"")
    # Handled by the next push, which also completes the partial frame.
    assert push(parser, msg(5)[5:] + msg(6)) == texts(2, 3, 4, 5, 6)
    stats(parser, frames_received=8, protobuf_errors=1, buffered_bytes=0)
    assert push(parser, b"") == []


def test_reset_and_reset_stats(pb, parser):
    push(parser, sensor(pb, 1) + sensor(pb, 5) + frame(b"")[:6])
    parser.reset_stats()  # the counters only: the partial frame stays
    assert parser.stats() == FRESH | {"buffered_bytes": 6}
    parser.reset()
    assert parser.stats() == FRESH and push(parser, frame(b"")[6:]) == []  # the partial frame went with the reset
    stats(parser, dropped_bytes=4, buffered_bytes=3)
    parser.reset()
    # After a failed push, reset_stats keeps the held texts and reset drops them.
    with pytest.raises(ValueError):
        push(parser, msg(1) + BAD + msg(2))
    parser.reset_stats()
    assert parser.stats() == FRESH and push(parser, b"") == texts(1, 2)
    with pytest.raises(ValueError):
        push(parser, msg(1) + BAD + msg(2) + msg(3)[:4])
    parser.reset()
    assert parser.stats() == FRESH and push(parser, b"") == [] and push(parser, msg(9)) == texts(9)
