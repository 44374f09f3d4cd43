"""karvo.measure: analytic results, crossings by hand, NaN-padded runs, cells
without a value, DataArrays in and out, and the corpus's parametric study
against plain NumPy run by run."""

from __future__ import annotations

import math
import re
import subprocess
import sys
import warnings

import numpy as np
import pytest

import karvo
from karvo import measure as m

xr = pytest.importorskip("xarray")

TAU = 1e-6  # RC
FC = 1 / (2 * math.pi * TAU)


def rc_lowpass():
    f = np.logspace(3, 8, 5001)
    return 1 / (1 + 1j * f / FC), f


def first_order_step():
    t = np.linspace(0, 20 * TAU, 20001)
    return 1 - np.exp(-t / TAU), t


def two_pole_loop(a0=1e3, p1=1e3, p2=1e6):
    f = np.logspace(0, 9, 9001)
    return a0 / ((1 + 1j * f / p1) * (1 + 1j * f / p2)), f


def unity_gain_of_two_poles(a0=1e3, p1=1e3, p2=1e6):
    """|L(f)| = 1: a quadratic in f^2."""
    a, b, c = 1 / (p1 * p2) ** 2, 1 / p1**2 + 1 / p2**2, 1 - a0**2
    return math.sqrt((-b + math.sqrt(b * b - 4 * a * c)) / (2 * a))


def three_pole_loop(a0=2.0, p=1e6):
    f = np.logspace(3, 9, 6001)
    return a0 / (1 + 1j * f / p) ** 3, f


ZETA, WN = 0.3, 2 * math.pi * 1e6
PEAK = math.exp(-math.pi * ZETA / math.sqrt(1 - ZETA**2))  # overshoot of a second-order step, as a fraction


def second_order_step():
    t = np.linspace(0, 60 / WN, 400001)
    wd = WN * math.sqrt(1 - ZETA**2)
    return 1 - np.exp(-ZETA * WN * t) / math.sqrt(1 - ZETA**2) * np.sin(wd * t + math.acos(ZETA)), t


def offset_sine():
    """0.5 + sin over 7 whole periods of 1 µs."""
    t = np.linspace(0, 7e-6, 7001)
    return 0.5 + np.sin(2 * math.pi * t / 1e-6), t


def pulse_train():
    """Trapezoids, period 4 s: rise 0-1, high to 2, fall 2-3 (50 % at 0.5 and 2.5), low to 4; from t = 0 to 13."""
    t = np.arange(0.0, 14.0)
    return np.array([0, 1, 1, 0] * 3 + [0, 1], dtype=float), t


def falling(make):
    def mirrored():
        y, x = make()
        return 1 - y, x

    return mirrored


def in_db():
    """|H| of the RC low-pass as db20 gives it (units 'dB'): bandwidth reads it as dB."""
    y, f = rc_lowpass()
    return m.db20(xr.DataArray(y, dims=["freq"], coords={"freq": f})), None


def zigzag():
    return np.array([0, 1, 0, 1, 0.0]), np.arange(5.0)


LN9 = math.log(9)
FU = unity_gain_of_two_poles()

