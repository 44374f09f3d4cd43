"""SWEEP and TRACE sections: declarations, groups and their refusals."""

from __future__ import annotations

import numpy as np
import pytest

from karvo import read_psf
from karvo.testing.psfbuilder import (
    ARRAY,
    COMPLEX,
    EMPTY,
    FLOAT64,
    GROUP,
    GROUPED_SWEPT,
    INT8,
    INT32,
    NONE,
    NONSWEPT,
    STRING,
    SWEPT,
    WINDOWED,
    Decl,
    Entry,
    Group,
    NonSwept,
    Swept,
    TypeDef,
    build,
    c128,
    f64,
    find,
    patch_u32,
    string,
    struct_type,
    u32,
)

F, C, S = 1, 2, 3
TYPES = [
    TypeDef(F, "V", FLOAT64),
    TypeDef(C, "I", COMPLEX),
    struct_type(S, "noise", [("total", FLOAT64), ("rd", FLOAT64), ("fn", FLOAT64)]),
]


class Raw(bytes):
    """Bytes that stand where the builder expects a declaration."""

    def encode(self) -> bytes:
        return bytes(self)


def error(write, data: bytes) -> str:
    with pytest.raises(ValueError) as info:
        read_psf(write(data))
    return str(info.value)


def declared(section: str, decls, types=TYPES, value=None, other=True) -> bytes:
    """A swept file whose `section` holds `decls` (the other one holds one float signal)."""
    other = [Decl(900, "other", F)] if other else []
    if section == "sweep":
        return build(SWEPT, types=types, sweeps=decls, traces=other, value=value)
    return build(SWEPT, types=types, sweeps=other, traces=decls, value=value)


def signals(psf, section: str) -> list:
    return psf.sweeps if section == "sweep" else psf.traces


SECTIONS = ["sweep", "trace"]


@pytest.mark.parametrize("section", SECTIONS)
@pytest.mark.parametrize(
    "decls, names",
    [
        (
            [Decl(10, "a", F), Group(90, "g", [Decl(11, "b", F), Decl(12, "c", F)]), Decl(13, "d", F)],
            ["a", "b", "c", "d"],
        ),
        (
            [
                Group(
                    90,
                    "g",
                    [Decl(10, "a", F), Group(91, "h", [Decl(11, "b", F), Decl(12, "c", F)]), Decl(13, "d", F)],
                )
            ],
            ["a", "b", "c", "d"],
        ),
        ([Decl(10, "a", F), Group(90, "none", [], props=[("k", 1)]), Decl(11, "b", F)], ["a", "b"]),
        ([Group(90, "g", [Decl(12, "c", F)], props=[("units", "V"), ("x", 1.5)])], ["c"]),
    ],
    ids=["flat", "nested", "count-0", "with-properties"],
)
def test_groups_are_flattened(write, section, decls, names):
    ids = {"a": 10, "b": 11, "c": 12, "d": 13}
    records = [(ids[n], f64(ids[n] * 1.5)) for n in names] + [(900, f64(0.0))]
    psf = read_psf(write(declared(section, decls, value=Swept(records))))
    got = signals(psf, section)
    assert [s.name for s in got] == names
    # each name keeps its own declaration id: its one point is id * 1.5
    assert [s.data.tolist() for s in got] == [[ids[n] * 1.5] for n in names]


@pytest.mark.parametrize("section", SECTIONS)
def test_struct_signal(write, section):
    psf = read_psf(write(declared(section, [Decl(5, "noise", S)])))
    data = signals(psf, section)[0].data
    assert data.dtype.names == ("total", "rd", "fn")
    assert data.shape == (0,)


@pytest.mark.parametrize("section", SECTIONS)
@pytest.mark.parametrize(
    "datatype, printed", [(INT8, "Int8"), (STRING, "String"), (INT32, "Int32"), (COMPLEX, "Complex")]
)
def test_struct_member_must_be_float64(write, section, datatype, printed):
    types = TYPES + [struct_type(7, "mixed", [("total", FLOAT64), ("region", datatype), ("tail", FLOAT64)])]
    data = declared(section, [Decl(5, "n1", F), Decl(6, "noise", 7)], types=types)
    assert error(write, data) == (
        f"swept struct trace 'noise' member 'region' has non-FLOAT64 type {printed} "
        "(only flat float64 struct traces are supported; heterogeneous structs are supported "
        "as non-swept values only)"
    )


@pytest.mark.parametrize("section", SECTIONS)
@pytest.mark.parametrize(
    "datatype, printed",
    [(INT32, "Int32"), (NONE, "None"), (ARRAY, "Array"), (STRING, "String"), (INT8, "Int8")],
)
def test_unsupported_scalar_datatype(write, section, datatype, printed):
    data = declared(section, [Decl(6, "sig", 7)], types=TYPES + [TypeDef(7, "t", datatype)])
    assert error(write, data) == f"trace/sweep 'sig' has unsupported datatype {printed}"


def test_complex_sweep(write):
    data = build(SWEPT, types=TYPES, sweeps=[Decl(1, "f", C)], value=Swept([(1, c128(1 - 2j)), (1, c128(3j))]))
    sweep = read_psf(write(data)).sweeps[0]
    assert sweep.data.dtype == np.complex128
    assert sweep.data.tolist() == [1 - 2j, 3j]


@pytest.mark.parametrize("section", SECTIONS)
@pytest.mark.parametrize("types", [TYPES, [], None], ids=["other-types", "empty-type-section", "no-type-section"])
def test_unknown_type_id(write, section, types):
    assert error(write, declared(section, [Decl(7, "x", 99)], types=types, other=False)) == (
        "declaration 7 references unknown type id 99"
    )


