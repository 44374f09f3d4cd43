"""TYPE section: scalar and struct definitions, as seen through the values that use them."""

from __future__ import annotations

import pytest

from karvo import read_psf
from karvo.testing.psfbuilder import (
    ARRAY,
    COMPLEX,
    DECLARATION,
    FLOAT64,
    INT8,
    INT32,
    MAGIC,
    NONE,
    NONSWEPT,
    SECTION_TYPE,
    STRING,
    STRUCT,
    STRUCT_END,
    Entry,
    NonSwept,
    TypeDef,
    Writer,
    build,
    c128,
    f64,
    find,
    patch_u32,
    props,
    string,
    struct_type,
    truncated,
    u32,
)


def error(write, data: bytes) -> str:
    with pytest.raises(ValueError) as info:
        read_psf(write(data))
    return str(info.value)


def values(write, types, entries) -> list:
    psf = read_psf(write(build(NONSWEPT, types=types, value=NonSwept(entries))))
    return [(v.name, v.data) for v in psf.values]


def type_file(defs: bytes) -> tuple[bytes, int]:
    """A file whose TYPE section holds `defs` as is; returns it and the offset of `defs`."""
    w = Writer()
    w.u32(NONSWEPT)
    at = w.begin_container()
    w.raw(props([("PSFversion", "1.00")]))
    w.end_container(at)
    w.u32(SECTION_TYPE)
    at = w.begin_container()
    sub = w.begin_subcontainer()
    start = w.pos
    w.raw(defs)
    w.end_subcontainer(sub)
    w.index(8)
    w.end_container(at)
    w.raw(u32(15) + MAGIC + u32(0))
    return bytes(w.buf), start


def struct_head(id: int, name: str) -> bytes:
    """A struct definition up to its first member."""
    return u32(DECLARATION) + u32(id) + string(name) + u32(0) + u32(STRUCT)


def nested_chain(levels: int, leaf: TypeDef) -> tuple[bytes, int]:
    """`levels` structs each holding the next; `leaf` sits at level `levels`.

    Returns the definitions and the offset of `leaf` within them.
    """
    heads = b"".join(struct_head(100 + i, f"s{i}") for i in range(levels))
    return heads + leaf.encode() + u32(STRUCT_END) * levels, len(heads)


F64 = TypeDef(1, "f", FLOAT64)


def test_empty_type_section_defines_nothing(write):
    assert read_psf(write(build(NONSWEPT, types=[], value=NonSwept([])))).values == []
    data = build(NONSWEPT, types=[], value=NonSwept([Entry(3, "x", 1, f64(1.0))]))
    assert error(write, data) == "declaration 3 references unknown type id 1"


UNUSABLE = [TypeDef(6, "arr", ARRAY), TypeDef(7, "nothing", NONE), F64]


@pytest.mark.parametrize("element, printed", [(NONE, "None"), (ARRAY, "Array"), (STRUCT, "Struct")])
def test_array_element_must_be_a_scalar(write, element, printed):
    data = build(NONSWEPT, types=[TypeDef(6, "arr", ARRAY, element=element), F64])
    assert error(write, data) == f"array type 'arr' has unsupported element datatype {printed}"


def test_array_and_none_types_are_accepted_until_used(write):
    assert values(write, UNUSABLE, [Entry(1, "x", 1, f64(1.5))]) == [("x", 1.5)]


@pytest.mark.parametrize(
    "type_id, message",
    [(6, "array-typed values are not supported"), (7, "value has datatype NONE")],
)
def test_array_and_none_types_fail_when_a_value_uses_them(write, type_id, message):
    data = build(NONSWEPT, types=UNUSABLE, value=NonSwept([Entry(1, "x", type_id, b"")]))
    assert error(write, data) == message


def test_struct_members_keep_file_order(write):
    members = [
        TypeDef(900, "zeta", FLOAT64, props=[("units", "V")]),
        TypeDef(901, "alpha", INT8),
        TypeDef(902, "mid", INT32, props=[("n", 3)]),
        TypeDef(903, "s", STRING),
        TypeDef(904, "c", COMPLEX),
    ]
    types = [TypeDef(10, "op", STRUCT, members, props=[("key", "inst")]), F64]
    value = f64(1.25) + u32(5) + u32(7) + string("hi") + c128(1 + 2j)
    got = values(write, types, [Entry(1, "dev", 10, value), Entry(2, "after", 1, f64(9.0))])
    assert got == [("dev", {"zeta": 1.25, "alpha": 5, "mid": 7, "s": "hi", "c": 1 + 2j}), ("after", 9.0)]
    assert list(got[0][1]) == ["zeta", "alpha", "mid", "s", "c"]


@pytest.mark.parametrize(
    "inner, message",
    [
        (
            TypeDef(20, "inner", STRUCT, [TypeDef(21, "x", FLOAT64)]),
            "struct 'outer' has a nested struct member 'inner' (nested structs are not supported)",
        ),
        (TypeDef(20, "inner", STRUCT, []), "struct 'inner' has zero fields (empty structs unsupported)"),
        (
            TypeDef(20, "inner", STRUCT, [TypeDef(21, "bad", ARRAY)]),
            "struct 'inner' member 'bad' has unsupported type "
            "(only flat scalar struct members are supported)",
        ),
        (
            TypeDef(20, "inner", STRUCT, [TypeDef(21, "deep", STRUCT, [TypeDef(22, "y", INT8)])]),
            "struct 'inner' has a nested struct member 'deep' (nested structs are not supported)",
        ),
    ],
    ids=["nested", "nested-empty", "nested-bad-member", "doubly-nested"],
)
def test_nested_struct_member_is_read_completely_before_refusal(write, inner, message):
    outer = TypeDef(10, "outer", STRUCT, [TypeDef(11, "ok", FLOAT64), inner])
    assert error(write, build(NONSWEPT, types=[outer])) == message


