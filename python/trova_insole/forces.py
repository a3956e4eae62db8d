"""Cell resistances (ohms) to loads (newtons) for whole arrays at once.

`calibrate_pressure_array` gives, value for value, the very doubles that the
SDK's `calibrate_pressure` gives, one call for a whole capture instead of one
per row:

    frame = read_capture("walk.mcap")
    ohms = frame[[f"raw_pressure_{i}" for i in range(48)]].to_numpy()
    newtons = calibrate_pressure_array(ohms, DEVICE_LEFT)   # same shape, N

The export already carries these loads (load_0_N .. load_47_N); this is for
resistances from elsewhere. Each step is the SDK's own, in its order, in
float64, so the results agree to the last bit.
"""

from __future__ import annotations

from typing import Any

DEVICE_LEFT, DEVICE_RIGHT = 2, 3

# Per foot, the twelve cells whose curve is the shear cells' (the rest are
# pressure cells); the same set for both feet.
_SHEAR_CELLS = {
    DEVICE_LEFT: (12, 37, 36, 5, 38, 15, 6, 39, 29, 30, 25, 26),
    DEVICE_RIGHT: (15, 38, 39, 6, 37, 12, 5, 36, 30, 29, 26, 25),
}
_SHEAR = (99791.477, -10538.512, 449.733, -4.682)
_P1 = (2007.326985, -256.285963, 62.813675, -0.135223)
_P2 = (2368.430831, -349.814487, 68.211981, -0.242637)
_P3 = (1768.265833, -238.361756, 59.015619, -0.139622)
_NEWTONS_PER_KGF = 9.80665


def _cubic(c: tuple[float, float, float, float], x: Any, x2: Any, x3: Any) -> Any:
    t = (x3 * c[0]) + (x2 * c[1])
    t = (x * c[2]) + t
    return t + c[3]


def _foot(device_id: Any) -> int:
    foot = {"left": DEVICE_LEFT, "right": DEVICE_RIGHT}.get(device_id, device_id)
    if foot not in (DEVICE_LEFT, DEVICE_RIGHT):
        raise ValueError("device_id must be DEVICE_LEFT or DEVICE_RIGHT")
    return int(foot)


def calibrate_pressure_array(resistances: Any, device_id: Any) -> Any:
    """Loads in newtons (float64) for resistances in ohms.

    resistances: any array-like of whole numbers; its last axis is the cell
    index (0..47; cells beyond take the pressure-cell curve). NaN (an empty
    CSV field) and values outside 1..999,999 ohms give 0.0 N. device_id:
    DEVICE_LEFT (2), DEVICE_RIGHT (3), "left" or "right".
    """
    import numpy as np

    foot = _foot(device_id)
    r = np.asarray(resistances, dtype=np.float64)
    valid = (r >= 1) & (r < 1_000_000)
    x = 1000.0 / np.where(valid, r, 1.0)
    x2 = x * x
    x3 = x * x2
    pressure = ((_cubic(_P1, x, x2, x3) + _cubic(_P2, x, x2, x3)) + _cubic(_P3, x, x2, x3)) / 3.0
    shear = np.zeros(r.shape[-1] if r.ndim else 1, dtype=bool)
    shear[[c for c in _SHEAR_CELLS[foot] if c < shear.size]] = True
    with np.errstate(invalid="ignore"):
        y = np.where(shear, _cubic(_SHEAR, x, x2, x3), pressure)
        y = np.where((y <= 0.0) & (x > 0.001), (x - 0.001) * 0.5, y)
        y = np.where(y > 0.0, y, 0.0)  # negatives and NaN
    scaled = (y * _NEWTONS_PER_KGF) * 1000.0
    # Half away from zero, as the SDK rounds (numpy's round goes to even);
    # scaled is never negative here, and its fraction is exact.
    whole = np.floor(scaled)
    rounded = whole + (scaled - whole >= 0.5)
    return np.where(valid, rounded / 1000.0, 0.0)


__all__ = ["DEVICE_LEFT", "DEVICE_RIGHT", "calibrate_pressure_array"]
