#!/usr/bin/env python3
"""Big files and many files: what karvo does beyond one read of one file.

    python3 bench/bench_scaling.py            # full sizes (about 1.7 GB of temp files)
    python3 bench/bench_scaling.py --quick    # small sizes, a smoke run

Cases (each against its goal):

- threads: 6 files of about 100 MB read by 2 threads (a ThreadPoolExecutor),
  speed-up over reading them one after another in the main thread;
- freeze: the longest pause of another Python thread while one thread reads
  the 1 GB windowed file;
- partial: 2 of 64 traces of the 1 GB windowed file through karvo.open, time
  against a whole read, with the page cache warm, and with the file dropped
  from the page cache first (then also the megabytes read from the disk);
- memory: peak resident memory above the baseline of that partial read, in
  a fresh process, against the two arrays' size;
- info: `karvo info` of the 1 GB file (the catalog only), in-process.

Every read includes the arrays (each `.data` is asked for). Timed pairs are
interleaved and the medians of their ratios reported, as bench_read.py does,
with the same glibc settings (freed memory stays in the process).
"""

from __future__ import annotations

import argparse
import concurrent.futures
import gc
import io
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from contextlib import redirect_stdout
from pathlib import Path

TUNABLES = "glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=68719476736"

if __name__ == "__main__" and os.environ.get("GLIBC_TUNABLES") != TUNABLES:
    print(f"re-running with GLIBC_TUNABLES={TUNABLES}", flush=True)
    os.execve(sys.executable, [sys.executable, *sys.argv], {**os.environ, "GLIBC_TUNABLES": TUNABLES})

import karvo  # noqa: E402
from karvo.cli import main as karvo_main  # noqa: E402
from bench_read import floor_copy, read_arrays, timed  # noqa: E402
from karvo.testing.shapes import swept_file, windowed_file  # noqa: E402

MB = 1e6
CHOSEN = ["v0", "v63"]  # the traces of the partial reads


def read_chosen(path: str) -> karvo.Psf:
    with karvo.open(path) as f:
        psf = f.read(CHOSEN)
    for t in psf.traces:
        t.data
    return psf


def pairs(first, second, repeat: int) -> tuple:
    """Interleaved timings of two sides; (firsts, seconds, median ratio first/second)."""
    timed(first)
    timed(second)
    a, b = [], []
    for i in range(repeat):
        gc.collect()
        if i % 2:
            a.append(timed(first))
            b.append(timed(second))
        else:
            b.append(timed(second))
            a.append(timed(first))
    return a, b, statistics.median(x / y for x, y in zip(a, b))


def drop_from_page_cache(path: str) -> None:
    with open(path, "rb") as f:
        os.fsync(f.fileno())
        os.posix_fadvise(f.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)


def read_bytes_from_disk() -> int:
    with open("/proc/self/io") as f:
        return int(next(line for line in f if line.startswith("read_bytes:")).split()[1])


# ------------------------------------------------------------------ cases


def case_threads(folder: Path, files: int, points: int, repeat: int) -> dict:
    paths = []
    for i in range(files):
        p = folder / f"thread{i}.psf"
        swept_file(p, points, 100, "complex")
        paths.append(str(p))
    pool = concurrent.futures.ThreadPoolExecutor(2)

    def serial():
        for p in paths:
            read_arrays(p)

    def parallel():
        list(pool.map(read_arrays, paths))

    s, p, _ = pairs(serial, parallel, repeat)
    speedup = statistics.median(x / y for x, y in zip(s, p))
    # What the machine gives two threads at all: the floor's copy (NumPy
    # releases the lock while it converts) the same way.
    fs, fp, _ = pairs(lambda: [floor_copy(x) for x in paths], lambda: list(pool.map(floor_copy, paths)), repeat)
    floor_speedup = statistics.median(x / y for x, y in zip(fs, fp))
    pool.shutdown()
    size = sum(os.path.getsize(x) for x in paths)
    return dict(case=f"threads: {files} files of {size / files / MB:.0f} MB, 2 threads", value=speedup,
                goal=">= 1.7", unit="x", detail=f"serial {statistics.median(s):.3f} s, 2 threads "
                f"{statistics.median(p):.3f} s; the floor's copy gains x{floor_speedup:.2f} from 2 threads")


