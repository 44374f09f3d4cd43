"""Frequency-domain measurements of ac sweeps: bandwidth, the gain at a
frequency, and the unity-gain frequency and stability margins of a loop gain.

Magnitudes are taken in dB: of complex data, of real data read as a linear
magnitude, or of real data in dB as it is (a DataArray whose units are 'dB',
as db20 gives). Between two frequency points a value is interpolated
linearly on the frequency axis as it is (not its logarithm), as crossings are.
"""

from __future__ import annotations

from typing import Any, Hashable, Union

import numpy as np

from . import _search
from ._conversions import unwrapped_degrees
from ._core import Data, Float, PerCell, Signal, Sweep, prepare
from ._points import describe

Dim = Union[Hashable, int, None]


def _level(signal: Signal) -> Float:
    """The signal's magnitude in dB."""
    y = signal.y
    if not np.iscomplexobj(y) and signal.units == "dB":
        return y
    with np.errstate(divide="ignore"):
        return np.asarray(20 * np.log10(np.abs(y)), dtype=np.float64)


def _loop(function: str, data: Any, x: Sweep, dim: Dim) -> tuple[Signal, Float, Float, Float]:
    """A loop gain's magnitude in dB, its unwrapped phase in degrees, and the sweep."""
    signal = prepare(function, data, x=x, dim=dim)
    if not np.iscomplexobj(signal.y):
        raise TypeError(f"{function}: the loop gain must be complex (its phase is needed)")
    return signal, _level(signal), unwrapped_degrees(signal.y), signal.sweep


def _where_crossing(
    y: Float, xs: Float, level: Float, edge: str, other: Float
) -> tuple[Float, Float]:
    """The first `edge` crossing of `level` by `y`: its sweep value, and the
    value of `other` there (interpolated as the crossing is); NaN without one."""
    value, index, found = _search.find(y, xs, level, edge)
    if y.shape[-1] < 2:
        return value, value
    y0, y1 = _search.take(y, index), _search.take(y, index + 1)
    with np.errstate(divide="ignore", invalid="ignore"):
        t = (level - y0) / (y1 - y0)
    there = _search.blend(_search.take(other, index), _search.take(other, index + 1), t)
    return value, np.where(found, there, np.nan)


def bandwidth(
    data: Data, drop_db: float = 3.0, *, x: Sweep = None, dim: Dim = None, strict: bool = False
) -> Data:
    """The first frequency where the magnitude falls `drop_db` below its value
    at the sweep's first (lowest) frequency: the -3 dB bandwidth of a low-pass
    response."""
    if not drop_db > 0:
        raise ValueError(f"bandwidth: drop_db is a drop in dB above 0, not {drop_db!r}")
    signal = prepare("bandwidth", data, x=x, dim=dim)
    level = _level(signal)
    target = _search.first_valid(level) - drop_db
    value, _, _ = _search.find(level, signal.sweep, target, "falling")
    return signal.finish(data, value, units=signal.x_units, long_name="bandwidth",
                         what=f"no drop of {drop_db:g} dB", strict=strict)


def gain_at(data: Data, f: PerCell, *, x: Sweep = None, dim: Dim = None, strict: bool = False) -> Data:
    """The magnitude in dB at frequency `f` (a number, or one per cell),
    interpolated between the points around it; NaN outside the sweep."""
    signal = prepare("gain_at", data, x=x, dim=dim, f=f)
    value = _search.interpolate(_level(signal), signal.sweep, signal.params["f"])
    what = f"no point at {describe(f, 'frequency')}"
    return signal.finish(data, value, units="dB", long_name="gain", what=what, strict=strict)


def unity_gain_frequency(loop: Data, *, x: Sweep = None, dim: Dim = None, strict: bool = False) -> Data:
    """The first frequency where the magnitude falls through 1 (0 dB)."""
    signal = prepare("unity_gain_frequency", loop, x=x, dim=dim)
    value, _, _ = _search.find(_level(signal), signal.sweep, np.asarray(0.0), "falling")
    return signal.finish(loop, value, units=signal.x_units, long_name="unity-gain frequency",
                         what="no fall through 0 dB", strict=strict)


def phase_margin(loop: Data, *, x: Sweep = None, dim: Dim = None, strict: bool = False) -> Data:
    """180 degrees plus the phase of the loop gain where its magnitude first
    falls through 0 dB. The loop gain is the product around the loop with
    negative feedback left out (positive at low frequencies, phase near 0
    there); its phase is unwrapped along the sweep from the first point."""
    signal, level, phase, xs = _loop("phase_margin", loop, x, dim)
    _, there = _where_crossing(level, xs, np.asarray(0.0), "falling", phase)
    return signal.finish(loop, 180 + there, units="deg", long_name="phase margin", what="no fall through 0 dB",
                         strict=strict)


def gain_margin(loop: Data, *, x: Sweep = None, dim: Dim = None, strict: bool = False) -> Data:
    """How far below 0 dB the loop gain's magnitude is where its phase first
    falls through -180 degrees (see phase_margin), in dB; NaN where the phase
    never gets there (a gain margin without bound)."""
    signal, level, phase, xs = _loop("gain_margin", loop, x, dim)
    _, there = _where_crossing(phase, xs, np.asarray(-180.0), "falling", level)
    return signal.finish(loop, -there, units="dB", long_name="gain margin", what="no phase crossing of -180 deg",
                         strict=strict)
