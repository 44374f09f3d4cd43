#!/usr/bin/env python3
"""Times karvo.read_psf against the floor of a byte-swapping copy of the file,
and, for PSF ASCII, against pandas reading the same numbers.

Reading a psfbin file is memory-bound: every sample is read once from the
mapped file, byte-swapped and written once into its array. The floor is that
one pass done by NumPy on the same file:

    numpy.frombuffer(mmap_of_the_file, dtype=">f8", count=len // 8).astype("<f8")

(open and map included, as read_psf opens and maps too). For the non-swept
case the floor is building the same dicts from ready Python lists. For the
PSF ASCII transient (case `ascii`) the comparison is pandas' C parser reading
the same numbers, as text laid out one row per point:

    pandas.read_csv(rows_path, sep=" ", engine="c", header=None)

Each case writes a large synthetic file (the test builder's format, bodies
built with NumPy structured dtypes of big-endian fields) into a temporary
folder, warms both sides, then times read_psf and the floor in interleaved
pairs; the ratio is the median of the per-pair ratios, so a neighbour that
steals the CPU for a while moves both sides of a pair alike. Peak resident
memory is measured in a fresh subprocess per case, above the baseline after
imports.

    python3 bench/bench_read.py                 # full sizes (~2 GB of temp files)
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
import gc
import mmap
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# Freed memory stays in the process for both sides: these machines charge
# heavily for the first touch of memory handed back to the host.
TUNABLES = "glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=68719476736"

if __name__ == "__main__" and os.environ.get("GLIBC_TUNABLES") != TUNABLES:
    print(f"re-running with GLIBC_TUNABLES={TUNABLES}", flush=True)
    os.execve(sys.executable, [sys.executable, *sys.argv], {**os.environ, "GLIBC_TUNABLES": TUNABLES})

import numpy as np  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
import psfbuilder as pb  # noqa: E402

import karvo  # noqa: E402

try:
    import libpsf  # type: ignore
except ImportError:
    libpsf = None

MB = 1e6
HEADER = (("PSFversion", "1.00"), ("simulator", "spectre"), ("analysis type", "bench"))
FLOAT, COMPLEX, STRUCT = 1, 2, 3  # type ids

# ------------------------------------------------------------------ writers


def write_file(path: Path, layout: int, types, sweeps, traces, body_len: int, chunks) -> None:
    """Writes a file whose VALUE body (body_len bytes) comes from `chunks`,
    a function of the body's absolute offset yielding byte-like pieces."""
    prefix = pb.build(layout, header=HEADER, types=types, sweeps=sweeps, traces=traces, trailer=b"", footer=b"")
    body_start = len(prefix) + 12
    end = body_start + body_len  # content end: the SectionEnd word stands here
    written = 0
    with open(path, "wb") as f:
        f.write(prefix + pb.u32(pb.SECTION_VALUE) + pb.u32(pb.CONTAINER) + pb.u32(end + 4))
        for piece in chunks(body_start):
            f.write(piece)
            written += memoryview(piece).nbytes
        f.write(pb.u32(pb.SECTION_END) + b"\0\0\0\x0f" + pb.MAGIC + pb.u32(0))
    assert written == body_len, (written, body_len)