# id, function, signal, further arguments, expected, relative tolerance
ANALYTIC = [
    ("bandwidth_3db", m.bandwidth, rc_lowpass, {}, FC * math.sqrt(10**0.3 - 1), 1e-4),
    ("bandwidth_half_power", m.bandwidth, rc_lowpass, {"drop_db": 10 * math.log10(2)}, FC, 1e-4),
    ("bandwidth_of_db", m.bandwidth, in_db, {"drop_db": 20}, FC * math.sqrt(99), 1e-4),
    ("gain_at", m.gain_at, rc_lowpass, {"f": FC}, -10 * math.log10(2), 1e-5),
    ("rise_time", m.rise_time, first_order_step, {}, TAU * LN9, 1e-6),
    ("rise_time_20_80", m.rise_time, first_order_step, {"low": 20, "high": 80}, TAU * math.log(4), 1e-6),
    ("rise_time_levels", m.rise_time, first_order_step, {"bottom": 0, "top": 2, "high": 45}, TAU * math.log(8), 1e-6),
    ("fall_time", m.fall_time, falling(first_order_step), {}, TAU * LN9, 1e-6),
    ("slew_rate", m.slew_rate, first_order_step, {}, 0.8 / (TAU * LN9), 1e-6),
    ("slew_rate_falling", m.slew_rate, falling(first_order_step), {"edge": "falling"}, -0.8 / (TAU * LN9), 1e-6),
    ("settling_time", m.settling_time, first_order_step, {}, TAU * math.log(50), 1e-6),
    ("settling_time_falling", m.settling_time, falling(first_order_step), {"tol": 5}, TAU * math.log(20), 1e-6),
    # from the window's start, the step from the value there (or from `initial`)
    ("settling_time_window", m.settling_time, first_order_step, {"start": TAU}, TAU * math.log(50), 1e-6),
    ("settling_time_initial", m.settling_time, first_order_step, {"start": TAU, "initial": 0},
     TAU * (math.log(50) - 1), 1e-6),
    ("unity_gain_frequency", m.unity_gain_frequency, two_pole_loop, {}, FU, 1e-5),
    ("phase_margin", m.phase_margin, two_pole_loop, {},
     180 - math.degrees(math.atan(FU / 1e3) + math.atan(FU / 1e6)), 1e-5),
    ("gain_margin", m.gain_margin, three_pole_loop, {}, 20 * math.log10(8 / 2), 1e-4),
    ("overshoot", m.overshoot, second_order_step, {}, 100 * PEAK, 1e-6),
    ("overshoot_falling", m.overshoot, falling(second_order_step), {}, 100 * PEAK, 1e-6),
    ("overshoot_none", m.overshoot, first_order_step, {}, 0.0, 0),
    ("undershoot", m.undershoot, second_order_step, {}, 100 * PEAK**2, 1e-5),
    ("period", m.period, offset_sine, {}, 1e-6, 1e-9),
    ("frequency_either", m.frequency, offset_sine, {"level": 0.5, "edge": "either"}, 1e6, 1e-9),
    ("duty_cycle", m.duty_cycle, pulse_train, {}, 50.0, 1e-12),
    ("duty_cycle_level", m.duty_cycle, pulse_train, {"level": 0.25}, 62.5, 1e-12),
    ("average", m.average, offset_sine, {}, 0.5, 1e-9),
    ("rms", m.rms, offset_sine, {}, math.sqrt(0.25 + 0.5), 1e-5),
    ("integral", m.integral, offset_sine, {}, 3.5e-6, 1e-9),
    ("integral_window", m.integral, zigzag, {"start": 0.5, "stop": 2.5}, 1.0, 1e-12),
    ("average_window", m.average, zigzag, {"start": 0.5, "stop": 1.5}, 0.75, 1e-12),
    ("max_window", m.max, zigzag, {"start": 1.5, "stop": 2.75}, 0.75, 0),
    ("min_window", m.min, zigzag, {"start": 0.25, "stop": 0.75}, 0.25, 0),
    ("peak_to_peak", m.peak_to_peak, offset_sine, {}, 2.0, 1e-6),
    ("value_at", m.value_at, zigzag, {"at": 2.25}, 0.25, 0),
    ("value_at_last_point", m.value_at, zigzag, {"at": 4.0}, 0.0, 0),
]


@pytest.fixture(autouse=True)
def _no_stray_warnings():
    """A measurement with a value for every cell warns about nothing (no NumPy RuntimeWarning either)."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        yield


def measured(function, signal, **kwargs):
    y, x = signal()
    return function(y, **kwargs) if x is None else function(y, x=x, **kwargs)


@pytest.mark.parametrize("function, signal, kwargs, expected, rtol", [c[1:] for c in ANALYTIC],
                         ids=[c[0] for c in ANALYTIC])
def test_analytic_results(function, signal, kwargs, expected, rtol):
    got = measured(function, signal, **kwargs)
    assert np.ndim(got) == 0
    assert float(got) == pytest.approx(expected, rel=rtol, abs=0)


def test_settling_time_of_a_ringing_step():
    """The band's edge is met exactly there, and never left after."""
    y, t = second_order_step()
    settled = float(m.settling_time(y, 2, x=t))
    assert abs(np.interp(settled, t, y) - 1) == pytest.approx(0.02, rel=1e-6)
    assert np.abs(y[t > settled] - 1).max() <= 0.02
    assert np.abs(y[t > settled - 0.05 / WN] - 1).max() > 0.02


