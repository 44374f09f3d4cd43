"""Results hold exactly the references they need: every object a read makes
is freed as soon as the caller drops the last reference to it, by reference
counting alone (the cycle collector stays off), a child outlives its Psf,
and many reads of real, built and broken files leave resident memory flat.
(Reads of every failure stage, descriptors and mappings: test_leaks.py.)
"""

from __future__ import annotations

import gc
import os
import pickle
import random
import subprocess
import sys
import warnings
import weakref

import numpy as np
import pytest

from conftest import CORPUS, load_seeds
from karvo import Psf, read_psf, read_raw
from karvo.testing.shapes import swept_floats
from karvo.testing.psfbuilder import FLOAT64, SWEPT, WINDOWED, Decl, Swept, TypeDef, build, f64, struct_type, with_footer


SEEDS = load_seeds()
SANITIZED = os.environ.get("KARVO_SANITIZED") == "1"


@pytest.fixture
def no_gc():
    """Reference counting alone must free everything: a leaked reference or a
    cycle then keeps the object alive where the test looks."""
    was = gc.isenabled()
    gc.collect()
    gc.disable()
    yield
    if was:
        gc.enable()


def leaves(psf) -> list[tuple[str, object]]:
    """Every object of a result that may be held on its own, with a label."""
    out = [("header", psf.header)]
    for kind, items in (("sweep", psf.sweeps), ("trace", psf.traces), ("value", psf.values)):
        for i, item in enumerate(items):
            out.append((f"{kind} {i}", item))
            out.append((f"{kind} {i} data", item.data))
    for kind, items in (("sweep", psf.sweeps), ("trace", psf.traces)):
        for i, item in enumerate(items):
            base, depth = item.data.base, 1
            while base is not None:
                out.append((f"{kind} {i} data base {depth}", base))
                base, depth = getattr(base, "base", None), depth + 1
            if item.data.dtype.names is not None:
                out.append((f"{kind} {i} dtype", item.data.dtype))
    return out


def shared(obj) -> bool:
    """Objects the interpreter keeps for everyone: small ints, one-character strings."""
    return (type(obj) is int and -5 <= obj <= 256) or (type(obj) is str and len(obj) <= 1)


@pytest.mark.parametrize("name", sorted(SEEDS))
def test_after_the_psf_is_dropped_each_object_is_held_only_by_the_caller(name, write, no_gc):
    path = write(SEEDS[name])
    labels = [label for label, _ in leaves(read_psf(path))]
    assert labels
    for k, label in enumerate(labels):
        # A fresh read per object: keep that one, drop the Psf and all else.
        psf = read_psf(path)
        kept = leaves(psf)[k][1]
        del psf
        if shared(kept):
            continue
        # `kept` and getrefcount's argument: nothing else may hold it.
        assert sys.getrefcount(kept) == 2, f"{name}: {label} is held by something else"


@pytest.mark.parametrize("name", sorted(SEEDS))
def test_dropping_the_psf_frees_every_array_at_once(name, write, no_gc):
    psf = read_psf(write(SEEDS[name]))
    arrays = [weakref.ref(a) for label, a in leaves(psf) if isinstance(a, np.ndarray)]
    del psf
    assert [r for r in arrays if r() is not None] == []


def exercise(obj) -> None:
    """Everything a caller may do with a result object that is not reading it."""
    repr(obj)
    pickle.loads(pickle.dumps(obj, pickle.HIGHEST_PROTOCOL))
    if isinstance(obj, Psf):
        return
    for call in (
        lambda: np.asarray(obj),
        lambda: np.array(obj, copy=True),
        lambda: np.array(obj, dtype=np.complex64, copy=False),
        lambda: obj.__array__(np.float32),
        lambda: abs(obj),
        lambda: 1 + obj,
        lambda: obj[:1],
        lambda: list(obj),
        lambda: float(obj),
    ):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", np.exceptions.ComplexWarning)
                call()
        except (TypeError, ValueError):
            pass


@pytest.mark.parametrize("name", sorted(SEEDS))
def test_reprs_arrays_and_pickles_hold_no_references(name, write, no_gc):
    psf = read_psf(write(SEEDS[name]))
    objects = [psf, *psf.sweeps, *psf.traces, *psf.values]
    held = [sys.getrefcount(o) for o in objects] + [sys.getrefcount(o.data) for o in objects[1:]]
    for obj in objects:
        exercise(obj)
    del obj
    assert [sys.getrefcount(o) for o in objects] + [sys.getrefcount(o.data) for o in objects[1:]] == held
    # An unpickled copy is the caller's alone, and so is its data after it.
    for obj in objects:
        back = pickle.loads(pickle.dumps(obj))
        assert sys.getrefcount(back) == 2
        data = back.header if isinstance(back, Psf) else back.data
        del back
        assert shared(data) or sys.getrefcount(data) == 2


