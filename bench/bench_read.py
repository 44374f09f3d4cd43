#!/usr/bin/env python3
"""Times karvo.read_psf against the floor of a byte-swapping copy of the file,
and, for PSF ASCII, against pandas reading the same numbers.

Reading a psfbin file is memory-bound: every sample is read once from the
mapped file, byte-swapped and written once into its array. The floor is that
one pass done by NumPy on the same file:

    numpy.frombuffer(mmap_of_the_file, dtype=">f8", count=len // 8).astype("<f8")

(open and map included, as read_psf opens and maps too). Every read asks
each sweep and trace for its `.data`, so every array exists; each of its
samples was written by the read, as `astype` writes each of the floor's.
For the non-swept case the floor is building the same dicts from ready
Python lists. For the PSF ASCII transient (case `ascii`) the comparison is
pandas' C parser reading the same numbers, as text laid out one row per
point:

    pandas.read_csv(rows_path, sep=" ", engine="c", header=None)

Each case writes its synthetic files (the test builder's format, bodies built
with NumPy structured dtypes of big-endian fields) into a temporary folder.
The timing runs in fresh processes, twice: first with the settings users
have (glibc's malloc as shipped, no GLIBC_TUNABLES), then with

    GLIBC_TUNABLES=glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=68719476736

("tuned": freed memory stays in the process for both sides, which takes the
cost of faulting in fresh memory out of the comparison; machines that charge
heavily for that first touch show the reader's own work in this column).
Each process warms both sides, then times read_psf and the floor in
interleaved pairs; the ratio is the median of the per-pair ratios, so a
neighbour that steals the CPU for a while moves both sides of a pair alike.
Peak resident memory, and what stays resident after the result is dropped,
are measured in one more fresh process with the default settings, above
the baseline after imports.

The cases `study`, `harmonics` and `study_workers` time whole families of
the corpus' result folders (see FAMILIES): Results.to_xarray against
read_psf of the same files, and the default `workers` against one.

The case `script_loop` reads 16 files of 8.5 MB as a script's loop does,
each file's traces looked at in turn (`for trace in psf.traces`), so that
the loop's variable still holds a trace of one file while the next is read;
the floor copies the files in the same loop.

The case `threads` reads four files of 100 MB on two threads (one pool,
made once) and compares the wall time with NumPy's copy of the same files on
two threads; it also shows what each side gains from the second thread and
how long one read takes on a thread beside another against alone.

    python3 bench/bench_read.py                 # every case, full sizes (~2 GB of temp files)
    python3 bench/bench_read.py --cases users   # the shapes of the user table (see GROUPS)
    python3 bench/bench_read.py --quick         # small sizes, a smoke run
    python3 bench/bench_read.py --cases swept,windowed --repeat 9

`--psf-utils PYTHON` names an interpreter that has psf_utils (a pure-Python
reader of PSF ASCII, never a dependency of karvo; install it in a throwaway
environment); its time to read the ASCII case's file and every signal is then
shown, once, in a subprocess.

When `import libpsf` works (it is never a dependency of karvo) its time to
load every signal is shown as a comparator column; a case it cannot read shows
its error. (libpsf 0.1.4 needs NumPy 1.x, and it refuses these files, which
leave empty what the reader does not use, as the test builder does.)
"""

from __future__ import annotations

import argparse
import concurrent.futures
import gc
import json
import mmap
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import karvo
from karvo.testing.shapes import (
    ASCII_TRACES,
    OP_MEMBERS,
    ascii_files,
    dc_sweep_file,
    nonswept_file,
    op_columns,
    swept_file,
    grouped_file,
    noise_file,
    swept_floats,
    swept_small,
    windowed_file,
)

try:
    import libpsf  # type: ignore
except ImportError:
    libpsf = None

MB = 1e6
# Freed memory stays in the process: the second column's settings.
TUNABLES = "glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=68719476736"
MODES = ("defaults", "tuned")


def mode_env(mode: str) -> dict:
    env = {k: v for k, v in os.environ.items() if k != "GLIBC_TUNABLES"}
    if mode == "tuned":
        env["GLIBC_TUNABLES"] = TUNABLES
    return env


# ------------------------------------------------------------------ cases


