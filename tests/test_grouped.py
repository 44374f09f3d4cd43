"""Grouped swept VALUE layout (768): point records for one signal or for a whole group."""

from __future__ import annotations

import numpy as np
import pytest

from karvo import read_psf
from karvo.testing.psfbuilder import (
    COMPLEX,
    FLOAT64,
    GROUPED_SWEPT,
    Decl,
    Group,
    GroupedSwept,
    TypeDef,
    build,
    c128,
    f64,
    patch_u32,
    struct_type,
    truncated,
)

F, C, S = 1, 2, 3
TYPES = [
    TypeDef(F, "node", FLOAT64),
    TypeDef(C, "I", COMPLEX),
    struct_type(S, "noise", [("a", FLOAT64), ("b", FLOAT64)]),
]
SWEEP = [Decl(1, "voltage", F)]
GROUP = [Group(50, "group", [Decl(2, "VOUT", F), Decl(3, "VIN", F), Decl(4, "R0", F)])]


def grouped(records, sweeps=SWEEP, traces=GROUP) -> bytes:
    return build(GROUPED_SWEPT, types=TYPES, sweeps=sweeps, traces=traces, value=GroupedSwept(records))


def body_start(**kw) -> int:
    # with an empty body the file ends in: SectionEnd, trailer word, 12-byte footer
    return len(grouped([], **kw)) - 20


def columns(psf) -> list:
    return [[s.name, s.data.tolist()] for s in psf.sweeps + psf.traces]


def floats(*xs) -> bytes:
    return b"".join(f64(x) for x in xs)


def error(write, data: bytes) -> str:
    with pytest.raises(ValueError) as info:
        read_psf(write(data))
    return str(info.value)


def test_group_records(write):
    records = []
    for k in range(4):
        records += [(16, 1, f64(k + 1.0)), (17, 50, floats(-6.0 + 2 * k, k + 1.0, -0.006 + 0.002 * k))]
    psf = read_psf(write(grouped(records)))
    assert columns(psf) == [
        ["voltage", [1.0, 2.0, 3.0, 4.0]],
        ["VOUT", [-6.0, -4.0, -2.0, 0.0]],
        ["VIN", [1.0, 2.0, 3.0, 4.0]],
        ["R0", [-0.006 + 0.002 * k for k in range(4)]],
    ]


def test_single_signal_records(write):
    records = [(16, i, f64(10 * i + k)) for k in range(2) for i in (1, 4, 2, 3)]
    assert columns(read_psf(write(grouped(records)))) == [
        ["voltage", [10.0, 11.0]],
        ["VOUT", [20.0, 21.0]],
        ["VIN", [30.0, 31.0]],
        ["R0", [40.0, 41.0]],
    ]


def test_nested_group_contributes_its_members_in_order(write):
    traces = [
        Decl(6, "solo", F),
        Group(50, "outer", [Decl(2, "a", F), Group(51, "inner", [Decl(3, "b", F), Decl(4, "c", F)]), Decl(5, "d", F)]),
    ]
    records = [(17, 50, floats(1, 2, 3, 4)), (16, 6, f64(9)), (17, 50, floats(5, 6, 7, 8))]
    psf = read_psf(write(grouped(records, traces=traces)))
    assert columns(psf) == [
        ["voltage", []],
        ["solo", [9.0]],
        ["a", [1, 5]],
        ["b", [2, 6]],
        ["c", [3, 7]],
        ["d", [4, 8]],
    ]


def test_deeply_nested_group(write):
    inner = Decl(2, "x", F)
    for level in range(255, -1, -1):  # 256 groups, the outermost with id 1000
        inner = Group(1000 + level, f"g{level}", [inner])
    records = [(17, 1000, f64(4.0)), (16, 1, f64(0.0)), (17, 1000, f64(5.0))]
    psf = read_psf(write(grouped(records, traces=[inner])))
    assert columns(psf) == [["voltage", [0.0]], ["x", [4.0, 5.0]]]


