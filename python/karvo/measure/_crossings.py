"""Crossings of a level, and what follows from them: delays, the frequency,
period and duty cycle of a periodic signal.

A sample at or above the level counts as above it. A crossing's sweep value
is interpolated linearly between the two samples around it; rising and
falling crossings alternate. `start`/`stop` restrict the search to part of
the sweep (a crossing at the window's edge is found by interpolation).
"""

from __future__ import annotations

import sys
from typing import Any, Hashable, Optional, Union, cast

import numpy as np

from . import _search
from ._core import Data, Float, PerCell, Signal, Sweep, prepare, report
from ._points import describe, windowed

Dim = Union[Hashable, int, None]


def _search_signal(
    function: str, data: Any, x: Sweep, dim: Dim, start: Optional[PerCell], stop: Optional[PerCell], **params: Any
) -> tuple[Signal, Float, Float]:
    """The signal on its window, its real samples and its sweep."""
    signal = windowed(prepare(function, data, x=x, dim=dim, start=start, stop=stop, **params))
    return signal, signal.real(), signal.sweep


def _ordinal(n: int) -> str:
    suffix = "th" if 10 <= n % 100 <= 20 else {1: "st", 2: "nd", 3: "rd"}.get(n % 10, "th")
    return f"{n}{suffix}"


def _midpoint(y: Float, level: Optional[Float]) -> Float:
    """`level`, or halfway between each cell's smallest and largest value."""
    if level is not None:
        return level
    return np.asarray((np.fmin.reduce(y, axis=-1) + np.fmax.reduce(y, axis=-1)) / 2, dtype=np.float64)


def cross(
    data: Data, level: PerCell, *, edge: str = "rising", nth: int = 1, x: Sweep = None, dim: Dim = None,
    start: Optional[PerCell] = None, stop: Optional[PerCell] = None, strict: bool = False,
) -> Data:
    """The sweep value where the signal crosses `level` (a number, or one per
    cell) on its `nth` `edge` ("rising", "falling" or "either"): 1 the first,
    2 the second, -1 the last. Interpolated linearly between the two samples
    around the crossing."""
    _search.check_edge("cross", edge)
    _search.check_nth("cross", nth)
    signal, y, xs = _search_signal("cross", data, x, dim, start, stop, level=level)
    value, _, _ = _search.find(y, xs, signal.params["level"], edge, int(nth))
    which = "" if nth == 1 else "last " if nth == -1 else f"{_ordinal(abs(nth))} {'last ' if nth < 0 else ''}"
    return signal.finish(data, value, units=signal.x_units, long_name="crossing",
                         what=f"no {which}{edge} crossing of {describe(level, 'level')}", strict=strict)


def delay(
    a: Data, b: Data, level_a: PerCell, level_b: Optional[PerCell] = None, *, edge_a: str = "rising",
    edge_b: str = "rising", nth_a: int = 1, nth_b: int = 1, x: Sweep = None, dim: Dim = None,
    start: Optional[PerCell] = None, stop: Optional[PerCell] = None, strict: bool = False,
) -> Data:
    """The sweep value of `b`'s crossing less that of `a`'s: from the `nth_a`
    `edge_a` crossing of `level_a` by `a` to the `nth_b` `edge_b` crossing of
    `level_b` (default `level_a`) by `b`, each counted from the start of the
    sweep (or window). Negative where `b` crosses first. DataArrays are
    aligned as xarray aligns them in arithmetic."""
    for edge in (edge_a, edge_b):
        _search.check_edge("delay", edge)
    for nth in (nth_a, nth_b):
        _search.check_nth("delay", nth)
    times = []
    for data, level, edge, nth in ((a, level_a, edge_a, nth_a), (b, level_b, edge_b, nth_b)):
        signal, y, xs = _search_signal("delay", data, x, dim, start, stop,
                                       level=level_a if level is None else level)
        value, _, _ = _search.find(y, xs, signal.params["level"], edge, int(nth))
        times.append((signal, signal.wrap(value, units=signal.x_units, long_name="crossing")))
    (first, at_a), (_, at_b) = times
    result = at_b - at_a
    xr = sys.modules.get("xarray")
    if xr is not None and isinstance(result, xr.DataArray):
        result.attrs = {"long_name": "delay"}
        if first.x_units:
            result.attrs["units"] = first.x_units
    report(result, "delay", "no crossing of one of the two signals", strict)
    return cast(Data, result)