# ------------------------------------------------------------------ crossings

NAN = math.nan
RAMP = (np.array([0, 1.0]), np.array([0, 1.0]))
ON_LEVEL = (np.array([0, 0.5, 1]), np.arange(3.0))
FROM_LEVEL = (np.array([0.5, 1, 0]), np.arange(3.0))
PLATEAU = (np.array([0, 1, 1, 1, 0.0]), np.arange(5.0))
HOLE = (np.array([0, NAN, 1, 0]), np.arange(4.0))

# signal, level, arguments, expected sweep value (NaN: none, with a warning)
CROSSINGS = [
    (zigzag(), 0.25, {}, 0.25),
    (zigzag(), 0.25, {"nth": 2}, 2.25),
    (zigzag(), 0.25, {"nth": 3}, NAN),
    (zigzag(), 0.25, {"nth": -1}, 2.25),
    (zigzag(), 0.25, {"nth": -2}, 0.25),
    (zigzag(), 0.25, {"nth": -3}, NAN),
    (zigzag(), 0.25, {"edge": "falling"}, 1.75),
    (zigzag(), 0.25, {"edge": "falling", "nth": -1}, 3.75),
    (zigzag(), 0.25, {"edge": "either", "nth": 3}, 2.25),
    (zigzag(), 0.25, {"edge": "either", "nth": 4}, 3.75),
    (zigzag(), 0.25, {"edge": "either", "nth": 5}, NAN),
    (zigzag(), 1.5, {"edge": "either"}, NAN),
    (zigzag(), 0.25, {"start": 0.5}, 2.25),
    (zigzag(), 0.75, {"start": 0.5}, 0.75),
    (zigzag(), 0.25, {"start": 0.5, "stop": 2.2}, NAN),
    (zigzag(), 0.25, {"start": 5.0}, NAN),
    (RAMP, 0.5, {"start": 0.25}, 0.5),
    (RAMP, 0.1, {"start": 0.25}, NAN),
    (RAMP, 0.5, {"stop": 0.5}, 0.5),
    (ON_LEVEL, 0.5, {}, 1.0),  # a sample at the level counts as above it
    (FROM_LEVEL, 0.5, {"edge": "falling"}, 1.5),
    (FROM_LEVEL, 0.5, {}, NAN),
    (PLATEAU, 1.0, {}, 1.0),
    (PLATEAU, 1.0, {"edge": "falling"}, 3.0),
    (HOLE, 0.5, {}, NAN),  # no crossing across a missing sample
    (HOLE, 0.5, {"edge": "falling"}, 2.5),
]


@pytest.mark.parametrize("signal, level, kwargs, expected", CROSSINGS)
def test_cross(signal, level, kwargs, expected):
    y, x = signal
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = float(m.cross(y, level, x=x, **kwargs))
    assert got == expected or (math.isnan(got) and math.isnan(expected))
    assert len(caught) == (1 if math.isnan(expected) else 0)


RISE_AT_1 = np.array([0, 0, 1, 1, 1.0])  # through 0.5 at t = 1.5 (t = 0, 1, ...)
RISE_AT_3 = np.array([0, 0, 0, 0.25, 1.0])  # through 0.5 at t = 3 + 1/3


@pytest.mark.parametrize(
    "a, b, kwargs, expected",
    [
        (RISE_AT_1, RISE_AT_3, {}, 3 + 1 / 3 - 1.5),
        (RISE_AT_3, RISE_AT_1, {}, 1.5 - 3 - 1 / 3),  # b first: negative
        (RISE_AT_1, 1 - RISE_AT_3, {"edge_b": "falling"}, 3 + 1 / 3 - 1.5),
        (RISE_AT_1, RISE_AT_3, {"level_b": 0.25}, 3 - 1.5),
        (RISE_AT_1, RISE_AT_3, {"edge_b": "falling"}, NAN),
    ],
)
def test_delay(a, b, kwargs, expected):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = float(m.delay(a, b, 0.5, x=np.arange(5.0), **kwargs))
    assert got == pytest.approx(expected, rel=1e-12, nan_ok=True)
    assert len(caught) == (1 if math.isnan(expected) else 0)


