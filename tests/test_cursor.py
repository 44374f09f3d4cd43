"""Byte-level reading through crafted files: end-of-file messages, strings and
their padding, UTF-8 validation, property lists, container framing, the
value_section_type word and the order in which sections are looked for."""

from __future__ import annotations

import itertools
import os
import struct

import pytest

from karvo.testing import psfbuilder as pb
from karvo.testing.psfbuilder import u32
from karvo import read_psf

# HEADER framing: value_section_type at 0, Container at 4, end word at 8,
# so the property chunks of these files start at offset 12.
BODY = 12


def header_file(body: bytes, end: int | None = None, layout: int = pb.EMPTY) -> bytes:
    """A file whose HEADER content is `body`; `end` is the content end that
    the Container records (by default the end of `body`)."""
    if end is None:
        end = BODY + len(body)
    return u32(layout) + u32(pb.CONTAINER) + u32(end + 4) + body + pb.MAGIC + u32(0)


def padding(n: int) -> int:
    return (4 - n % 4) % 4


def parse_error(write, data: bytes) -> str:
    with pytest.raises(ValueError) as info:
        read_psf(write(data))
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1
    return info.value.args[0]


def need(n: int, at: int, length: int) -> str:
    return f"unexpected end of file: need {n} bytes at offset {at} (len {length})"


def skip(n: int, at: int, length: int) -> str:
    return f"unexpected end of file: skip {n} bytes at offset {at} (len {length})"


def overhanging(kind: int, name_len: int, tail_len: int, filler: bytes = b"a") -> bytes:
    """One property whose name string swallows the footer.

    Layout: framing (12), property kind (4), name length (4), then the name
    bytes from offset 20. The file is cut so that `tail_len` bytes follow the
    name and its padding (a negative `tail_len` cuts into the padding). The
    name is filler + "Clarissa" + part of "zzzz".
    """
    after_name = 20 + name_len + padding(name_len)
    length = after_name + tail_len
    fill = length - 12 - 20
    assert fill >= 1, "file too short for the footer to sit inside the name"
    head = u32(pb.EMPTY) + u32(pb.CONTAINER) + u32(length + 4) + u32(kind) + u32(name_len)
    data = head + (filler * fill)[:fill] + pb.MAGIC + b"zzzz"
    assert len(data) == length
    return data


# ---------------------------------------------------------------- need / skip


@pytest.mark.parametrize("declared", [13, 1000, 0x7FFFFFFF, 0xFFFFFFFF])
def test_string_longer_than_the_file(write, declared):
    # name bytes start at 20; 12 bytes (the footer) remain
    data = header_file(u32(pb.PROP_INT) + u32(declared), end=0)
    assert len(data) == 32
    assert parse_error(write, data) == need(declared, 20, 32)


@pytest.mark.parametrize("declared", [13, 0xFFFFFFFF])
def test_string_length_checked_at_a_later_offset(write, declared):
    body = pb.prop("first", 1) + pb.prop("second", "x") + u32(pb.PROP_STRING) + pb.string("k") + u32(declared)
    data = header_file(body)
    start = BODY + len(body)  # the value text would start here
    remaining = len(data) - start
    assert remaining < declared
    assert parse_error(write, data) == need(declared, start, len(data))


@pytest.mark.parametrize(
    "kind, width",
    [(pb.PROP_INT, 4), (pb.PROP_FLOAT, 8), (pb.PROP_STRING, 4)],
    ids=["int", "float", "string-length"],
)
def test_value_read_with_too_few_bytes_left(write, kind, width):
    for left in range(width):
        data = overhanging(kind, 16, left)
        assert parse_error(write, data) == need(width, 36, 36 + left), left


def test_u32_with_exactly_four_bytes_left_reaches_the_end(write):
    data = overhanging(pb.PROP_INT, 16, 4)
    name = data[20:36].decode()
    (value,) = struct.unpack(">I", b"zzzz")
    assert read_psf(write(data)).header == {name: value}


def test_f64_with_exactly_eight_bytes_left_reaches_the_end(write):
    data = overhanging(pb.PROP_FLOAT, 16, 8)
    name = data[20:36].decode()
    (value,) = struct.unpack(">d", data[36:44])
    assert read_psf(write(data)).header == {name: value}


