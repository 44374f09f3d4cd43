#!/usr/bin/env python3
"""Crossing search over a family: karvo.measure.cross against plain NumPy.

    python3 bench/bench_measure.py              # 1000 runs x 10,000 points
    python3 bench/bench_measure.py --quick      # 100 runs x 2,000 points, a smoke run

The family is float64 of shape (runs, points), a sine of a frequency and phase
of its own per run. Each case is timed against a baseline on the same array:
one pass of `np.diff(np.sign(y), axis=-1)`, the least a search for sign
changes costs in NumPy (it finds no position, interpolates nothing). The two
are interleaved and the median of their ratios reported.

Cases:

- first: the first rising crossing of 0 per run, the sweep shared by every run;
- third: the third one (counted, not just the first found);
- padded: the first one in a padded family: each run ends at a point of its
  own, sweep and samples NaN after it (as `to_xarray(..., pad=True)` gives);
- loop: the per-run Python loop users write without karvo.measure (for each
  run: np.diff(np.sign(...)), np.flatnonzero, one interpolation), for scale.
"""

from __future__ import annotations

import argparse
import statistics
import time
import warnings
from typing import Any, Callable, Dict

import numpy as np

from karvo import measure


def family(runs: int, points: int, padded: bool) -> tuple[Any, Any]:
    """A sine per run over t in [0, 1): 3 to 30 periods, random phase; padded:
    each run cut at a random length of half to all the points."""
    rng = np.random.default_rng(1)
    t = np.linspace(0.0, 1.0, points, endpoint=False)
    cycles = rng.uniform(3, 30, size=(runs, 1))
    phase = rng.uniform(0, 2 * np.pi, size=(runs, 1))
    y = np.sin(2 * np.pi * cycles * t + phase)
    if not padded:
        return y, t
    x = np.broadcast_to(t, y.shape).copy()
    ends = rng.integers(points // 2, points + 1, size=runs)
    beyond = np.arange(points) >= ends[:, None]
    y[beyond] = np.nan
    x[beyond] = np.nan
    return y, x


def baseline(y: Any) -> Any:
    return np.diff(np.sign(y), axis=-1)


def per_run_loop(y: Any, t: Any) -> Any:
    out = np.full(y.shape[0], np.nan)
    for r in range(y.shape[0]):
        signs = np.sign(y[r])
        up = np.flatnonzero(np.diff(signs) > 0)
        if up.size:
            i = up[0]
            out[r] = t[i] + (t[i + 1] - t[i]) * (0 - y[r, i]) / (y[r, i + 1] - y[r, i])
    return out


def timed(f: Callable[[], Any]) -> float:
    start = time.perf_counter()
    f()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, a smoke run")
    parser.add_argument("--repeats", type=int, default=15)
    args = parser.parse_args()
    runs, points = (100, 2_000) if args.quick else (1000, 10_000)
    y, t = family(runs, points, padded=False)
    yp, xp = family(runs, points, padded=True)
    cases: Dict[str, Callable[[], Any]] = {
        "first": lambda: measure.cross(y, 0.0, x=t),
        "third": lambda: measure.cross(y, 0.0, x=t, nth=3),
        "padded": lambda: measure.cross(yp, 0.0, x=xp),
        "loop": lambda: per_run_loop(y, t),
    }
    # the cross of the loop case is the same number
    found = measure.cross(y, 0.0, x=t)
    assert np.allclose(found, per_run_loop(y, t), equal_nan=True, rtol=0, atol=1e-12)
    print(f"{runs} runs x {points} points, float64 ({y.nbytes / 1e6:.0f} MB); median of {args.repeats} interleaved")
    print(f"{'case':8} {'baseline ms':>12} {'case ms':>10} {'ratio':>7}")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # padded runs too short for a crossing
        for name, case in cases.items():
            array = yp if name == "padded" else y
            pairs = [(timed(lambda: baseline(array)), timed(case)) for _ in range(args.repeats)]
            base = statistics.median(b for b, _ in pairs)
            took = statistics.median(c for _, c in pairs)
            ratio = statistics.median(c / b for b, c in pairs)
            print(f"{name:8} {base * 1e3:12.1f} {took * 1e3:10.1f} {ratio:7.2f}")


if __name__ == "__main__":
    main()