def test_a_child_outlives_its_psf(write, no_gc):
    psf = read_psf(write(SEEDS["swept_complex_struct"]))
    expected = [np.asarray(t.data).tobytes() for t in psf.traces]
    traces = list(psf.traces)
    noise = traces[1].data
    del psf
    assert [np.asarray(t.data).tobytes() for t in traces] == expected
    flat = weakref.ref(noise.base)
    del traces
    assert noise["rd"].tolist() == [0.5, 1.5, 2.5]
    del noise
    assert flat() is None


def test_traces_of_one_struct_share_one_dtype_and_release_it(write, no_gc):
    wide = struct_type(3, "noise", [(f"m{i}", FLOAT64) for i in range(40)])
    traces = [Decl(11 + i, f"n{i}", 3) for i in range(5)]
    data = build(SWEPT, types=[TypeDef(1, "V", FLOAT64), wide], sweeps=[Decl(10, "x", 1)], traces=traces,
                 value=Swept([(10, f64(1))] + [(11 + i, f64(i) * 40) for i in range(5)]))
    psf = read_psf(write(data))
    dtypes = {id(t.data.dtype) for t in psf.traces}
    assert len(dtypes) == 1
    dtype = psf.traces[0].data.dtype
    assert dtype.names == tuple(f"m{i}" for i in range(40))
    assert [t.data["m7"][0] for t in psf.traces] == [0.0, 1.0, 2.0, 3.0, 4.0]
    del psf
    assert sys.getrefcount(dtype) == 2


