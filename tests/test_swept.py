"""Swept VALUE layout: point records, and the NumPy arrays made from them."""

from __future__ import annotations

import gc
import random

import numpy as np
import pytest

from karvo import read_psf
from karvo.testing.psfbuilder import (
    COMPLEX,
    FLOAT64,
    SWEPT,
    Decl,
    Padding,
    Swept,
    TypeDef,
    build,
    c128,
    f64,
    f64_bits,
    patch_u32,
    struct_type,
    swept_records,
    truncated,
    u32,
)

F, C, S, DUP = 1, 2, 3, 4
TYPES = [
    TypeDef(F, "V", FLOAT64),
    TypeDef(C, "I", COMPLEX),
    struct_type(S, "noise", [("total", FLOAT64), ("rd", FLOAT64), ("fn", FLOAT64)]),
]
SWEEPS = [Decl(1, "freq", F)]
TRACES = [Decl(2, "v", F), Decl(3, "z", C), Decl(4, "n", S)]

FREQ = [1.0, 10.0, 100.0]
V = [0.5, -0.25, 3.0]
Z = [1 + 2j, -3j, 0.5 + 0j]
N = [(1.0, 2.0, 3.0), (4.0, 5.0, 6.0), (7.0, 8.0, 9.0)]


def encode(id: int, point) -> bytes:
    if id == 3:
        return c128(point)
    if id == 4:
        return b"".join(f64(x) for x in point)
    return f64(point)


POINTS = {1: FREQ, 2: V, 3: Z, 4: N}


def records_of(order) -> list:
    """Records for the signal ids in `order`, the k-th mention of an id carrying its k-th point."""
    seen = {i: 0 for i in POINTS}
    out = []
    for i in order:
        out.append((i, encode(i, POINTS[i][seen[i]])))
        seen[i] += 1
    return out


def swept(records, sweeps=SWEEPS, traces=TRACES, types=TYPES) -> bytes:
    return build(SWEPT, types=types, sweeps=sweeps, traces=traces, value=Swept(records))


def body_start(**kw) -> int:
    # with an empty body the file ends in: SectionEnd, trailer word, 12-byte footer
    return len(swept([], **kw)) - 20


def error(write, data: bytes) -> str:
    with pytest.raises(ValueError) as info:
        read_psf(write(data))
    return str(info.value)


def check_arrays(psf, freq=FREQ, v=V, z=Z, n=N) -> None:
    [sweep] = psf.sweeps
    tv, tz, tn = psf.traces
    assert (sweep.name, tv.name, tz.name, tn.name) == ("freq", "v", "z", "n")
    assert sweep.data.tolist() == freq
    assert tv.data.tolist() == v
    assert tz.data.tolist() == z
    assert tn.data.tolist() == list(n)


def shuffled_keeping_signal_order(seed: int) -> list:
    rng = random.Random(seed)
    queues = {i: [i] * len(p) for i, p in POINTS.items()}
    out = []
    while any(queues.values()):
        i = rng.choice([k for k, q in queues.items() if q])
        out.append(queues[i].pop())
    return out


ORDERS = {
    "interleaved": [1, 2, 3, 4] * 3,
    "signal-by-signal": [1] * 3 + [2] * 3 + [3] * 3 + [4] * 3,
    "reversed": [4, 3, 2, 1] * 3,
    "traces-first": [2, 3, 4] * 3 + [1] * 3,
    "shuffled-1": shuffled_keeping_signal_order(1),
    "shuffled-2": shuffled_keeping_signal_order(2),
}


@pytest.mark.parametrize("order", ORDERS.values(), ids=ORDERS.keys())
def test_points_follow_each_signals_own_record_order(write, order):
    check_arrays(read_psf(write(swept(records_of(order)))))


def test_records_as_simulators_write_them(write):
    points = {i: [encode(i, p) for p in POINTS[i]] for i in POINTS}
    check_arrays(read_psf(write(swept(swept_records(points, [1, 2, 3, 4])))))


def test_signals_may_have_different_point_counts(write):
    psf = read_psf(write(swept(records_of([1, 4, 1, 2, 1, 4]))))
    check_arrays(psf, freq=FREQ, v=V[:1], z=[], n=N[:2])


def test_no_records(write):
    psf = read_psf(write(swept([])))
    arrays = [s.data for s in psf.sweeps + psf.traces]
    assert [a.shape for a in arrays] == [(0,)] * 4
    assert [a.dtype for a in arrays[:3]] == [np.float64, np.float64, np.complex128]
    assert arrays[3].dtype.names == ("total", "rd", "fn")


@pytest.mark.parametrize("at", [0, 5, 12], ids=["first", "middle", "last"])
def test_record_with_unknown_id(write, at, split):
    records = records_of(ORDERS["interleaved"])
    records.insert(at, (77, f64(0.0)))
    assert error(write, swept(records)) == "value record references unknown declaration 77"


