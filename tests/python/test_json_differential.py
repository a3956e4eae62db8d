"""Differential check of the JSON text against google.protobuf's own JSON
mapping: seeded random InsoleResp messages are encoded by google.protobuf,
framed, and pushed through one StreamParser in random pieces (with noise and
bad CRCs between them); each text must equal json_format.MessageToDict of the
same message after the documented adjustments."""

import json
import math
import random
import struct

import numpy
import pytest
from google.protobuf import json_format

from conftest import frame

MESSAGES = 3000
DEFAULT_ACC_SCALE = numpy.float32(0.48828125)
DEFAULT_GYRO_SCALE = numpy.float32(0.06103515625)
INT32 = (-(2**31), 2**31 - 1)


class Gen:
    def __init__(self, pb, seed):
        self.pb = pb
        self.r = random.Random(seed)

    def maybe(self, p=0.5):
        return self.r.random() < p

    def u32(self):
        return self.r.choice([0, 1, 127, 128, 2**32 - 1, self.r.randrange(2**32), self.r.randrange(300)])

    def i32(self):
        return self.r.choice([0, -1, *INT32, self.r.randint(*INT32), self.r.randint(-5000, 5000)])

    def u64(self):
        return self.r.choice([0, 2**64 - 1, self.r.randrange(2**64), self.r.randrange(2**40)])

    def f32(self):
        r = self.r
        v = r.choice([0.0, -0.0, 0.48828125, 1e-45, 3.4e38, float("inf"), float("-inf"), float("nan"),
                      r.uniform(-1e6, 1e6), r.uniform(-1, 1), struct.unpack("f", struct.pack("I", r.getrandbits(32)))[0]])
        return v

    def text(self):
        alphabet = "aZ09 _-\"\\/\b\f\n\r\t\x00\x01\x1f\x7f\x80é✓\u2028\U0001f9b6"
        return "".join(self.r.choice(alphabet) for _ in range(self.r.choice([0, 1, 5, 20])))

    def ints(self):
        return [self.i32() for _ in range(self.r.choice([0, 0, 1, 3, 48, 60]))]

    def enum(self, top):
        return self.r.randint(0, top)

    def device(self):
        return self.r.choice([0, 2, 3])

    def imu(self):
        pb = self.pb
        names = [f.name for f in pb.ImuData.DESCRIPTOR.fields if f.type != f.TYPE_FLOAT]
        return pb.ImuData(acc_scale=self.f32() if self.maybe() else 0.0, gyro_scale=self.f32() if self.maybe() else 0.0,
                          **{n: self.i32() for n in names if self.maybe()})

    def sensor(self):
        pb, m = self.pb, self.maybe
        sd = pb.SensorData(device_id=self.device(), timestamp_ms=self.u32(), seq_num=self.u32())
        if m():
            sd.imu_data.CopyFrom(self.imu())
        if m():
            sd.pressure_data.CopyFrom(pb.PressureData(pressure=self.ints() if m() else [], raw_pressure=self.ints()))
        if m():
            sd.shear_data.CopyFrom(pb.ShearData(shear_force_x=self.ints(), shear_force_y=self.ints(),
                                                raw_shear_x=self.ints(), raw_shear_y=self.ints()))
        if m():
            sd.battery_data.CopyFrom(self.battery())
        return sd

    def battery(self):
        return self.pb.BatteryData(battery_pct=self.u32(), voltage_mv=self.u32(), status=self.enum(3))

    def message(self):
        pb, m, p = self.pb, self.maybe, 0.25
        msg = pb.InsoleResp(msg_id=self.u32() if m() else 0, err_code=self.enum(8) if m(p) else 0)
        if m(p):
            msg.device_info.CopyFrom(pb.DeviceInfo(
                device_id=self.device(), serial_number=self.text(), product_id=self.u32(), model_name=self.text(),
                fw_version=self.text(), hw_version=self.text(), git_commit=self.text(), mac=self.text()))
        if m(p):
            msg.runtime_info.CopyFrom(pb.RuntimeInfo(boot_time=self.u64(), uptime_ms=self.u64()))
        if m(p):
            msg.battery_data.CopyFrom(self.battery())
        if m(p):
            cfg = msg.sensor_config
            cfg.SetInParent()
            if m():
                cfg.imu_config.CopyFrom(pb.ImuConfig(acc_subscription=m(), gyro_subscription=m(),
                                                     sample_rate_hz=self.u32(), mode=self.enum(2)))
                if m():
                    cfg.imu_config.imu_offset.CopyFrom(pb.ImuOffset(
                        **{f.name: self.i32() for f in pb.ImuOffset.DESCRIPTOR.fields}))
            if m():
                cfg.pressure_config.CopyFrom(pb.PressureConfig(subscription=m(), sample_rate_hz=self.u32(),
                                                               mode=self.enum(2)))
            if m():
                cfg.shear_config.CopyFrom(pb.ShearConfig(subscription=m(), sample_rate_hz=self.u32(), mode=self.enum(2)))
                if m():
                    cfg.shear_config.shear_offset.CopyFrom(pb.ShearOffset(shear_offset_x=self.i32(),
                                                                          shear_offset_y=self.i32()))
        if m(p):
            msg.device_status.CopyFrom(pb.DeviceStatus(is_wearing=m(), imu_calibrated=m(), pressure_calibrated=m(),
                                                       shear_calibrated=m(), hardware_error_flags=self.u32()))
        if m(p):
            msg.factory_config.CopyFrom(pb.FactoryConfig(serial_number=self.text(), device_id=self.device(),
                                                         model_name=self.text(), mac_address=self.text(),
                                                         factory_key=self.text()))
        if m():
            msg.sensor_data.CopyFrom(self.sensor())
        if m(p):
            msg.device_event.CopyFrom(pb.DeviceEvent(timestamp_ms=self.u32(), type=self.enum(9)))
        if m(p):
            msg.ota_resp.CopyFrom(pb.OtaResp(state=self.enum(5), offset=self.u32(), result=self.enum(7)))
        return msg