@pytest.mark.parametrize("kind", [pb.PROP_INT, pb.PROP_STRING])
@pytest.mark.parametrize("name_len", [13, 14, 15])
def test_string_padding_beyond_the_end(write, kind, name_len):
    pad = padding(name_len)
    for left in range(pad):
        data = overhanging(kind, name_len, left - pad)
        assert len(data) == 20 + name_len + left
        assert parse_error(write, data) == skip(pad, 20 + name_len, len(data)), left


def test_utf8_is_checked_before_the_padding_is_skipped(write):
    data = overhanging(pb.PROP_INT, 15, -1, filler=b"\xff")
    assert len(data) == 35
    assert parse_error(write, data) == (
        "invalid UTF-8 in string at offset 35: invalid utf-8 sequence of 1 bytes from index 0"
    )


@pytest.mark.parametrize(
    "length, consumed",
    [(0, 4), (1, 8), (3, 8), (4, 8), (5, 12), (7, 12), (8, 12), (9, 16)],
)
def test_string_padding_depends_on_the_length(write, length, consumed):
    name = "abcdefghi"[:length]
    # padding bytes are garbage that would not even be valid UTF-8
    prop = u32(pb.PROP_INT) + u32(length) + name.encode() + b"\xff" * padding(length) + u32(7)
    assert len(prop) == 4 + consumed + 4
    good = header_file(prop + pb.prop("next", 1))
    assert read_psf(write(good)).header == {name: 7, "next": 1}
    # claiming 4 more bytes of content shows where the cursor stopped
    after = BODY + 4 + consumed + 4
    bad = header_file(prop, end=after + 4)
    assert parse_error(write, bad) == f"HEADER container end mismatch: at offset {after} but expected {after + 4}"


# ---------------------------------------------------------------- UTF-8

ALPHABET = [
    0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
    0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF,
]  # fmt: skip
SMALL_ALPHABET = [0x41, 0x80, 0x8F, 0x90, 0xA0, 0xBF, 0xC2, 0xE0, 0xF0, 0xF4, 0xFF]


def _lead(byte: int):
    """Continuation count and allowed second-byte range for a first byte."""
    if byte < 0x80:
        return 0, None
    if 0xC2 <= byte <= 0xDF:
        return 1, (0x80, 0xBF)
    if byte == 0xE0:
        return 2, (0xA0, 0xBF)
    if byte == 0xED:
        return 2, (0x80, 0x9F)
    if 0xE1 <= byte <= 0xEF:
        return 2, (0x80, 0xBF)
    if byte == 0xF0:
        return 3, (0x90, 0xBF)
    if 0xF1 <= byte <= 0xF3:
        return 3, (0x80, 0xBF)
    if byte == 0xF4:
        return 3, (0x80, 0x8F)
    return None, None


def first_utf8_error(raw: bytes):
    """(kind, index, length) of the first ill-formed sequence, or None.

    kind is "invalid" (length 1 to 3) or "incomplete" (length None).
    """
    i, n = 0, len(raw)
    while i < n:
        more, second = _lead(raw[i])
        if more is None:
            return "invalid", i, 1
        if more == 0:
            i += 1
            continue
        if i + 1 == n:
            return "incomplete", i, None
        if not second[0] <= raw[i + 1] <= second[1]:
            return "invalid", i, 1
        for j in range(i + 2, i + 1 + more):
            if j == n:
                return "incomplete", i, None
            if not 0x80 <= raw[j] <= 0xBF:
                return "invalid", i, j - i
        i += 1 + more
    return None


def utf8_detail(raw: bytes) -> str | None:
    err = first_utf8_error(raw)
    if err is None:
        return None
    kind, index, length = err
    if kind == "incomplete":
        return f"incomplete utf-8 byte sequence from index {index}"
    return f"invalid utf-8 sequence of {length} bytes from index {index}"


def all_strings():
    for n in (1, 2, 3):
        yield from itertools.product(ALPHABET, repeat=n)
    yield from itertools.product(SMALL_ALPHABET, repeat=4)


