"""Point values of each sweep: the value at a sweep value, extremes, and the
integral and its averages.

Every one takes `start`/`stop`: the part of the sweep measured, its ends
interpolated (so `integral(v, start=a, stop=b)` is the integral from a to b
exactly, for the signal drawn as straight lines between its samples).
Integrals use the trapezoidal rule over the sweep values; a padded run's
missing points add nothing.
"""

from __future__ import annotations

from typing import Any, Hashable, Optional, Union

import numpy as np
import numpy.typing as npt

from . import _search
from ._core import Data, PerCell, Signal, Sweep, prepare, product_units

Dim = Union[Hashable, int, None]


def describe(value: Optional[PerCell], noun: str) -> str:
    """A per-cell argument for messages: the number, or 'its <noun>' where each cell has its own."""
    array = np.asarray(value)
    return f"{float(array):g}" if array.ndim == 0 and array.dtype.kind in "fiu" else f"its {noun}"


def windowed(signal: Signal) -> Signal:
    """The signal on its window (the `start` and `stop` arguments), if any."""
    start, stop = signal.params.get("start"), signal.params.get("stop")
    if start is None and stop is None:
        return signal
    if start is not None and stop is not None and start.ndim == 0 and stop.ndim == 0 and not start < stop:
        raise ValueError(f"{signal.function}: start ({float(start):g}) must come before stop ({float(stop):g})")
    y, x = _search.clip(signal.y, signal.sweep, start, stop)
    return signal.with_samples(y, x)


def _integral(signal: Signal, values: npt.NDArray[Any]) -> tuple[npt.NDArray[Any], npt.NDArray[np.float64]]:
    """The integral of `values` over each cell's sweep by trapezoids, and the
    length of sweep they cover; NaN both for a cell without one segment of two
    samples."""
    if values.shape[-1] < 2:
        nan = np.full(values.shape[:-1], np.nan)
        return nan, nan
    width = np.diff(signal.sweep, axis=-1)
    with np.errstate(invalid="ignore"):
        area = width * (values[..., :-1] + values[..., 1:]) / 2
    present = ~np.isnan(area)
    counted = present.any(axis=-1)
    total = np.where(counted, np.where(present, area, 0).sum(axis=-1), np.nan)
    span = np.where(counted, np.where(present, width, 0).sum(axis=-1), np.nan)
    return total, span


def value_at(
    data: Data, at: PerCell, *, x: Sweep = None, dim: Dim = None, strict: bool = False
) -> Data:
    """The signal at sweep value `at` (a number, or one per cell), interpolated
    linearly between the samples around it; NaN outside the sweep."""
    signal = prepare("value_at", data, x=x, dim=dim, at=at)
    value = _search.interpolate(signal.y, signal.sweep, signal.params["at"])
    what = f"no value at {describe(at, 'sweep value')}"
    return signal.finish(data, value, units=signal.units, long_name="value", what=what, strict=strict)


def _extreme(function: str, data: Any, x: Sweep, dim: Dim, start: Optional[PerCell], stop: Optional[PerCell]) -> Signal:
    signal = prepare(function, data, x=x, dim=dim, start=start, stop=stop)
    signal.real()
    return windowed(signal)


def min(
    data: Data, *, x: Sweep = None, dim: Dim = None, start: Optional[PerCell] = None, stop: Optional[PerCell] = None,
    strict: bool = False,
) -> Data:
    """The smallest value of each sweep (NaN samples ignored)."""
    signal = _extreme("min", data, x, dim, start, stop)
    return signal.finish(data, np.fmin.reduce(signal.y, axis=-1), units=signal.units, long_name="minimum",
                         what="no samples", strict=strict)


def max(
    data: Data, *, x: Sweep = None, dim: Dim = None, start: Optional[PerCell] = None, stop: Optional[PerCell] = None,
    strict: bool = False,
) -> Data:
    """The largest value of each sweep (NaN samples ignored)."""
    signal = _extreme("max", data, x, dim, start, stop)
    return signal.finish(data, np.fmax.reduce(signal.y, axis=-1), units=signal.units, long_name="maximum",
                         what="no samples", strict=strict)


def peak_to_peak(
    data: Data, *, x: Sweep = None, dim: Dim = None, start: Optional[PerCell] = None, stop: Optional[PerCell] = None,
    strict: bool = False,
) -> Data:
    """The largest value less the smallest, of each sweep."""
    signal = _extreme("peak_to_peak", data, x, dim, start, stop)
    value = np.fmax.reduce(signal.y, axis=-1) - np.fmin.reduce(signal.y, axis=-1)
    return signal.finish(data, value, units=signal.units, long_name="peak to peak", what="no samples", strict=strict)


def integral(
    data: Data, *, x: Sweep = None, dim: Dim = None, start: Optional[PerCell] = None, stop: Optional[PerCell] = None,
    strict: bool = False,
) -> Data:
    """The integral over the sweep (trapezoidal rule), in the signal's units
    times the sweep's ('V*s'). Complex signals give complex integrals."""
    signal = windowed(prepare("integral", data, x=x, dim=dim, start=start, stop=stop))
    total, _ = _integral(signal, signal.y)
    return signal.finish(data, total, units=product_units(signal.units, signal.x_units), long_name="integral",
                         what="fewer than two samples", strict=strict)


def average(
    data: Data, *, x: Sweep = None, dim: Dim = None, start: Optional[PerCell] = None, stop: Optional[PerCell] = None,
    strict: bool = False,
) -> Data:
    """The mean over the sweep, weighted by the sweep's steps: the integral
    divided by the length of the sweep (of the window)."""
    signal = windowed(prepare("average", data, x=x, dim=dim, start=start, stop=stop))
    total, span = _integral(signal, signal.y)
    with np.errstate(divide="ignore", invalid="ignore"):
        value = total / span
    return signal.finish(data, value, units=signal.units, long_name="average", what="fewer than two samples",
                         strict=strict)


def rms(
    data: Data, *, x: Sweep = None, dim: Dim = None, start: Optional[PerCell] = None, stop: Optional[PerCell] = None,
    strict: bool = False,
) -> Data:
    """The root mean square over the sweep: sqrt(integral of |y|² / length),
    the integral of the squared samples by the trapezoidal rule."""
    signal = windowed(prepare("rms", data, x=x, dim=dim, start=start, stop=stop))
    power = np.abs(signal.y) ** 2
    total, span = _integral(signal, power)
    with np.errstate(divide="ignore", invalid="ignore"):
        value = np.sqrt(total / span)
    return signal.finish(data, value, units=signal.units, long_name="rms",
                         what="fewer than two samples", strict=strict)