def test_block_by_block_search_matches_one_cell_at_a_time(monkeypatch):
    """Families bigger than a block are searched a block of cells at a time,
    with per-cell levels and any nth; the answer is each cell's own."""
    from karvo.measure import _search

    monkeypatch.setattr(_search, "BLOCK", 120)  # 3 cells a block, the last one short
    rng = np.random.default_rng(7)
    y = rng.normal(size=(7, 5, 40)).cumsum(axis=-1)
    level = rng.normal(size=(7, 1))
    for nth in (1, 2, -1, -3):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)
            family = m.cross(y, level, x=np.arange(40.0), edge="either", nth=nth)
            alone = [[m.cross(y[i, j], level[i, 0], x=np.arange(40.0), edge="either", nth=nth)
                      for j in range(5)] for i in range(7)]
        np.testing.assert_array_equal(family, np.array(alone, dtype=float))


# ---------------------------------------------------------- unit conversions

DELAY = 1e-9
FREQ = np.linspace(0, 2e9, 201)
LOOP = 10 * np.exp(-2j * np.pi * FREQ * DELAY)  # 10, its phase falling 360 degrees per GHz


@pytest.mark.parametrize(
    "function, expected, units",
    [
        (m.db20, np.full(201, 20.0), "dB"),
        (m.db10, np.full(201, 10.0), "dB"),
        (m.mag, np.full(201, 10.0), "V"),
        (m.phase, -360 * FREQ * DELAY, "deg"),
        (m.real, 10 * np.cos(2 * np.pi * FREQ * DELAY), "V"),
        (m.imag, -10 * np.sin(2 * np.pi * FREQ * DELAY), "V"),
    ],
)
def test_conversions(function, expected, units):
    """Same shape and coordinates, new units; the phase unwrapped along the
    sweep, each run on its own points (padding adds no jump)."""
    data = np.stack([LOOP, np.where(FREQ < 1.3e9, LOOP, complex(NAN, NAN))])  # padded as families are
    signal = xr.DataArray(data, dims=["run", "freq"], coords={"run": [1, 2], "freq": FREQ},
                          name="out", attrs={"units": "V", "key": "node"})
    got = function(signal)
    assert got.dims == ("run", "freq") and got.name == "out"
    assert got.attrs["units"] == units and "key" not in got.attrs
    assert got.indexes["run"].equals(signal.indexes["run"])
    np.testing.assert_allclose(got.sel(run=1), expected, rtol=1e-12, atol=1e-9)
    np.testing.assert_allclose(got.sel(run=2), np.where(FREQ < 1.3e9, expected, np.nan), rtol=1e-12, atol=1e-9)
    # a NumPy array: the same values (the phase along the axis given)
    plain = function(data.T, dim=0).T if function is m.phase else function(data)
    np.testing.assert_array_equal(plain, got.values)
    # a Dask-backed family stays lazy (one chunk per run) and computes the same
    lazy = function(signal.chunk({"run": 1}))
    assert lazy.chunks == ((1, 1), (201,))
    np.testing.assert_array_equal(lazy.values, got.values)


# --------------------------------------------------------- NaN-padded families

def padded(rows):
    """Runs of their own lengths as one padded family, as to_xarray(..., pad=True) gives it."""
    n = max(len(y) for y, _ in rows)
    y = np.full((len(rows), n), NAN, dtype=rows[0][0].dtype if rows[0][0].dtype.kind == "c" else float)
    x = np.full((len(rows), n), NAN)
    for i, (yi, xi) in enumerate(rows):
        y[i, : len(yi)], x[i, : len(xi)] = yi, xi
    return y, x


def ringing_steps():
    """Second-order steps of three dampings, each run ending at a time of its own."""
    rows = []
    for zeta, stretch, points in ((0.2, 1.0, 2001), (0.4, 1.1, 1500), (0.7, 1.3, 1100)):
        t = np.linspace(0, 40 / WN, 2001)[:points] * stretch
        wd = WN * math.sqrt(1 - zeta**2)
        rows.append((1 - np.exp(-zeta * WN * t) / math.sqrt(1 - zeta**2) * np.sin(wd * t + math.acos(zeta)), t))
    return rows


