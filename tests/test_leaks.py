"""Reading many files, good and bad, leaves no memory, references, descriptors
or mappings behind.

Every file carries long names and sizeable sample buffers, so that losing
what one read made (a name, a buffer, a dict, an exception) adds up to
megabytes over the loop and stands well clear of the thresholds.
"""

from __future__ import annotations

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

from karvo.testing import psfbuilder as pb
from karvo.testing.psfbuilder import Decl, Entry, TypeDef, c128, f64, u32
from karvo import Psf, Sweep, Trace, Value, read_psf

if not os.path.exists("/proc/self/statm"):
    pytest.skip("needs /proc", allow_module_level=True)

READS = 3000  # per stage and measurement, after the warm-up
RSS_SLACK = 1 << 20
TRACED_SLACK = 64 << 10
POINTS = 500


def long_name(tag: str) -> str:
    return f"{tag}:" + "n" * 2000


FLOAT, COMPLEX, NOISE, TEXT, OP = 1, 2, 3, 4, 5


def types(noise_members=("total", "rd", "rg", "id")):
    return [
        TypeDef(FLOAT, long_name("float"), pb.FLOAT64),
        TypeDef(COMPLEX, long_name("complex"), pb.COMPLEX),
        pb.struct_type(NOISE, long_name("noise"), [(m, pb.FLOAT64) for m in noise_members]),
        TypeDef(TEXT, long_name("text"), pb.STRING),
        pb.struct_type(OP, long_name("op"), [(long_name("region"), pb.INT8), (long_name("vgs"), pb.FLOAT64)]),
    ]


HEADER = [(long_name(f"h{i}"), long_name("value")) for i in range(4)] + [("n", 7), ("x", 2.5)]


def swept_points(ids_kinds, points=POINTS):
    """Point records for (id, kind) pairs, kind one of FLOAT, COMPLEX, NOISE."""
    encode = {
        FLOAT: lambda k: f64(k),
        COMPLEX: lambda k: c128(complex(k, -k)),
        NOISE: lambda k: b"".join(f64(k + m) for m in range(4)),
    }
    per_id = {i: [encode[kind](k) for k in range(points)] for i, kind in ids_kinds}
    return pb.Swept(pb.swept_records(per_id, [i for i, _ in ids_kinds]))


def swept_file(**overrides) -> bytes:
    parts = dict(
        header=HEADER,
        types=types(),
        sweeps=[Decl(10, long_name("freq"), FLOAT)],
        traces=[Decl(11, long_name("v"), COMPLEX), Decl(12, long_name("noise"), NOISE), Decl(13, "i", FLOAT)],
        value=swept_points([(10, FLOAT), (11, COMPLEX), (12, NOISE), (13, FLOAT)]),
    )
    parts.update(overrides)
    return pb.build(pb.SWEPT, **parts)


def nonswept_entries():
    return [
        Entry(20, long_name("vdd"), FLOAT, f64(1.8)),
        Entry(21, long_name("M1"), OP, u32(2) + f64(0.7)),
        Entry(22, long_name("title"), TEXT, pb.string(long_name("text value"))),
        pb.Group(23, long_name("group"), [Entry(24, long_name("inner"), FLOAT, f64(-1.0))]),
    ]


def nonswept_file(extra=()) -> bytes:
    entries = nonswept_entries() + list(extra)
    return pb.build(pb.NONSWEPT, header=HEADER, types=types(), value=pb.NonSwept(entries))


def windowed_file() -> bytes:
    column = [float(k) for k in range(POINTS)]
    return pb.build(
        pb.WINDOWED,
        header=HEADER,
        types=types(),
        sweeps=[Decl(1, long_name("time"), FLOAT)],
        traces=[Decl(2, long_name("a"), FLOAT), Decl(3, long_name("b"), FLOAT)],
        value=pb.Windowed(pb.windowed_frames([column, column[::-1], column], 64)),
    )


def value_container_word(data: bytes) -> int:
    """Offset of the VALUE section's stored Container end word."""
    at = len(data) - 12 - 4  # the builder's trailer
    while data[at - 4 : at] != u32(pb.SECTION_END):
        at -= 4
    section_end = at - 4
    word = data.rfind(u32(section_end + 4))
    assert word > 0
    return word


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


class Raising:
    def __fspath__(self):
        err = TypeError("x" * 4000)
        err.__cause__ = KeyError("y" * 4000)
        raise err


def touch(psf):
    """Uses every object the read made, so that lazily made parts exist too."""
    for item in psf.sweeps + psf.traces + psf.values:
        item.name, item.data
    len(psf.header)
    repr(psf)


