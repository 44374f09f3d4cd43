"""A small reader for the ASCII form of PSF files (the `*.ascii` twins of the corpus).

The text is a run of tokens: double-quoted strings, numbers, bare words and
parentheses, in the sections HEADER, TYPE, SWEEP, TRACE, VALUE and END:

    HEADER  "name" value ...
    TYPE    "name" FLOAT DOUBLE [PROP( ... )]   (COMPLEX DOUBLE for complex types;
            ARRAY ( n ) T and STRUCT( ... ) types are noted, not used)
    SWEEP   "name" "type name" [PROP( ... )]
    TRACE   "name" "type name" [PROP( ... )]  |  "group" GROUP n, then n traces
    VALUE   "name" value  (a group's name is followed by one value per member)
    END

A value is a number, or a parenthesised list: `(re im)` for a complex value,
a list of member values for a struct. Only what the corpus twins use is read.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from pathlib import Path

SECTIONS = {"HEADER", "TYPE", "SWEEP", "TRACE", "VALUE", "END"}
# A backslash before any other character stays in the string, as writers print it.
ESCAPES = {"n": "\n", "t": "\t", "r": "\r"}
TOKEN = re.compile(r'"((?:[^"\\]|\\.)*)"|([()])|([^\s()"]+)')


@dataclass
class Str:
    text: str


@dataclass
class AsciiPsf:
    header: dict = field(default_factory=dict)
    types: dict = field(default_factory=dict)  # type name -> "float" | "complex" | "struct"
    sweeps: list = field(default_factory=list)  # names in file order
    traces: list = field(default_factory=list)  # names in file order, groups flattened
    signal_types: dict = field(default_factory=dict)  # sweep or trace name -> type name
    groups: dict = field(default_factory=dict)  # group name -> member names
    values: dict = field(default_factory=dict)  # name -> list of points


def tokens(text: str) -> list:
    out = []
    for quoted, paren, word in TOKEN.findall(text):
        if paren:
            out.append(paren)
        elif word:
            out.append(word)
        else:
            out.append(Str(re.sub(r'\\(["\\ntr])', lambda m: ESCAPES.get(m[1], m[1]), quoted)))
    return out


class Reader:
    def __init__(self, toks: list) -> None:
        self.toks = toks
        self.i = 0

    def peek(self):
        return self.toks[self.i] if self.i < len(self.toks) else None

    def next(self):
        tok = self.peek()
        if tok is None:
            raise ValueError("unexpected end of ASCII PSF text")
        self.i += 1
        return tok

    def at_entry(self) -> bool:
        return isinstance(self.peek(), Str)

    def name(self) -> str:
        tok = self.next()
        if not isinstance(tok, Str):
            raise ValueError(f"expected a quoted name, got {tok!r}")
        return tok.text

    def skip_parens(self) -> None:
        """Skips a balanced parenthesised list whose "(" was already read."""
        depth = 1
        while depth:
            tok = self.next()
            depth += {"(": 1, ")": -1}.get(tok, 0) if isinstance(tok, str) else 0

    def skip_props(self) -> None:
        if self.peek() == "PROP":
            self.next()
            if self.next() != "(":
                raise ValueError("expected '(' after PROP")
            self.skip_parens()

    def scalar(self):
        tok = self.next()
        if isinstance(tok, Str):
            return tok.text
        if tok == "(":
            items = []
            while self.peek() != ")":
                items.append(self.scalar())
            self.next()
            return tuple(items)
        return int(tok) if re.fullmatch(r"[-+]?\d+", tok) else float(tok)


def read_ascii(path: str | Path) -> AsciiPsf:
    r = Reader(tokens(Path(path).read_text()))
    psf = AsciiPsf()
    section = r.next()
    while section != "END":
        if section not in SECTIONS:
            raise ValueError(f"unknown section {section!r}")
        if section == "HEADER":
            while r.at_entry():
                key = r.name()
                psf.header[key] = r.scalar()
        elif section == "TYPE":
            while r.at_entry():
                name = r.name()
                words = []
                while isinstance(r.peek(), str) and r.peek() not in SECTIONS | {"PROP", "(", ")"}:
                    words.append(r.next())
                if "STRUCT" in words or "ARRAY" in words:
                    r.next()  # "(" of the member list or of the array length
                    r.skip_parens()
                    if "ARRAY" in words:  # the element type follows the length
                        while isinstance(r.peek(), str) and r.peek() not in SECTIONS | {"PROP", "(", ")"}:
                            r.next()
                    psf.types[name] = "struct" if "STRUCT" in words else "array"
                else:
                    psf.types[name] = "complex" if "COMPLEX" in words else "float"
                r.skip_props()
        elif section in ("SWEEP", "TRACE"):
            read_declarations(r, psf, psf.sweeps if section == "SWEEP" else psf.traces)
        elif section == "VALUE":
            while r.at_entry():
                name = r.name()
                members = psf.groups.get(name, [name])
                for member in members:
                    point = r.scalar()
                    if psf.types.get(psf.signal_types.get(member)) == "complex":
                        point = complex(*point)
                    psf.values.setdefault(member, []).append(point)
        section = r.next()
    return psf


def read_declarations(r: Reader, psf: AsciiPsf, names: list, count: int | None = None) -> list:
    """Reads declarations (all of the section, or `count` of them); returns their names."""
    read = []
    while r.at_entry() and (count is None or len(read) < count):
        name = r.name()
        if r.peek() == "GROUP":
            r.next()
            n = int(r.next())
            psf.groups[name] = read_declarations(r, psf, names, n)
            read += psf.groups[name]
            continue
        psf.signal_types[name] = r.name()
        r.skip_props()
        names.append(name)
        read.append(name)
    return read