def loops():
    """Three-pole loop gains of three gains, each sweep ending at a frequency of its own."""
    f = np.logspace(3, 9, 601)
    return [(a0 / (1 + 1j * f[:points] / 1e6) ** 3, f[:points]) for a0, points in ((2, 601), (4, 450), (6, 400))]


PADDED = [
    (m.value_at, ringing_steps, {"at": 1e-6}),
    (m.min, ringing_steps, {}),
    (m.max, ringing_steps, {"stop": 3e-6}),
    (m.peak_to_peak, ringing_steps, {}),
    (m.average, ringing_steps, {}),
    (m.average, ringing_steps, {"start": 1e-6, "stop": 4e-6}),
    (m.rms, ringing_steps, {}),
    (m.integral, ringing_steps, {}),
    (m.cross, ringing_steps, {"level": 1.0, "edge": "either", "nth": -1}),
    (m.period, ringing_steps, {"level": 1.0, "edge": "either"}),
    (m.frequency, ringing_steps, {"level": 1.0}),
    (m.duty_cycle, ringing_steps, {"level": 1.0}),
    (m.rise_time, ringing_steps, {}),
    (m.slew_rate, ringing_steps, {}),
    (m.overshoot, ringing_steps, {}),
    (m.undershoot, ringing_steps, {}),
    (m.settling_time, ringing_steps, {"tol": 1}),
    (m.settling_time, ringing_steps, {"start": 1e-7}),
    (m.bandwidth, loops, {}),
    (m.gain_at, loops, {"f": 2e5}),
    (m.unity_gain_frequency, loops, {}),
    (m.phase_margin, loops, {}),
    (m.gain_margin, loops, {}),
]


@pytest.mark.parametrize("labelled", [False, True], ids=["numpy", "dataarray"])
@pytest.mark.parametrize("function, runs, kwargs", PADDED, ids=[f"{c[0].__name__}-{i}" for i, c in enumerate(PADDED)])
def test_padded_runs_are_measured_each_on_its_own_points(function, runs, kwargs, labelled):
    rows = runs()
    y, x = padded(rows)
    if labelled:  # the layout of a padded family: the sweep a coordinate over run x point
        family = xr.DataArray(y, dims=["run", "point"], coords={"run": [0, 1, 2], "time": (("run", "point"), x)})
        got = function(family, **kwargs).values
    else:
        got = function(y, x=x, **kwargs)
    alone = [float(function(yi, x=xi, **kwargs)) for yi, xi in rows]
    assert not np.isnan(alone).any()
    np.testing.assert_allclose(got, alone, rtol=1e-12)


# ------------------------------------------------------- DataArrays in and out

CAPS, RESISTORS = [1e-12, 1e-11, 2e-11], [500.0, 1000.0, 2000.0]


def rc_family():
    """|H| of RC low-passes over cap x res x freq, with units as a family has them."""
    f = np.logspace(4, 11, 701)
    tau = np.multiply.outer(CAPS, RESISTORS)[..., None]
    h = 1 / (1 + 2j * np.pi * f * tau)
    return xr.DataArray(h, dims=["cap", "res", "freq"], name="out", attrs={"units": "V"},
                        coords={"cap": CAPS, "res": RESISTORS, "freq": ("freq", f, {"units": "Hz"})})


