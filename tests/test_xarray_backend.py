"""xr.open_dataset(path, engine="karvo"): the Dataset of karvo.to_xarray,
lazy, found by the file's bytes."""

from __future__ import annotations

import io
import json
import os
import pickle
import subprocess
import sys
import warnings

import numpy as np
import pytest

import karvo
from karvo.testing import psfbuilder as pb
from conftest import CORPUS, ROOT, load_seeds, readable_files
from karvo import read_psf

xr = pytest.importorskip("xarray")

SEEDS = load_seeds()
EXAMPLES = sorted((ROOT / "examples").glob("*.psf"))
SANITIZED = os.environ.get("KARVO_SANITIZED") == "1"


def with_data() -> list:
    """Corpus files (each text once), examples and seeds that hold sweeps,
    traces or values, as (id, path or seed name)."""
    out = []
    for p in readable_files():
        psf = read_psf(p)
        if psf.sweeps or psf.traces or psf.values:
            out.append((f"corpus/{p.relative_to(CORPUS)}", p))
    out += [(f"examples/{p.name}", p) for p in EXAMPLES]
    out += [(f"seed/{k}", k) for k in SEEDS if k not in ("empty", "empty_trailer_word")]
    return out


FILES = with_data()


def same_bits(a, b) -> bool:
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("path", [p for _, p in FILES], ids=[i for i, _ in FILES])
def test_dataset_is_to_xarray_of_read_psf(path, tmp_path):
    """Names, dimensions, attrs and every value bit for bit, loaded at once or
    after a trip through pickle (which carries paths, not data)."""
    if isinstance(path, str):
        path = tmp_path / path
        path.write_bytes(SEEDS[path.name])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a signal without points warns alike on both sides
        want = karvo.to_xarray(read_psf(path))
        lazy = xr.open_dataset(path, engine="karvo")
    travelled = pickle.loads(pickle.dumps(lazy))
    for got in (lazy.load(), travelled.load()):
        assert got.identical(want)
        for name, variable in want.variables.items():
            assert same_bits(got.variables[name].values, variable.values), name
    lazy.close()


def windowed_file(path, points: int, traces: int) -> None:
    from karvo.testing.shapes import windowed_file as write

    write(path, points, traces, 511)


PEAK = r"""
import json, sys
import numpy, xarray as xr
xr.open_dataset(sys.argv[2], engine="karvo").load()  # xarray's engines and karvo's types are made here

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))

base = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
ds = xr.open_dataset(sys.argv[1], engine="karvo")
chosen = ds[["v3", "v40"]] if sys.argv[3] == "two" else ds
chosen.load()
print(json.dumps(status("VmHWM") - base))
"""


@pytest.mark.skipif(SANITIZED, reason="ASan's redzones and quarantine change resident memory")
@pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"), reason="needs Linux's /proc/self/clear_refs")
def test_two_variables_of_a_large_file_read_only_their_frames(tmp_path):
    """A 200 MB windowed file of 64 traces: opening and loading two of them
    peaks at a small part of the file (the time axis and two traces), while
    loading everything holds all of it."""
    path = tmp_path / "large.psf"
    windowed_file(path, 400_000, 64)
    size = path.stat().st_size
    peaks = {}
    for what in ("two", "all"):
        done = subprocess.run([sys.executable, "-c", PEAK, str(path), str(ROOT / "examples" / "rc_tran.psf"), what],
                              capture_output=True, text=True, timeout=120)  # fmt: skip
        assert done.returncode == 0, done.stderr
        peaks[what] = json.loads(done.stdout)
    assert peaks["two"] < 0.25 * size < 0.9 * size < peaks["all"], (peaks, size)


def odd_files(tmp_path) -> dict:
    """Files named against their content, and what is no file."""
    ac = (ROOT / "examples" / "rc_ac.psf").read_bytes()
    text = (CORPUS / "long" / "dc.ascii").read_bytes() if CORPUS.is_dir() else b"HEADER\n\"PSFversion\" \"1.00\"\nEND\n"
    files = {
        "psfbin named .dat": ("results.dat", ac),
        "PSF ASCII named .txt": ("out.txt", text),
        "HEADER alone": ("header", b"HEADER"),
        "HEADER and a word": ("headerx", b"HEADERS\n"),
        "footer 4 bytes off": ("shifted", ac[:-12] + pb.u32(0) + pb.MAGIC),
        "netCDF": ("x.nc", b"CDF\x01" + bytes(60)),
        "empty": ("empty.psf", b""),
    }
    out = {}
    for key, (name, data) in files.items():
        (tmp_path / name).write_bytes(data)
        out[key] = tmp_path / name
    out["folder"] = tmp_path
    out["missing"] = tmp_path / "missing.psf"
    out["str path"] = str(out["psfbin named .dat"])
    out["bytes path"] = os.fsencode(out["psfbin named .dat"])
    out["file object"] = io.BytesIO(ac)
    return out


@pytest.mark.parametrize(
    "case, expected",
    [("psfbin named .dat", True), ("PSF ASCII named .txt", True), ("HEADER alone", True), ("str path", True),
     ("HEADER and a word", False), ("footer 4 bytes off", False), ("netCDF", False), ("empty", False),
     ("folder", False), ("missing", False), ("bytes path", False), ("file object", False)],
)  # fmt: skip
def test_guess_can_open_looks_at_the_bytes(tmp_path, case, expected):
    target = odd_files(tmp_path)[case]
    assert karvo.xarray_backend.KarvoBackendEntrypoint().guess_can_open(target) is expected
    if expected and case != "HEADER alone":
        # The installed entry point lets xarray choose the engine by itself.
        assert xr.open_dataset(target).load().identical(karvo.to_xarray(read_psf(target)))


@pytest.mark.parametrize(
    "drop", ["out.R1", ["freq", "out.total"], ("no such name",)], ids=["str", "coordinate-and-member", "unknown"]
)
def test_drop_variables(drop):
    path = ROOT / "examples" / "rc_noise.psf"
    ds = xr.open_dataset(path, engine="karvo", drop_variables=drop)
    names = [drop] if isinstance(drop, str) else drop
    want = karvo.to_xarray(read_psf(path)).drop_vars(names, errors="ignore")
    assert ds.load().identical(want)


def test_a_file_replaced_after_opening_is_not_read_as_the_old_one(tmp_path):
    """The values are read later, by path: a file replaced meanwhile (a
    simulation written again) with other point counts is refused, not read
    into the old shape."""
    path = tmp_path / "tran.psf"
    path.write_bytes((ROOT / "examples" / "rc_tran.psf").read_bytes())
    ds = xr.open_dataset(path, engine="karvo")
    ds.close()  # the cached open file goes: the next read opens the path again
    path.write_bytes((ROOT / "examples" / "rc_ac.psf").read_bytes())
    with pytest.raises(ValueError, match="the file changed since it was opened"):
        ds["out"].load()
