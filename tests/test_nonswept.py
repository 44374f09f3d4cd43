"""VALUE section framing and the non-swept layout (named value entries)."""

from __future__ import annotations

import struct

import pytest

from karvo import read_psf
from karvo.testing.psfbuilder import (
    ARRAY,
    COMPLEX,
    EMPTY,
    FLOAT64,
    INT8,
    INT32,
    NONE,
    NONSWEPT,
    STRING,
    SWEPT,
    Decl,
    Entry,
    Group,
    NonSwept,
    TypeDef,
    build,
    c128,
    f64,
    f64_bits,
    find,
    i32,
    int8,
    patch_u32,
    string,
    struct_type,
    truncated,
    u32,
)

F, I8, I32, STR, CPX, ARR, NON = 1, 2, 3, 4, 5, 6, 7
MIXED, DUP, THREE = 10, 11, 12
# an Int8 type whose id bytes start with "ssa", the tail of the footer magic
I8_SSA = 0x73736101
TYPES = [
    TypeDef(F, "V", FLOAT64),
    TypeDef(I8, "region", INT8),
    TypeDef(I32, "count", INT32),
    TypeDef(STR, "text", STRING),
    TypeDef(CPX, "Z", COMPLEX),
    TypeDef(ARR, "arr", ARRAY),
    TypeDef(NON, "none", NONE),
    TypeDef(I8_SSA, "region2", INT8),
    struct_type(
        MIXED,
        "op",
        [("v", FLOAT64), ("region", INT8), ("n", INT32), ("model", STRING), ("z", COMPLEX)],
    ),
    struct_type(DUP, "dup", [("a", FLOAT64), ("b", INT8), ("a", FLOAT64)]),
    struct_type(THREE, "three", [("x", FLOAT64), ("y", FLOAT64), ("r", INT8)]),
]


def error(write, data: bytes) -> str:
    with pytest.raises(ValueError) as info:
        read_psf(write(data))
    return str(info.value)


def nonswept(entries, **kw) -> bytes:
    return build(NONSWEPT, types=TYPES, value=NonSwept(entries), **kw)


def read_values(write, entries) -> list:
    return [(v.name, v.data) for v in read_psf(write(nonswept(entries))).values]


def body_start(layout: int = NONSWEPT) -> int:
    """Offset of the VALUE body in files built with TYPES and no SWEEP/TRACE."""
    # with an empty body the file ends in: SectionEnd, trailer word, 12-byte footer
    return len(build(layout, types=TYPES, value=b"")) - 20


@pytest.mark.parametrize(
    "type_id, encoded, expected",
    [
        (I8, int8(255), 255),
        (I8, b"\xaa\xbb\xcc\x07", 7),
        (I8, int8(0), 0),
        (I32, u32(0xFFFFFFFF), -1),
        (I32, u32(0x80000000), -(2**31)),
        (I32, u32(0x7FFFFFFF), 2**31 - 1),
        (F, f64(0.7), 0.7),
        (CPX, c128(1.5 - 2.5j), 1.5 - 2.5j),
        (STR, string("hello"), "hello"),
        (STR, string(""), ""),
        (STR, string("abcd"), "abcd"),
        (STR, string("µA·Ω"), "µA·Ω"),
    ],
    ids=[
        "int8-ff", "int8-padding-ignored", "int8-0", "int32-ffffffff", "int32-min", "int32-max",
        "float64", "complex", "string", "string-empty", "string-4", "string-utf8",
    ],
)
def test_scalar_value(write, type_id, encoded, expected):
    # the entry that follows shows how many bytes the value took
    got = read_values(write, [Entry(1, "v", type_id, encoded), Entry(2, "next", F, f64(42.0))])
    assert got == [("v", expected), ("next", 42.0)]
    assert type(got[0][1]) is type(expected)


BITS = [
    0x7FF8000000000123,
    0xFFF0000000000001,
    0x8000000000000000,
    0x7FF0000000000000,
    0xFFF0000000000000,
    0x0000000000000001,
    0x7FEFFFFFFFFFFFFF,
]


@pytest.mark.parametrize("bits", BITS, ids=hex)
def test_float64_bit_for_bit(write, bits):
    [(_, x)] = read_values(write, [Entry(1, "v", F, f64_bits(bits))])
    assert struct.pack(">d", x) == f64_bits(bits)


@pytest.mark.parametrize("bits", BITS, ids=hex)
def test_complex_bit_for_bit(write, bits):
    [(_, z)] = read_values(write, [Entry(1, "z", CPX, f64_bits(bits) + f64_bits(bits ^ (1 << 63)))])
    assert struct.pack(">dd", z.real, z.imag) == f64_bits(bits) + f64_bits(bits ^ (1 << 63))