def test_padding_chunk_is_not_a_record(write):
    start = body_start()
    body = u32(16) + u32(1) + f64(1.0) + Padding(8).encode() + u32(16) + u32(1) + f64(2.0)
    data = build(SWEPT, types=TYPES, sweeps=SWEEPS, traces=TRACES, value=body)
    assert error(write, data) == f"expected chunk Declaration (16) at offset {start + 16}, got 20"


def last_record_offset(records) -> int:
    body = b"".join(u32(16) + u32(i) + p for i, p in records)
    return body_start() + len(body) - (8 + len(records[-1][1]))


# The 8 bytes before each cut lie in point bytes (of the last record, or of
# the complex record before it), which the footer magic may overwrite.
@pytest.mark.parametrize(
    "last, cut, message",
    [
        (3, 20, "skip 16 bytes at offset {r8} (len {r20})"),
        (3, 23, "skip 16 bytes at offset {r8} (len {r23})"),
        (4, 20, "skip 24 bytes at offset {r8} (len {r20})"),
        (4, 31, "skip 24 bytes at offset {r8} (len {r31})"),
        (3, 0, "need 4 bytes at offset {r} (len {r})"),
        (3, 2, "need 4 bytes at offset {r} (len {r2})"),
        (3, 4, "need 4 bytes at offset {r4} (len {r4})"),
    ],
    ids=["complex", "complex-23", "struct", "struct-31", "kind", "kind-partial", "id"],
)
def test_last_record_cut_by_the_end_of_the_file(write, last, cut, message, split):
    records = records_of([1, 4, 3, 1, 4, 3, last])
    data = swept(records)
    r = last_record_offset(records)
    offsets = {f"r{k}": r + k for k in range(1, 32)}
    expected = "unexpected end of file: " + message.format(r=r, **offsets)
    assert error(write, truncated(data, r + cut)) == expected


@pytest.mark.parametrize("short_by", [1, 8, 23])
def test_records_ending_beyond_the_container_end(write, short_by):
    records = records_of([1, 2, 3, 4])
    data = swept(records)
    end = len(data) - 20  # where SectionEnd stands
    data = patch_u32(data, body_start() - 4, end - short_by + 4)
    assert error(write, data) == f"VALUE container end mismatch: at offset {end} but expected {end - short_by}"


BITS = [0x7FF8000000000123, 0xFFF0000000000001, 0x8000000000000000, 0x7FF0000000000000, 0x0000000000000001]


def test_values_are_copied_bit_for_bit(write):
    flip = [b ^ (1 << 63) for b in BITS]
    records = []
    for k, b in enumerate(BITS):
        records.append((1, f64_bits(b)))
        records.append((2, f64_bits(flip[k])))
        records.append((3, f64_bits(b) + f64_bits(flip[k])))
        records.append((4, f64_bits(flip[k]) + f64_bits(b) + f64_bits(b)))
    psf = read_psf(write(swept(records)))
    [freq], (v, z, n) = psf.sweeps, psf.traces
    assert freq.data.view(np.uint64).tolist() == BITS
    assert v.data.view(np.uint64).tolist() == flip
    assert z.data.view(np.uint64).tolist() == [x for pair in zip(BITS, flip) for x in pair]
    assert n.data.view(np.uint64).tolist() == [x for t in zip(flip, BITS, BITS) for x in t]


@pytest.mark.parametrize(
    "which, dtype", [(0, np.float64), (1, np.float64), (2, np.complex128)], ids=["sweep", "float", "complex"]
)
def test_flat_array_properties(write, which, dtype):
    psf = read_psf(write(swept(records_of(ORDERS["interleaved"]))))
    a = (psf.sweeps + psf.traces)[which].data
    assert a.dtype == dtype
    assert a.shape == (3,) and a.ndim == 1
    assert a.strides == (np.dtype(dtype).itemsize,)
    assert a.flags.c_contiguous
    assert a.flags.writeable
    assert not a.flags.owndata
    assert type(a.base).__name__ == "PySliceContainer"


def test_structured_array_properties(write):
    psf = read_psf(write(swept(records_of(ORDERS["interleaved"]))))
    a = psf.traces[2].data
    assert a.shape == (3,)
    assert a.dtype.names == ("total", "rd", "fn")
    assert [a.dtype.fields[name][0] for name in a.dtype.names] == [np.dtype("<f8")] * 3
    assert [a.dtype.fields[name][1] for name in a.dtype.names] == [0, 8, 16]
    assert a["rd"][1] == 5.0
    assert a.flags.writeable and not a.flags.owndata
    flat = a.base
    assert isinstance(flat, np.ndarray)
    assert flat.dtype == np.float64 and flat.shape == (9,)
    assert flat.tolist() == [x for point in N for x in point]
    assert type(flat.base).__name__ == "PySliceContainer"


