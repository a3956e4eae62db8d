"""Resistance to newtons, shear derivation, and the foot side read from an
advertisement's manufacturer data."""

import collections
import math
import random

import numpy
import pytest

LEFT_MAP = [(12, 37, 36, 5), (38, 15, 6, 39), (29, 30, 25, 26)]
RIGHT_MAP = [(15, 38, 39, 6), (37, 12, 5, 36), (30, 29, 26, 25)]
SHEAR_CURVE = (99791.477, -10538.512, 449.733, -4.682)
PRESSURE_CURVES = [
    (2007.326985, -256.285963, 62.813675, -0.135223),
    (2368.430831, -349.814487, 68.211981, -0.242637),
    (1768.265833, -238.361756, 59.015619, -0.139622),
]


def cubic(c, x):
    x2 = x * x
    x3 = x * x2
    t = (x3 * c[0]) + (x2 * c[1])
    t = (x * c[2]) + t
    return t + c[3]


def model_newtons(r, channel, foot):
    """The documented conversion, step by step in doubles."""
    if r == 0 or r >= 1_000_000:
        return 0.0
    x = 1000.0 / r
    shear_channels = {c for group in (LEFT_MAP if foot == 2 else RIGHT_MAP) for c in group}
    if channel in shear_channels:
        y = cubic(SHEAR_CURVE, x)
    else:
        y = ((cubic(PRESSURE_CURVES[0], x) + cubic(PRESSURE_CURVES[1], x)) + cubic(PRESSURE_CURVES[2], x)) / 3.0
    if y <= 0.0 and x > 0.001:
        y = (x - 0.001) * 0.5
    y = 0.0 if math.isnan(y) else max(y, 0.0)
    v = (y * 9.80665) * 1000.0
    f = math.floor(v)
    return (f + 1 if v - f >= 0.5 else f) / 1000.0


@pytest.mark.parametrize("foot", [2, 3])
@pytest.mark.parametrize("r, channel, newtons", [
    (10000, 0, 52.91),
    (10000, 12, 340.268),
    (0, 0, 0.0),
    (1_000_000, 3, 0.0),
    (4_294_967_295, 12, 0.0),
    (999_999, 12, 0.0),
])
def test_calibrated_values(sdk, foot, r, channel, newtons):
    values = [1000] * 48
    values[channel] = r
    assert sdk.calibrate_pressure(values, foot)[channel] == newtons


def test_shear_cell_fallback_and_tiny_resistance(sdk):
    values = [0] * 13
    values[12] = 100_000
    assert sdk.calibrate_pressure(values, 2)[12] == 0.044
    huge = sdk.calibrate_pressure([1], 2)[0]
    assert math.isfinite(huge) and huge > 1e6


@pytest.mark.parametrize("foot", [2, 3])
def test_calibration_matches_the_documented_formula(sdk, foot):
    rng = random.Random(foot)
    values = [rng.choice([rng.randrange(1, 1_000_000), rng.randrange(1, 200), rng.randrange(0, 2**32)])
              for _ in range(60)]
    got = sdk.calibrate_pressure(values, foot)
    assert got == [model_newtons(r, i, foot) for i, r in enumerate(values)]
    assert all(type(v) is float for v in got)


@pytest.mark.parametrize("values", [[], [10000] * 5, (10000,) * 48, [10000] * 70, numpy.full(50, 10000, numpy.uint32),
                                    range(1000, 1100)])
def test_calibration_takes_any_length(sdk, values):
    out = sdk.calibrate_pressure(values, 3)
    assert len(out) == len(values)
    assert out == [model_newtons(int(r), i, 3) for i, r in enumerate(values)]


def shear_model(values, foot):
    n = [model_newtons(r, i, foot) for i, r in enumerate(values)]
    out = []
    for q0, q1, q2, q3 in LEFT_MAP if foot == 2 else RIGHT_MAP:
        a, b, c, d = 5.0 * n[q0], 5.0 * n[q1], 5.0 * n[q2], 5.0 * n[q3]
        out.append((((b + d) - (a + c)) * 1.5, ((a + b) - (c + d)) * 1.5, ((a + b) + c) + d))
    return out


def test_shear_uniform_and_one_quadrant(sdk):
    values = [10000] * 48
    assert sdk.derive_shear(values, 2) == [(0.0, 0.0, 6805.36)] * 3
    values[37] = 20000
    out = sdk.derive_shear(values, 2)
    assert out[0] == pytest.approx((-2262.7875, -2262.7875, 5296.835), abs=1e-9)
    assert out[1:] == [(0.0, 0.0, 6805.36)] * 2