# ---------------------------------------------------------------- resident memory


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def mixed_files(folder) -> list[str]:
    """Real and built files, whole, cut and mutated, in one folder (raw files
    with their own suffix)."""
    rng = random.Random(7)
    sources = list(SEEDS.values())
    if CORPUS.is_dir():
        # The result folders of runs/ repeat these shapes hundreds of times.
        files = [p for p in sorted(CORPUS.rglob("*")) if p.is_file() and "runs" not in p.relative_to(CORPUS).parts]
        sources += [p.read_bytes() for p in files if p.suffix != ".ascii" and p.stat().st_size > 12]
    if CORPUS.is_dir():
        # SPICE raw files: binary rows, columns and Values text, operating points.
        sources += [(p.read_bytes(), ".raw") for p in sorted((CORPUS / "raw").glob("*.raw"))]
    out = []
    for i, source in enumerate(sources):
        data, suffix = source if isinstance(source, tuple) else (source, ".psf")
        variants = [data, data[: len(data) // 2], data[: len(data) // 3]]
        if suffix == ".psf":
            variants[1] = with_footer(variants[1])
        mutated = bytearray(data)
        for _ in range(4):
            at = rng.randrange(max(len(data) - 12, 1))
            mutated[at] ^= 1 << rng.randrange(8)
        variants.append(bytes(mutated))
        for k, variant in enumerate(variants):
            path = folder / f"{i}-{k}{suffix}"
            path.write_bytes(variant)
            out.append(os.fspath(path))
    return out


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(SANITIZED, reason="resident memory is not meaningful under the sanitizer")
def test_ten_thousand_mixed_reads_keep_resident_memory_flat(tmp_path):
    paths = mixed_files(tmp_path)
    outcomes = {"psf": 0, "error": 0}

    def read_all(rounds: int) -> None:
        for _ in range(rounds):
            for path in paths:
                try:
                    plots = read_raw(path) if path.endswith(".raw") else [read_psf(path)]
                except ValueError:
                    outcomes["error"] += 1
                else:
                    for psf in plots:
                        for item in psf.sweeps + psf.traces + psf.values:
                            item.data
                    outcomes["psf"] += 1

    read_all(3)
    gc.collect()
    before = resident_bytes()
    read_all(max(1, 10_000 // len(paths)))
    gc.collect()
    grown = resident_bytes() - before
    assert outcomes["psf"] > 0 and outcomes["error"] > 0
    assert grown < 2 << 20, f"resident memory grew by {grown} bytes"


KEPT = r"""
import gc, os, sys
import numpy as np, karvo

def resident():  # pages the system may take whenever it runs short (LazyFree) are given back
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    with open("/proc/self/smaps_rollup") as f:
        return pages - sum(int(line.split()[1]) * 1024 for line in f if line.startswith("LazyFree:"))

path, how = sys.argv[1], sys.argv[2]
karvo.read_psf(path)
gc.collect()
before = resident()
psf = karvo.read_psf(path)
arrays = [t.data for t in psf.traces]
kept = arrays[5]
if how == "drop the psf":
    del arrays, psf
else:  # the arrays go one at a time, after the psf
    del psf
    while len(arrays) > 1:
        arrays.pop(0 if arrays[0] is not kept else -1)
gc.collect()
print(resident() - before, kept.nbytes, float(kept[0]), float(kept[-1]))
"""


def test_a_read_reuses_the_memory_of_a_dropped_read_never_of_a_live_one(tmp_path):
    # The memory of a large read that went is kept for the next read that
    # needs as much and at most twice as much; what that read leaves unused
    # is given back first. Each file's values are its own.
    def write(name, points, base):
        path = tmp_path / name
        swept_floats(path, points, 9, base)
        return os.fspath(path)

    def check(psf, points, base):
        expected = base + np.arange(points) * 1e-3
        for j, signal in enumerate(psf.sweeps + psf.traces):
            np.testing.assert_array_equal(signal.data, expected + j)

    big, small, last = write("a.psf", 200_000, 1e6), write("b.psf", 120_000, 2e6), write("c.psf", 200_000, 3e6)
    a = read_psf(big)
    a_at = a.sweeps[0].data.__array_interface__["data"][0]
    b = read_psf(small)  # a is alive: fresh memory
    check(a, 200_000, 1e6)
    check(b, 120_000, 2e6)
    del a
    gc.collect()
    c = read_psf(small)  # a's 16 MB, its last 6 MB given back
    assert c.sweeps[0].data.__array_interface__["data"][0] == a_at
    check(b, 120_000, 2e6)
    check(c, 120_000, 2e6)
    del b, c
    gc.collect()
    d = read_psf(last)  # a 16 MB read in what a 10 MB read left
    check(d, 200_000, 3e6)
    # A loop's variable still holds a trace of d when d goes: the rest of d's
    # pages go back lazily, and d's memory is whole again once the trace goes.
    d_at = d.sweeps[0].data.__array_interface__["data"][0]
    trace = d.traces[4].data
    del d
    gc.collect()
    if os.path.exists("/proc/self/smaps_rollup") and not SANITIZED:
        with open("/proc/self/smaps_rollup") as f:
            lazily = sum(int(line.split()[1]) << 10 for line in f if line.startswith("LazyFree:"))
        assert lazily > 12 << 20, lazily
    np.testing.assert_array_equal(trace, 3e6 + np.arange(200_000) * 1e-3 + 5)
    del trace
    gc.collect()
    e = read_psf(last)
    assert e.sweeps[0].data.__array_interface__["data"][0] == d_at
    check(e, 200_000, 3e6)


@pytest.mark.skipif(not os.path.exists("/proc/self/smaps_rollup"), reason="needs /proc")
@pytest.mark.skipif(SANITIZED, reason="resident memory is not meaningful under the sanitizer")
@pytest.mark.parametrize("how", ["drop the psf", "drop the arrays one by one"])
def test_an_array_kept_out_of_a_large_read_keeps_only_its_own_memory(how, write):
    # A read's buffers share one allocation; the pages of those dropped go
    # back to the system, not only when the last array goes.
    traces, window, frames = 12, 1024, 400
    n = window * frames
    frame = np.dtype([("head", ">u4", 2), ("x", ">f8", window), ("traces", [("sep", ">u8"), ("v", ">f8", window)],
                      traces)])  # fmt: skip
    body = np.zeros(frames, frame)
    body["head"] = [16, (window << 16) | window]
    points = np.arange(n, dtype=np.float64).reshape(frames, window)
    body["x"] = points
    body["traces"]["v"] = points[:, None, :] + np.arange(traces)[None, :, None] * 1e6
    data = build(WINDOWED, types=[TypeDef(1, "V", FLOAT64)], sweeps=[Decl(10, "time", 1)],
                 traces=[Decl(11 + i, f"v{i}", 1) for i in range(traces)], value=body.tobytes())  # fmt: skip
    done = subprocess.run([sys.executable, "-c", KEPT, write(data), how], capture_output=True, text=True,
                          timeout=300, env={k: v for k, v in os.environ.items() if k != "GLIBC_TUNABLES"})  # fmt: skip
    assert done.returncode == 0, done.stderr
    grown, kept, first, last = (float(x) for x in done.stdout.split())
    assert (first, last) == (5e6, 5e6 + n - 1)
    # 13 arrays of 3.3 MB were made: one stays, with a few MB of slack.
    assert grown < kept + (6 << 20), (grown, kept)
