"""JSON text vs json_format: random messages over the schema, pushed in random pieces among noise and bad CRCs."""

import json
import math
import random
import struct

import numpy
import pytest
from google.protobuf import json_format

from conftest import frame

MESSAGES = 1000
DEFAULT_SCALES = {"acc": numpy.float32(0.48828125), "gyro": numpy.float32(0.06103515625)}
INT32 = (-(2**31), 2**31 - 1)
TEXT_ALPHABET = "aZ09 _-\"\\/\b\f\n\r\t\x00\x01\x1f\x7f\x80é✓\u2028\U0001f9b6"


def scalar(r, f):
    if f.enum_type:
        return r.choice(f.enum_type.values).number
    return {
        f.TYPE_STRING: lambda: "".join(r.choice(TEXT_ALPHABET) for _ in range(r.choice([0, 1, 5, 20]))),
        f.TYPE_BOOL: lambda: r.random() < 0.5,
        f.TYPE_FLOAT: lambda: r.choice([0.0, -0.0, 0.48828125, 1e-45, 3.4e38, float("inf"), float("-inf"),
                                        float("nan"), r.uniform(-1e6, 1e6),
                                        struct.unpack("f", struct.pack("I", r.getrandbits(32)))[0]]),
        f.TYPE_INT32: lambda: r.choice([0, -1, *INT32, r.randint(*INT32), r.randint(-5000, 5000)]),
        f.TYPE_UINT32: lambda: r.choice([0, 1, 127, 128, 2**32 - 1, r.randrange(2**32), r.randrange(300)]),
        f.TYPE_UINT64: lambda: r.choice([0, 2**64 - 1, r.randrange(2**64), r.randrange(2**40)]),
    }[f.type]()


def fill(r, msg):
    for f in msg.DESCRIPTOR.fields:
        if r.random() < 0.5:
            continue
        if f.message_type:
            sub = getattr(msg, f.name)
            sub.SetInParent()
            fill(r, sub)
        elif f.label == f.LABEL_REPEATED:
            getattr(msg, f.name).extend(scalar(r, f) for _ in range(r.choice([0, 1, 3, 48, 60])))
        else:
            setattr(msg, f.name, scalar(r, f))
    return msg


def expected_json(msg, fallback):
    """MessageToDict, adjusted to the SDK's rendering."""
    d = json_format.MessageToDict(msg)
    sd = d.get("sensorData", {})
    pressure = sd.get("pressureData", {})
    if fallback and "pressure" not in pressure and "rawPressure" in pressure:
        pressure["pressure"] = list(pressure["rawPressure"])
    if "imuData" in sd:
        imu_msg, imu = msg.sensor_data.imu_data, sd["imuData"]
        for kind in ("acc", "gyro"):
            value = numpy.float32(getattr(imu_msg, kind + "_scale"))
            imu.pop(kind + "Scale", None)  # -0.0 is a default as well
            if value != 0.0:
                imu[kind + "Scale"] = float(value) if math.isfinite(value) else None
            scale = value or DEFAULT_SCALES[kind]
            with numpy.errstate(over="ignore", invalid="ignore"):
                for axis in "xyz":
                    product = scale * numpy.float32(getattr(imu_msg, f"{kind}_{axis}"))
                    if numpy.isfinite(product):
                        imu[f"{kind}{axis.upper()}{'Mg' if kind == 'acc' else 'Dps'}"] = float(product)
    return d


@pytest.mark.parametrize("seed, strict, fallback", [(1, False, True), (2, True, False)])
def test_random_messages_render_like_the_reference(sdk, pb, seed, strict, fallback):
    r = random.Random(seed)
    messages, stream, noise, bad_crc, kept = [fill(r, pb.InsoleResp()) for _ in range(MESSAGES)], bytearray(), 0, 0, []
    for msg in messages:
        if r.random() < 0.05:
            junk = bytes(r.choice([b for b in range(256) if b != 0x54]) for _ in range(r.randint(1, 8)))
            stream += junk
            noise += len(junk)
        corrupt = r.random() < 0.03
        bad_crc += corrupt
        stream += frame(msg.SerializeToString(), bad_crc=corrupt)
        kept += [] if corrupt and strict else [msg]

    parser, texts, pos = sdk.StreamParser(strict_crc=strict, legacy_pressure_fallback=fallback), [], 0
    while pos < len(stream):
        n = r.choice([1, 2, 20, r.randint(1, 244), r.randint(200, 2000)])
        texts += parser.push(bytes(stream[pos:pos + n]))
        pos += n
    stats = parser.stats()
    assert (stats["frames_received"], stats["crc_errors"], stats["dropped_bytes"], stats["buffered_bytes"]) == (
        len(kept), bad_crc, noise, 0)
    assert len(texts) == len(kept) and bad_crc > 0
    for msg, text in zip(kept, texts):
        got = json.loads(text)
        assert text == json.dumps(got, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
        assert got == expected_json(msg, fallback), msg
