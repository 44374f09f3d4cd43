"""Writes psfbin files for the tests, well-formed or deliberately broken.

A psfbin file, as this builder writes it (every integer is a big-endian u32
unless noted; every float a big-endian IEEE-754 binary64):

    offset 0     value_section_type: 0 Empty, 512 Swept, 768 GroupedSwept,
                 1024 Windowed, 1280 NonSwept
    offset 4     HEADER: Container(21), stored end word, property chunks
    then         optional sections, each starting with its kind word:
                 TYPE (1), SWEEP (2), TRACE (3), VALUE (4), in that order
    len - 12     the 8 bytes "Clarissa", then 4 bytes that nobody reads

Framing words:
    Container    21, then E + 4, where E is the absolute offset at which the
                 container's content ends (the next section's kind word, or
                 the VALUE section's SectionEnd word, stands at E)
    SubContainer 22, then S, the absolute offset at which its list ends
    Index        19, then the byte length of its entries, then the entries
    String       length L, L bytes of UTF-8, zero padding to a multiple of 4
    Property     33 name string | 34 name i32 | 35 name f64
    Int32        a 32-bit word, two's complement: -7 is FF FF FF F9

Sections:
    TYPE    1, Container, SubContainer, type definitions, Index(8-byte entries)
            definition: 16, id, name, extra tag, datatype tag,
                        [array: element datatype tag],
                        [struct: member definitions..., 18], properties
    SWEEP   2, Container, declarations
    TRACE   3, Container, SubContainer, declarations, Index(16-byte entries)
            declaration: 16, id, name, type id, properties
            group:       17, id, name, member count, members..., properties
    VALUE   4, Container, body by layout, 15 (SectionEnd at E)
            NonSwept: SubContainer, entries (declarations carrying a value
                      after the type id), Index(8-byte entries)
            Swept:    records 16, id, point (8 float / 16 complex / 8*M struct)
            Windowed: frames 16, u16 window W, u16 count n, sweep block of W
                      slots, then per trace an 8-byte separator and a block;
                      padding chunks 20, L, L bytes may stand before frames
            GroupedSwept: records 16 (one signal) or 17 (a whole group)

The high-level helpers compute every offset; the low-level `Writer` lets a
test write anything, including wrong offsets and truncated chunks.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import Iterable, Sequence, Union

# value_section_type words
EMPTY, SWEPT, GROUPED_SWEPT, WINDOWED, NONSWEPT = 0, 512, 768, 1024, 1280

# datatype tags
NONE, INT8, STRING, ARRAY, INT32, FLOAT64, COMPLEX, STRUCT = 0, 1, 2, 3, 5, 11, 12, 16

# chunk kinds
SECTION_TYPE, SECTION_SWEEP, SECTION_TRACE, SECTION_VALUE, SECTION_END = 1, 2, 3, 4, 15
DECLARATION, GROUP, STRUCT_END, INDEX, PADDING = 16, 17, 18, 19, 20
CONTAINER, SUBCONTAINER = 21, 22
PROP_STRING, PROP_INT, PROP_FLOAT = 33, 34, 35

MAGIC = b"Clarissa"


def u32(n: int) -> bytes:
    return struct.pack(">I", n)


def u16(n: int) -> bytes:
    return struct.pack(">H", n)


def i32(n: int) -> bytes:
    """An Int32 value or PropInt word as writers store it: two's complement.
    Words from 2^31 up (unsigned) are taken as they are, for tests that
    write a word by its bits."""
    return struct.pack(">i", n) if n < 0 else u32(n)


def f64(x: float) -> bytes:
    return struct.pack(">d", x)


def f64_bits(bits: int) -> bytes:
    """A binary64 given by its bit pattern (NaN payloads, signed zeros)."""
    return struct.pack(">Q", bits)


def int8(n: int) -> bytes:
    """An Int8 value as real files store it: a big-endian word whose last byte is the value."""
    return u32(n)


def c128(z: complex) -> bytes:
    return f64(z.real) + f64(z.imag)


def string(s: Union[str, bytes]) -> bytes:
    raw = s.encode("utf-8") if isinstance(s, str) else bytes(s)
    return u32(len(raw)) + raw + b"\0" * ((4 - len(raw) % 4) % 4)


PropValue = Union[str, int, float]


def prop(name: Union[str, bytes], value: PropValue) -> bytes:
    """One property chunk; the kind follows the Python type of the value."""
    if isinstance(value, str):
        return u32(PROP_STRING) + string(name) + string(value)
    if isinstance(value, int):
        return u32(PROP_INT) + string(name) + i32(value)
    return u32(PROP_FLOAT) + string(name) + f64(value)


def props(items: Iterable[tuple]) -> bytes:
    return b"".join(prop(n, v) for n, v in items)


class Writer:
    """Byte buffer that knows absolute offsets and patches framing words."""

    def __init__(self) -> None:
        self.buf = bytearray()

    @property
    def pos(self) -> int:
        return len(self.buf)

    def raw(self, b: bytes) -> "Writer":
        self.buf += b
        return self

    def u32(self, n: int) -> "Writer":
        return self.raw(u32(n))

    def begin_container(self) -> int:
        self.u32(CONTAINER)
        at = self.pos
        self.u32(0)
        return at

    def end_container(self, at: int, end: int | None = None) -> None:
        """Content ends here (or at `end`): the stored word is that offset + 4."""
        self.buf[at : at + 4] = u32((self.pos if end is None else end) + 4)

    def begin_subcontainer(self) -> int:
        self.u32(SUBCONTAINER)
        at = self.pos
        self.u32(0)
        return at

    def end_subcontainer(self, at: int) -> None:
        self.buf[at : at + 4] = u32(self.pos)

    def index(self, entry_size: int, count: int = 1) -> None:
        self.u32(INDEX).u32(entry_size * count).raw(b"\0" * (entry_size * count))


# ---------------------------------------------------------------- declarations


@dataclass
class TypeDef:
    id: int
    name: str
    datatype: int
    members: Sequence["TypeDef"] = ()
    props: Sequence[tuple] = ()
    extra_tag: int = 0
    element: int = FLOAT64  # an array's element datatype

    def encode(self) -> bytes:
        out = u32(DECLARATION) + u32(self.id) + string(self.name)
        out += u32(self.extra_tag) + u32(self.datatype)
        if self.datatype == ARRAY:
            out += u32(self.element)
        if self.datatype == STRUCT:
            out += b"".join(m.encode() for m in self.members) + u32(STRUCT_END)
        return out + props(self.props)


def struct_type(id: int, name: str, members: Sequence[tuple]) -> TypeDef:
    """A struct type from (member name, datatype) pairs; member ids are arbitrary."""
    return TypeDef(id, name, STRUCT, [TypeDef(1000 + i, n, t) for i, (n, t) in enumerate(members)])


@dataclass
class Decl:
    """A sweep or trace declaration."""

    id: int
    name: str
    type_id: int
    props: Sequence[tuple] = ()

    def encode(self) -> bytes:
        return u32(DECLARATION) + u32(self.id) + string(self.name) + u32(self.type_id) + props(self.props)


@dataclass
class Entry:
    """A non-swept value entry: a declaration followed by its encoded value."""

    id: int
    name: str
    type_id: int
    value: bytes
    props: Sequence[tuple] = ()

    def encode(self) -> bytes:
        return (
            u32(DECLARATION)
            + u32(self.id)
            + string(self.name)
            + u32(self.type_id)
            + self.value
            + props(self.props)
        )


@dataclass
class Group:
    id: int
    name: str
    members: Sequence[Union[Decl, Entry, "Group"]]
    count: int | None = None  # stored member count; defaults to len(members)
    props: Sequence[tuple] = ()

    def encode(self) -> bytes:
        n = len(self.members) if self.count is None else self.count
        body = b"".join(m.encode() for m in self.members)
        return u32(GROUP) + u32(self.id) + string(self.name) + u32(n) + body + props(self.props)


# ---------------------------------------------------------------- VALUE bodies


@dataclass
class NonSwept:
    entries: Sequence[Union[Entry, Group]]
    index_entries: int = 1


@dataclass
class Swept:
    """Point records: (id, point bytes) pairs in file order."""

    records: Sequence[tuple]


def swept_records(points: dict, order: Sequence[int]) -> list:
    """Interleaves per-signal point lists the way simulators write them.

    points maps an id to a list of encoded points; `order` gives the ids of
    one sweep step. Every signal must have the same number of points.
    """
    n = len(points[order[0]])
    return [(i, points[i][k]) for k in range(n) for i in order]


@dataclass
class Frame:
    window: int
    blocks: Sequence[Sequence[float]]  # sweep block first, then one per trace
    fill: float = 0.0  # written into unused slots
    separator: bytes = b"\xde\xad\xbe\xef" * 2

    def encode(self) -> bytes:
        n = len(self.blocks[0])
        out = u32(DECLARATION) + u16(self.window) + u16(n)
        for i, block in enumerate(self.blocks):
            if i:
                out += self.separator
            out += b"".join(f64(v) for v in block) + f64(self.fill) * (self.window - len(block))
        return out


@dataclass
class Padding:
    length: int

    def encode(self) -> bytes:
        return u32(PADDING) + u32(self.length) + b"\xab" * self.length


@dataclass
class Windowed:
    chunks: Sequence[Union[Frame, Padding]]


def windowed_frames(columns: Sequence[Sequence[float]], window: int) -> list:
    """Splits equal-length columns (sweep first) into frames of `window` slots."""
    n = len(columns[0])
    return [Frame(window, [c[k : k + window] for c in columns]) for k in range(0, max(n, 1), window) if n]


@dataclass
class GroupedSwept:
    """Records (kind, id, point bytes): kind 16 for a signal, 17 for a group."""

    records: Sequence[tuple]


Body = Union[NonSwept, Swept, Windowed, GroupedSwept, bytes, None]

# ---------------------------------------------------------------- whole files


def build(
    layout: int = NONSWEPT,
    header: Iterable[tuple] = (("PSFversion", "1.00"),),
    types: Sequence[TypeDef] | None = None,
    sweeps: Sequence[Union[Decl, Group]] | None = None,
    traces: Sequence[Union[Decl, Group]] | None = None,
    value: Body = None,
    footer: bytes = MAGIC + u32(0),
    trailer: bytes = b"\0\0\0\x0f",
) -> bytes:
    """A complete psfbin file. A section that is None is left out.

    `value` may be raw bytes, which are written as the VALUE body as is.
    `trailer` stands between the last section and the footer, as in real files.
    """
    w = Writer()
    w.u32(layout)
    at = w.begin_container()
    w.raw(props(header))
    w.end_container(at)

    if types is not None:
        w.u32(SECTION_TYPE)
        at = w.begin_container()
        sub = w.begin_subcontainer()
        for t in types:
            w.raw(t.encode())
        w.end_subcontainer(sub)
        w.index(8, len(types))
        w.end_container(at)

    if sweeps is not None:
        w.u32(SECTION_SWEEP)
        at = w.begin_container()
        for d in sweeps:
            w.raw(d.encode())
        w.end_container(at)

    if traces is not None:
        w.u32(SECTION_TRACE)
        at = w.begin_container()
        sub = w.begin_subcontainer()
        for d in traces:
            w.raw(d.encode())
        w.end_subcontainer(sub)
        w.index(16, len(traces))
        w.end_container(at)

    if value is not None:
        w.u32(SECTION_VALUE)
        at = w.begin_container()
        w.raw(encode_body(value, w.pos))
        w.end_container(at)
        w.u32(SECTION_END)

    w.raw(trailer)
    w.raw(footer)
    return bytes(w.buf)


def encode_body(body: Body, start: int) -> bytes:
    """The VALUE body; `start` is its absolute offset (needed for SubContainer)."""
    if isinstance(body, (bytes, bytearray)):
        return bytes(body)
    if isinstance(body, NonSwept):
        entries = b"".join(e.encode() for e in body.entries)
        sub_end = start + 8 + len(entries)
        idx = u32(INDEX) + u32(8 * body.index_entries) + b"\0" * (8 * body.index_entries)
        return u32(SUBCONTAINER) + u32(sub_end) + entries + idx
    if isinstance(body, Swept):
        return b"".join(u32(DECLARATION) + u32(i) + p for i, p in body.records)
    if isinstance(body, GroupedSwept):
        return b"".join(u32(k) + u32(i) + p for k, i, p in body.records)
    if isinstance(body, Windowed):
        return b"".join(c.encode() for c in body.chunks)
    raise TypeError(f"unknown VALUE body {body!r}")


def header_only(header: Iterable[tuple] = (("PSFversion", "1.00"),), layout: int = EMPTY) -> bytes:
    return build(layout, header=header)


def find(data: bytes, needle: bytes, start: int = 0) -> int:
    """Offset of `needle` in a built file (for tests that patch a word)."""
    at = data.find(needle, start)
    assert at >= 0, f"{needle!r} not in file"
    return at


def patch_u32(data: bytes, offset: int, value: int) -> bytes:
    return data[:offset] + u32(value) + data[offset + 4 :]


def with_footer(body: bytes) -> bytes:
    """Appends a valid footer to arbitrary bytes."""
    return body + MAGIC + u32(0)


def truncated(data: bytes, end: int) -> bytes:
    """The first `end` bytes of a built file, still ending in a valid footer.

    The footer magic is written over the 8 bytes at end - 12, so the caller
    must cut where those bytes are ignored by the reader (float payload,
    unused slots, padding, name text); the last 4 bytes keep their content.
    """
    assert end >= 12, "a psfbin file is at least 12 bytes long"
    out = bytearray(data[:end])
    out[end - 12 : end - 4] = MAGIC
    return bytes(out)
