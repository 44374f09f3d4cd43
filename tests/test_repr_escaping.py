"""How names are quoted in reprs: the escaping of every code point, compared
with a reference computed here from unicodedata."""

import re
import unicodedata
from pathlib import Path

import pytest

import karvo
from karvo.testing.psfbuilder import FLOAT64, Entry, NonSwept, TypeDef, build, f64

# src/pysupport/unicode_tables.hpp is generated for this version, and the list
# below is Other_Grapheme_Extend from that version's PropList.txt.
UNICODE_VERSION = "14.0.0"
OTHER_GRAPHEME_EXTEND = [
    (0x09BE, 0x09BE), (0x09D7, 0x09D7), (0x0B3E, 0x0B3E), (0x0B57, 0x0B57),
    (0x0BBE, 0x0BBE), (0x0BD7, 0x0BD7), (0x0CC2, 0x0CC2), (0x0CD5, 0x0CD6),
    (0x0D3E, 0x0D3E), (0x0D57, 0x0D57), (0x0DCF, 0x0DCF), (0x0DDF, 0x0DDF),
    (0x1B35, 0x1B35), (0x200C, 0x200C), (0x302E, 0x302F), (0xFF9E, 0xFF9F),
    (0x1133E, 0x1133E), (0x11357, 0x11357), (0x114B0, 0x114B0),
    (0x114BD, 0x114BD), (0x115AF, 0x115AF), (0x11930, 0x11930),
    (0x1D165, 0x1D165), (0x1D16E, 0x1D172), (0xE0020, 0xE007F),
]
TABLES = Path(__file__).resolve().parent.parent / "src" / "pysupport" / "unicode_tables.hpp"

BACKSLASHED = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
NOT_PRINTABLE = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp"}
OGE = {cp for first, last in OTHER_GRAPHEME_EXTEND for cp in range(first, last + 1)}

CHUNK = 4096  # code points per name

# The code space without the surrogates, which UTF-8 cannot carry, in stretches
# so that a failure says where it is.
STRETCHES = {
    "ascii": (0x0000, 0x007F),
    "bmp-below-surrogates": (0x0080, 0xD7FF),
    "bmp-above-surrogates": (0xE000, 0xFFFF),
    "plane-1": (0x10000, 0x1FFFF),
    "planes-2-3": (0x20000, 0x3FFFF),
    "planes-4-13": (0x40000, 0xDFFFF),
    "plane-14": (0xE0000, 0xEFFFF),
    "planes-15-16": (0xF0000, 0x10FFFF),
}


def escaped(ch):
    if ch in BACKSLASHED:
        return BACKSLASHED[ch]
    if ch == "'":
        return ch
    cp = ord(ch)
    cat = unicodedata.category(ch)
    grapheme_extend = cat in ("Mn", "Me") or cp in OGE
    if grapheme_extend or cat in NOT_PRINTABLE or (cat == "Zs" and ch != " "):
        return "\\u{%x}" % cp
    return ch


def expected_repr(name):
    return '<Value name="' + "".join(map(escaped, name)) + '">'


def read_values(path, names):
    data = build(
        1280,
        header=[("k", "v")],
        types=[TypeDef(1, "f", FLOAT64)],
        value=NonSwept([Entry(10 + i, name, 1, f64(0.0)) for i, name in enumerate(names)]),
    )
    Path(path).write_bytes(data)
    values = karvo.read_psf(str(path)).values
    assert len(values) == len(names)
    return values