def test_struct_value_with_mixed_members(write):
    # Int8 is the word's last byte, unsigned; Int32 a two's complement word.
    value = f64(0.75) + b"\xee\xee\xee\xfe" + i32(-7) + string("nch") + c128(1 - 1j)
    entries = [Entry(1, "M1", MIXED, value, props=[("key", "inst")]), Entry(2, "next", I8, int8(9))]
    got = read_values(write, entries)
    assert got == [("M1", {"v": 0.75, "region": 254, "n": -7, "model": "nch", "z": 1 - 1j}), ("next", 9)]
    assert list(got[0][1]) == ["v", "region", "n", "model", "z"]
    assert [type(x) for x in got[0][1].values()] == [float, int, int, str, complex]


@pytest.mark.parametrize("count, text_len", [(60_000, 3), (40, 700_000)], ids=["many", "long-strings"])
def test_many_values_of_every_kind_in_file_order(write, count, text_len):
    # Enough values or text to fill several megabytes of parsed values.
    def value(k: int):
        text = chr(0x41 + k % 26) * (text_len + k % 5)
        kinds = [
            (F, f64(k * 0.5), k * 0.5),
            (I32, u32(k), k),
            (CPX, c128(complex(k, -k)), complex(k, -k)),
            (STR, string(text), text),
            (MIXED, f64(-k) + int8(k % 256) + u32(k) + string(text) + c128(complex(0, k)),
             {"v": float(-k), "region": k % 256, "n": k, "model": text, "z": complex(0, k)}),
            (THREE, f64(k) + f64(k + 1) + int8(k % 7), {"x": float(k), "y": float(k + 1), "r": k % 7}),
        ]
        return kinds[k % len(kinds)]

    expected = [(f"value.{k}" * (1 + k % 3), value(k)[2]) for k in range(count)]
    entries = [Entry(k, name, value(k)[0], value(k)[1]) for k, (name, _) in enumerate(expected)]
    assert read_values(write, entries) == expected


def test_repeated_member_names_keep_the_later_value_at_the_first_position(write):
    [(_, d)] = read_values(write, [Entry(1, "d", DUP, f64(1.0) + int8(2) + f64(3.0))])
    assert d == {"a": 3.0, "b": 2}
    assert list(d) == ["a", "b"]


@pytest.mark.parametrize(
    "type_id, message",
    [(ARR, "array-typed values are not supported"), (NON, "value has datatype NONE")],
)
def test_refused_datatypes(write, type_id, message):
    data = nonswept([Entry(1, "ok", F, f64(1.0)), Entry(2, "bad", type_id, f64(0.0))])
    assert error(write, data) == message


def test_unknown_type_id(write):
    assert error(write, nonswept([Entry(8, "x", 99, f64(0.0))])) == "declaration 8 references unknown type id 99"


@pytest.mark.parametrize("kind", [18, 15, 0])
def test_entry_of_another_kind(write, kind):
    victim = Entry(2, "victim", F, f64(2.0))
    data = nonswept([Entry(1, "a", F, f64(1.0)), victim])
    at = find(data, victim.encode())
    assert error(write, patch_u32(data, at, kind)) == (
        f"expected DECLARATION (16) or GROUP_DECLARATION (17) at offset {at}, got {kind}"
    )


def test_groups_of_values_are_flattened(write):
    entries = [
        Entry(1, "x", F, f64(1.0)),
        Group(
            50,
            "grp",
            [
                Entry(2, "a", I8, int8(1)),
                Entry(3, "b", STR, string("bee")),
                Group(51, "inner", [Entry(4, "c", F, f64(3.0))]),
            ],
            props=[("units", "V")],
        ),
        Group(52, "empty", []),
        Entry(5, "y", CPX, c128(2j)),
    ]
    assert read_values(write, entries) == [("x", 1.0), ("a", 1), ("b", "bee"), ("c", 3.0), ("y", 2j)]


def test_entry_ids_may_repeat(write):
    got = read_values(write, [Entry(1, "a", F, f64(1.0)), Entry(1, "b", I32, u32(2)), Entry(1, "a", F, f64(3.0))])
    assert got == [("a", 1.0), ("b", 2), ("a", 3.0)]


def test_empty_subcontainer(write):
    psf = read_psf(write(nonswept([])))
    assert (psf.values, psf.sweeps, psf.traces) == ([], [], [])


@pytest.mark.parametrize(
    "length, consumed",
    [(4, 0), (7, 0), (20, 16), (9, 8)],
)
def test_index_bytes_that_are_not_consumed(write, length, consumed):
    start = body_start()
    index = start + 8
    body = u32(22) + u32(index) + u32(19) + u32(length) + b"\0" * length
    assert error(write, build(NONSWEPT, types=TYPES, value=body)) == (
        f"VALUE container end mismatch: at offset {index + 8 + consumed} but expected {index + 8 + length}"
    )


def test_index_that_is_consumed_whole(write):
    start = body_start()
    body = u32(22) + u32(start + 8) + u32(19) + u32(16) + b"\1" * 16
    assert read_psf(write(build(NONSWEPT, types=TYPES, value=body))).values == []