@pytest.mark.parametrize(
    "members, repeated",
    [(["I", "J", "I"], "I"), (["a", "b", "b"], "b"), (["x", "y", "z", "y", "x"], "y"), (['q"', 'q"'], 'q\\"')],
)
@pytest.mark.parametrize("with_points", [False, True])
def test_duplicate_struct_member_names(write, members, repeated, with_points):
    types = TYPES + [struct_type(9, "dup", [(m, FLOAT64) for m in members])]
    records = [(5, f64(1.0) * len(members))] if with_points else []
    data = swept(records, traces=[Decl(2, "v", F), Decl(5, "dup", 9)], types=types)
    assert error(write, data) == (
        f'struct field name "{repeated}" appears more than once; '
        "numpy structured arrays require unique field names"
    )


def test_arrays_outlive_their_psf(write):
    n = 2000
    records = [r for k in range(n) for r in ((1, f64(k)), (3, c128(complex(k, -k))), (4, f64(k) * 3))]
    psf = read_psf(write(swept(records)))
    freq, z, noise = psf.sweeps[0].data, psf.traces[1].data, psf.traces[2].data
    trace = psf.traces[1]
    del psf
    gc.collect()
    del trace
    gc.collect()
    # reuse freed memory if any was released too early
    junk = [np.full(n, -1.0) for _ in range(50)]
    assert freq.tolist() == [float(k) for k in range(n)]
    assert z.tolist() == [complex(k, -k) for k in range(n)]
    assert noise["fn"].tolist() == [float(k) for k in range(n)]
    freq[0] = 42.0
    assert freq[0] == 42.0
    del junk


WIDE_MEMBERS = [(f"m{j}", FLOAT64) for j in range(12)]
WIDE = struct_type(7, "wide", WIDE_MEMBERS)


@pytest.mark.parametrize("cycles", [6, 60_000], ids=["small", "streamed"])
@pytest.mark.parametrize("broken", [None, 1, "middle", "last"])
def test_record_order_breaking_the_cycle(write, cycles, broken, split):
    # Two float traces trade places in one sweep step: the body keeps the size
    # of whole repeated steps, yet each trace must still get its points in the
    # order of its own records.
    at = {None: -1, "middle": cycles // 2, "last": cycles - 1}.get(broken, broken)
    k = np.arange(cycles, dtype=np.float64)
    wide = k[:, None] * 100 + np.arange(12)
    records = []
    for c in range(cycles):
        floats = [(5, f64(-k[c])), (2, f64(k[c] + 0.5))] if c == at else [(2, f64(k[c] + 0.5)), (5, f64(-k[c]))]
        records += [(1, f64(k[c])), *floats, (6, wide[c].astype(">f8").tobytes())]
    traces = [Decl(2, "v", F), Decl(5, "w", F), Decl(6, "n", 7)]
    psf = read_psf(write(swept(records, traces=traces, types=TYPES + [WIDE])))
    freq, v, w, n = (s.data for s in psf.sweeps + psf.traces)
    np.testing.assert_array_equal(freq, k)
    np.testing.assert_array_equal(v, k + 0.5)
    np.testing.assert_array_equal(w, -k)
    np.testing.assert_array_equal(n.view(np.float64).reshape(cycles, 12), wide)


@pytest.mark.parametrize("broken", [None, 1, "middle", "last"])
@pytest.mark.parametrize("pair", [(3, 4), (650, 651)], ids=["first tile", "later tile"])
def test_wide_cycles_breaking_the_cycle(write, broken, pair, split):
    # A thousand signals and more are checked and copied in tiles of records;
    # two traces that trade places in one step, in the first tile or a later
    # one, still get their points in the order of their own records.
    signals, cycles = 700, 140
    at = {None: -1, "middle": cycles // 2, "last": cycles - 1}.get(broken, broken)
    values = np.arange(cycles)[:, None] * 1000.0 + np.arange(signals)[None, :]
    body = np.zeros((cycles, signals), [("kind", ">u4"), ("id", ">u4"), ("v", ">f8")])
    body["kind"], body["id"], body["v"] = 16, np.arange(1, signals + 1), values
    if at >= 0:
        body[at, list(pair)] = body[at, list(pair[::-1])]
    traces = [Decl(i + 1, f"t{i}", F) for i in range(1, signals)]
    data = build(SWEPT, types=TYPES, sweeps=[Decl(1, "x", F)], traces=traces, value=body.tobytes())
    psf = read_psf(write(data))
    got = np.stack([s.data for s in psf.sweeps + psf.traces], axis=1)
    np.testing.assert_array_equal(got, values)