@pytest.fixture(scope="module")
def stages(tmp_path_factory):
    folder = tmp_path_factory.mktemp("leaks")

    def put(name: str, data: bytes) -> str:
        path = folder / name
        path.write_bytes(data)
        return os.fspath(path)

    missing = os.fspath(folder / "/".join(["d" * 200] * 15)) + "/missing.psf"
    (folder / "dir.psf").mkdir()
    header_utf8 = u32(pb.EMPTY) + u32(pb.CONTAINER) + u32(0xFFFF)
    header_utf8 += pb.props(HEADER) + pb.prop(b"bad \xff name", 1) + pb.MAGIC + u32(0)
    header_end = pb.header_only(HEADER)
    header_end = pb.patch_u32(header_end, 8, int.from_bytes(header_end[8:12], "big") + 4)
    nested = types() + [TypeDef(9, long_name("outer"), pb.STRUCT, [pb.struct_type(8, long_name("inner"), [("a", pb.FLOAT64)])])]
    swept = swept_file()
    value_word = value_container_word(swept)
    swept_short = pb.patch_u32(swept, value_word, int.from_bytes(swept[value_word : value_word + 4], "big") - 8)

    paths = dict(
        header_only=put("header.psf", pb.header_only(HEADER)),
        swept=put("swept.psf", swept),
        nonswept=put("nonswept.psf", nonswept_file()),
        windowed=put("windowed.psf", windowed_file()),
        too_small=put("small.psf", b"Clarissa"),
        footer=put("footer.psf", b"\0" * 4000),
        layout=put("layout.psf", pb.header_only(HEADER, layout=7)),
        header_utf8=put("header_utf8.psf", header_utf8),
        header_end=put("header_end.psf", header_end),
        type_nested=put("type_nested.psf", pb.build(pb.SWEPT, header=HEADER, types=nested)),
        sweep_unknown=put(
            "sweep_unknown.psf",
            swept_file(sweeps=[Decl(10, long_name("freq"), FLOAT), Decl(14, long_name("bad"), 99)]),
        ),
        trace_int8=put(
            "trace_int8.psf",
            swept_file(traces=[Decl(11, long_name("v"), COMPLEX), Decl(15, long_name("op"), OP)]),
        ),
        record_unknown=put(
            "record_unknown.psf",
            swept_file(value=swept_points([(10, FLOAT), (11, COMPLEX), (12, NOISE), (13, FLOAT), (77, FLOAT)])),
        ),
        value_end=put("value_end.psf", swept_short),
        nonswept_unknown=put(
            "nonswept_unknown.psf", nonswept_file(extra=[Entry(30, long_name("late"), 99, f64(0.0))])
        ),
        duplicate_id=put(
            "duplicate_id.psf",
            swept_file(
                sweeps=[Decl(10, long_name("freq"), FLOAT)],
                traces=[Decl(11, long_name("v"), COMPLEX), Decl(10, long_name("again"), FLOAT)],
                value=swept_points([(10, FLOAT), (11, COMPLEX)]),
            ),
        ),
        duplicate_field=put(
            "duplicate_field.psf",
            swept_file(types=types(noise_members=("I", "J", "I", "K"))),
        ),
    )

    def call(*args, **kwargs):
        return lambda: read_psf(*args, **kwargs)

    def read_and_touch(path):
        return lambda: touch(read_psf(path))

    stages = {
        "arguments": [
            (call(), TypeError),
            (call("a", "b"), TypeError),
            (call(paths["swept"], path=paths["swept"]), TypeError),
            (call(**{long_name("kw"): 1}), TypeError),
            (call(b"b" * 4000), TypeError),
            (call(FsPath(b"b" * 4000)), TypeError),
            (call(None), TypeError),
            (call(Raising()), TypeError),
        ],
        "open-and-map": [
            (call(missing), OSError),
            (call(missing + "\0" + "z" * 2000), OSError),
            (call(os.fspath(folder / "dir.psf")), OSError),
            (call("/dev/null"), OSError),
        ],
        "framing": [
            (call(paths[name]), ValueError)
            for name in ("too_small", "footer", "layout", "header_utf8", "header_end")
        ],
        "sections": [
            (call(paths[name]), ValueError)
            for name in ("type_nested", "sweep_unknown", "trace_int8", "record_unknown", "value_end", "nonswept_unknown")
        ],
        "assembly": [(call(paths["duplicate_id"]), ValueError), (call(paths["duplicate_field"]), ValueError)],
        "success": [
            (read_and_touch(paths[name]), None) for name in ("header_only", "swept", "nonswept", "windowed")
        ],
    }
    # each stage must fail (or succeed) the way it is meant to
    for name, calls in stages.items():
        for fn, expected in calls:
            if expected is None:
                fn()
            else:
                with pytest.raises(expected):
                    fn()
    with pytest.raises(ValueError, match="missing declaration 10"):
        read_psf(paths["duplicate_id"])
    with pytest.raises(ValueError, match='struct field name "I" appears more than once'):
        read_psf(paths["duplicate_field"])
    with pytest.raises(ValueError, match="VALUE container end mismatch"):
        read_psf(paths["value_end"])
    return stages, os.fspath(folder)


def exercise(calls, reads: int) -> None:
    for _ in range(max(1, reads // len(calls))):
        for fn, expected in calls:
            try:
                fn()
            except expected or ():
                pass
            else:
                assert expected is None


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def mappings_under(folder: str) -> int:
    with open("/proc/self/maps") as f:
        return sum(folder + "/" in line for line in f)


WATCHED = [Psf, Sweep, Trace, Value, np.dtype(np.float64), np.dtype(np.complex128), TypeError, OSError, ValueError]

STAGES = ["arguments", "open-and-map", "framing", "sections", "assembly", "success"]


@pytest.mark.parametrize("stage", STAGES)
def test_resident_memory_descriptors_and_references_stay_flat(stages, stage):
    calls, folder = stages[0][stage], stages[1]
    exercise(calls, READS // 5)
    gc.collect()
    refs = [sys.getrefcount(obj) for obj in WATCHED]
    fds = descriptors()
    before = resident_bytes()
    exercise(calls, READS)
    gc.collect()
    grown = resident_bytes() - before
    assert descriptors() == fds
    assert mappings_under(folder) == 0
    assert [sys.getrefcount(obj) for obj in WATCHED] == refs
    assert grown < RSS_SLACK, f"resident memory grew by {grown} bytes over {READS} reads"


@pytest.mark.parametrize("stage", STAGES)
def test_traced_python_memory_stays_flat(stages, stage):
    calls = stages[0][stage]
    exercise(calls, READS // 10)
    tracemalloc.start()
    try:
        exercise(calls, READS // 10)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        exercise(calls, READS)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < TRACED_SLACK, f"traced memory grew by {grown} bytes over {READS} reads"
