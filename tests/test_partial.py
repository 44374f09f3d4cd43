"""Files without their trailer: karvo.open(path, partial=True), refresh()."""

from __future__ import annotations

import random
import re
import struct

import numpy as np
import pytest

import karvo
from conftest import CORPUS
from karvo import read_psf
from karvo.testing import psfbuilder as pb

FOOTER = "footer magic 'Clarissa' not found (not a psfbin file?)"

# The corpus's sampled files: windowed, swept and grouped swept.
SAMPLED = [
    "long/tran.tran.tran",
    "pss/pss.td.pss",
    "long/dc.dc",
    "long/ac.ac",
    "pss/pac.0.pac",
    "pss/pac.pac",
    "pss/pss.fd.pss",
    "grouped/srcSweep",
    "grouped/srcSweep2",
]


def word(data: bytes, at: int) -> int:
    return struct.unpack_from(">I", data, at)[0]


def value_body(data: bytes) -> tuple[int, int]:
    """The VALUE body's first byte and end, found by the containers' end words."""
    at = word(data, 8) - 4  # the HEADER container's end
    while word(data, at) != pb.SECTION_VALUE:
        at = word(data, at + 8) - 4
    return at + 12, word(data, at + 8) - 4


def unit_ends(data: bytes, layout: int, points: int, signals: int) -> list[tuple[int, int]]:
    """(end offset, points before it) of each whole frame or sweep point."""
    start, end = value_body(data)
    if layout != pb.WINDOWED:
        cycle = (end - start) // points
        assert start + cycle * points == end
        return [(start + k * cycle, k) for k in range(points + 1)]
    ends, at, k = [(start, 0)], start, 0
    while at < end:
        if word(data, at) == pb.PADDING:
            at += 8 + word(data, at + 4)
            continue
        window, n = struct.unpack_from(">HH", data, at + 4)
        at += 8 + signals * 8 * window + 8 * (signals - 1)
        k += n
        ends.append((at, k))
    return ends


def cut_file(tmp_path, data: bytes, cut: int) -> str:
    return _write(tmp_path / "cut.psf", data[:cut])


def corpus_file(name: str) -> tuple[bytes, list]:
    """A corpus file's bytes and the sweeps and traces of its whole read."""
    path = CORPUS / name
    if not path.is_file():
        pytest.skip("corpus folder ../shared/corpus is absent")
    whole = read_psf(path)
    return path.read_bytes(), whole.sweeps + whole.traces