@pytest.mark.parametrize("into", [1, 4, 23])
def test_entry_running_past_the_subcontainer_end(write, into):
    start = body_start()
    entry = Entry(1, "v", F, f64(2.0)).encode()
    body = u32(22) + u32(start + 8 + into) + entry + u32(19) + u32(8) + b"\0" * 8
    psf = read_psf(write(build(NONSWEPT, types=TYPES, value=body)))
    assert [(v.name, v.data) for v in psf.values] == [("v", 2.0)]


def test_subcontainer_ending_before_the_entries(write):
    start = body_start()
    entry = Entry(1, "v", F, f64(2.0)).encode()
    body = u32(22) + u32(start + 8) + entry + u32(19) + u32(8) + b"\0" * 8
    assert error(write, build(NONSWEPT, types=TYPES, value=body)) == (
        f"expected chunk ContainerIndex (19) at offset {start + 8}, got 16"
    )


def test_empty_layout_with_empty_value_section(write):
    data = build(EMPTY, header=[("a", 1)], types=TYPES, value=b"")
    psf = read_psf(write(data))
    assert (psf.values, psf.sweeps, psf.traces, psf.header) == ([], [], [], {"a": 1})


@pytest.mark.parametrize("body", [b"\0", u32(15), u32(22) + u32(0), b"\0" * 9], ids=len)
def test_empty_layout_refuses_any_body_byte(write, body):
    start = body_start(EMPTY)
    assert error(write, build(EMPTY, types=TYPES, value=body)) == (
        f"VALUE container end mismatch: at offset {start} but expected {start + len(body)}"
    )


@pytest.mark.parametrize("word", [16, 0, 14, 4])
@pytest.mark.parametrize(
    "layout, value",
    [(NONSWEPT, NonSwept([Entry(1, "v", F, f64(1.0))])), (EMPTY, b"")],
    ids=["nonswept", "empty"],
)
def test_section_end_word(write, word, layout, value):
    data = build(layout, types=TYPES, value=value)
    at = len(data) - 20  # SectionEnd, trailer word, footer
    assert error(write, patch_u32(data, at, word)) == f"expected chunk SectionEnd (15) at offset {at}, got {word}"


@pytest.mark.parametrize("header", [[], [("PSFversion", "1.00"), ("n", 3), ("x", 0.5)]])
def test_nonswept_file_with_only_a_header(write, header):
    psf = read_psf(write(build(NONSWEPT, header=header)))
    assert (psf.values, psf.sweeps, psf.traces) == ([], [], [])
    assert psf.header == dict(header)


def test_nonswept_file_may_also_declare_sweeps(write):
    data = build(NONSWEPT, types=TYPES, sweeps=[Decl(1, "s", F)], value=NonSwept([Entry(2, "v", F, f64(4.0))]))
    psf = read_psf(write(data))
    assert [(v.name, v.data) for v in psf.values] == [("v", 4.0)]
    assert [s.name for s in psf.sweeps] == ["s"] and psf.sweeps[0].data.shape == (0,)


# Truncated values. The entry name is 8 bytes long and the value starts at
# p = entry + 24; `cut` is where the file ends, relative to p. The 8 bytes
# before the cut hold the footer magic, so they must lie in ignored bytes.
@pytest.mark.parametrize(
    "type_id, encoded, cut, message",
    [
        (I8, int8(255), 0, "need 1 bytes at offset {p} (len {p})"),
        (I8_SSA, int8(255), 3, "skip 3 bytes at offset {p1} (len {p3})"),
        (I32, u32(7), 0, "need 4 bytes at offset {p} (len {p})"),
        (F, f64(1.0), 0, "need 8 bytes at offset {p} (len {p})"),
        (CPX, c128(1 + 1j), 12, "need 8 bytes at offset {p8} (len {p12})"),
        (STR, string("x" * 20), 20, "need 20 bytes at offset {p4} (len {p20})"),
        (STR, string("y" * 17), 22, "skip 3 bytes at offset {p21} (len {p22})"),
        (THREE, f64(1.0) + f64(2.0) + int8(1), 16, "need 1 bytes at offset {p16} (len {p16})"),
    ],
    ids=["int8", "int8-padding", "int32", "float64", "complex-imag", "string-text", "string-padding", "struct-member"],
)
def test_value_cut_by_the_end_of_the_file(write, type_id, encoded, cut, message):
    entry = Entry(1, "abcdefgh", type_id, encoded)
    data = nonswept([entry])
    p = find(data, entry.encode()) + 24
    offsets = {f"p{k}": p + k for k in range(1, 23)}
    expected = "unexpected end of file: " + message.format(p=p, **offsets)
    assert error(write, truncated(data, p + cut)) == expected


def test_swept_layout_reads_no_nonswept_entries(write):
    # the same VALUE body read as point records: a SubContainer is no record
    data = build(SWEPT, types=TYPES, value=NonSwept([]))
    start = body_start(SWEPT)
    assert error(write, data) == f"expected chunk Declaration (16) at offset {start}, got 22"