def sizes(quick: bool) -> dict:
    if quick:
        return dict(win_points=100_000, swept_points=10_000, struct_points=5_000, op_count=10_000, small_files=100,
                    ascii_points=20_000, big_scale=0.05)  # fmt: skip
    return dict(win_points=2_000_000, swept_points=200_000, struct_points=100_000, op_count=200_000, small_files=2000,
                ascii_points=500_000, big_scale=1.0)  # fmt: skip


CASES = ["windowed", "swept", "swept_struct", "nonswept", "small_files", "ascii",
         "many_traces", "many_short", "dc_sweep", "grouped", "noise", "file_20k",
         "windowed_100", "windowed_400", "swept_complex", "threads", "script_loop", "study", "harmonics",
         "study_workers"]  # fmt: skip
# Names that stand for several cases in --cases.
GROUPS = {
    # What users feel most: big windowed and swept files, many signals, a
    # real dc sweep's shape, and two threads.
    "users": ["windowed_100", "windowed_400", "swept_complex", "many_traces", "many_short", "dc_sweep", "threads",
              "script_loop", "study", "harmonics", "study_workers"],
    # Result folders of the corpus (skipped where it is absent).
    "families": ["study", "harmonics", "study_workers"],
    "all": CASES,
}

# Shapes of many signals: (writer, arguments) of each case.
MANY = {
    "many_traces": (swept_floats, (2000, 1000)),  # 1000 traces x 2000 points, 32 MB
    "many_short": (swept_floats, (200, 10000)),  # 10000 traces x 200 points, 32 MB
    "dc_sweep": (dc_sweep_file, (25, 1432)),  # a real dc sweep's shape: 1432 traces, 0.6 MB
    "grouped": (grouped_file, (277, 264)),  # a real grouped swept file's shape, 0.6 MB
    "noise": (noise_file, (60, 4, 20)),  # a real noise file's shape: struct traces, 40 KB
    "file_20k": (swept_floats, (40, 30)),  # one small file, against a bare open + mmap + close
}

# Big files of a few large signals: (writer, points at full size, arguments after the points).
BIG = {
    "windowed_100": (windowed_file, 750_000, (16, 511)),  # 16 traces x 750k points in frames of 511, 100 MB
    "windowed_400": (windowed_file, 800_000, (64, 511)),  # 64 traces x 800k points, 420 MB
    "swept_complex": (swept_file, 1_000_000, (16, "complex")),  # 16 complex traces x 1M points, 400 MB
}
THREAD_FILES = 4  # each of windowed_100's shape
# script_loop: 16 windowed files of 8.5 MB (64 traces x 16k points), read as
# a script loops over files: the loop's variable still holds the last trace
# of one file while the next is read.
LOOP_FILES, LOOP_POINTS = 16, 16_000

# Families of real result folders: (folder under the corpus, analysis).
# study: 9 runs of a parameter study, each an ac file of 8 KB; harmonics: a
# periodic ac analysis whose sweep tree has one leaf per harmonic (15 files
# of 0.3 MB). Each is timed as Results.to_xarray(analysis) on a Results made
# once, against read_psf of the family's files (every array touched);
# study_workers times the default `workers` against workers=1.
CORPUS = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus"
FAMILIES = {
    "study": ("runs/tran_dc_ac_param", "ac"),
    "harmonics": ("runs/pss_run", "pac"),
    "study_workers": ("runs/tran_dc_ac_param", "ac"),
}


def family_files(name: str) -> list:
    """The data files that the family's grid holds, in run order."""
    from karvo.results._family import Family

    folder, analysis = FAMILIES[name]
    results = karvo.open_results(CORPUS / folder)
    family = Family(results.analysis(analysis).name, results.runs)
    return [Path(c.leaf.file) for c in family.cells if c.leaf is not None and c.error is None]


def case_list(spec: str) -> list:
    out = []
    for name in spec.split(","):
        for c in GROUPS.get(name, [name] if name else []):
            if c not in CASES:
                raise SystemExit(f"unknown case {c!r}; cases: {', '.join(CASES)}; groups: {', '.join(GROUPS)}")
            if c in FAMILIES and not CORPUS.is_dir():
                print(f"{c}: skipped, no corpus at {CORPUS}", flush=True)
                continue
            if c not in out:
                out.append(c)
    return out


def big_points(name: str, sz: dict) -> int:
    return max(1000, int(BIG[name][1] * sz["big_scale"]))