@pytest.mark.parametrize("name", SAMPLED)
def test_cut_corpus_files_read_their_whole_points(tmp_path, name):
    data, signals = corpus_file(name)
    full = len(signals[0].data)
    layout = word(data, 0)
    start, end = value_body(data)
    units = unit_ends(data, layout, full, len(signals))
    assert units[-1] == (end, full)
    # Every frame or sweep point boundary (a sample of them for long bodies),
    # one byte either side, and offsets anywhere in the file.
    rng = random.Random(name)
    chosen = range(len(units)) if len(units) <= 40 else [*range(0, len(units), len(units) // 40), len(units) - 1]
    expect = {}
    for i in chosen:
        at, k = units[i]
        expect[at] = k
        if i:
            expect[at - 1] = units[i - 1][1]
        if at + 1 < len(data):
            expect.setdefault(at + 1, k)
    for cut in rng.sample(range(len(data)), min(len(data), 60)) + [len(data) - 1, end + 4, start - 1, 9]:
        expect.setdefault(cut, "any")
    seen = []
    for cut in sorted(expect):
        cut_path = cut_file(tmp_path, data, cut)
        with pytest.raises(ValueError) as strict:
            read_psf(cut_path)  # read_psf stays strict
        assert FOOTER in str(strict.value) or cut < 12
        if cut < start:
            # Cut before the body: nothing to read, the error of a whole read.
            with pytest.raises(ValueError) as refused:
                karvo.open(cut_path, partial=True)
            assert str(refused.value) == str(strict.value)
            continue
        with karvo.open(cut_path, partial=True) as f:
            assert not f.complete
            k = f.points
            if expect[cut] != "any":
                assert k == expect[cut], (cut, k)
            part = f.read()
            got = part.sweeps + part.traces
            assert [s.name for s in got] == [s.name for s in signals]
            for a, b in zip(got, signals):
                assert a.data.tobytes() == b.data[:k].tobytes(), (cut, a.name, k)
            assert [info.points for info in f.sweeps + f.traces] == [k] * len(signals)
        seen.append(k)
    assert seen == sorted(seen) and seen[-1] == full
    with karvo.open(CORPUS / name, partial=True) as f:
        assert f.complete and f.points == full and f.refresh() == 0


T, V, CX = 1, 2, 3
TYPES = [pb.TypeDef(T, "s", pb.FLOAT64), pb.TypeDef(V, "V", pb.FLOAT64), pb.TypeDef(CX, "I", pb.COMPLEX)]
N = 37


def columns(n: int) -> list[list[float]]:
    t = np.linspace(0.0, 1e-6, n)
    return [list(t), list(np.sin(t * 1e7)), list(np.cos(t * 3e6) * 2.5)]


def growing_layouts():
    time, a, b = columns(N)
    f = lambda x: pb.f64(x)  # noqa: E731
    swept = pb.build(
        pb.SWEPT,
        types=TYPES,
        sweeps=[pb.Decl(1, "time", T)],
        traces=[pb.Decl(2, "a", V), pb.Decl(3, "z", CX)],
        value=pb.Swept(
            pb.swept_records({1: [f(x) for x in time], 2: [f(x) for x in a], 3: [pb.c128(complex(x, -x)) for x in b]}, [1, 2, 3])
        ),
    )
    windowed = pb.build(
        pb.WINDOWED,
        types=TYPES,
        sweeps=[pb.Decl(1, "time", T)],
        traces=[pb.Decl(2, "a", V), pb.Decl(3, "b", V)],
        value=pb.Windowed([pb.Padding(12)] + pb.windowed_frames([time, a, b], 8)),
    )
    grouped = pb.build(
        pb.GROUPED_SWEPT,
        types=TYPES,
        sweeps=[pb.Decl(1, "time", T)],
        traces=[pb.Group(50, "g", [pb.Decl(2, "a", V), pb.Decl(3, "b", V)])],
        value=pb.GroupedSwept([r for k in range(N) for r in ((16, 1, f(time[k])), (17, 50, f(a[k]) + f(b[k])))]),
    )
    return {"swept": swept, "windowed": windowed, "grouped": grouped}


@pytest.mark.parametrize("placeholder", [False, True], ids=["end-word-final", "end-word-zero"])
@pytest.mark.parametrize("layout", ["swept", "windowed", "grouped"])
def test_refresh_reads_a_growing_file_as_the_whole_one(tmp_path, layout, placeholder):
    data = growing_layouts()[layout]
    whole = read_psf(_write(tmp_path / "whole.psf", data))
    want = whole.sweeps + whole.traces
    start, end = value_body(data)
    written = data
    if placeholder:  # the VALUE container's end word is written last
        written = pb.patch_u32(data, start - 4, 0)
    path = tmp_path / "growing.psf"
    path.write_bytes(written[: start + 5])
    f = karvo.open(path, partial=True)
    assert (f.points, f.complete) == (0, False)
    handed_out = []
    total = 0
    pieces = list(range(start + 5, len(data), 29)) + [len(data)]
    for stop in pieces:
        if stop == len(data):
            written = data  # the simulator finishes: end word, trailer
        with open(path, "r+b") as out:
            out.seek(0)
            out.write(written[:stop])
        added = f.refresh()
        assert added >= 0 and f.points == total + added
        total = f.points
        got = f.read()
        for a, b in zip(got.sweeps + got.traces, want):
            assert a.data.tobytes() == b.data[: f.points].tobytes()
        handed_out.append((f.points, [s.data for s in got.sweeps + got.traces]))
    assert f.complete and f.points == N and f.refresh() == 0
    # Arrays read before a refresh keep what they held.
    for k, arrays in handed_out:
        for a, b in zip(arrays, want):
            assert np.array_equal(a, b.data[:k])
    # A file that shrinks is another file now.
    f2 = karvo.open(_write(tmp_path / "again.psf", data[: end - 3]), partial=True)
    (tmp_path / "again.psf").write_bytes(data[: start + 1])
    with pytest.raises(ValueError, match="changed"):
        f2.refresh()
    f.close()
    f2.close()


def _write(path, data: bytes) -> str:
    path.write_bytes(data)
    return str(path)


def test_partial_does_not_loosen_other_checks(tmp_path):
    data = growing_layouts()["swept"]
    start, _ = value_body(data)
    # A record naming an undeclared signal inside the whole points.
    bad = pb.patch_u32(data, start + 56 + 4, 99)[:-40]
    with pytest.raises(ValueError, match="unknown declaration 99"):
        karvo.open(_write(tmp_path / "bad.psf", bad), partial=True)
    # Values only: nothing is cut into points.
    nonswept = pb.build(pb.NONSWEPT, types=TYPES, value=pb.NonSwept([pb.Entry(1, "x", V, pb.f64(1.0))]))
    with pytest.raises(ValueError, match=re.escape(FOOTER)):
        karvo.open(_write(tmp_path / "v.psf", nonswept[:-12]), partial=True)
    assert karvo.open(_write(tmp_path / "w.psf", nonswept), partial=True).complete


@pytest.mark.parametrize("name", ["long/tran.ascii", "long/dc.ascii", "long/ac.ascii", "grouped/srcSweep.ascii"])
def test_cut_text_reads_its_whole_points(tmp_path, name):
    data, signals = corpus_file(name)
    value = data.index(b"\nVALUE") + 1
    rng = random.Random(name)
    # Cuts inside numbers, names and the END word, at line ends, before VALUE.
    cuts = sorted({*rng.sample(range(value, len(data)), 50), len(data) - 2, len(data) - 3, value + 5, value - 3})
    grows = tmp_path / "grows.psf"
    grows.write_bytes(data[: value + 5])
    growing = karvo.open(grows, partial=True)
    seen = []
    for cut in cuts:
        cut_path = cut_file(tmp_path, data, cut)
        if cut < value:
            with pytest.raises(ValueError) as strict:
                read_psf(cut_path)
            with pytest.raises(ValueError) as refused:
                karvo.open(cut_path, partial=True)
            assert str(refused.value) == str(strict.value)
            continue
        grows.write_bytes(data[:cut])
        growing.refresh()
        with karvo.open(cut_path, partial=True) as f:
            k = f.points
            assert f.complete == data[:cut].rstrip().endswith(b"END")
            for handle in (f, growing):
                assert handle.points == k
                part = handle.read()
                for a, b in zip(part.sweeps + part.traces, signals):
                    assert a.data.tobytes() == b.data[:k].tobytes(), (cut, a.name, k)
        seen.append(k)
    assert seen == sorted(seen) and seen[-1] == len(signals[0].data) and seen[0] < seen[-1]
    growing.close()


def test_results_mark_and_read_runs_still_written(tmp_path):
    from karvo.testing import resultbuilder as rb

    top, built = rb.study(tmp_path / "study", "numbered", [1e-12, 1e-11], [500.0, 1000.0])
    whole = karvo.open_results(top).to_dataframe("tran")
    runs = karvo.open_results(top).runs
    cut_run = runs[2]
    path = cut_run.analyses["tran-tran"].file
    data = open(path, "rb").read()
    start, end = value_body(data)
    points = len(read_psf(path)["time"].data)
    cycle = (end - start) // points
    with open(path, "wb") as f:  # the run is still simulating: 3 points and a half written
        f.write(data[: start + 3 * cycle + cycle // 2])
    strict = karvo.open_results(top)
    ds = strict.to_xarray("tran", pad=True)
    assert [r.partial for r in strict.runs] == [False, False, True, False]
    assert (ds["status"].values == "unreadable").sum() == 1
    results = karvo.open_results(top, partial=True)
    long = results.to_dataframe("tran")
    assert [r.partial for r in results.runs] == [False, False, True, False]
    assert [r.error for r in results.runs] == [None] * 4
    p1, p2 = cut_run.parameters.values()
    mine = long[(long["cap"] == p1) & (long["res"] == p2)]
    want = whole[(whole["cap"] == p1) & (whole["res"] == p2)].iloc[:3]
    assert len(mine) == 3 and np.array_equal(mine["out"].to_numpy(), want["out"].to_numpy())
    assert len(long) == len(whole) - (points - 3)


def test_info_partial_prints_the_points_read(tmp_path, capsys):
    import json

    from karvo.cli import main

    data = growing_layouts()["windowed"]
    cut = _write(tmp_path / "cut.psf", data[: len(data) // 2])
    whole = _write(tmp_path / "whole.psf", data)
    with karvo.open(cut, partial=True) as f:
        k = f.points
    assert 0 < k < N
    assert main(["info", cut]) == 1  # without --partial, refused as before
    assert main(["info", "--partial", cut, whole]) == 0
    out = capsys.readouterr().out
    assert f"points: {k} read so far" in out and f"points: {N}, complete" in out
    assert main(["info", "--partial", "--json", cut]) == 0
    info = json.loads(capsys.readouterr().out)
    assert (info["complete"], info["points"]) == (False, k)
