"""Step and edge measurements of transients: rise and fall times, slew rate,
overshoot, undershoot, settling time.

Edges are measured between two levels, `low` and `high` percent of the way
from `bottom` to `top` (by default each cell's own minimum and maximum).
Steps go from `initial` to `final` (by default each cell's first and last
sample, in the window when `start`/`stop` are given); a padded run's last
sample is its own last point.
"""

from __future__ import annotations

from typing import Any, Hashable, Optional, Union

import numpy as np

from . import _search
from ._core import Data, Float, PerCell, Signal, Sweep, prepare, ratio_units
from ._points import windowed

Dim = Union[Hashable, int, None]


def _edge(
    function: str, data: Any, edge: str, low: float, high: float, bottom: Optional[PerCell], top: Optional[PerCell],
    x: Sweep, dim: Dim, start: Optional[PerCell], stop: Optional[PerCell],
) -> tuple[Signal, Float, Float, Float]:
    """The first `edge` between the two levels: the sweep values where it
    leaves the first level and reaches the second (from that crossing on),
    and the change of level (high less low for a rising edge, low less high
    for a falling one)."""
    if not low < high:
        raise ValueError(f"{function}: low ({low:g} %) must be below high ({high:g} %)")
    signal = windowed(prepare(function, data, x=x, dim=dim, bottom=bottom, top=top, start=start, stop=stop))
    y, xs = signal.real(), signal.sweep
    floor = signal.params.get("bottom")
    ceiling = signal.params.get("top")
    b = np.fmin.reduce(y, axis=-1) if floor is None else floor
    t = np.fmax.reduce(y, axis=-1) if ceiling is None else ceiling
    lower, upper = b + (t - b) * (low / 100), b + (t - b) * (high / 100)
    first, second = (lower, upper) if edge == "rising" else (upper, lower)
    leaves, index, _ = _search.find(y, xs, first, edge)
    reaches, _, _ = _search.find(y, xs, second, edge, after=index)
    return signal, leaves, reaches, np.asarray(second - first, dtype=np.float64)


def _what(edge: str, low: float, high: float) -> str:
    first, second = (low, high) if edge == "rising" else (high, low)
    return f"no {edge} edge from {first:g} to {second:g} %"


def rise_time(
    data: Data, *, low: float = 10.0, high: float = 90.0, bottom: Optional[PerCell] = None,
    top: Optional[PerCell] = None, x: Sweep = None, dim: Dim = None, start: Optional[PerCell] = None,
    stop: Optional[PerCell] = None, strict: bool = False,
) -> Data:
    """The time of the first rising edge from `low` to `high` percent of the
    way from `bottom` to `top` (each cell's minimum and maximum by default;
    numbers or one per cell): from its rising crossing of the low level to
    the next rising crossing of the high one."""
    signal, leaves, reaches, _ = _edge("rise_time", data, "rising", low, high, bottom, top, x, dim, start, stop)
    return signal.finish(data, reaches - leaves, units=signal.x_units, long_name="rise time",
                         what=_what("rising", low, high), strict=strict)


def fall_time(
    data: Data, *, low: float = 10.0, high: float = 90.0, bottom: Optional[PerCell] = None,
    top: Optional[PerCell] = None, x: Sweep = None, dim: Dim = None, start: Optional[PerCell] = None,
    stop: Optional[PerCell] = None, strict: bool = False,
) -> Data:
    """The time of the first falling edge from `high` to `low` percent (see
    rise_time)."""
    signal, leaves, reaches, _ = _edge("fall_time", data, "falling", low, high, bottom, top, x, dim, start, stop)
    return signal.finish(data, reaches - leaves, units=signal.x_units, long_name="fall time",
                         what=_what("falling", low, high), strict=strict)


def slew_rate(
    data: Data, *, edge: str = "rising", low: float = 10.0, high: float = 90.0, bottom: Optional[PerCell] = None,
    top: Optional[PerCell] = None, x: Sweep = None, dim: Dim = None, start: Optional[PerCell] = None,
    stop: Optional[PerCell] = None, strict: bool = False,
) -> Data:
    """The mean slope of the first `edge` ("rising" or "falling") between the
    `low` and `high` levels (see rise_time): their difference over the edge's
    time, in the signal's units per the sweep's ('V/s'); negative for a
    falling edge."""
    if edge not in ("rising", "falling"):
        raise ValueError(f"slew_rate: edge must be 'rising' or 'falling', not {edge!r}")
    signal, leaves, reaches, change = _edge("slew_rate", data, edge, low, high, bottom, top, x, dim, start, stop)
    with np.errstate(divide="ignore", invalid="ignore"):
        value = change / (reaches - leaves)
    return signal.finish(data, value, units=ratio_units(signal.units, signal.x_units), long_name="slew rate",
                         what=_what(edge, low, high), strict=strict)


