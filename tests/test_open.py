"""karvo.open: the catalog at once, chosen signals on request, equal to read_psf."""

from __future__ import annotations

import os
import pickle
import threading

import numpy as np
import pytest

import karvo
from karvo.testing import psfbuilder as pb
from conftest import CORPUS, load_seeds, readable_files
from karvo import read_psf

SEEDS = load_seeds()


CORPUS_FILES = readable_files()


def same_bits(a, b) -> bool:
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def subsets(n: int) -> list[list[int]]:
    """Each signal alone, every other one, the last and first, all, none."""
    picks = [[i] for i in range(min(n, 6))] + [list(range(0, n, 2)), list(range(n)), []]
    if n > 1:
        picks.append([n - 1, 0])
    return picks


def check_against_read_psf(path) -> None:
    whole = read_psf(path)
    signals = whole.sweeps + whole.traces
    with karvo.open(path) as f:
        assert f.header == whole.header
        catalog = f.sweeps + f.traces
        assert [(s.name, s.kind) for s in catalog] == [(s.name, "sweep") for s in whole.sweeps] + [
            (t.name, "trace") for t in whole.traces
        ]
        for info, signal in zip(catalog, signals):
            assert (info.dtype, info.points, dict(info.properties)) == (
                signal.data.dtype, len(signal.data), dict(signal.properties)
            )
        assert [(v.name, repr(v.data)) for v in f.values] == [(v.name, repr(v.data)) for v in whole.values]
        for pick in subsets(len(signals)):
            part = f.read([catalog[i].name for i in pick])
            got = part.sweeps + part.traces
            assert [s.name for s in got] == [signals[i].name for i in sorted(set(pick))]
            for s, i in zip(got, sorted(set(pick))):
                assert same_bits(s.data, signals[i].data), (path, s.name)
        for name in list(f)[:8]:
            want = whole[name].data
            got = f[name]
            assert same_bits(got, want) if isinstance(want, np.ndarray) else repr(got) == repr(want)


@pytest.mark.skipif(not CORPUS_FILES, reason="corpus folder ../shared/corpus is absent")
@pytest.mark.parametrize("path", CORPUS_FILES, ids=[os.fspath(p.relative_to(CORPUS)) for p in CORPUS_FILES])
def test_every_corpus_file_reads_as_read_psf_gives_it(path):
    check_against_read_psf(path)


@pytest.mark.parametrize("name", sorted(SEEDS))
def test_every_seed_opens_as_read_psf_reads_it(name, write):
    path = write(SEEDS[name])
    try:
        read_psf(path)
    except ValueError as e:
        with pytest.raises(ValueError) as info:
            karvo.open(path).read()
        assert str(info.value) == str(e)
        return
    check_against_read_psf(path)


def irregular_swept() -> bytes:
    """Records out of cycle (a signal missing at some points): read by count, then copy."""
    records = []
    for k in range(300):
        records += [(1, pb.f64(k)), (2, pb.f64(-k))]
        if k % 7:
            records.append((3, pb.c128(complex(k, 1))))
    return pb.build(pb.SWEPT, types=[pb.TypeDef(10, "V", pb.FLOAT64), pb.TypeDef(11, "Z", pb.COMPLEX)],
                    sweeps=[pb.Decl(1, "x", 10)], traces=[pb.Decl(2, "a", 10), pb.Decl(3, "z", 11)],
                    value=pb.Swept(records))


def windowed_with_padding(points: int = 1000) -> bytes:
    columns = [[float(k) for k in range(points)], [k * 0.5 for k in range(points)], [-float(k) for k in range(points)]]
    frames = pb.windowed_frames(columns, 64)
    chunks = [pb.Padding(20)] + frames[:5] + [pb.Padding(8)] + frames[5:]
    return pb.build(pb.WINDOWED, types=[pb.TypeDef(10, "V", pb.FLOAT64)], sweeps=[pb.Decl(1, "t", 10)],
                    traces=[pb.Decl(2, "a", 10), pb.Decl(3, "b", 10)], value=pb.Windowed(chunks))


def broken_cycle() -> bytes:
    """Whole cycles by size, but one holds another signal of the same width:
    counting from the body's size alone would give a and b wrong counts."""
    records = []
    for k in range(40):
        records += [(1, pb.f64(k)), (2 if k != 17 else 3, pb.f64(-k))]
    return pb.build(pb.SWEPT, types=[pb.TypeDef(10, "V", pb.FLOAT64)], sweeps=[pb.Decl(1, "x", 10)],
                    traces=[pb.Decl(2, "a", 10), pb.Decl(3, "b", 10)], value=pb.Swept(records))


@pytest.mark.parametrize("make", [irregular_swept, windowed_with_padding, broken_cycle],
                         ids=["irregular-swept", "windowed-padding", "broken-cycle"])
def test_bodies_of_every_layout_read_in_part(make, write):
    check_against_read_psf(write(make()))


def test_names_values_and_errors(write):
    path = write(SEEDS["nonswept"])
    with karvo.open(path) as f:
        whole = read_psf(path)
        assert list(f) == list(whole) and len(f) == len(whole)
        assert f["vdd"] == whole["vdd"].data and "vdd" in f
        # A value's name brings the values along.
        assert [v.name for v in f.read(["vdd"]).values] == [v.name for v in whole.values]
        assert [v.name for v in f.read("vdd").values] == [v.name for v in whole.values]  # one name
        with pytest.raises(KeyError) as info:
            f["vd"]
        assert info.value.args == ("'vd' (close matches: 'vdd')",)
        with pytest.raises(KeyError):
            f.info("vdd")  # a value, not a signal
    with pytest.raises(FileNotFoundError):
        karvo.open(path + ".missing")


def test_arrays_outlive_the_closed_file_and_a_closed_file_refuses_reads(write):
    path = write(windowed_with_padding())
    f = karvo.open(path)
    a = f["a"]
    f.close()
    assert f.closed and list(a[:3]) == [0.0, 0.5, 1.0]
    with pytest.raises(ValueError, match="closed file"):
        f["b"]


def test_pickles_as_its_path(write):
    path = write(windowed_with_padding())
    with karvo.open(path) as f:
        again = pickle.loads(pickle.dumps(f))
    with again:
        assert again.path == path and same_bits(again["b"], read_psf(path)["b"].data)


def test_many_threads_read_one_file_while_it_is_closed(write):
    path = write(windowed_with_padding())
    want = read_psf(path)["b"].data
    f = karvo.open(path)
    results, errors = [], []

    def worker():
        for _ in range(50):
            try:
                results.append(same_bits(f["b"], want))
            except ValueError as e:  # closed meanwhile
                errors.append(str(e))

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    f.close()
    for t in threads:
        t.join()
    assert all(results) and set(errors) <= {"I/O operation on closed file"}


@pytest.mark.parametrize("points", [1000, 4000], ids=["small-read-whole", "large-mapped"])
def test_a_file_changed_after_open(points, write):
    """A small file is read whole at open and keeps those values; a mapped
    one that changes under the reader is refused, never read half old."""
    data = windowed_with_padding(points)
    path = write(data)
    with karvo.open(path) as f:
        # The first frame now claims fewer points than the catalog counted.
        head = pb.u32(16) + pb.u16(64) + pb.u16(64)
        at = data.index(head)
        with open(path, "r+b") as out:
            out.seek(at + 6)
            out.write(pb.u16(3))
        if len(data) <= 64 << 10:
            assert list(f.read()["b"].data) == [-float(k) for k in range(points)]
        else:
            with pytest.raises(ValueError, match="file changed while it was read"):
                f.read()
