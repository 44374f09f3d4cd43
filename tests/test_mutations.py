"""No byte sequence crashes the reader: cut and mutated files read as a Psf or
fail with a ValueError whose message is one of the reader's own.

Sources: the fuzz seeds (one builder-made file per layout and feature) and the
real simulator files of the corpus. A bounded sweep runs by default;
KARVO_MUTATIONS=full runs every prefix of files up to 8 KB, a few hundred cut
points of larger ones and a few thousand seeded mutations per file.
"""

from __future__ import annotations

import os
import random
import re
import time
from pathlib import Path

import numpy as np
import pytest

import karvo
from conftest import CORPUS, load_seeds, split_forced
from karvo.testing.psfbuilder import MAGIC, u32, with_footer

FULL = os.environ.get("KARVO_MUTATIONS") == "full"


SEEDS = load_seeds()
REAL = (
    sorted(str(p.relative_to(CORPUS)) for p in CORPUS.rglob("*") if p.is_file() and p.read_bytes()[-12:-4] == MAGIC)
    if CORPUS.is_dir()
    else ["absent"]
)

# Every ValueError the reader raises, as a template ("{}" stands for a number or a name).
TEMPLATES = [
    "file too small to be psfbin ({} bytes)",
    "footer magic 'Clarissa' not found (not a psfbin file?)",
    "unknown value_section_type {}",
    "unexpected end of file: need {} bytes at offset {} (len {})",
    "unexpected end of file: skip {} bytes at offset {} (len {})",
    "unexpected end of file while peeking at offset {}",
    "expected chunk {} ({}) at offset {}, got {}",
    "invalid CONTAINER size {}",
    "{} container end mismatch: at offset {} but expected {}",
    "invalid UTF-8 in string at offset {}: incomplete utf-8 byte sequence from index {}",
    "invalid UTF-8 in string at offset {}: invalid utf-8 sequence of {} bytes from index {}",
    "unknown datatype tag {}",
    "struct definition at offset {} is nested more than 256 levels deep",
    "group at offset {} is nested more than 256 levels deep",
    "struct '{}' has a nested struct member '{}' (nested structs are not supported)",
    "struct '{}' member '{}' has unsupported type (only flat scalar struct members are supported)",
    "struct '{}' has zero fields (empty structs unsupported)",
    "declaration {} references unknown type id {}",
    "expected DECLARATION (16) or GROUP_DECLARATION (17) at offset {}, got {}",
    "trace/sweep '{}' has unsupported datatype {}",
    "swept struct trace '{}' member '{}' has non-FLOAT64 type {} (only flat float64 struct traces are "
    "supported; heterogeneous structs are supported as non-swept values only)",
    "array-typed values are not supported",
    "nested struct values are not supported",
    "value has datatype NONE",
    "value record references unknown declaration {}",
    "value record references unknown group {}",
    "WINDOWED value section requires exactly one sweep, found {}",
    "windowed complex value layout is not supported (trace '{}')",
    "windowed struct value layout is not supported (trace '{}')",
    "windowed frame: num_words {} > window_size {}",
    "windowed frame references unknown declaration {}",
    "internal: missing declaration {} during assembly",
    "struct field name {} appears more than once; numpy structured arrays require unique field names",
    # NumPy's own refusal, passed through: an empty member name becomes "f<i>" there.
    "field {} occurs more than once",
]
MESSAGE = re.compile(
    "|".join("(?:" + re.escape(t).replace(re.escape("{}"), ".*?") + ")" for t in TEMPLATES), re.DOTALL
)


class Reader:
    """Reads byte strings through files of one folder; remembers the slowest
    call, by the CPU time of the calling thread (which does the read), so
    that a busy machine does not make a call look slow."""

    def __init__(self, folder: Path) -> None:
        self.folder = folder
        self.count = 0
        self.slowest = (0.0, "")
        self.outcomes = {"psf": 0, "error": 0}

    def check(self, data: bytes, what: str) -> None:
        # A fresh file each time: truncating one that was just mapped costs a millisecond.
        path = self.folder / f"m{self.count % 2}.psf"
        self.count += 1
        path.unlink(missing_ok=True)
        path.write_bytes(data)
        start = time.thread_time()
        try:
            psf = karvo.read_psf(path)
        except ValueError as e:
            elapsed = time.thread_time() - start
            assert MESSAGE.fullmatch(str(e)), f"{what}: unexpected message {str(e)!r}"
            # Read in parts by several threads, the earliest fault is the same.
            with split_forced(), pytest.raises(ValueError) as split:
                karvo.read_psf(path)
            assert str(split.value) == str(e), what
            self.outcomes["error"] += 1
        except BaseException as e:  # noqa: BLE001 - anything but ValueError breaks the promise
            pytest.fail(f"{what}: {type(e).__name__}: {e}")
        else:
            elapsed = time.thread_time() - start
            assert isinstance(psf, karvo.Psf), what
            # Touch every sample and value: a bad buffer shows up here.
            for signal in (*psf.sweeps, *psf.traces):
                np.asarray(signal.data).tobytes()
            with split_forced():
                split = karvo.read_psf(path)
            assert [s.data.tobytes() for s in (*split.sweeps, *split.traces)] == [
                s.data.tobytes() for s in (*psf.sweeps, *psf.traces)
            ], what
            for value in psf.values:
                repr(value.data)
            self.outcomes["psf"] += 1
        if elapsed > self.slowest[0]:
            self.slowest = (elapsed, what)