def _step(
    function: str, data: Any, initial: Optional[PerCell], final: Optional[PerCell], x: Sweep, dim: Dim,
    start: Optional[PerCell], stop: Optional[PerCell],
) -> tuple[Signal, Float]:
    """The signal on its window, as the fraction of the way from its initial
    to its final value (0 to 1 whichever way the step goes; NaN without a step)."""
    signal = windowed(prepare(function, data, x=x, dim=dim, initial=initial, final=final, start=start, stop=stop))
    y = signal.real()
    first = signal.params.get("initial")
    last = signal.params.get("final")
    begin = _search.first_valid(y) if first is None else first
    end = _search.last_valid(y) if last is None else last
    step = np.asarray(end - begin)
    with np.errstate(divide="ignore", invalid="ignore"):
        scale = np.where(step != 0, 1 / step, np.nan)
        return signal, (y - np.asarray(begin)[..., None]) * scale[..., None]


def overshoot(
    data: Data, *, initial: Optional[PerCell] = None, final: Optional[PerCell] = None, x: Sweep = None,
    dim: Dim = None, start: Optional[PerCell] = None, stop: Optional[PerCell] = None, strict: bool = False,
) -> Data:
    """How far the signal goes beyond its final value, in percent of the step
    from `initial` to `final` (each cell's first and last sample by default):
    100 (max - final) / (final - initial) for a rising step, the minimum for a
    falling one; 0 without overshoot."""
    signal, u = _step("overshoot", data, initial, final, x, dim, start, stop)
    value = 100 * np.maximum(np.fmax.reduce(u, axis=-1) - 1, 0)
    return signal.finish(data, value, units="%", long_name="overshoot", what="no step", strict=strict)


def undershoot(
    data: Data, *, initial: Optional[PerCell] = None, final: Optional[PerCell] = None, x: Sweep = None,
    dim: Dim = None, start: Optional[PerCell] = None, stop: Optional[PerCell] = None, strict: bool = False,
) -> Data:
    """How far the signal falls back short of its final value after first
    reaching it (the trough of the ringing), in percent of the step from
    `initial` to `final` (see overshoot); 0 without undershoot."""
    signal, u = _step("undershoot", data, initial, final, x, dim, start, stop)
    if u.shape[-1] < 2:
        value = np.full(u.shape[:-1], np.nan)
    else:
        index, found = _search.nth_segment(_search.segments(u, np.asarray(1.0), "rising"), 1)
        after = np.where(np.arange(u.shape[-1]) > index[..., None], u, np.nan)
        trough = np.fmin.reduce(after, axis=-1)
        value = np.where(found, 100 * np.maximum(1 - trough, 0), np.nan)
    return signal.finish(data, value, units="%", long_name="undershoot", what="no step reaching its final value",
                         strict=strict)


def settling_time(
    data: Data, tol: float = 2.0, *, initial: Optional[PerCell] = None, final: Optional[PerCell] = None,
    x: Sweep = None, dim: Dim = None, start: Optional[PerCell] = None, stop: Optional[PerCell] = None,
    strict: bool = False,
) -> Data:
    """The time from the start of the sweep (or of the window: pass
    `start=` the input's edge, say) until the signal enters the band of `tol`
    percent of the step around its final value and stays in it, interpolated
    where it crosses the band's edge; 0 when it starts inside."""
    if not tol > 0:
        raise ValueError(f"settling_time: tol is a percentage of the step above 0, not {tol!r}")
    signal, u = _step("settling_time", data, initial, final, x, dim, start, stop)
    xs = signal.sweep
    what = f"no step that settles within {tol:g} %"
    if u.shape[-1] < 2:
        return signal.finish(data, np.full(u.shape[:-1], np.nan), units=signal.x_units, long_name="settling time",
                             what=what, strict=strict)
    band = tol / 100
    with np.errstate(invalid="ignore"):
        outside = np.abs(u - 1) > band
    n = u.shape[-1]
    last_out = n - 1 - np.argmax(outside[..., ::-1], axis=-1)
    last_point = n - 1 - np.argmax(~np.isnan(u[..., ::-1]), axis=-1)
    begin = _search.first_valid(np.broadcast_to(xs, u.shape))
    settles = np.minimum(last_out, n - 2)
    u0, u1 = _search.take(u, settles), _search.take(u, settles + 1)
    edge = np.where(u0 > 1, 1 + band, 1 - band)
    with np.errstate(invalid="ignore", divide="ignore"):
        t = (edge - u0) / (u1 - u0)
    enters = _search.blend(_search.take(xs, settles), _search.take(xs, settles + 1), t)
    out_ever = _search.take(outside, last_out)
    value = np.where(out_ever, enters - begin, 0.0)
    value = np.where(out_ever & (last_out >= last_point), np.nan, value)
    value = np.where(np.isnan(u).all(axis=-1), np.nan, value)
    return signal.finish(data, value, units=signal.x_units, long_name="settling time", what=what, strict=strict)