def as_double(f32):
    return struct.unpack("f", struct.pack("f", f32))[0]


def expected_json(msg):
    """MessageToDict, adjusted to the SDK's rendering."""
    d = json_format.MessageToDict(msg)
    sd = d.get("sensorData")
    if sd is None:
        return d
    pressure = sd.get("pressureData")
    if pressure is not None and "pressure" not in pressure and "rawPressure" in pressure:
        pressure["pressure"] = list(pressure["rawPressure"])
    if "imuData" in sd:
        imu_msg, imu = msg.sensor_data.imu_data, sd["imuData"]
        for name, key in (("acc_scale", "accScale"), ("gyro_scale", "gyroScale")):
            value = getattr(imu_msg, name)
            imu.pop(key, None)  # -0.0 is a default as well
            if value != 0.0:
                imu[key] = as_double(value) if math.isfinite(value) else None
        acc = numpy.float32(imu_msg.acc_scale) or DEFAULT_ACC_SCALE
        gyro = numpy.float32(imu_msg.gyro_scale) or DEFAULT_GYRO_SCALE
        with numpy.errstate(over="ignore", invalid="ignore"):
            for axis in "xyz":
                for key, scale, sample in ((f"acc{axis.upper()}Mg", acc, getattr(imu_msg, "acc_" + axis)),
                                           (f"gyro{axis.upper()}Dps", gyro, getattr(imu_msg, "gyro_" + axis))):
                    product = scale * numpy.float32(sample)
                    assert product.dtype == numpy.float32
                    if numpy.isfinite(product):
                        imu[key] = float(product)
    return d


@pytest.mark.parametrize("seed", [1, 2])
def test_random_messages_render_like_the_reference(sdk, pb, seed):
    gen = Gen(pb, seed)
    r = gen.r
    messages = [gen.message() for _ in range(MESSAGES)]
    stream = bytearray()
    noise = bad_crc = 0
    for msg in messages:
        if r.random() < 0.05:
            junk = bytes(r.choice([b for b in range(256) if b != 0x54]) for _ in range(r.randint(1, 8)))
            stream += junk
            noise += len(junk)
        corrupt = r.random() < 0.03
        bad_crc += corrupt
        stream += frame(msg.SerializeToString(), bad_crc=corrupt)

    parser = sdk.StreamParser()
    texts = []
    pos = 0
    while pos < len(stream):
        n = r.choice([1, 2, 20, r.randint(1, 244), r.randint(200, 2000)])
        texts += parser.push(bytes(stream[pos:pos + n]))
        pos += n

    assert len(texts) == len(messages)
    stats = parser.stats()
    assert (stats["frames_received"], stats["crc_errors"], stats["dropped_bytes"], stats["buffered_bytes"]) == (
        len(messages), bad_crc, noise, 0)
    for msg, text in zip(messages, texts):
        got = json.loads(text)
        assert text == json.dumps(got, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
        assert got == expected_json(msg), msg
