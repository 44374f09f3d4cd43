#!/usr/bin/env python3
"""Times karvo.read_raw on a large binary SPICE raw file against NumPy's
transposing copy of the same bytes, and against spicelib.

The file: 50 variables x 500,000 points of float64, point after point, as
ngspice and Xyce write them (200 MB, written into a temporary folder and
deleted at the end); and, for spicelib, whose binary reader is NumPy's own
reading of the body, the same shape as Values: text (20 variables x 200,000
points, 88 MB), which it parses in Python. Reading it is a transpose: every value is read once
from the mapped file and written once into its variable's array. The floor
is that copy done by NumPy, open and map included:

    numpy.frombuffer(mmap_of_the_file, "<f8", count, offset).reshape(points, variables).T.copy()

read_raw is timed with every array asked for (`.data` of the sweep and each
trace). Both sides are warmed, then timed in interleaved pairs (each pair in
alternating order); the ratio is the median of the per-pair ratios, so a
neighbour that steals the CPU for a while moves both sides alike. spicelib
(never a dependency of karvo; `pip install spicelib`) is timed the same way
against read_raw when it imports, with fewer pairs: it takes seconds.

Each measurement runs in a child process twice: with the C library's default
malloc settings (what users have; goals are judged on these), then with
GLIBC_TUNABLES=glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=68719476736,
which keeps freed memory in the process for both sides and so separates the
first touch of fresh pages (costly on virtual machines) from the copy itself.

    python3 bench/bench_raw.py                  # full size
    python3 bench/bench_raw.py --quick          # 20 MB, a smoke run
    python3 bench/bench_raw.py --repeat 15 --spicelib-repeat 3
"""

from __future__ import annotations

import argparse
import gc
import json
import mmap
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TUNABLES = "glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=68719476736"
VARIABLES = 50
TEXT_VARIABLES = 20


def write_file(path: Path, points: int) -> int:
    """Writes the raw file; returns the offset of its body."""
    import numpy as np

    names = ["\t0\ttime\ttime"] + [f"\t{i}\tv(n{i})\tvoltage" for i in range(1, VARIABLES)]
    head = ("Title: karvo bench\nDate: Thu Jan  1 00:00:00 2026\nPlotname: Transient Analysis\nFlags: real\n"
            f"No. Variables: {VARIABLES}\nNo. Points: {points}\nVariables:\n" + "\n".join(names) + "\nBinary:\n")
    rng = np.random.default_rng(26)
    with open(path, "wb") as f:
        f.write(head.encode())
        step = 50_000
        for first in range(0, points, step):
            rows = rng.standard_normal((min(step, points - first), VARIABLES))
            rows[:, 0] = np.arange(first, first + len(rows)) * 1e-9
            f.write(rows.tobytes())
    return len(head.encode())


def write_text_file(path: Path, points: int) -> None:
    """The same shape as Values: text (20 variables), as ngspice prints it."""
    import numpy as np

    n = TEXT_VARIABLES
    names = ["\t0\ttime\ttime"] + [f"\t{i}\tv(n{i})\tvoltage" for i in range(1, n)]
    head = ("Title: karvo bench\nDate: Thu Jan  1 00:00:00 2026\nPlotname: Transient Analysis\nFlags: real\n"
            f"No. Variables: {n}\nNo. Points: {points}\nVariables:\n" + "\n".join(names) + "\nValues:\n")
    rng = np.random.default_rng(26)
    with open(path, "w") as f:
        f.write(head)
        for p in range(points):
            row = rng.standard_normal(n)
            f.write(f"{p}\t\t{p * 1e-9:.15e}\n" + "".join(f"\t{v:.15e}\n" for v in row[1:]))