def case_freeze(path: str, repeat: int) -> dict:
    worst = []
    for _ in range(max(3, repeat // 2)):
        stamps = []
        stop = threading.Event()

        def ticker():
            while not stop.is_set():
                stamps.append(time.perf_counter())

        t = threading.Thread(target=ticker)
        t.start()
        time.sleep(0.02)
        start = time.perf_counter()
        read_arrays(path)
        end = time.perf_counter()
        stop.set()
        t.join()
        during = [x for x in stamps if start <= x <= end]
        gaps = [b - a for a, b in zip([start, *during], [*during, end])]
        worst.append(max(gaps))
    return dict(case="freeze: another thread during a 1 GB read", value=max(worst) * 1e3, goal="<= 10",
                unit="ms", detail=f"longest pause over {len(worst)} reads")


def case_partial(path: str, arrays_bytes: int, repeat: int) -> list:
    _, _, warm = pairs(lambda: read_chosen(path), lambda: read_arrays(path), repeat)
    cold_partial, cold_whole, disk_partial, disk_whole = [], [], [], []
    for _ in range(3):
        drop_from_page_cache(path)
        before = read_bytes_from_disk()
        cold_partial.append(timed(read_chosen, path))
        disk_partial.append(read_bytes_from_disk() - before)
        drop_from_page_cache(path)
        before = read_bytes_from_disk()
        cold_whole.append(timed(read_arrays, path))
        disk_whole.append(read_bytes_from_disk() - before)
    cold = statistics.median(a / b for a, b in zip(cold_partial, cold_whole))
    rows = [
        dict(case=f"partial: {len(CHOSEN)} of 64 traces of 1 GB, warm", value=warm, goal="<= 0.15", unit="x whole",
             detail="karvo.open(path).read(names), against read_psf"),
        dict(case=f"partial: {len(CHOSEN)} of 64 traces of 1 GB, cold", value=cold, goal="<= 0.25", unit="x whole",
             detail=f"read from disk {statistics.median(disk_partial) / MB:.0f} MB against "
                    f"{statistics.median(disk_whole) / MB:.0f} MB; {statistics.median(cold_partial):.3f} s against "
                    f"{statistics.median(cold_whole):.3f} s"),
    ]
    # Run in this folder, whose scripts `python -c` then imports.
    code = "import karvo; from bench_scaling import read_chosen, peak_above_baseline; "
    code += f"print(peak_above_baseline(lambda: read_chosen({os.path.abspath(path)!r})))"
    env = {k: v for k, v in os.environ.items() if k != "GLIBC_TUNABLES"}
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, env=env,
                          cwd=Path(__file__).parent)
    peak = int(done.stdout)
    rows.append(dict(case=f"memory: {len(CHOSEN)} of 64 traces of 1 GB", value=peak / MB,
                     goal=f"<= {arrays_bytes * 1.05 / MB:.1f}", unit="MB",
                     detail=f"peak RSS above baseline; the arrays hold {arrays_bytes / MB:.1f} MB"))
    return rows


def peak_above_baseline(fn) -> int:
    def status(key):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))

    import numpy  # noqa: F401  (imported before the baseline)

    base = status("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    out = fn()
    peak = status("VmHWM")
    del out
    return peak - base


def case_info(path: str, repeat: int) -> dict:
    def info():
        with redirect_stdout(io.StringIO()):
            karvo_main(["info", path])

    times = [timed(info) for _ in range(repeat)]
    return dict(case="karvo info of the 1 GB file (catalog only)", value=statistics.median(times), goal="<= 0.1",
                unit="s", detail="in-process, page cache warm")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--dir", default=None, help="folder for the temporary files")
    args = ap.parse_args()
    points = 100_000 if args.quick else 2_000_000
    thread_points = 10_000 if args.quick else 40_000
    print(f"karvo {karvo.__version__}, {os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}", flush=True)
    folder = Path(tempfile.mkdtemp(prefix="karvo-scaling-", dir=args.dir))
    rows = []
    try:
        big = folder / "windowed.psf"
        windowed_file(big, points, 64, 511)
        read_arrays(str(big))
        rows.append(case_threads(folder, 6, thread_points, args.repeat))
        print(rows[-1], flush=True)
        rows.append(case_freeze(str(big), args.repeat))
        print(rows[-1], flush=True)
        rows += case_partial(str(big), 8 * points * len(CHOSEN), args.repeat)
        print(rows[-2:], flush=True)
        rows.append(case_info(str(big), args.repeat))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print()
    print("| case | measured | goal | note |")
    print("|---|---|---|---|")
    for r in rows:
        value = f"{r['value']:.3f}" if r["value"] < 10 else f"{r['value']:.1f}"
        print(f"| {r['case']} | {value} {r['unit']} | {r['goal']} {r['unit']} | {r['detail']} |")


if __name__ == "__main__":
    main()