@pytest.mark.parametrize("foot", [2, 3])
def test_shear_matches_the_quadrant_maps(sdk, foot):
    rng = random.Random(10 + foot)
    values = [rng.randrange(2000, 60000) for _ in range(52)]
    assert sdk.derive_shear(values, foot) == shear_model(values, foot)


@pytest.mark.parametrize("call, error, text", [
    (lambda m: m.calibrate_pressure([10000], 7), ValueError, "device_id must be DEVICE_LEFT or DEVICE_RIGHT"),
    (lambda m: m.calibrate_pressure([], 0), ValueError, "device_id must be DEVICE_LEFT or DEVICE_RIGHT"),
    (lambda m: m.derive_shear([10000] * 47, 2), ValueError, "expected 48 resistance values and a valid device_id"),
    (lambda m: m.derive_shear([10000] * 48, 0), ValueError, "expected 48 resistance values and a valid device_id"),
    (lambda m: m.calibrate_pressure([10000], 256), OverflowError, "out of range integral type conversion attempted"),
    (lambda m: m.calibrate_pressure([-1], 2), OverflowError, "out of range integral type conversion attempted"),
    (lambda m: m.derive_shear([2**32] * 48, 2), OverflowError, "out of range integral type conversion attempted"),
    (lambda m: m.calibrate_pressure("1234", 2), TypeError, "argument 'resistances': Can't extract `str` to `Vec`"),
    (lambda m: m.calibrate_pressure(5, 2), TypeError, "argument 'resistances': 'int' object cannot be converted "
                                                      "to 'Sequence'"),
    (lambda m: m.calibrate_pressure([1.5], 2), TypeError, "argument 'resistances': "),
    (lambda m: m.derive_shear([1] * 48, "2"), TypeError, "argument 'device_id': "),
])
def test_calibration_refusals(sdk, call, error, text):
    with pytest.raises(error) as err:
        call(sdk)
    assert str(err.value).startswith(text)


TROVA, LEGACY = 0x5254, 0x5202


class SubDict(dict):
    pass


@pytest.mark.parametrize("data, side", [
    ({}, None),
    ({TROVA: b"\x03"}, 3),
    ({TROVA: b"\x01"}, 2),
    ({TROVA: b"\x02\xff"}, 2),
    ({LEGACY: b"\x02\x10"}, 2),
    ({LEGACY: b"\x03"}, 3),
    ({TROVA: b"\x07", LEGACY: b"\x03"}, 3),
    ({TROVA: b"\x00", LEGACY: b"\x01"}, 2),
    ({TROVA: b"\x01", LEGACY: b"\x03"}, 2),
    ({TROVA: b"", LEGACY: b""}, None),
    ({LEGACY: b"\x00"}, None),
    ({TROVA: b"\x04"}, None),
    ({0x1234: b"\x03"}, None),
    ({0x1234: b"\x03", LEGACY: b"\x03"}, 3),
    ({TROVA: bytearray(b"\x03")}, 3),
    ({TROVA: [3, 0]}, 3),
    ({TROVA: (1,)}, 2),
    ({numpy.uint16(TROVA): b"\x03"}, 3),
    (SubDict({TROVA: b"\x03"}), 3),
    (collections.OrderedDict({LEGACY: b"\x01"}), 2),
])
def test_foot_side(sdk, data, side):
    got = sdk.parse_foot_side(data)
    assert got == side and (got is None or type(got) is int)


@pytest.mark.parametrize("data, error, text", [
    ({70000: b"\x01", TROVA: b"\x03"}, OverflowError, "out of range integral type conversion attempted"),
    ({-1: b"\x01", TROVA: b"\x03"}, OverflowError, "out of range integral type conversion attempted"),
    ({TROVA: b"\x03", 0x1234: "03"}, TypeError, "argument 'manufacturer_data': Can't extract `str` to `Vec`"),
    ({TROVA: "\x03"}, TypeError, "argument 'manufacturer_data': Can't extract `str` to `Vec`"),
    ({TROVA: [256]}, OverflowError, "out of range integral type conversion attempted"),
    ({TROVA: 3}, TypeError, "argument 'manufacturer_data': "),
    ({"x": b"\x03"}, TypeError, "argument 'manufacturer_data': "),
    ([(TROVA, b"\x03")], TypeError, "argument 'manufacturer_data': "),
    (((TROVA, b"\x03"),), TypeError, "argument 'manufacturer_data': "),
    (None, TypeError, "argument 'manufacturer_data': "),
])
def test_foot_side_refusals(sdk, data, error, text):
    with pytest.raises(error) as err:
        sdk.parse_foot_side(data)
    assert str(err.value).startswith(text)