def swept_file(path: Path, points: int, traces: int, kind: str, members: int = 0) -> None:
    """One Float64 sweep and `traces` traces of `kind` ('complex' or 'struct'
    with `members` Float64 members), one record per signal per point."""
    if kind == "complex":
        trace_type, value = COMPLEX, [("re", ">f8"), ("im", ">f8")]
    else:
        trace_type, value = STRUCT, [("v", ">f8", (members,))]
    types = [
        pb.TypeDef(FLOAT, "float", pb.FLOAT64),
        pb.TypeDef(COMPLEX, "complex", pb.COMPLEX),
        pb.struct_type(STRUCT, "noise", [(f"c{i}", pb.FLOAT64) for i in range(max(members, 1))]),
    ]
    sweep_id, first = 100, 101
    head = [("kind", ">u4"), ("id", ">u4")]
    point = np.dtype([("sweep", head + [("v", ">f8")]), ("trace", head + value, (traces,))])
    per_chunk = max(1, (64 << 20) // point.itemsize)

    def chunks(_start):
        for k0 in range(0, points, per_chunk):
            k = np.arange(k0, min(points, k0 + per_chunk), dtype=np.float64)
            a = np.empty(len(k), point)
            a["sweep"]["kind"], a["sweep"]["id"], a["sweep"]["v"] = pb.DECLARATION, sweep_id, k
            t = a["trace"]
            t["kind"] = pb.DECLARATION
            t["id"] = np.arange(first, first + traces, dtype=np.uint32)
            base = k[:, None] * 1e-3 + np.arange(traces)[None, :]
            if kind == "complex":
                t["re"], t["im"] = base, -base
            else:
                t["v"] = base[:, :, None] + np.arange(members)[None, None, :] * 1e-6
            yield a

    write_file(
        path,
        pb.SWEPT,
        types,
        [pb.Decl(sweep_id, "freq", FLOAT)],
        [pb.Decl(first + i, f"t{i}", trace_type) for i in range(traces)],
        points * point.itemsize,
        chunks,
    )


def windowed_file(path: Path, points: int, traces: int, window: int) -> None:
    """One sweep and `traces` Float64 traces in frames of `window` slots."""
    block = ("v", ">f8", (window,))
    frame = np.dtype(
        [("kind", ">u4"), ("window", ">u2"), ("n", ">u2"), block, ("rest", [("sep", ">u8"), block], (traces,))]
    )
    frames = -(-points // window)
    per_chunk = max(1, (64 << 20) // frame.itemsize)

    def chunks(_start):
        for f0 in range(0, frames, per_chunk):
            f1 = min(frames, f0 + per_chunk)
            k = np.arange(f0 * window, f1 * window, dtype=np.float64).reshape(-1, window)
            a = np.zeros(f1 - f0, frame)
            a["kind"], a["window"] = pb.DECLARATION, window
            a["n"] = np.minimum(window, points - np.arange(f0, f1) * window)
            a["v"] = k * 1e-9
            a["rest"]["sep"] = 0xDEADBEEFDEADBEEF
            a["rest"]["v"] = k[:, None, :] * 1e-3 + np.arange(traces)[None, :, None]
            yield a

    write_file(
        path,
        pb.WINDOWED,
        [pb.TypeDef(FLOAT, "float", pb.FLOAT64)],
        [pb.Decl(100, "time", FLOAT)],
        [pb.Decl(101 + i, f"v{i}", FLOAT) for i in range(traces)],
        frames * frame.itemsize,
        chunks,
    )


# Operating-point struct: Float64 members around an Int8 region and an Int32.
OP_MEMBERS = [
    ("vgs", pb.FLOAT64), ("vds", pb.FLOAT64), ("vbs", pb.FLOAT64), ("ids", pb.FLOAT64),
    ("region", pb.INT8), ("gm", pb.FLOAT64), ("gds", pb.FLOAT64), ("gmb", pb.FLOAT64),
    ("type", pb.INT32), ("vth", pb.FLOAT64),
]  # fmt: skip
# Wire fields of each member: its value field, and for Int8 the three bytes
# before it (an Int8 is a big-endian word whose last byte is the value).
OP_WIRE = {pb.FLOAT64: [("", ">f8")], pb.INT8: [("_pad", "V3"), ("", "u1")], pb.INT32: [("", ">u4")]}


def op_entry_dtype() -> np.dtype:
    fields = [("kind", ">u4"), ("id", ">u4"), ("len", ">u4"), ("name", "S8"), ("type_id", ">u4")]
    for name, t in OP_MEMBERS:
        fields += [(name + suffix, w) for suffix, w in OP_WIRE[t]]
    return np.dtype(fields)


def op_columns(count: int) -> dict:
    """The member values of every entry, one NumPy column per member."""
    k = np.arange(count, dtype=np.float64)
    cols = {}
    for j, (name, t) in enumerate(OP_MEMBERS):
        if t == pb.FLOAT64:
            cols[name] = k * 1e-3 + j
        elif t == pb.INT8:
            cols[name] = (np.arange(count) % 4).astype(np.uint8)
        else:
            cols[name] = (np.arange(count) % 3).astype(np.uint32)
    return cols


def nonswept_file(path: Path, count: int) -> None:
    entry = op_entry_dtype()
    per_chunk = max(1, (64 << 20) // entry.itemsize)
    cols = op_columns(count)

    def chunks(start):
        yield pb.u32(pb.SUBCONTAINER) + pb.u32(start + 8 + count * entry.itemsize)
        for e0 in range(0, count, per_chunk):
            e1 = min(count, e0 + per_chunk)
            a = np.zeros(e1 - e0, entry)
            a["kind"], a["len"], a["type_id"] = pb.DECLARATION, 8, STRUCT
            a["id"] = np.arange(e0, e1) + 10
            a["name"] = np.char.mod("m%07d", np.arange(e0, e1)).astype("S8")
            for name, _ in OP_MEMBERS:
                a[name] = cols[name][e0:e1]
            yield a
        yield pb.u32(pb.INDEX) + pb.u32(8) + bytes(8)

    write_file(
        path,
        pb.NONSWEPT,
        [pb.struct_type(STRUCT, "dcOpInfo", OP_MEMBERS)],
        None,
        None,
        8 + count * entry.itemsize + 16,
        chunks,
    )


def ascii_files(text_path: Path, rows_path: Path, points: int, traces: int) -> None:
    """A PSF ASCII transient as a simulator writes one (a time sweep, then the
    traces in one group, one number a line, six significant digits), and the
    same numbers one row per point, separated by spaces, for pandas."""
    head = ['HEADER\n"PSFversion" "1.00"\n"simulator" "spectre"\n"analysis type" "tran"\n',
            'TYPE\n"sweep" FLOAT DOUBLE PROP(\n"key" "sweep"\n)\n',
            '"V" FLOAT DOUBLE PROP(\n"units" "V"\n"key" "node"\n"tolerance" 1.00000e-06\n)\n',
            'SWEEP\n"time" "sweep" PROP(\n"units" "s"\n)\n',
            f'TRACE\n"group" GROUP {traces}\n', *(f'"v{i}" "V"\n' for i in range(traces)), "VALUE\n"]  # fmt: skip
    rate = 1e-4 * (1 + np.arange(traces))
    scale = 1 + np.arange(traces)
    per_chunk = 20_000
    with open(text_path, "w") as text, open(rows_path, "w") as rows:
        text.write("".join(head))
        for k0 in range(0, points, per_chunk):
            k = np.arange(k0, min(points, k0 + per_chunk))
            times = np.char.mod("%#.6g", k * 1e-11).tolist()
            values = np.char.mod("%#.6g", np.sin(k[:, None] * rate) * scale).tolist()
            text.write("".join(f'"time" {t}\n"group" ' + "\n".join(v) + "\n" for t, v in zip(times, values)))
            rows.write("".join(t + " " + " ".join(v) + "\n" for t, v in zip(times, values)))
        text.write("END\n")


# ------------------------------------------------------------------ cases


def sizes(quick: bool) -> dict:
    if quick:
        return dict(win_points=100_000, swept_points=10_000, struct_points=5_000, op_count=10_000, small_files=100,
                    ascii_points=20_000)  # fmt: skip
    return dict(win_points=2_000_000, swept_points=200_000, struct_points=100_000, op_count=200_000, small_files=2000,
                ascii_points=500_000)  # fmt: skip


ASCII_TRACES = 50
CASES = ["windowed", "swept", "swept_struct", "nonswept", "small_files", "ascii"]


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


def swept_small(path: Path) -> None:
    points, traces = 100, 30
    rec = np.dtype([("kind", ">u4"), ("id", ">u4"), ("v", ">f8")])

    def chunks(_start):
        a = np.empty((points, 1 + traces), rec)
        a["kind"], a["id"] = pb.DECLARATION, np.arange(100, 101 + traces, dtype=np.uint32)
        a["v"] = np.arange(points)[:, None] * 1e-3 + np.arange(1 + traces)[None, :]
        yield a

    write_file(
        path,
        pb.SWEPT,
        [pb.TypeDef(FLOAT, "float", pb.FLOAT64)],
        [pb.Decl(100, "time", FLOAT)],
        [pb.Decl(101 + i, f"v{i}", FLOAT) for i in range(traces)],
        points * (1 + traces) * rec.itemsize,
        chunks,
    )


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


def read_all(paths) -> None:
    for p in paths:
        karvo.read_psf(str(p))


def floor_all(paths) -> None:
    for p in paths:
        floor_copy(p)


def time_case(name: str, paths: list, repeat: int, sz: dict) -> dict:
    if name == "nonswept":
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

    elif len(paths) == 1:
        path = str(paths[0])

        def read():
            return karvo.read_psf(path)

        def floor():
            return floor_copy(path)

    else:

        def read():
            return read_all(paths)

        def floor():
            return floor_all(paths)

    check(name, paths, sz)
    # Warm both sides: page cache, heap, lazily made types and caches.
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


# ------------------------------------------------------------------ peak memory

RSS_CHILD = r"""
import os, sys
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
out = 0
arrays = 0
for p in paths:
    psf = karvo.read_psf(p)
    peak = status("VmHWM")
    size = 0
    for s in psf.sweeps + psf.traces:
        size += s.data.nbytes
    for v in psf.values:
        d = v.data
        size += sys.getsizeof(v) + sys.getsizeof(d) + sum(sys.getsizeof(x) for x in d.values())
    out = max(out, os.path.getsize(p) + size)
    arrays = max(arrays, size)
    del psf
print(peak - base, out, arrays)
"""


def peak_rss(name: str, paths: list) -> tuple:
    """(peak RSS above baseline, budget) of reading the files; the budget is the
    file plus the bytes of what the result holds, plus 5%. Text is read once,
    front to back, and its pages leave the process behind the reader: its
    budget is the arrays alone, plus 10%."""
    # Default malloc settings: the peak a user sees, big buffers mapped and unmapped.
    env = {k: v for k, v in os.environ.items() if k != "GLIBC_TUNABLES"}
    read = paths[:1] if name == "ascii" else paths
    r = subprocess.run(
        [sys.executable, "-c", RSS_CHILD, *map(str, read)], capture_output=True, text=True, check=True, env=env
    )
    peak, held, arrays = map(int, r.stdout.split())
    return peak, arrays * 1.10 if name == "ascii" else held * 1.05


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

GOALS = {"windowed": 1.15, "swept": 1.5, "swept_struct": 1.5, "nonswept": 1.5, "small_files": 1.5, "ascii": 1.0}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    ap.add_argument("--cases", default=",".join(CASES), help=f"comma-separated subset of {','.join(CASES)}")
    ap.add_argument("--repeat", type=int, default=7, help="timed pairs per case (default 7)")
    ap.add_argument("--dir", default=None, help="folder for the temporary files (default: system temp)")
    ap.add_argument("--no-rss", action="store_true", help="skip the peak-memory subprocesses")
    ap.add_argument("--psf-utils", metavar="PYTHON", help="an interpreter with psf_utils, timed on the ascii case")
    args = ap.parse_args()
    sz = sizes(args.quick)
    cases = [c for c in args.cases.split(",") if c]
    print(f"karvo {karvo.__version__} ({Path(karvo.__file__).parent}), numpy {np.__version__}, "
          f"python {sys.version.split()[0]}, {os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}, "
          f"libpsf {'present' if libpsf else 'not importable'}", flush=True)  # fmt: skip

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
            res = time_case(name, paths, args.repeat, sz)
            res["peak"], res["budget"] = (None, None) if args.no_rss else peak_rss(name, paths)
            if name == "ascii" and args.psf_utils:
                res["psf_utils"] = time_psf_utils(args.psf_utils, paths[0])
                print(f"psf_utils: {res['psf_utils']}", flush=True)
            res.update(name=name, files=len(read), size=size)
            rows.append(res)
            print(format_row(res, header=False), flush=True)
            for p in paths:
                p.unlink()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print()
    print(format_table(rows))


def format_row(r: dict, header: bool) -> str:
    return format_table([r]).splitlines()[-1] if not header else format_table([r])


def format_table(rows: list) -> str:
    cols = ["case", "file MB", "read_psf s best / med", "floor s best / med", "ratio", "goal", "MB/s",
            "peak RSS MB", "budget MB"]  # fmt: skip
    if libpsf is not None:
        cols.append("libpsf s")
    psf_utils = any("psf_utils" in r for r in rows)
    if psf_utils:
        cols.append("psf_utils s")
    lines = ["| " + " | ".join(cols) + " |", "|" + "|".join("---" for _ in cols) + "|"]
    for r in rows:
        per = f" (per file {statistics.median(r['reads']) / r['files'] * 1e6:.0f} µs)" if r["files"] > 1 else ""
        cells = [
            r["name"] + (f" ({r['files']} files)" if r["files"] > 1 else ""),
            f"{r['size'] / MB:.1f}",
            f"{min(r['reads']):.4f} / {statistics.median(r['reads']):.4f}{per}",
            f"{min(r['floors']):.4f} / {statistics.median(r['floors']):.4f}",
            f"{r['ratio']:.2f}",
            f"≤ {GOALS[r['name']]}",
            f"{r['size'] / MB / statistics.median(r['reads']):.0f}",
            "-" if r["peak"] is None else f"{r['peak'] / MB:.1f}",
            "-" if r["budget"] is None else f"{r['budget'] / MB:.1f}",
        ]
        if libpsf is not None:
            v = r.get("libpsf")
            cells.append(v if isinstance(v, str) else f"{v:.4f}")
        if psf_utils:
            v = r.get("psf_utils", "-")
            cells.append(v if isinstance(v, str) else f"{v:.1f}")
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


if __name__ == "__main__":
    main()
