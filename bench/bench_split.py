"""One large file on every core: read_psf (read_raw for the raw case) with 1
and 2 threads against the single-threaded floor, a byte-swapping copy of
the whole file (numpy.frombuffer(mmap, '>f8').astype('<f8'); for the raw
file too, as a copy of as many bytes).

Each (case, threads, malloc settings) runs in a fresh process that times the
two sides in interleaved pairs and prints the median of the ratios; default
malloc settings first (what users get; the goals are met or missed there),
then the tuned glibc settings (without most of the cost of faulting in fresh
memory). Small files (20 KB) are read a thousand times per sample.

    python3 bench/bench_split.py                 # 400 MB windowed, swept complex and raw, 20 KB
    python3 bench/bench_split.py --quick         # 40 MB files, a smoke run
    python3 bench/bench_split.py --sizes         # where splitting starts to pay (the threshold)
    python3 bench/bench_split.py --first         # also the first read of a fresh process

Each read's result is freed inside its time, all but one array, which the
process keeps: no read reuses the memory of another (a script reading file
after file does reuse it: bench_read.py). --first shows the first read of a
fresh process.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

from karvo.testing.rawbuilder import raw_plot
from karvo.testing.shapes import swept_file, windowed_file

TUNABLES = "glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=68719476736"

CHILD = r"""
import gc, mmap, os, statistics, sys, time
import numpy as np
import karvo
path, threads, repeat, loops = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
karvo.set_num_threads(threads)

# One array of every read is kept for the life of the process: no read's
# memory is whole again, so none is kept for the next read, and every read
# faults in fresh memory, as NumPy's copy does.
held = []

def read():
    for _ in range(loops):
        plots = karvo.read_raw(path) if path.endswith(".raw") else [karvo.read_psf(path)]
        for psf in plots:
            for s in psf.sweeps + psf.traces:
                s.data
        held.append(plots[0].traces[0].data)
        del plots, psf, s

def floor():
    for _ in range(loops):
        with open(path, "rb") as f:
            m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
            out = np.frombuffer(m, ">f8", count=len(m) // 8).astype("<f8")
            del out
            m.close()

def timed(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t

if len(sys.argv) > 5:  # the first use in a fresh process of one side only
    with open(path, "rb") as f:  # the file in the page cache, as the pairs have it
        while f.read(1 << 24):
            pass
    print(timed(read if sys.argv[5] == "read" else floor))
    sys.exit()
timed(read), timed(floor)
ratios, reads, floors = [], [], []
for i in range(repeat):
    gc.collect()
    if i % 2:
        r, f = timed(read), timed(floor)
    else:
        f, r = timed(floor), timed(read)
    ratios.append(r / f)
    reads.append(r)
    floors.append(f)
print(statistics.median(ratios), statistics.median(reads) / loops, statistics.median(floors) / loops)
"""


def run(path: Path, threads: int, tuned: bool, repeat: int, loops: int) -> tuple:
    env = {k: v for k, v in os.environ.items() if k not in ("GLIBC_TUNABLES", "KARVO_NUM_THREADS")}
    if tuned:
        env["GLIBC_TUNABLES"] = TUNABLES
    out = subprocess.run([sys.executable, "-c", CHILD, str(path), str(threads), str(repeat), str(loops)],
                         env=env, capture_output=True, text=True, check=True).stdout  # fmt: skip
    return tuple(float(w) for w in out.split())


def run_first(path: Path, threads: int, repeat: int) -> tuple:
    """The first read and the first copy in fresh processes, in turn: no
    memory of an earlier read to reuse. The median of the pairs' ratios,
    the medians of the times."""
    env = {k: v for k, v in os.environ.items() if k not in ("GLIBC_TUNABLES", "KARVO_NUM_THREADS")}

    def once(side: str) -> float:
        out = subprocess.run([sys.executable, "-c", CHILD, str(path), str(threads), "1", "1", side],
                             env=env, capture_output=True, text=True, check=True).stdout  # fmt: skip
        return float(out)

    once("read")
    pairs = [(once("read"), once("floor")) if i % 2 else (once("floor"), once("read"))[::-1] for i in range(repeat)]
    return (statistics.median(r / f for r, f in pairs), statistics.median(r for r, _ in pairs),
            statistics.median(f for _, f in pairs))  # fmt: skip


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--sizes", action="store_true", help="windowed files of 1 to 32 MB, 1 and 2 threads")
    ap.add_argument("--repeat", type=int, default=9)
    ap.add_argument("--first", action="store_true",
                    help="also time the first read of a fresh process against the first copy of another")
    args = ap.parse_args()
    scale = 10 if args.quick else 1
    print(f"load: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f}; cores this process may use: "
          f"{len(os.sched_getaffinity(0))}")  # fmt: skip
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        cases = []
        if args.sizes:
            for mb in (1, 2, 4, 8, 16, 32):
                p = folder / f"windowed_{mb}.psf"
                # 64 traces x points in frames of 511: about 8 * 65 bytes per point
                windowed_file(p, mb * 2000, 64, 511)
                cases.append((f"windowed {p.stat().st_size / 1e6:.0f} MB", p, max(1, 16 // mb)))
        else:
            p = folder / "windowed.psf"
            windowed_file(p, 800_000 // scale, 64, 511)
            cases.append((f"windowed {p.stat().st_size / 1e6:.0f} MB", p, 1))
            p = folder / "swept_complex.psf"
            swept_file(p, 1_000_000 // scale, 16, "complex")
            cases.append((f"swept complex {p.stat().st_size / 1e6:.0f} MB", p, 1))
            p = folder / "rows.raw"
            points = 1_000_000 // scale
            data = np.arange(points * 50, dtype=np.float64).reshape(points, 50)
            p.write_bytes(raw_plot([("time", "time")] + [(f"v{j}", "voltage") for j in range(49)], data))
            del data
            cases.append((f"raw rows, 50 variables {p.stat().st_size / 1e6:.0f} MB", p, 1))
            p = folder / "small.psf"
            swept_file(p, 200, 4, "complex")
            cases.append((f"swept complex {p.stat().st_size / 1e3:.0f} KB", p, 1000))
        print("| file | threads | defaults: read / floor | tuned: read / floor | read ms (defaults) | floor ms |")
        print("|---|---|---|---|---|---|")
        for name, path, loops in cases:
            for threads in (1, 2):
                d = run(path, threads, False, args.repeat, loops)
                t = run(path, threads, True, args.repeat, loops)
                print(f"| {name} | {threads} | {d[0]:.2f} | {t[0]:.2f} | {d[1] * 1e3:.3f} | {d[2] * 1e3:.3f} |",
                      flush=True)  # fmt: skip
        if args.first:
            print("\nFirst read of a fresh process against the first copy of another (defaults):\n")
            print("| file | threads | read / floor | read ms | floor ms |")
            print("|---|---|---|---|---|")
            for name, path, loops in cases:
                if loops != 1:
                    continue
                for threads in (1, 2):
                    ratio, r, f = run_first(path, threads, args.repeat)
                    print(f"| {name} | {threads} | {ratio:.2f} | {r * 1e3:.1f} | {f * 1e3:.1f} |", flush=True)
    print(f"load after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