def make_case(name: str, folder: Path, sz: dict) -> list:
    """Writes the case's files and returns their paths."""
    if name == "windowed":
        p = folder / "windowed.psf"
        windowed_file(p, sz["win_points"], 64, 511)
        return [p]
    if name == "swept":
        p = folder / "swept.psf"
        swept_file(p, sz["swept_points"], 100, "complex")
        return [p]
    if name == "swept_struct":
        p = folder / "swept_struct.psf"
        swept_file(p, sz["struct_points"], 40, "struct", 12)
        return [p]
    if name == "nonswept":
        p = folder / "nonswept.psf"
        nonswept_file(p, sz["op_count"])
        return [p]
    if name in MANY:
        write, args = MANY[name]
        p = folder / f"{name}.psf"
        write(p, *args)
        return [p]
    if name in BIG:
        write, _, args = BIG[name]
        p = folder / f"{name}.psf"
        write(p, big_points(name, sz), *args)
        return [p]
    if name in FAMILIES:
        return family_files(name)  # the corpus' files, read where they are
    if name == "script_loop":
        first = folder / "loop00.psf"
        windowed_file(first, max(1000, int(LOOP_POINTS * sz["big_scale"])), 64, 511)
        paths = [first]
        for i in range(1, LOOP_FILES):
            paths.append(folder / f"loop{i:02d}.psf")
            shutil.copyfile(first, paths[-1])
        return paths
    if name == "threads":
        first = folder / "thread0.psf"
        windowed_file(first, big_points("windowed_100", sz), *BIG["windowed_100"][2])
        paths = [first]
        for i in range(1, THREAD_FILES):
            # Copies, not links: each file has pages of its own, as four results would.
            paths.append(folder / f"thread{i}.psf")
            shutil.copyfile(first, paths[-1])
        return paths
    if name == "ascii":
        # The text is what read_psf reads; the rows file, pandas (the second path).
        p, rows = folder / "tran.ascii", folder / "tran.rows"
        ascii_files(p, rows, sz["ascii_points"], ASCII_TRACES)
        return [p, rows]
    if name == "small_files":
        # 1 sweep + 30 Float64 traces of 100 points: about 50 KB per file.
        d = folder / "small"
        d.mkdir()
        first = d / "s0000.psf"
        swept_small(first)
        data = first.read_bytes()
        paths = [first]
        for i in range(1, sz["small_files"]):
            p = d / f"s{i:04d}.psf"
            p.write_bytes(data)
            paths.append(p)
        return paths
    raise SystemExit(f"unknown case {name!r}; cases: {', '.join(CASES)}")


# ------------------------------------------------------------------ the two sides


def floor_copy(path) -> np.ndarray:
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        try:
            out = np.frombuffer(m, dtype=">f8", count=size // 8).astype("<f8")
        finally:
            m.close()
    return out


def op_floor_inputs(count: int):
    """Member names and ready rows of Python objects, as the dicts hold them."""
    cols = op_columns(count)
    names = [n for n, _ in OP_MEMBERS]
    rows = [list(r) for r in zip(*(cols[n].tolist() for n in names))]
    return names, rows


def libpsf_load(path) -> None:
    ds = libpsf.PSFDataSet(str(path))
    if ds.is_swept():
        ds.get_sweep_values()
    for name in ds.get_signal_names():
        ds.get_signal(name)
    ds.close()


def timed(fn, *args) -> float:
    t0 = time.perf_counter()
    out = fn(*args)
    t = time.perf_counter() - t0
    del out
    return t


def read_arrays(path: str) -> karvo.Psf:
    """read_psf and the array of every signal (each is made on first access)."""
    psf = karvo.read_psf(path)
    for s in psf.sweeps + psf.traces:
        s.data
    return psf


def bare_open(path: str) -> None:
    """What any reader of a file pays: open, map, unmap, close."""
    with open(path, "rb") as f:
        mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ).close()


def read_all(paths) -> None:
    for p in paths:
        read_arrays(str(p))


def floor_all(paths) -> None:
    for p in paths:
        floor_copy(p)


def pairs(read, floor, repeat: int) -> tuple:
    """Warms both sides (page cache, heap, lazily made types and caches), then
    times them in `repeat` interleaved pairs: (read times, floor times)."""
    timed(read)
    timed(floor)
    reads, floors = [], []
    for i in range(repeat):
        gc.collect()
        if i % 2 == 0:
            f, r = timed(floor), timed(read)
        else:
            r, f = timed(read), timed(floor)
        reads.append(r)
        floors.append(f)
    return reads, floors