def test_a_family_gives_a_table_over_its_other_dimensions():
    ac = rc_family()
    bw = m.bandwidth(ac, drop_db=10 * math.log10(2))
    assert bw.dims == ("cap", "res") and bw.name == "out"
    assert bw.attrs == {"long_name": "bandwidth", "units": "Hz"}
    expected = 1 / (2 * np.pi * np.multiply.outer(CAPS, RESISTORS))
    np.testing.assert_allclose(bw, expected, rtol=2e-3)
    np.testing.assert_allclose(bw.sel(cap=1e-11), expected[1], rtol=2e-3)
    # dim= another dimension than the last; a transposed family measures the same
    np.testing.assert_array_equal(m.bandwidth(ac.transpose("freq", "res", "cap"), dim="freq",
                                              drop_db=10 * math.log10(2)).transpose("cap", "res"), bw)
    # per-cell arguments: aligned by coordinates, not by position
    at = xr.DataArray(expected[:, ::-1], dims=["cap", "res"], coords={"cap": CAPS, "res": RESISTORS[::-1]})
    np.testing.assert_allclose(m.gain_at(ac, at), -10 * math.log10(2), rtol=1e-3)
    # an argument over a dimension of its own adds it to the result
    levels = xr.DataArray([0.9, 0.5], dims=["level"], coords={"level": [0.9, 0.5]})
    crossings = m.cross(m.mag(ac), levels, edge="falling")
    assert crossings.dims == ("cap", "res", "level") and crossings.attrs["units"] == "Hz"
    np.testing.assert_array_equal(crossings.sel(level=0.5), m.cross(m.mag(ac), 0.5, edge="falling"))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: m.cross(np.zeros(3), 0.5), ValueError, "pass x="),
        (lambda: m.cross(np.zeros(3), 0.5, x=[2.0, 1.0, 0.0]), ValueError, "must ascend"),
        (lambda: m.cross(np.zeros(3), 0.5, x=[0.0, 1.0]), ValueError, "x holds 2 values, the sweep 3"),
        (lambda: m.cross(np.zeros(3), 0.5, x=np.arange(3.0), edge="up"), ValueError, "edge must be"),
        (lambda: m.cross(np.zeros(3), 0.5, x=np.arange(3.0), nth=0), ValueError, "nth counts"),
        (lambda: m.cross(np.zeros(3, complex), 0.5, x=np.arange(3.0)), TypeError, "complex"),
        (lambda: m.phase_margin(np.ones(3), x=np.arange(3.0)), TypeError, "must be complex"),
        (lambda: m.rise_time(np.zeros(3), x=np.arange(3.0), low=90, high=10), ValueError, "must be below"),
        (lambda: m.average(np.zeros(3), x=np.arange(3.0), start=2, stop=1), ValueError, "must come before"),
        (lambda: m.max(np.zeros((2, 3)), dim="time"), TypeError, "axis number"),
        (lambda: m.bandwidth(rc_family().to_dataset()), TypeError, "not the Dataset"),
        (lambda: m.bandwidth(rc_family(), dim="time"), ValueError, "no dimension 'time'"),
        (lambda: m.bandwidth(xr.DataArray(np.ones((2, 3)), dims=["a", "b"])), ValueError, "no sweep values"),
        (lambda: m.gain_at(rc_family(), rc_family()), ValueError, "runs along the sweep"),
        (lambda: m.cross(np.zeros((2, 3)), [0.1, 0.2, 0.3], x=np.arange(3.0)), ValueError, r"do not fit.*\(2,\)"),
        (lambda: m.gain_at(rc_family(), [1.0, 2.0]), ValueError, r"f of shape \(2,\) does not fit the cells"),
    ],
)
def test_misuse_is_refused_clearly(call, error, message):
    with pytest.raises(error, match=message):
        call()


# ------------------------------------------------------ cells without a value

def steps_of_gains(gains):
    """Steps to gains[cap, res] over cap x res x time; a NaN gain is a run that could not be read."""
    t = np.linspace(0, 10 * TAU, 101)
    y = np.asarray(gains)[..., None] * (1 - np.exp(-t / TAU))
    return xr.DataArray(y, dims=["cap", "res", "time"], coords={"cap": CAPS, "res": RESISTORS, "time": t})


@pytest.mark.parametrize("labelled", [True, False], ids=["dataarray", "numpy"])
def test_cells_without_a_value_warn_once_or_raise_under_strict(labelled):
    gains = [[1, 1, 0.4], [1, NAN, 1], [0.3, 1, 1]]
    family = steps_of_gains(gains)
    data, x = (family, None) if labelled else (family.values, family.time.values)
    with pytest.warns(UserWarning) as caught:
        got = m.cross(data, 0.5, x=x)
    assert len(caught) == 1 and caught[0].filename == __file__
    assert str(caught[0].message) == (
        "cross: 3 of 9 cells have no rising crossing of 0.5 (1 of them hold no samples); "
        "they are NaN (strict=True raises instead)"
    )
    reached = np.array(gains) >= 0.5
    expected = np.where(reached, -TAU * np.log(1 - 0.5 / np.where(reached, gains, 1)), NAN)
    np.testing.assert_allclose(got, expected, rtol=1e-3)
    where = "cap=1e-12, res=2000.0" if labelled else "index (0, 2)"
    with pytest.raises(ValueError, match=rf"^cross: no rising crossing of 0\.5 at {re.escape(where)}$"):
        m.cross(data, 0.5, x=x, strict=True)
    where = "cap=1e-11, res=1000.0" if labelled else "index (1, 1)"
    with pytest.raises(ValueError, match=rf"^rise_time: no samples at {re.escape(where)}$"):
        m.rise_time(data, x=x, strict=True)