def test_reference_validator_agrees_with_python():
    """The length rule is Python's maximal-subpart rule too, so the reference
    must match the interpreter's decoder on every string the sweep uses."""
    disagreements = []
    for t in all_strings():
        raw = bytes(t)
        ours = first_utf8_error(raw)
        try:
            raw.decode("utf-8")
            python = None
        except UnicodeDecodeError as e:
            if e.reason == "unexpected end of data":
                python = ("incomplete", e.start, None)
            else:
                python = ("invalid", e.start, e.end - e.start)
        if ours != python:
            disagreements.append((raw.hex(), ours, python))
    assert disagreements == []


def check_one(path: str, raw: bytes, size: int, wrong: list) -> None:
    """Reads the file holding `raw` as its one property name; records a miss."""
    detail = utf8_detail(raw)
    expected = None if detail is None else f"invalid UTF-8 in string at offset {20 + size}: {detail}"
    try:
        header = read_psf(path).header
    except ValueError as e:
        got = str(e)
    else:
        got = None if header == {raw.decode("utf-8"): 5} else f"header {header!r}"
    if got != expected:
        wrong.append((raw.hex(), expected, got))


@pytest.mark.parametrize("size", [1, 2, 3, 4])
def test_utf8_validation_of_many_strings(tmp_path, size):
    """Every string over the alphabet, as a header property name."""
    path = os.fspath(tmp_path / "utf8.psf")
    alphabet = SMALL_ALPHABET if size == 4 else ALPHABET
    wrong = []
    # every file of one size has the same length, so rewriting in place
    # (no truncation) keeps this loop cheap
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC)
    try:
        for t in itertools.product(alphabet, repeat=size):
            raw = bytes(t)
            os.pwrite(fd, header_file(pb.prop(raw, 5)), 0)
            check_one(path, raw, size, wrong)
    finally:
        os.close(fd)
    assert not wrong, f"{len(wrong)} mismatches, first ones: {wrong[:10]}"