def time_threads(paths: list, repeat: int) -> dict:
    """The files read on two threads of one pool, against the floor's copy
    on the same pool; each side also alone on the calling thread."""
    pool = concurrent.futures.ThreadPoolExecutor(2)
    names = [str(p) for p in paths]
    alone: dict = {"read": [], "floor": []}
    beside: dict = {"read": [], "floor": []}

    def each(fn, into):
        def run(path):
            t0 = time.perf_counter()
            out = fn(path)
            into.append(time.perf_counter() - t0)
            return out

        return run

    def two_threads(fn, side):
        def go():
            for _ in pool.map(each(fn, beside[side]), names):
                pass

        return go

    def one_thread(fn, side):
        def go():
            for p in names:
                each(fn, alone[side])(p)

        return go

    try:
        reads, floors = pairs(two_threads(read_arrays, "read"), two_threads(floor_copy, "floor"), repeat)
        serial_reads, serial_floors = pairs(one_thread(read_arrays, "read"), one_thread(floor_copy, "floor"),
                                            max(3, repeat // 2))  # fmt: skip
    finally:
        pool.shutdown()
    med = statistics.median
    return dict(reads=reads, floors=floors, ratio=med(r / f for r, f in zip(reads, floors)),
                threads=dict(read_gain=med(serial_reads) / med(reads), floor_gain=med(serial_floors) / med(floors),
                             read_beside=med(beside["read"]) / med(alone["read"]),
                             floor_beside=med(beside["floor"]) / med(alone["floor"])))  # fmt: skip


def time_case(name: str, paths: list, repeat: int, sz: dict) -> dict:
    if name == "threads":
        return time_threads(paths, repeat)
    if name in FAMILIES:
        folder, analysis = FAMILIES[name]
        results = karvo.open_results(CORPUS / folder)

        def read():
            return results.to_xarray(analysis)

        if name == "study_workers":
            one = karvo.open_results(CORPUS / folder, workers=1)

            def floor():
                return one.to_xarray(analysis)

        else:

            def floor():
                return read_all(paths)

    elif name == "nonswept":
        names, rows = op_floor_inputs(sz["op_count"])
        path = str(paths[0])

        def read():
            return karvo.read_psf(path)

        def floor():
            return [dict(zip(names, row)) for row in rows]

    elif name == "ascii":
        import pandas

        path, rows = str(paths[0]), str(paths[1])

        def read():
            return karvo.read_psf(path)

        def floor():
            return pandas.read_csv(rows, sep=" ", engine="c", header=None)

    elif name == "script_loop":
        names = [str(p) for p in paths]

        def read():
            for path in names:
                psf = karvo.read_psf(path)
                for trace in psf.traces:
                    trace.data

        def floor():
            for path in names:
                out = floor_copy(path)  # noqa: F841 (bound, as the read's result is)

    elif name == "file_20k":
        path = str(paths[0])

        def read():
            for _ in range(200):
                read_arrays(path)

        def floor():
            for _ in range(200):
                bare_open(path)

    elif len(paths) == 1:
        path = str(paths[0])

        def read():
            return read_arrays(path)

        def floor():
            return floor_copy(path)

    else:

        def read():
            return read_all(paths)

        def floor():
            return floor_all(paths)

    reads, floors = pairs(read, floor, repeat)
    out = dict(reads=reads, floors=floors, ratio=statistics.median(r / f for r, f in zip(reads, floors)))
    if libpsf is not None:
        out["libpsf"] = time_libpsf(paths, repeat)
    return out


def time_libpsf(paths: list, repeat: int):
    times = []
    try:
        for _ in range(min(repeat, 3)):
            t0 = time.perf_counter()
            for p in paths:
                libpsf_load(p)
            times.append(time.perf_counter() - t0)
            if times[-1] > 20:
                break
    except Exception as e:  # a comparator that cannot read a case is reported, not fatal
        return f"error: {type(e).__name__}"
    return statistics.median(times)


def check(name: str, paths: list, sz: dict) -> None:
    """The files read back as written: a benchmark of a wrong reader is worthless."""
    if name in FAMILIES:
        folder, analysis = FAMILIES[name]
        dataset = karvo.open_results(CORPUS / folder).to_xarray(analysis)
        first = karvo.read_psf(str(paths[0])).traces[0]
        assert np.nanmax(np.abs(dataset[first.name].values)) == max(
            np.abs(karvo.read_psf(str(p)).traces[0].data).max() for p in paths)
        return
    psf = karvo.read_psf(str(paths[0]))
    if name == "windowed":
        n = sz["win_points"]
        assert psf.sweeps[0].data.shape == (n,) and len(psf.traces) == 64
        assert psf.traces[63].data[n - 1] == (n - 1) * 1e-3 + 63
    elif name == "swept":
        n = sz["swept_points"]
        last = (n - 1) * 1e-3 + 99
        assert psf.traces[99].data.shape == (n,) and psf.traces[99].data[n - 1] == complex(last, -last)
    elif name == "swept_struct":
        n = sz["struct_points"]
        d = psf.traces[39].data
        assert d.shape == (n,) and len(d.dtype.names) == 12 and d["c11"][n - 1] == (n - 1) * 1e-3 + 39 + 11e-6
    elif name == "nonswept":
        names, rows = op_floor_inputs(sz["op_count"])
        assert len(psf.values) == len(rows)
        assert psf.values[-1].data == dict(zip(names, rows[-1]))
    elif name == "small_files":
        assert len(psf.traces) == 30 and psf.traces[29].data[99] == 99e-3 + 30
    elif name == "ascii":
        with open(paths[1]) as f:
            first = [float(x) for x in f.readline().split()]
        n = sz["ascii_points"]
        assert [s.data[0] for s in psf.sweeps + psf.traces] == first and len(psf.traces) == ASCII_TRACES
        assert all(s.data.shape == (n,) for s in psf.sweeps + psf.traces)
        with open(paths[1], "rb") as f:
            f.seek(-4096, os.SEEK_END)
            last = [float(x) for x in f.read().splitlines()[-1].split()]
        assert [s.data[-1] for s in psf.sweeps + psf.traces] == last
    elif name == "script_loop":
        n = max(1000, int(LOOP_POINTS * sz["big_scale"]))
        assert len(psf.traces) == 64 and psf.traces[-1].data[n - 1] == (n - 1) * 1e-3 + 63
    elif name in BIG or name == "threads":
        n = big_points("windowed_100" if name == "threads" else name, sz)
        traces = BIG["windowed_100" if name == "threads" else name][2][0]
        last = psf.traces[-1].data
        assert len(psf.traces) == traces and last.shape == (n,)
        if name == "swept_complex":
            want = (n - 1) * 1e-3 + traces - 1
            assert last[-1] == complex(want, -want)
        else:
            assert last[-1] == (n - 1) * 1e-3 + traces - 1
    elif name in MANY:
        # The last point of the last trace, as the writers lay them out.
        _, args = MANY[name]
        last = psf.traces[-1].data[-1]
        if name == "grouped":
            assert len(psf.traces) == args[1] and last == (args[1] - 1) * 1e-6 + args[0] - 1
        elif name == "noise":
            assert len(psf.traces) == args[1] and last["c19"] == 19e-18 + (args[0] - 1) * 1e-20
        else:
            assert len(psf.traces) == args[1] and last == (args[0] - 1) * 1e-3 + args[1]


# ------------------------------------------------------------------ memory

RSS_CHILD = r"""
import gc, os, sys
import numpy, karvo

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    return 0

paths = sys.argv[1:]
base = status("VmRSS")
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current RSS
except OSError:
    pass
def read(p):  # the bytes of what the result holds, made and dropped on return
    psf = karvo.read_psf(p)
    size = 0
    for s in psf.sweeps + psf.traces:
        size += s.data.nbytes
    for v in psf.values:
        d = v.data
        size += sys.getsizeof(v) + sys.getsizeof(d) + sum(sys.getsizeof(x) for x in d.values())
    return size

out = 0
arrays = 0
for p in paths:
    size = read(p)
    out = max(out, os.path.getsize(p) + size)
    arrays = max(arrays, size)
gc.collect()
lazy = 0  # pages the system may take back whenever it runs short
try:
    with open("/proc/self/smaps_rollup") as f:
        lazy = sum(int(line.split()[1]) * 1024 for line in f if line.startswith("LazyFree:"))
except OSError:
    pass
print(status("VmHWM") - base, out, arrays, status("VmRSS") - base, lazy)
"""


def memory(name: str, paths: list) -> dict:
    """Peak RSS above the baseline of reading the files (arrays made), its
    budget, and the RSS above the baseline that stays after the results are
    dropped (with the part of it the system may take back when it runs short:
    the kept memory of the last large read), with the default malloc settings. The budget is the file plus the
    bytes of what the result holds, plus 5%. Text is read once, front to
    back, and its pages leave the process behind the reader: its budget is
    the arrays alone, plus 10%."""
    read = paths[:1] if name == "ascii" else paths
    r = subprocess.run([sys.executable, "-c", RSS_CHILD, *map(str, read)], capture_output=True, text=True,
                       check=True, env=mode_env("defaults"))  # fmt: skip
    peak, held, arrays, after, lazy = map(int, r.stdout.split())
    return dict(peak=peak, budget=arrays * 1.10 if name == "ascii" else held * 1.05, after=after, lazy=lazy)


PSF_UTILS_CHILD = r"""
import sys, time
from psf_utils import PSF
t0 = time.perf_counter()
psf = PSF(sys.argv[1])
psf.get_sweep().abscissa
for signal in psf.all_signals():
    signal.ordinate
print(time.perf_counter() - t0)
"""


def time_psf_utils(python: str, path: Path):
    """psf_utils' time to read the file and every signal, once, in a fresh
    process of the interpreter that has it (on a copy: it may leave a cache
    beside the file)."""
    copy = path.with_name("psf_utils_copy.ascii")
    shutil.copyfile(path, copy)
    try:
        r = subprocess.run([python, "-c", PSF_UTILS_CHILD, str(copy)], capture_output=True, text=True, timeout=3600)
    except subprocess.TimeoutExpired:
        return "more than 3600 s"
    finally:
        copy.unlink()
    if r.returncode != 0:
        return "error: " + (r.stderr.strip().splitlines() or ["?"])[-1][:80]
    return float(r.stdout)


# ------------------------------------------------------------------ main

GOALS = {"windowed": 1.15, "swept": 1.5, "swept_struct": 1.5, "nonswept": 1.5, "small_files": 1.5, "ascii": 1.0,
         "many_traces": 1.3, "many_short": 1.3, "dc_sweep": 2.0, "grouped": 2.0, "noise": 2.0,
         "file_20k": 2.0, "windowed_100": 1.1, "windowed_400": 1.1, "swept_complex": 1.1,
         "threads": 1.05, "script_loop": 1.1, "study": 3.0, "harmonics": 2.0, "study_workers": 1.0}  # fmt: skip


def run_child(name: str, mode: str, paths: list, args) -> dict:
    """The case timed in a fresh process with the mode's malloc settings."""
    cmd = [sys.executable, str(Path(__file__).resolve()), "--child", name, "--repeat", str(args.repeat)]
    cmd += ["--quick"] if args.quick else []
    r = subprocess.run([*cmd, "--", *map(str, paths)], capture_output=True, text=True, env=mode_env(mode))
    if r.returncode != 0:
        raise SystemExit(f"{name} ({mode}) failed:\n{r.stderr}")
    return json.loads(r.stdout.splitlines()[-1])


def child(args) -> None:
    sz = sizes(args.quick)
    res = time_case(args.child, [Path(p) for p in args.paths], args.repeat, sz)
    print(json.dumps(res))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    ap.add_argument("--cases", default="all",
                    help=f"comma-separated cases ({','.join(CASES)}) or groups ({','.join(GROUPS)}); default all")
    ap.add_argument("--repeat", type=int, default=7, help="timed pairs per case and mode (default 7)")
    ap.add_argument("--dir", default=None, help="folder for the temporary files (default: system temp)")
    ap.add_argument("--no-rss", action="store_true", help="skip the memory subprocesses")
    ap.add_argument("--no-tuned", action="store_true", help="time with the default settings only")
    ap.add_argument("--psf-utils", metavar="PYTHON", help="an interpreter with psf_utils, timed on the ascii case")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("paths", nargs="*", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args)
        return
    if "GLIBC_TUNABLES" in os.environ:
        print(f"note: GLIBC_TUNABLES={os.environ['GLIBC_TUNABLES']} is set here; the timing processes get their own",
              flush=True)  # fmt: skip
    sz = sizes(args.quick)
    cases = case_list(args.cases)
    modes = MODES[:1] if args.no_tuned else MODES
    print(f"karvo {karvo.__version__} ({Path(karvo.__file__).parent}), numpy {np.__version__}, "
          f"python {sys.version.split()[0]}, {os.cpu_count()} cores, load {load()}, "
          f"transparent huge pages {huge_pages()}, libpsf {'present' if libpsf else 'not importable'}",
          flush=True)  # fmt: skip

    rows = []
    folder = Path(tempfile.mkdtemp(prefix="karvo-bench-", dir=args.dir))
    try:
        for name in cases:
            t0 = time.perf_counter()
            paths = make_case(name, folder, sz)
            read = paths[:1] if name == "ascii" else paths  # the rows file is pandas' input
            size = sum(p.stat().st_size for p in read)
            print(f"{name}: wrote {len(paths)} file(s), {size / MB:.1f} MB in {time.perf_counter() - t0:.1f} s",
                  flush=True)  # fmt: skip
            check(name, paths, sz)
            res = dict(name=name, files=len(read), size=size, load=load())
            for mode in modes:
                res[mode] = run_child(name, mode, paths, args)
            res["load"] += f" .. {load()}"
            res["memory"] = None if args.no_rss or name == "threads" or name in FAMILIES else memory(name, paths)
            if name == "ascii" and args.psf_utils:
                res["psf_utils"] = time_psf_utils(args.psf_utils, paths[0])
                print(f"psf_utils: {res['psf_utils']}", flush=True)
            rows.append(res)
            print(format_table([res]).splitlines()[-1], flush=True)
            for p in [] if name in FAMILIES else paths:
                p.unlink()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print()
    print(format_table(rows))
    for r in rows:
        for mode in modes:
            t = r[mode].get("threads")
            if t:
                print(f"\n{r['name']} ({mode}): two threads gain x{t['read_gain']:.2f} for read_psf, "
                      f"x{t['floor_gain']:.2f} for the floor; one read beside another takes "
                      f"{t['read_beside']:.2f} of its time alone (the floor's copy {t['floor_beside']:.2f})")


def load() -> str:
    return f"{os.getloadavg()[0]:.2f}"


def huge_pages() -> str:
    try:
        with open("/sys/kernel/mm/transparent_hugepage/enabled") as f:
            return f.read().split("[")[1].split("]")[0]
    except (OSError, IndexError):
        return "unknown"


def format_table(rows: list) -> str:
    tuned = any("tuned" in r for r in rows)
    cols = ["case", "file MB", "read_psf s med", "floor s med", "ratio"] + (["tuned ratio"] if tuned else [])
    cols += ["goal", "MB/s", "peak RSS MB", "budget MB", "RSS after MB", "load"]
    if libpsf is not None:
        cols.append("libpsf s")
    psf_utils = any("psf_utils" in r for r in rows)
    if psf_utils:
        cols.append("psf_utils s")
    lines = ["| " + " | ".join(cols) + " |", "|" + "|".join("---" for _ in cols) + "|"]
    for r in rows:
        d = r["defaults"]
        med = statistics.median(d["reads"])
        per = f" (per file {med / r['files'] * 1e6:.0f} µs)" if r["files"] > 1 and r["name"] != "threads" else ""
        m = r.get("memory")
        cells = [
            r["name"] + (f" ({r['files']} files)" if r["files"] > 1 else ""),
            f"{r['size'] / MB:.1f}",
            f"{med:.4f}{per}",
            f"{statistics.median(d['floors']):.4f}",
            f"{d['ratio']:.2f}",
        ]
        if tuned:
            cells.append(f"{r['tuned']['ratio']:.2f}" if "tuned" in r else "-")
        cells += [
            f"≤ {GOALS[r['name']]}",
            f"{r['size'] / MB / med:.0f}",
            "-" if m is None else f"{m['peak'] / MB:.1f}",
            "-" if m is None else f"{m['budget'] / MB:.1f}",
            "-" if m is None else f"{m['after'] / MB:.1f}" + (f" ({m['lazy'] / MB:.1f} lazily free)" if m["lazy"] else ""),
            r["load"],
        ]
        if libpsf is not None:
            v = d.get("libpsf")
            cells.append(v if isinstance(v, str) else f"{v:.4f}")
        if psf_utils:
            v = r.get("psf_utils", "-")
            cells.append(v if isinstance(v, str) else f"{v:.1f}")
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


if __name__ == "__main__":
    main()