@pytest.mark.parametrize("datatype", [NONE, ARRAY])
def test_unsupported_member_type(write, datatype):
    data = build(NONSWEPT, types=[struct_type(10, "dev", [("v", FLOAT64), ("m", datatype)])])
    assert error(write, data) == (
        "struct 'dev' member 'm' has unsupported type (only flat scalar struct members are supported)"
    )


def test_struct_without_members(write):
    data = build(NONSWEPT, types=[F64, TypeDef(10, "hollow", STRUCT, [])])
    assert error(write, data) == "struct 'hollow' has zero fields (empty structs unsupported)"


def test_struct_cut_off_before_struct_end(write):
    # the member's last property value runs up to the end of the file
    member = TypeDef(11, "a", FLOAT64, props=[("p", "ABCDEFGHIJKL")])
    data = build(NONSWEPT, types=[TypeDef(10, "s", STRUCT, [member])])
    end = find(data, b"ABCDEFGHIJKL") + 12
    assert error(write, truncated(data, end)) == f"unexpected end of file: need 4 bytes at offset {end} (len {end})"


@pytest.mark.parametrize("word", [17, 19, 0])
def test_member_that_is_not_a_declaration(write, word):
    struct = TypeDef(10, "s", STRUCT, [TypeDef(11, "a", FLOAT64)])
    data = build(NONSWEPT, types=[struct])
    at = find(data, struct.encode()) + len(struct_head(10, "s"))
    assert error(write, patch_u32(data, at, word)) == (
        f"expected chunk Declaration (16) at offset {at}, got {word}"
    )


@pytest.mark.parametrize("tag", [4, 6, 10, 13, 15, 17, 255, 0xFFFFFFFF])
@pytest.mark.parametrize("field", ["extra", "datatype"])
def test_unknown_datatype_tag(write, tag, field):
    bad = TypeDef(5, "x", tag) if field == "datatype" else TypeDef(5, "x", FLOAT64, extra_tag=tag)
    assert error(write, build(NONSWEPT, types=[F64, bad])) == f"unknown datatype tag {tag}"


def test_unknown_tag_of_a_member(write):
    data = build(NONSWEPT, types=[TypeDef(10, "s", STRUCT, [TypeDef(11, "a", 7)])])
    assert error(write, data) == "unknown datatype tag 7"


@pytest.mark.parametrize(
    "first, second, value, expected",
    [
        (TypeDef(7, "a", FLOAT64), TypeDef(7, "b", COMPLEX), c128(1 + 2j), 1 + 2j),
        (TypeDef(7, "a", COMPLEX), TypeDef(7, "b", FLOAT64), f64(2.5), 2.5),
        (struct_type(7, "a", [("x", FLOAT64)]), TypeDef(7, "b", INT32), u32(9), 9),
        (
            TypeDef(7, "a", INT8),
            struct_type(7, "b", [("x", INT8), ("y", INT32)]),
            u32(3) + u32(4),
            {"x": 3, "y": 4},
        ),
    ],
    ids=["float-then-complex", "complex-then-float", "struct-then-int32", "int8-then-struct"],
)
def test_later_definition_with_the_same_id_wins(write, first, second, value, expected):
    entries = [Entry(1, "v", 7, value), Entry(2, "after", 1, f64(-1.0))]
    assert values(write, [first, F64, second], entries) == [("v", expected), ("after", -1.0)]


def test_struct_nested_at_the_limit_is_refused_as_nested(write):
    chain, _ = nested_chain(256, TypeDef(1, "x", FLOAT64))
    data, _ = type_file(chain)
    assert error(write, data) == (
        "struct 's254' has a nested struct member 's255' (nested structs are not supported)"
    )


def test_empty_struct_at_the_limit_reports_its_zero_fields(write):
    chain, _ = nested_chain(256, TypeDef(1, "leaf", STRUCT, []))
    data, _ = type_file(chain)
    assert error(write, data) == "struct 'leaf' has zero fields (empty structs unsupported)"


@pytest.mark.parametrize(
    "leaf", [TypeDef(1, "x", FLOAT64), TypeDef(1, "leaf", STRUCT, [TypeDef(2, "y", FLOAT64)])], ids=["scalar", "struct"]
)
def test_definition_past_the_limit_is_refused_by_depth(write, leaf):
    chain, leaf_at = nested_chain(257, leaf)
    data, start = type_file(chain)
    assert error(write, data) == (
        f"struct definition at offset {start + leaf_at} is nested more than 256 levels deep"
    )


def test_very_deep_nesting_fails_cleanly(write):
    head = struct_head(100, "s")
    levels = 100_000
    data, start = type_file(head * levels + F64.encode() + u32(STRUCT_END) * levels)
    assert error(write, data) == (
        f"struct definition at offset {start + 257 * len(head)} is nested more than 256 levels deep"
    )
