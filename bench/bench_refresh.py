#!/usr/bin/env python3
"""refresh() of a growing file against a whole read of it.

    python3 bench/bench_refresh.py            # files of 400 MB (1.6 GB of temp files)
    python3 bench/bench_refresh.py --quick    # 40 MB, a smoke run

For a windowed and a swept file of karvo.testing.shapes: a copy of the file
cut at 98 % of its length stands for a simulation still writing it. Each
repetition cuts the copy back there, opens it with karvo.open(partial=True)
(not timed), appends the next 1 % of the file's bytes and times refresh();
interleaved with it, read_psf of the whole file (every array made), and,
for scale, karvo.open(partial=True) of the cut copy. The goal: refresh()
costs about the share of the file appended (1 %) of a whole read. Reported:
medians of the times and of the ratio refresh / read_psf, page cache warm,
default malloc settings.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import karvo  # noqa: E402
from bench_read import read_arrays, timed  # noqa: E402
from karvo.testing.shapes import swept_floats, windowed_file  # noqa: E402


def cases(folder: Path, mb: int) -> dict:
    windowed = folder / "windowed.psf"
    swept = folder / "swept.psf"
    # 49 traces + the sweep, 8 bytes a point: mb MB of frames.
    windowed_file(windowed, mb * (1 << 20) // (8 * 50), 49, 511)
    # 24 traces + the sweep, 16-byte records: mb MB of records.
    swept_floats(swept, mb * (1 << 20) // (16 * 25), 24)
    return {"windowed": windowed, "swept": swept}


def run_case(name: str, path: Path, reps: int) -> None:
    size = path.stat().st_size
    cut, grown = int(size * 0.98), int(size * 0.99)
    growing = path.with_name(path.stem + ".growing")
    with open(path, "rb") as f:
        with open(growing, "wb") as out:
            left = cut
            while left:
                piece = f.read(min(left, 64 << 20))
                out.write(piece)
                left -= len(piece)
        appended = f.read(grown - cut)
    reads, refreshes, opens, ratios = [], [], [], []
    for _ in range(reps):
        os.truncate(growing, cut)
        t0 = time.perf_counter()
        f = karvo.open(growing, partial=True)
        opens.append(time.perf_counter() - t0)
        before = f.points
        with open(growing, "ab") as out:
            out.write(appended)
        t_read = timed(read_arrays, path)
        t0 = time.perf_counter()
        added = f.refresh()
        t_refresh = time.perf_counter() - t0
        assert added > 0 and f.points == before + added and not f.complete
        f.close()
        reads.append(t_read)
        refreshes.append(t_refresh)
        ratios.append(t_refresh / t_read)
    ms = lambda xs: f"{statistics.median(xs) * 1e3:8.2f} ms"  # noqa: E731
    print(
        f"{name:9s} {size / 1e6:6.0f} MB  read_psf {ms(reads)}  open(partial) of 98 % {ms(opens)}  "
        f"refresh after +1 % {ms(refreshes)}  refresh/read {statistics.median(ratios) * 100:5.2f} %"
    )
    growing.unlink()


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="40 MB files")
    ap.add_argument("--reps", type=int, default=9)
    ap.add_argument("--dir", default=None, help="folder for the files (default: system temp)")
    args = ap.parse_args()
    print(f"load average {os.getloadavg()[0]:.1f}")
    with tempfile.TemporaryDirectory(prefix="karvo-refresh-", dir=args.dir) as folder:
        for name, path in cases(Path(folder), 40 if args.quick else 400).items():
            run_case(name, path, 3 if args.quick else args.reps)


if __name__ == "__main__":
    main()