@pytest.mark.parametrize(
    "raw, detail",
    [
        (b"a\xc3\x28", "invalid utf-8 sequence of 1 bytes from index 1"),
        (b"a\xe2\x82", "incomplete utf-8 byte sequence from index 1"),
        (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"ok\xf0\x9f\x98", "incomplete utf-8 byte sequence from index 2"),
        (b"\xf0\x9f\x98\x80ab\xe2\x82\x28", "invalid utf-8 sequence of 2 bytes from index 6"),
        (b"\xf0\x90\x80\x28xyz", "invalid utf-8 sequence of 3 bytes from index 0"),
        (b"\xc0\xaf", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xe0\x80\xaf", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xf8\x88\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        ("\u00e9\u20ac\U0001f600".encode() + b"\x80", "invalid utf-8 sequence of 1 bytes from index 9"),
        (b"x" * 40 + b"\xe1\x80", "incomplete utf-8 byte sequence from index 40"),
    ],
)
def test_utf8_error_in_a_string_value(write, raw, detail):
    assert utf8_detail(raw) == detail
    body = pb.prop("good", 1) + u32(pb.PROP_STRING) + pb.string("key") + pb.string(raw)
    data = header_file(body)
    past = data.find(raw) + len(raw)
    assert parse_error(write, data) == f"invalid UTF-8 in string at offset {past}: {detail}"


@pytest.mark.parametrize(
    "text",
    ["", "plain", "\0", "caf\u00e9", "\u20ac100", "\U0001f600\U0010ffff", "\ud7ff\ue000\uffff", "x" * 1000],
    ids=["empty", "ascii", "nul", "2-byte", "3-byte", "4-byte", "around-surrogates", "long"],
)
def test_valid_utf8_text_is_kept(write, text):
    data = header_file(pb.prop(text, text) + pb.prop("after", 1))
    header = read_psf(write(data)).header
    assert header == {text: text, "after": 1}


# ---------------------------------------------------------------- property lists


@pytest.mark.parametrize("left", [0, 1, 2, 3])
def test_property_list_running_to_the_end_of_the_file(write, left):
    # the last value (16 bytes) swallows the footer; `left` bytes follow it,
    # too few for another property kind word
    head = u32(pb.PROP_STRING) + pb.string("k") + u32(16)
    end = BODY + len(head) + 16
    data = u32(pb.EMPTY) + u32(pb.CONTAINER) + u32(end + 4) + head
    data += b"v" * (4 + left) + pb.MAGIC + b"wxyz"
    assert len(data) == end + left
    text = data[end - 16 : end].decode()
    psf = read_psf(write(data))
    assert psf.header == {"k": text}
    assert psf.sweeps == [] and psf.traces == [] and psf.values == []


@pytest.mark.parametrize("word", [0, 1, 16, 18, 32, 36, 0xFFFFFFFF])
def test_property_list_stops_at_a_non_property_word(write, word):
    body = pb.prop("a", 1) + pb.prop("b", "x")
    stop = BODY + len(body)
    data = header_file(body + u32(word) + b"\0" * 8, end=stop + 4)
    assert parse_error(write, data) == f"HEADER container end mismatch: at offset {stop} but expected {stop + 4}"


def test_word_after_the_list_is_left_for_the_walk(write):
    body = pb.prop("a", 1)
    data = header_file(body + u32(pb.DECLARATION), end=BODY + len(body))
    assert read_psf(write(data)).header == {"a": 1}


@pytest.mark.parametrize(
    "word, value", [(0, 0), (7, 7), (0x7FFFFFFF, 2**31 - 1), (0x80000000, -(2**31)), (0xFFFFFFF9, -7), (0xFFFFFFFF, -1)]
)
def test_int_property_is_two_s_complement(write, word, value):
    # A harmonic of -7 is stored as the word FF FF FF F9.
    header = read_psf(write(header_file(pb.prop("n", word)))).header
    assert header == {"n": value}
    assert type(header["n"]) is int


@pytest.mark.parametrize(
    "value",
    ["", "1.00", "a\0b", "\u00b5\u03a9", "\U0001f600", "y" * 5000, 0, 2**31 - 1, -(2**31), 0.0, -2.5, 1e300],
    ids=["empty", "text", "nul", "2-byte", "4-byte", "long", "int0", "intmax", "intmin", "f0", "fneg", "fbig"],
)
def test_property_kinds(write, value):
    header = read_psf(write(header_file(pb.prop("p", value)))).header
    assert header == {"p": value}
    assert type(header["p"]) is type(value)


@pytest.mark.parametrize(
    "bits",
    [
        0x0000000000000000,
        0x8000000000000000,  # -0.0
        0x7FF0000000000000,  # inf
        0xFFF0000000000000,  # -inf
        0x7FF8000000000000,  # quiet NaN
        0x7FF8000000000123,  # NaN with payload
        0xFFF8000000000001,  # negative NaN with payload
        0x7FF0000000000001,  # signalling NaN
        0x0000000000000001,  # smallest subnormal
        0x3FF0000000000001,
    ],
)
def test_float_property_bit_for_bit(write, bits):
    prop = u32(pb.PROP_FLOAT) + pb.string("f") + pb.f64_bits(bits)
    value = read_psf(write(header_file(prop))).header["f"]
    assert type(value) is float
    assert struct.pack(">d", value) == struct.pack(">Q", bits)


def test_duplicate_names_keep_the_later_value_at_the_first_position(write):
    body = pb.props([("a", "x"), ("b", 7), ("a", 2.5), ("c", 1), ("b", "y"), ("a", 3)])
    header = read_psf(write(header_file(body))).header
    assert list(header.items()) == [("a", 3), ("b", "y"), ("c", 1)]


def test_properties_keep_file_order(write):
    items = [("zeta", 1), ("alpha", "two"), ("mid", 3.5), ("Alpha", 4), ("", 5)]
    header = read_psf(write(header_file(pb.props(items)))).header
    assert list(header.items()) == items


# ---------------------------------------------------------------- containers


@pytest.mark.parametrize("word", [0, 1, 16, 20, 22, 33, 0xFFFFFFFF])
def test_header_without_container(write, word):
    data = pb.patch_u32(pb.header_only(), 4, word)
    assert parse_error(write, data) == f"expected chunk Container (21) at offset 4, got {word}"


@pytest.mark.parametrize("word", [0, 1, 2, 3])
def test_container_size_below_four(write, word):
    data = pb.patch_u32(pb.header_only(), 8, word)
    assert parse_error(write, data) == f"invalid CONTAINER size {word}"


@pytest.mark.parametrize("body", [b"", pb.prop("k", 1)], ids=["empty", "one-property"])
def test_container_size_four_ends_at_offset_zero(write, body):
    data = pb.patch_u32(header_file(body), 8, 4)
    assert parse_error(write, data) == f"HEADER container end mismatch: at offset {BODY + len(body)} but expected 0"


@pytest.mark.parametrize("delta", [-8, -4, -1, 1, 4, 0xFFFFFFFF])
def test_header_container_end_mismatch(write, delta):
    data = pb.header_only([("a", 1), ("b", "two")])
    (stored,) = struct.unpack(">I", data[8:12])
    reached = stored - 4
    claimed = min(stored + delta, 0xFFFFFFFF)
    data = pb.patch_u32(data, 8, claimed)
    assert parse_error(write, data) == (
        f"HEADER container end mismatch: at offset {reached} but expected {claimed - 4}"
    )


@pytest.mark.parametrize("layout", [1, 2, 256, 511, 513, 767, 1023, 1025, 1279, 1281, 1536, 0x10000, 0xFFFFFFFF])
def test_unknown_value_section_type(write, layout):
    data = pb.header_only(layout=layout)
    assert parse_error(write, data) == f"unknown value_section_type {layout}"


def test_value_section_type_is_checked_before_the_header(write):
    data = pb.patch_u32(pb.header_only(layout=3), 4, 99)
    assert parse_error(write, data) == "unknown value_section_type 3"


@pytest.mark.parametrize("layout", [pb.EMPTY, pb.SWEPT, pb.GROUPED_SWEPT, pb.WINDOWED, pb.NONSWEPT])
def test_known_value_section_types_without_value_section(write, layout):
    psf = read_psf(write(pb.header_only([("layout", layout)], layout=layout)))
    assert psf.header == {"layout": layout}
    assert psf.sweeps == [] and psf.traces == [] and psf.values == []


# ---------------------------------------------------------------- section framing

# With an empty HEADER the first section's kind word stands at offset 12.
SECTIONS = {
    "TYPE": dict(types=[]),
    "SWEEP": dict(sweeps=[]),
    "TRACE": dict(traces=[]),
    "VALUE": dict(value=b""),
}


@pytest.mark.parametrize("section", SECTIONS)
def test_empty_sections_are_read(write, section):
    psf = read_psf(write(pb.build(pb.EMPTY, header=(), **SECTIONS[section])))
    assert psf.header == {}
    assert psf.sweeps == [] and psf.traces == [] and psf.values == []


@pytest.mark.parametrize("section", SECTIONS)
@pytest.mark.parametrize("word", [0, 22, 0xFFFFFFFF])
def test_section_with_a_bad_container_word(write, section, word):
    data = pb.build(pb.EMPTY, header=(), **SECTIONS[section])
    assert struct.unpack(">I", data[16:20]) == (pb.CONTAINER,)
    data = pb.patch_u32(data, 16, word)
    assert parse_error(write, data) == f"expected chunk Container (21) at offset 16, got {word}"


@pytest.mark.parametrize("section", SECTIONS)
def test_section_with_container_size_three(write, section):
    data = pb.patch_u32(pb.build(pb.EMPTY, header=(), **SECTIONS[section]), 20, 3)
    assert parse_error(write, data) == "invalid CONTAINER size 3"


@pytest.mark.parametrize("section", ["TYPE", "TRACE"])
@pytest.mark.parametrize("word", [21, 0])
def test_section_with_a_bad_subcontainer_word(write, section, word):
    data = pb.build(pb.EMPTY, header=(), **SECTIONS[section])
    assert struct.unpack(">I", data[24:28]) == (pb.SUBCONTAINER,)
    data = pb.patch_u32(data, 24, word)
    assert parse_error(write, data) == f"expected chunk SubContainer (22) at offset 24, got {word}"


@pytest.mark.parametrize("section", ["TYPE", "TRACE"])
@pytest.mark.parametrize("word", [20, 18])
def test_section_with_a_bad_index_word(write, section, word):
    data = pb.build(pb.EMPTY, header=(), **SECTIONS[section])
    assert struct.unpack(">I", data[32:36]) == (pb.INDEX,)
    data = pb.patch_u32(data, 32, word)
    assert parse_error(write, data) == f"expected chunk ContainerIndex (19) at offset 32, got {word}"


def section_with_index(
    length: int, data_bytes: int, claimed_end: int | None = None, kind: int = pb.SECTION_TYPE
) -> bytes:
    """Empty HEADER, then a TYPE (or TRACE) section with no entries whose
    index word says `length` and is followed by `data_bytes` bytes."""
    index_data = 40  # 12 kind, 16 Container, 24 SubContainer, 32 Index, 36 length
    if claimed_end is None:
        claimed_end = index_data + data_bytes
    return (
        u32(pb.EMPTY) + u32(pb.CONTAINER) + u32(16)
        + u32(kind) + u32(pb.CONTAINER) + u32(claimed_end + 4)
        + u32(pb.SUBCONTAINER) + u32(32)
        + u32(pb.INDEX) + u32(length) + b"\x5a" * data_bytes
        + pb.MAGIC + u32(0)
    )  # fmt: skip


@pytest.mark.parametrize(
    "length, consumed",
    [(0, 0), (4, 0), (7, 0), (8, 8), (12, 8), (15, 8), (16, 16), (20, 16), (23, 16), (24, 24)],
)
def test_type_index_consumes_whole_entries_only(write, length, consumed):
    # TYPE index entries are a key word and 4 payload bytes
    data = section_with_index(length, length)
    if consumed == length:
        assert read_psf(write(data)).header == {}
    else:
        assert parse_error(write, data) == (
            f"TYPE container end mismatch: at offset {40 + consumed} but expected {40 + length}"
        )


@pytest.mark.parametrize("length, consumed", [(0, 0), (8, 0), (15, 0), (16, 16), (20, 16), (31, 16), (32, 32)])
def test_trace_index_consumes_whole_entries_only(write, length, consumed):
    # TRACE index entries are a key word and 12 payload bytes
    data = section_with_index(length, length, kind=pb.SECTION_TRACE)
    if consumed == length:
        assert read_psf(write(data)).traces == []
    else:
        assert parse_error(write, data) == (
            f"TRACE container end mismatch: at offset {40 + consumed} but expected {40 + length}"
        )


@pytest.mark.parametrize("length", [0xFFFFFFF8, 0xFFFFFFFF])
@pytest.mark.parametrize("extra", range(8))
def test_type_index_longer_than_the_file(write, length, extra):
    # 8-byte entries (a key word, then 4 skipped bytes) run into the end
    data = section_with_index(length, extra, claimed_end=0)
    size = len(data)
    rest = (size - 40) % 8
    if rest < 4:
        expected = need(4, size - rest, size)
    else:
        expected = skip(4, size - rest + 4, size)
    assert parse_error(write, data) == expected


def test_type_container_end_mismatch(write):
    data = section_with_index(8, 8, claimed_end=52)
    assert parse_error(write, data) == "TYPE container end mismatch: at offset 48 but expected 52"


JUNK_TYPE = u32(pb.SECTION_TYPE) + u32(22) + b"\xff" * 8
JUNK_SWEEP = u32(pb.SECTION_SWEEP) + u32(22) + b"\xff" * 8


def test_junk_section_in_order_is_read(write):
    # the same junk where it is looked for does fail
    data = pb.build(pb.EMPTY, header=(), trailer=JUNK_TYPE)
    assert parse_error(write, data) == "expected chunk Container (21) at offset 16, got 22"
    data = pb.build(pb.EMPTY, header=(), trailer=JUNK_SWEEP)
    assert parse_error(write, data) == "expected chunk Container (21) at offset 16, got 22"


@pytest.mark.parametrize(
    "sections, junk",
    [
        (dict(sweeps=[]), JUNK_TYPE),
        (dict(traces=[]), JUNK_TYPE),
        (dict(traces=[]), JUNK_SWEEP),
        (dict(value=b""), JUNK_TYPE),
        (dict(value=b""), JUNK_SWEEP),
        (dict(types=[]), JUNK_TYPE),
        (dict(sweeps=[], traces=[]), JUNK_SWEEP),
    ],
    ids=["type-after-sweep", "type-after-trace", "sweep-after-trace", "type-after-value",
         "sweep-after-value", "second-type", "second-sweep"],
)  # fmt: skip
def test_section_out_of_order_is_never_read(write, sections, junk):
    psf = read_psf(write(pb.build(pb.EMPTY, header=[("k", 1)], trailer=junk, **sections)))
    assert psf.header == {"k": 1}
    assert psf.sweeps == [] and psf.traces == [] and psf.values == []