def test_complex_and_struct_members(write):
    traces = [Group(50, "g", [Decl(2, "z", C), Decl(3, "n", S), Decl(4, "x", F)])]
    records = [
        (16, 1, f64(0.5)),
        (17, 50, c128(1 - 2j) + floats(3, 4) + f64(5)),
        (16, 1, f64(1.5)),
        (17, 50, c128(6j) + floats(7, 8) + f64(9)),
    ]
    psf = read_psf(write(grouped(records, traces=traces)))
    sweep, z, n, x = psf.sweeps + psf.traces
    assert sweep.data.tolist() == [0.5, 1.5]
    assert z.data.dtype == np.complex128 and z.data.tolist() == [1 - 2j, 6j]
    assert n.data.dtype.names == ("a", "b") and n.data.tolist() == [(3.0, 4.0), (7.0, 8.0)]
    assert x.data.tolist() == [5.0, 9.0]


def test_plain_record_for_a_group_member(write):
    records = [
        (17, 50, floats(1, 2, 3)),
        (16, 3, f64(20)),
        (16, 1, f64(-1)),
        (17, 50, floats(4, 5, 6)),
        (16, 3, f64(30)),
    ]
    psf = read_psf(write(grouped(records)))
    assert columns(psf) == [["voltage", [-1.0]], ["VOUT", [1, 4]], ["VIN", [2, 20, 5, 30]], ["R0", [3, 6]]]


def test_no_records(write):
    psf = read_psf(write(grouped([])))
    assert [s.data.shape for s in psf.sweeps + psf.traces] == [(0,)] * 4


@pytest.mark.parametrize("kind", [18, 15, 20, 0])
def test_record_of_another_kind(write, kind):
    records = [(16, 1, f64(1)), (17, 50, floats(1, 2, 3)), (kind, 1, f64(2))]
    at = body_start() + 16 + 32
    assert error(write, grouped(records)) == (
        f"expected DECLARATION (16) or GROUP_DECLARATION (17) at offset {at}, got {kind}"
    )


@pytest.mark.parametrize(
    "record, message",
    [
        ((16, 99, f64(0)), "value record references unknown declaration 99"),
        ((16, 50, floats(1, 2, 3)), "value record references unknown declaration 50"),
        ((17, 98, floats(1, 2, 3)), "value record references unknown group 98"),
        ((17, 2, f64(0)), "value record references unknown group 2"),
    ],
    ids=["unknown-id", "group-id-as-signal", "unknown-group", "signal-id-as-group"],
)
@pytest.mark.parametrize("last", [False, True])
def test_record_with_unknown_id(write, record, message, last):
    good = [(16, 1, f64(1)), (17, 50, floats(1, 2, 3))]
    records = good + [record] if last else [record] + good
    assert error(write, grouped(records)) == message


# The last record starts at r; the record before it carries a 24-byte point,
# so the 8 bytes before each cut lie in point bytes that the footer may overwrite.
@pytest.mark.parametrize(
    "last, cut, message",
    [
        ((16, 1, f64(1)), 0, lambda r: f"need 4 bytes at offset {r} (len {r})"),
        ((17, 50, floats(1, 2, 3)), 4, lambda r: f"need 4 bytes at offset {r + 4} (len {r + 4})"),
        ((16, 5, c128(1j)), 20, lambda r: f"skip 16 bytes at offset {r + 8} (len {r + 20})"),
        ((16, 6, floats(1, 2)), 23, lambda r: f"skip 16 bytes at offset {r + 8} (len {r + 23})"),
        ((17, 60, c128(1j)), 20, lambda r: f"skip 16 bytes at offset {r + 8} (len {r + 20})"),
    ],
    ids=["kind", "id", "complex-signal", "struct-signal", "one-member-group"],
)
def test_last_record_cut_by_the_end_of_the_file(write, last, cut, message):
    traces = GROUP + [Decl(5, "z", C), Decl(6, "n", S), Group(60, "g", [Decl(7, "w", C)])]
    records = [(16, 1, f64(1)), (17, 50, floats(1, 2, 3)), last]
    data = grouped(records, traces=traces)
    r = body_start(traces=traces) + 16 + 32
    assert error(write, truncated(data, r + cut)) == "unexpected end of file: " + message(r)


@pytest.mark.parametrize("short_by", [1, 24])
def test_records_ending_beyond_the_container_end(write, short_by):
    data = grouped([(16, 1, f64(1)), (17, 50, floats(1, 2, 3))])
    end = len(data) - 20  # where SectionEnd stands
    data = patch_u32(data, body_start() - 4, end - short_by + 4)
    assert error(write, data) == f"VALUE container end mismatch: at offset {end} but expected {end - short_by}"