def _periods(function: str, data: Any, level: Optional[PerCell], edge: str, x: Sweep, dim: Dim,
             start: Optional[PerCell], stop: Optional[PerCell]) -> tuple[Signal, Float]:
    """The mean distance between successive `edge` crossings of `level`: from
    the first to the last, divided by the number of periods between them."""
    _search.check_edge(function, edge)
    signal, y, xs = _search_signal(function, data, x, dim, start, stop, level=level)
    lv = _midpoint(y, signal.params.get("level"))
    if y.shape[-1] < 2:
        return signal, np.full(y.shape[:-1], np.nan)
    mask = _search.segments(y, lv, edge)
    count = np.count_nonzero(mask, axis=-1)
    first, _ = _search.nth_segment(mask, 1)
    last, _ = _search.nth_segment(mask, -1)
    span = _search.crossing(y, xs, lv, last) - _search.crossing(y, xs, lv, first)
    if edge == "either":  # two crossings a period
        span = span * 2
    with np.errstate(invalid="ignore", divide="ignore"):
        return signal, np.where(count >= 2, span / (count - 1), np.nan)


def period(
    data: Data, level: Optional[PerCell] = None, *, edge: str = "rising", x: Sweep = None, dim: Dim = None,
    start: Optional[PerCell] = None, stop: Optional[PerCell] = None, strict: bool = False,
) -> Data:
    """The mean period of a periodic signal: the distance from its first to
    its last `edge` crossing of `level` over the number of periods between
    them (default level: halfway between each cell's minimum and maximum)."""
    signal, value = _periods("period", data, level, edge, x, dim, start, stop)
    return signal.finish(data, value, units=signal.x_units, long_name="period",
                         what=f"fewer than two {edge} crossings", strict=strict)


def frequency(
    data: Data, level: Optional[PerCell] = None, *, edge: str = "rising", x: Sweep = None, dim: Dim = None,
    start: Optional[PerCell] = None, stop: Optional[PerCell] = None, strict: bool = False,
) -> Data:
    """1 / period(...): in Hz over a sweep in seconds."""
    signal, value = _periods("frequency", data, level, edge, x, dim, start, stop)
    units = "Hz" if signal.x_units == "s" else f"1/{signal.x_units}" if signal.x_units else None
    with np.errstate(divide="ignore"):
        inverse = 1 / value
    return signal.finish(data, inverse, units=units, long_name="frequency", what=f"fewer than two {edge} crossings",
                         strict=strict)


def duty_cycle(
    data: Data, level: Optional[PerCell] = None, *, x: Sweep = None, dim: Dim = None,
    start: Optional[PerCell] = None, stop: Optional[PerCell] = None, strict: bool = False,
) -> Data:
    """The share of time at or above `level`, in percent, over the whole
    periods from the first rising crossing to the last (default level:
    halfway between each cell's minimum and maximum)."""
    signal, y, xs = _search_signal("duty_cycle", data, x, dim, start, stop, level=level)
    lv = _midpoint(y, signal.params.get("level"))
    if y.shape[-1] < 2:
        return signal.finish(data, np.full(y.shape[:-1], np.nan), units="%", long_name="duty cycle",
                             what="fewer than two rising crossings", strict=strict)
    rising = _search.segments(y, lv, "rising")
    falling = _search.segments(y, lv, "falling")
    first, found = _search.nth_segment(rising, 1)
    last, _ = _search.nth_segment(rising, -1)
    # every crossing's sweep value; rising and falling alternate, so the time
    # high between the first and last rising crossings is the sum of the
    # falling ones there less the sum of the rising ones before the last
    segment = np.arange(rising.shape[-1])
    y0, y1 = y[..., :-1], y[..., 1:]
    with np.errstate(invalid="ignore", divide="ignore"):
        t = (np.asarray(lv)[..., None] - y0) / (y1 - y0)
    at = _search.blend(xs[..., :-1], xs[..., 1:], t)
    before_last = segment < last[..., None]
    falls = falling & before_last & (segment > first[..., None])
    rises = rising & before_last
    high = np.where(falls, at, 0).sum(axis=-1) - np.where(rises, at, 0).sum(axis=-1)
    whole = _search.take(at, last) - _search.take(at, first)
    with np.errstate(invalid="ignore", divide="ignore"):
        value = np.where(found & (last > first), 100 * high / whole, np.nan)
    return signal.finish(data, value, units="%", long_name="duty cycle", what="fewer than two rising crossings",
                         strict=strict)
