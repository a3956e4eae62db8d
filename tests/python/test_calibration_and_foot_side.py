"""Calibration, shear and foot side: which sequences are taken, what comes back, what is refused."""

import numpy
import pytest

RANGE = "out of range integral type conversion attempted"
TROVA, LEGACY = 0x5254, 0x5202


def test_results_are_python_floats_and_tuples_in_order(sdk):
    got = sdk.calibrate_pressure([10000] * 12 + [10000, 0, 1_000_000], 2)  # channel 12 is a shear cell
    assert got[0] == 52.91 and got[12:] == [340.268, 0.0, 0.0]
    assert all(type(v) is float for v in got) and sdk.calibrate_pressure([], 3) == []
    values = list(range(1000, 61000, 1000))  # longer than one insole
    for same in (tuple(values), numpy.array(values, numpy.uint32), range(1000, 61000, 1000)):
        assert sdk.calibrate_pressure(same, 3) == sdk.calibrate_pressure(values, 3)
    values = [10000] * 48
    values[37] = 20000  # in the first group of the left foot only
    left, right = sdk.derive_shear(values, 2), sdk.derive_shear(tuple(values), 3)
    assert left[0] == pytest.approx((-2262.7875, -2262.7875, 5296.835), abs=1e-9) and type(left[0]) is tuple
    assert left[1:] == [(0.0, 0.0, 6805.36)] * 2
    assert right[0] == right[2] == (0.0, 0.0, 6805.36) != right[1]  # the right foot maps it to its second group


SIDE, COUNT = "device_id must be DEVICE_LEFT or DEVICE_RIGHT", "expected 48 resistance values and a valid device_id"
MD = "argument 'manufacturer_data': "


@pytest.mark.parametrize("call, error, text", [
    (lambda m: m.calibrate_pressure([], 7), ValueError, SIDE),
    (lambda m: m.derive_shear([10000] * 47, 2), ValueError, COUNT),
    (lambda m: m.calibrate_pressure([10000], 256), OverflowError, RANGE),
    (lambda m: m.calibrate_pressure([-1], 2), OverflowError, RANGE),
    (lambda m: m.calibrate_pressure([1.5], 2), TypeError, "argument 'resistances': "),
    (lambda m: m.derive_shear([1] * 48, "2"), TypeError, "argument 'device_id': "),
    *[(lambda m, d=d: m.parse_foot_side(d), e, t) for d, e, t in [
        ({70000: b"\x01", TROVA: b"\x03"}, OverflowError, RANGE), ({TROVA: [256]}, OverflowError, RANGE),
        ({TROVA: b"\x03", 0x1234: "03"}, TypeError, MD + "Can't extract `str` to `Vec`"),  # one bad entry fails all
        ({"x": b"\x03"}, TypeError, MD), (None, TypeError, MD + "'NoneType' object cannot be converted to 'PyDict'")]],
])
def test_calibration_and_foot_side_refusals(sdk, call, error, text):
    with pytest.raises(error) as err:
        call(sdk)
    assert str(err.value).startswith(text)


class SubDict(dict):
    pass


@pytest.mark.parametrize("data, side", [
    ({}, None), ({TROVA: b"\x03"}, 3), ({TROVA: b"\x01"}, 2), ({TROVA: b"\x02\xff"}, 2), ({LEGACY: b"\x00"}, None),
    ({TROVA: b"\x04"}, None), ({TROVA: b"\x07", LEGACY: b"\x03"}, 3), ({TROVA: b"\x01", LEGACY: b"\x03"}, 2),
    ({TROVA: b"", LEGACY: b""}, None), ({0x1234: b"\x03"}, None), ({TROVA: bytearray(b"\x03")}, 3),
    ({TROVA: [3, 0]}, 3), ({numpy.uint16(TROVA): b"\x03"}, 3), (SubDict({LEGACY: (1,)}), 2),
])
def test_foot_side(sdk, data, side):
    got = sdk.parse_foot_side(data)
    assert got == side and (got is None or type(got) is int)