@pytest.mark.parametrize("section", SECTIONS)
@pytest.mark.parametrize("kind", [18, 0, 15, 20])
@pytest.mark.parametrize("in_group", [False, True], ids=["top", "in-group"])
def test_entry_of_another_kind(write, section, kind, in_group):
    victim = Decl(11, "victim", F)
    decls = [Decl(10, "a", F), Group(90, "g", [victim]) if in_group else victim]
    data = declared(section, decls)
    at = find(data, victim.encode())
    assert error(write, patch_u32(data, at, kind)) == (
        f"expected DECLARATION (16) or GROUP_DECLARATION (17) at offset {at}, got {kind}"
    )


@pytest.mark.parametrize("section", SECTIONS)
def test_wrong_kind_is_reported_only_after_id_and_name(write, section):
    # a name length that runs past the end of the file is reported first
    bad = Raw(u32(18) + u32(1) + u32(0xFFFFFFFF))
    data = declared(section, [bad])
    at = find(data, bad)
    assert error(write, data) == (
        f"unexpected end of file: need 4294967295 bytes at offset {at + 12} (len {len(data)})"
    )


@pytest.mark.parametrize("section", SECTIONS)
def test_bad_name_is_reported_before_wrong_kind(write, section):
    bad = Raw(u32(18) + u32(1) + string(b"\xff"))
    data = declared(section, [bad])
    at = find(data, bad)
    assert error(write, data) == (
        f"invalid UTF-8 in string at offset {at + 13}: invalid utf-8 sequence of 1 bytes from index 0"
    )


@pytest.mark.parametrize("section", SECTIONS)
def test_empty_section(write, section):
    psf = read_psf(write(declared(section, [])))
    assert signals(psf, section) == []
    other = psf.traces if section == "sweep" else psf.sweeps
    assert [s.name for s in other] == ["other"]


@pytest.mark.parametrize(
    "sweeps, traces, repeated",
    [
        ([Decl(1, "a", F), Decl(1, "b", C)], [], 1),
        ([Decl(2, "t", F)], [Decl(4, "a", F), Decl(5, "x", F), Decl(4, "b", F)], 4),
        ([Decl(1, "a", F)], [Decl(1, "b", F)], 1),
        ([Decl(2, "t", F)], [Group(9, "g", [Decl(6, "a", F)]), Group(9, "g", [Decl(6, "b", S)])], 6),
    ],
    ids=["two-sweeps", "two-traces", "sweep-and-trace", "in-groups"],
)
def test_repeated_declaration_id(write, sweeps, traces, repeated):
    data = build(SWEPT, types=TYPES, sweeps=sweeps, traces=traces)
    assert error(write, data) == f"internal: missing declaration {repeated} during assembly"


def test_declaration_order_is_kept(write):
    sweeps = [Decl(9, "freq", F), Decl(3, "time", F), Decl(5, "x", C)]
    ids = [(i * 37) % 101 + 10 for i in range(40)]
    traces = [Decl(i, f"t{i}", F) for i in ids]
    psf = read_psf(write(build(SWEPT, types=TYPES, sweeps=sweeps, traces=traces)))
    assert [s.name for s in psf.sweeps] == ["freq", "time", "x"]
    assert [t.name for t in psf.traces] == [f"t{i}" for i in ids]


def group_chain(depth: int, inner) -> tuple[Raw, int]:
    """`depth` groups, each the only member of the one before; returns it and its innermost group's offset."""
    head = u32(GROUP) + u32(500) + string("g") + u32(1)
    return Raw(head * depth + inner.encode()), len(head) * (depth - 1)


def nested_file(mode: str, chain: Raw) -> bytes:
    if mode == "value":
        return build(NONSWEPT, types=TYPES, value=NonSwept([chain]))
    return declared(mode, [chain])


INNER = {"sweep": Decl(1, "x", F), "trace": Decl(1, "x", F), "value": Entry(1, "x", F, f64(0.5))}


@pytest.mark.parametrize("mode", ["sweep", "trace", "value"])
def test_256_nested_groups_are_accepted(write, mode):
    chain, _ = group_chain(256, INNER[mode])
    psf = read_psf(write(nested_file(mode, chain)))
    got = psf.values if mode == "value" else signals(psf, mode)
    assert [x.name for x in got] == ["x"]


@pytest.mark.parametrize("depth", [257, 100_000])
@pytest.mark.parametrize("mode", ["sweep", "trace", "value"])
def test_deeper_groups_are_refused(write, mode, depth):
    chain, _ = group_chain(depth, INNER[mode])
    _, too_deep = group_chain(257, INNER[mode])
    data = nested_file(mode, chain)
    at = find(data, chain) + too_deep
    assert error(write, data) == f"group at offset {at} is nested more than 256 levels deep"


@pytest.mark.parametrize("layout", [EMPTY, SWEPT, GROUPED_SWEPT, WINDOWED, NONSWEPT])
def test_declarations_without_value_section_give_empty_arrays(write, layout):
    data = build(
        layout,
        types=TYPES,
        sweeps=[Decl(1, "freq", F)],
        traces=[Decl(2, "v", F), Group(8, "g", [Decl(3, "z", C)]), Decl(4, "n", S)],
    )
    psf = read_psf(write(data))
    assert psf.values == []
    arrays = [s.data for s in psf.sweeps + psf.traces]
    assert [a.dtype for a in arrays[:3]] == [np.float64, np.float64, np.complex128]
    assert arrays[3].dtype.names == ("total", "rd", "fn")
    assert [a.shape for a in arrays] == [(0,)] * 4