def child(path: str, offset: int, points: int, repeat: int, spicelib_repeat: int) -> dict:
    import numpy as np

    import karvo

    def read():
        psf = karvo.read_raw(path)[0]
        return [s.data for s in psf.sweeps + psf.traces]

    def floor():
        with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
            rows = np.frombuffer(m, "<f8", count=points * VARIABLES, offset=offset).reshape(points, VARIABLES)
            out = rows.T.copy()
            del rows
        return out

    def timed(fn) -> float:
        gc.collect()
        start = time.perf_counter()
        kept = fn()
        took = time.perf_counter() - start
        del kept
        return took

    text = offset < 0
    if not text:
        arrays, copy = read(), floor()
        assert len(arrays) == VARIABLES and all(np.array_equal(a, c) for a, c in zip(arrays, copy))
        del arrays, copy

    def pairs(a, b, n):
        ta, tb, ratios = [], [], []
        for i in range(n):
            if i % 2:
                y, x = timed(b), timed(a)
            else:
                x, y = timed(a), timed(b)
            ta.append(x)
            tb.append(y)
            ratios.append(x / y)
        return {"a": [min(ta), statistics.median(ta)], "b": [min(tb), statistics.median(tb)],
                "ratio": statistics.median(ratios)}

    out = {} if text else {"floor": pairs(read, floor, repeat)}
    try:
        from spicelib import RawRead
    except ImportError:
        return out

    # spicelib reads a binary body into one array and gives each variable as
    # a strided view of it; as arrays of their own (what read_raw gives),
    # each is copied.
    def spicelib_views():
        raw = RawRead(path, traces_to_read="*", dialect="ngspice", verbose=False)
        return [raw.get_trace(n).get_wave(0) for n in raw.get_trace_names()]

    def spicelib_arrays():
        return [np.ascontiguousarray(w) for w in spicelib_views()]

    waves = spicelib_views()
    assert all(np.array_equal(w, a) for w, a in zip(waves, read()))
    del waves
    if text:  # spicelib parses text into arrays of their own
        out["spicelib, Values text"] = pairs(spicelib_views, read, spicelib_repeat)
        return out
    out["spicelib views"] = pairs(spicelib_views, read, spicelib_repeat)
    out["spicelib arrays"] = pairs(spicelib_arrays, read, spicelib_repeat)
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="50,000 points (20 MB)")
    ap.add_argument("--repeat", type=int, default=11, help="timed pairs against the floor")
    ap.add_argument("--spicelib-repeat", type=int, default=3, help="timed pairs against spicelib")
    ap.add_argument("--child", nargs=5, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        path, offset, points, repeat, spicelib_repeat = args.child
        print(json.dumps(child(path, int(offset), int(points), int(repeat), int(spicelib_repeat))))
        return

    points = 50_000 if args.quick else 500_000
    text_points = 20_000 if args.quick else 200_000
    env_of = {
        "defaults": {k: v for k, v in os.environ.items() if k != "GLIBC_TUNABLES"},
        "tuned malloc": {**os.environ, "GLIBC_TUNABLES": TUNABLES},
    }
    results: dict = {mode: {} for mode in env_of}
    with tempfile.TemporaryDirectory(prefix="karvo-bench-raw-") as tmp:
        path = Path(tmp) / "bench.raw"
        offset = write_file(path, points)
        text_path = Path(tmp) / "bench_text.raw"
        write_text_file(text_path, text_points)
        for p, n, k in ((path, VARIABLES, points), (text_path, TEXT_VARIABLES, text_points)):
            print(f"{p.name}: {n} variables x {k} points, {p.stat().st_size / 1e6:.1f} MB", flush=True)
        for p, off, k in ((path, offset, points), (text_path, -1, text_points)):
            for mode, env in env_of.items():
                done = subprocess.run(
                    [sys.executable, __file__, "--child", str(p), str(off), str(k), str(args.repeat),
                     str(args.spicelib_repeat)],
                    env=env, capture_output=True, text=True, check=True,
                )  # fmt: skip
                results[mode].update(json.loads(done.stdout))
                print(f"  {p.name}, {mode}: done; load {os.getloadavg()[0]:.1f}", flush=True)

    def cell(r: dict, key: str) -> str:
        return f"{r[key][0]:.3f} / {r[key][1]:.3f}"

    print()
    print("| comparison | malloc | karvo s best / med | other s best / med | median ratio | goal |")
    print("|---|---|---|---|---|---|")
    for mode, r in results.items():
        f = r["floor"]
        print(f"| read_raw / NumPy transpose copy | {mode} | {cell(f, 'a')} | {cell(f, 'b')} | {f['ratio']:.2f} "
              f"| <= 1.3 |")
    for key in ("spicelib views", "spicelib arrays", "spicelib, Values text"):
        for mode, r in results.items():
            if key in r:
                s = r[key]
                print(f"| {key} / read_raw | {mode} | {cell(s, 'b')} | {cell(s, 'a')} | {s['ratio']:.2f} | >= 10 |")


if __name__ == "__main__":
    main()