def test_one_signal_without_a_value():
    with pytest.warns(UserWarning, match=r"^bandwidth: no drop of 3 dB; the result is NaN \(strict"):
        assert math.isnan(m.bandwidth(np.ones(5), x=np.arange(5.0)))
    with pytest.raises(ValueError, match=r"^overshoot: no step in the signal$"):
        m.overshoot(np.ones(5), strict=True)


# ------------------------------------------------ the corpus's parametric study

def test_bandwidth_of_the_shared_study_against_numpy(corpus):
    ac = karvo.open_results(corpus / "runs" / "tran_dc_ac_param").to_xarray("ac")
    f = ac.freq.values
    for name in ("vo1", "vo2"):
        bw = m.bandwidth(ac[name])
        assert bw.dims == ("cap", "res") and bw.shape == (3, 3) and bw.attrs["units"] == "Hz"
        for cap in ac.cap.values:
            for res in ac.res.values:
                db = 20 * np.log10(np.abs(ac[name].sel(cap=cap, res=res).values))
                target = db[0] - 3
                i = np.flatnonzero(db < target)[0]
                expected = np.interp(target, [db[i], db[i - 1]], [f[i], f[i - 1]])
                assert float(bw.sel(cap=cap, res=res)) == pytest.approx(expected, rel=1e-12)
        # an RC network: the bandwidth goes as 1 / (R C)
        product = bw * bw.cap * bw.res
        np.testing.assert_allclose(product, float(product[0, 0]), rtol=0.01)


@pytest.mark.parametrize(
    "name, level, edge",
    [("vo2", 0.1, "rising"), ("vo2", 0.3, "rising"), ("vo1", 0.3, "rising"), ("vo2", 0.15, "falling"),
     ("vin", 0.5, "falling")],
)
def test_crossings_of_the_shared_padded_transient_against_numpy(corpus, name, level, edge):
    tran = karvo.open_results(corpus / "runs" / "tran_dc_ac_param").to_xarray("tran", pad=True)
    assert tran.time.dims == ("cap", "res", "point") and np.isnan(tran.time.values).any()
    expected = np.full((3, 3), NAN)
    for i, cap in enumerate(tran.cap.values):
        for j, res in enumerate(tran.res.values):
            run = tran.sel(cap=cap, res=res)
            points = ~np.isnan(run.time.values)
            t, y = run.time.values[points], run[name].values[points]
            above = y >= level
            hits = np.flatnonzero(~above[:-1] & above[1:] if edge == "rising" else above[:-1] & ~above[1:])
            if hits.size:
                k = hits[0]
                expected[i, j] = t[k] + (t[k + 1] - t[k]) * (level - y[k]) / (y[k + 1] - y[k])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = m.cross(tran[name], level, edge=edge)
    assert len(caught) == int(np.isnan(expected).any())  # slow runs never reach 0.3 V
    assert got.dims == ("cap", "res") and got.attrs["units"] == "s"
    np.testing.assert_allclose(got, expected, rtol=1e-12)


def test_measure_is_imported_on_first_use_and_needs_no_xarray():
    code = (
        "import sys; sys.modules['xarray'] = None\n"
        "import karvo; print('numpy' in sys.modules)\n"
        "import numpy as np\n"
        "print(float(karvo.measure.cross(np.array([0.0, 2.0]), 0.5, x=np.array([0.0, 1.0]))))\n"
        "from karvo import measure; print(measure is karvo.measure)"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (result.returncode, result.stderr, result.stdout) == (0, "", "False\n0.25\nTrue\n")
