"""Writers of the benchmark's files: the test builder's format, with large
bodies laid out by NumPy structured dtypes of big-endian fields."""

from __future__ import annotations

from pathlib import Path

import numpy as np

from . import psfbuilder as pb

HEADER = (("PSFversion", "1.00"), ("simulator", "spectre"), ("analysis type", "bench"))
FLOAT, COMPLEX, STRUCT = 1, 2, 3  # type ids



def write_file(path: Path, layout: int, types, sweeps, traces, body_len: int, chunks, wrap_offsets=False,
               header=HEADER) -> None:
    """Writes a file whose VALUE body (body_len bytes) comes from `chunks`,
    a function of the body's absolute offset yielding byte-like pieces."""
    prefix = pb.build(layout, header=header, types=types, sweeps=sweeps, traces=traces, trailer=b"", footer=b"")
    body_start = len(prefix) + 12
    end = body_start + body_len  # content end: the SectionEnd word stands here
    written = 0
    with open(path, "wb") as f:
        # A writer that keeps 32-bit offsets wraps those beyond 4 GiB.
        stored = (end + 4) & 0xFFFFFFFF if wrap_offsets else end + 4
        f.write(prefix + pb.u32(pb.SECTION_VALUE) + pb.u32(pb.CONTAINER) + pb.u32(stored))
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


def windowed_file(path: Path, points: int, traces: int, window: int, wrap_offsets: bool = False) -> None:
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
        wrap_offsets,
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


ASCII_TRACES = 50


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