def where_they_differ(got, want):
    i = next((k for k, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
    lo = max(0, i - 16)
    return f"differ at offset {i}: got {got[lo:i + 32]!r}, expected {want[lo:i + 32]!r}"


@pytest.fixture(scope="module")
def sweep(tmp_path_factory):
    """One file whose names hold every code point; stretch -> [(name, repr)]."""
    names, owners = [], []
    for stretch, (first, last) in STRETCHES.items():
        for start in range(first, last + 1, CHUNK):
            names.append("".join(map(chr, range(start, min(start + CHUNK, last + 1)))))
            owners.append(stretch)
    values = read_values(tmp_path_factory.mktemp("sweep") / "x.psf", names)
    out = {stretch: [] for stretch in STRETCHES}
    for owner, name, value in zip(owners, names, values):
        out[owner].append((name, repr(value)))
    return out


@pytest.mark.skipif(
    unicodedata.unidata_version != UNICODE_VERSION,
    reason=f"this Python's unicodedata is Unicode {unicodedata.unidata_version}, "
    f"the escape tables and the reference here follow {UNICODE_VERSION}",
)
@pytest.mark.parametrize("stretch", list(STRETCHES))
def test_every_code_point_escapes_like_unicodedata_says(sweep, stretch):
    for name, got in sweep[stretch]:
        want = expected_repr(name)
        if got != want:
            pytest.fail(f"name from U+{ord(name[0]):04X}: " + where_they_differ(got, want))


def test_tables_follow_the_reference_version():
    if not TABLES.is_file():
        pytest.skip(f"{TABLES} is not here (tests run outside the source tree)")
    found = re.search(r'kUnicodeVersion\[\] = "([^"]+)"', TABLES.read_text(encoding="utf-8"))
    assert found, "no kUnicodeVersion in the generated tables"
    assert found.group(1) == UNICODE_VERSION, (
        "tables were regenerated: update UNICODE_VERSION and OTHER_GRAPHEME_EXTEND here"
    )


@pytest.mark.parametrize(
    "name, quoted",
    [
        pytest.param('"', r'"\""', id="double-quote"),
        pytest.param("\\", r'"\\"', id="backslash"),
        pytest.param("a\tb", r'"a\tb"', id="tab"),
        pytest.param("\r", r'"\r"', id="carriage-return"),
        pytest.param("\n", r'"\n"', id="line-feed"),
        pytest.param("\0", r'"\0"', id="nul"),
        pytest.param("\x01", r'"\u{1}"', id="other-c0"),
        pytest.param("\x7f", r'"\u{7f}"', id="del"),
        pytest.param("it's", "\"it's\"", id="single-quote"),
        pytest.param("a b", '"a b"', id="space"),
        pytest.param("e\u0301", r'"e\u{301}"', id="combining-acute"),  # Mn
        pytest.param("\u00a0", r'"\u{a0}"', id="no-break-space"),  # Zs other than space
        pytest.param("\u200b", r'"\u{200b}"', id="zero-width-space"),  # Cf
        pytest.param("\u2028", r'"\u{2028}"', id="line-separator"),  # Zl
        pytest.param("\ue000", r'"\u{e000}"', id="private-use"),  # Co
        pytest.param("\u0378", r'"\u{378}"', id="unassigned"),
        pytest.param("\U0010ffff", r'"\u{10ffff}"', id="last-code-point"),  # longest escape
        pytest.param("\u09be", r'"\u{9be}"', id="other-grapheme-extend-mc"),
        pytest.param("\uff9e", r'"\u{ff9e}"', id="other-grapheme-extend-lm"),  # printable
        pytest.param("\U000e0100", r'"\u{e0100}"', id="variation-selector"),  # Mn
        pytest.param("\U0001f600", '"\U0001f600"', id="emoji"),
        pytest.param("\u00b5A\u00e9", '"\u00b5A\u00e9"', id="latin-1"),
        pytest.param("\ufffd", '"\ufffd"', id="replacement-char"),
        pytest.param("V(out)", '"V(out)"', id="plain"),
        pytest.param(
            "abcdefghijklmnop\x02qrstuvwxyz\u0301",
            r'"abcdefghijklmnop\u{2}qrstuvwxyz\u{301}"',
            id="escapes-inside-ascii-runs",
        ),
    ],
)
def test_quoted_name(tmp_path, name, quoted):
    (value,) = read_values(tmp_path / "x.psf", [name])
    assert repr(value) == f"<Value name={quoted}>"