def cut_points(size: int, limit: int) -> list[int]:
    """Every length up to `size` when that is at most `limit`, else `limit` spread evenly."""
    if size <= limit:
        return list(range(size + 1))
    return sorted({size * k // limit for k in range(limit + 1)})


INTERESTING = [0, 1, 2, 3, 4, 7, 8, 12, 15, 16, 17, 18, 19, 20, 21, 22, 33, 34, 35, 255, 256, 0xFFFF, 0x10000,
               0x7FFFFFFF, 0x80000000, 0xFFFFFFF0, 0xFFFFFFFC, 0xFFFFFFFF]


def mutate(data: bytes, rng: random.Random) -> tuple[bytes, str]:
    """One to three edits; the footer is left alone except by plain bit flips."""
    buf = bytearray(data)
    body = max(len(data) - 12, 4)
    words = body // 4
    done = []
    for _ in range(rng.randint(1, 3)):
        op = rng.randrange(7)
        at = 4 * rng.randrange(words)
        if op == 0:
            bit = rng.randrange(8 * len(buf))
            buf[bit // 8] ^= 1 << (bit % 8)
            done.append(f"flip bit {bit}")
        elif op in (1, 2):
            value = 0 if op == 1 else 0xFFFFFFFF
            buf[at : at + 4] = u32(value)
            done.append(f"word {at} = {value:#x}")
        elif op == 3:
            value = rng.choice(INTERESTING)
            buf[at : at + 4] = u32(value)
            done.append(f"word {at} = {value:#x}")
        elif op == 4:
            # Offsets and sizes near the file's own length.
            value = (len(data) + rng.randint(-16, 16)) & 0xFFFFFFFF
            buf[at : at + 4] = u32(value)
            done.append(f"word {at} = {value}")
        elif op == 5:
            # Two chunk-kind words trade places: sections and chunks out of order.
            kinds = [k for k in range(0, body - 3, 4) if 1 <= int.from_bytes(buf[k : k + 4], "big") <= 35]
            if len(kinds) >= 2:
                a, b = rng.sample(kinds, 2)
                buf[a : a + 4], buf[b : b + 4] = buf[b : b + 4], buf[a : a + 4]
                done.append(f"swap words {a} {b}")
        else:
            # A stretch deleted or repeated: lengths and offsets then point elsewhere.
            length = 4 * rng.randint(1, 8)
            if rng.random() < 0.5:
                del buf[at : at + length]
                done.append(f"delete {length} at {at}")
            else:
                buf[at:at] = buf[at : at + length]
                done.append(f"repeat {length} at {at}")
    return bytes(buf), ", ".join(done)


def sweep(reader: Reader, name: str, data: bytes, prefixes: int, mutations: int) -> None:
    # Cut files keep no footer, so most fail at once; with one appended the cut
    # reaches every section reader.
    for end in cut_points(len(data), prefixes if FULL else prefixes // 4):
        reader.check(data[:end], f"{name}: first {end} bytes")
    for end in cut_points(len(data), prefixes):
        reader.check(with_footer(data[:end]), f"{name}: first {end} bytes + footer")
    rng = random.Random(f"{name}:{len(data)}")
    for i in range(mutations):
        mutated, how = mutate(data, rng)
        reader.check(mutated, f"{name}: mutation {i} ({how})")
    # A hang guard, not a speed goal: no call on these files comes near it.
    assert reader.slowest[0] < 1.0, f"slowest call took {reader.slowest[0]:.3f} s of CPU: {reader.slowest[1]}"


@pytest.mark.parametrize("name", sorted(SEEDS))
def test_seed_files_read_whole(name, write):
    psf = karvo.read_psf(write(SEEDS[name]))
    assert isinstance(psf, karvo.Psf)
    # Each seed gives every signal a point per sweep step.
    assert len({len(signal.data) for signal in (*psf.sweeps, *psf.traces)}) <= 1


@pytest.mark.parametrize("name", sorted(SEEDS))
def test_builder_files(name, tmp_path):
    reader = Reader(tmp_path)
    data = SEEDS[name]
    sweep(reader, name, data, prefixes=8192 if FULL else 160, mutations=3000 if FULL else 150)
    # The sweep reached past the framing: some cut or mutated files still read.
    assert reader.outcomes["psf"] > 0 and reader.outcomes["error"] > 0


@pytest.mark.parametrize("name", REAL)
def test_real_files(name, corpus, tmp_path):
    reader = Reader(tmp_path)
    data = (corpus / name).read_bytes()
    small = len(data) <= 64 * 1024
    if FULL:
        sweep(reader, name, data, prefixes=8192 if len(data) <= 8192 else 300, mutations=3000 if small else 500)
    else:
        sweep(reader, name, data, prefixes=24, mutations=40 if small else 10)
    assert reader.outcomes["error"] > 0