def swept_floats(path: Path, points: int, traces: int, base: float = 0.0) -> None:
    """A dc sweep of many node voltages: one Float64 sweep and `traces`
    Float64 traces, one record per signal per point (the shape of a dc sweep
    that saves every node). Point k of signal j holds base + k / 1000 + j."""
    rec = np.dtype([("kind", ">u4"), ("id", ">u4"), ("v", ">f8")])

    def chunks(_start):
        per_chunk = max(1, (64 << 20) // (rec.itemsize * (1 + traces)))
        for k0 in range(0, points, per_chunk):
            k = np.arange(k0, min(points, k0 + per_chunk))
            a = np.empty((len(k), 1 + traces), rec)
            a["kind"], a["id"] = pb.DECLARATION, np.arange(100, 101 + traces, dtype=np.uint32)
            a["v"] = base + k[:, None] * 1e-3 + np.arange(1 + traces)[None, :]
            yield a

    write_file(
        path,
        pb.SWEPT,
        [pb.TypeDef(FLOAT, "V", pb.FLOAT64, props=[("units", "V"), ("key", "node")])],
        [pb.Decl(100, "vdc", FLOAT)],
        [pb.Decl(101 + i, f"X{i // 100}.n{i % 100}", FLOAT) for i in range(traces)],
        points * (1 + traces) * rec.itemsize,
        chunks,
    )


def grouped_file(path: Path, points: int, traces: int) -> None:
    """The grouped swept layout as another simulator writes it: per point a
    record of the sweep and one record carrying the whole group of traces."""
    rec = np.dtype([("sk", ">u4"), ("sid", ">u4"), ("sv", ">f8"), ("gk", ">u4"), ("gid", ">u4"),
                    ("g", ">f8", (traces,))])  # fmt: skip

    def chunks(_start):
        a = np.empty(points, rec)
        a["sk"], a["sid"], a["sv"] = pb.DECLARATION, 100, np.arange(points)
        a["gk"], a["gid"] = pb.GROUP, 50
        a["g"] = np.arange(traces)[None, :] * 1e-6 + np.arange(points)[:, None]
        yield a

    write_file(
        path,
        pb.GROUPED_SWEPT,
        [pb.TypeDef(FLOAT, "branch", pb.FLOAT64, props=[("units", "A")])],
        [pb.Decl(100, "voltage", FLOAT)],
        [pb.Group(50, "group", [pb.Decl(101 + i, f"X.ISUB({i})", FLOAT) for i in range(traces)])],
        points * rec.itemsize,
        chunks,
    )


def noise_file(path: Path, points: int, traces: int, members: int) -> None:
    """A small noise analysis: a frequency sweep and struct traces of noise
    contributions."""
    rec = np.dtype([("sk", ">u4"), ("sid", ">u4"), ("sv", ">f8"),
                    ("t", [("kind", ">u4"), ("id", ">u4"), ("v", ">f8", (members,))], (traces,))])  # fmt: skip

    def chunks(_start):
        a = np.empty(points, rec)
        a["sk"], a["sid"], a["sv"] = pb.DECLARATION, 100, np.logspace(3, 9, points)
        a["t"]["kind"], a["t"]["id"] = pb.DECLARATION, np.arange(101, 101 + traces)
        a["t"]["v"] = np.arange(members)[None, None, :] * 1e-18 + np.arange(points)[:, None, None] * 1e-20
        yield a

    members_def = [(f"c{i}", pb.FLOAT64) for i in range(members)]
    write_file(
        path,
        pb.SWEPT,
        [pb.TypeDef(FLOAT, "freq", pb.FLOAT64), pb.struct_type(STRUCT, "noise", members_def)],
        [pb.Decl(100, "freq", FLOAT)],
        [pb.Decl(101 + i, f"out{i}", STRUCT) for i in range(traces)],
        points * rec.itemsize,
        chunks,
    )


# The types a dc analysis of spectre declares (name, units, key, tolerance),
# as its files list them.
DC_TYPES = [("sweep", None, "sweep", None), ("LogicV", None, "node", None), ("V", "V", "node", 1e-6),
            ("I", "A", "branch", 1e-12), ("MMF", "A*turn", "node", 1e-12), ("Wb", "Wb", "node", 1e-9),
            ("Temp", "C", "node", 1e-4), ("Pwr", "W", "node", 1e-9), ("U", "", "node", 1e-6),
            ("V/Sec", "V/s", "node", 1e-4), ("I/Sec", "A/s", "node", 1e-6), ("1/Sec", "1/s", "node", 1e-4),
            ("HOD", "", "node", 1e-2), ("Q", "Coul", "node", 1e-15)]  # fmt: skip


def dc_sweep_file(path: Path, points: int, traces: int) -> None:
    """A dc sweep as spectre writes one for a design that saves every node:
    its header, its 14 types with their properties, a sweep with properties,
    then `traces` traces, node voltages (type V, hierarchical net names) and,
    one in six, branch currents (type I, terminal names), every point a
    record of each signal."""
    header = (("PSFversion", "1.00"), ("BINPSF creation time", "1484583176"), ("simulator", "spectre"),
              ("version", "15.1.0.644.isr13"), ("date", "8:12:58 AM, Mon Jan 16, 2017"),
              ("design", "// Generated for: spectre"), ("analysis type", "dc"), ("analysis name", "dc"),
              ("analysis description", "DC Analysis `dc': vdc = (0 -> 1)"), ("xVecSorted", "unsorted"),
              ("tolerance.relative", 1e-3), ("reltol", 1e-3), ("abstol(V)", 1e-6), ("abstol(I)", 1e-12),
              ("temp", 27.0), ("tnom", 27.0), ("tempeffects", "all"), ("gmindc", 1e-12))  # fmt: skip
    types = []
    for i, (name, units, key, tol) in enumerate(DC_TYPES):
        props = ([("units", units)] if units is not None else []) + [("key", key)]
        types.append(pb.TypeDef(i + 1, name, pb.FLOAT64, props=props + ([("tolerance", tol)] if tol else [])))
    v_type, i_type = 3, 4
    decls = []
    for i in range(traces):
        if i % 6 == 5:
            decls.append(pb.Decl(101 + i, f"I{i // 60}.M{i % 60}:d", i_type))
        else:
            decls.append(pb.Decl(101 + i, f"I{i // 60}.I{i % 7}.net{i:04d}", v_type))
    rec = np.dtype([("kind", ">u4"), ("id", ">u4"), ("v", ">f8")])

    def chunks(_start):
        a = np.empty((points, 1 + traces), rec)
        a["kind"], a["id"] = pb.DECLARATION, np.arange(100, 101 + traces, dtype=np.uint32)
        a["v"] = np.arange(points)[:, None] * 1e-3 + np.arange(1 + traces)[None, :]
        yield a

    write_file(path, pb.SWEPT, types,
               [pb.Decl(100, "vdc", 1, props=[("sweep_direction", 0), ("plot", 0), ("grid", 1)])],
               decls, points * (1 + traces) * rec.itemsize, chunks, header=header)  # fmt: skip
