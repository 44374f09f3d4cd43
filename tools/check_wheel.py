"""Reads the shipped examples with the installed karvo: the check every wheel
passes on the machine that builds it (cibuildwheel's test command).

    python tools/check_wheel.py examples

Values are compared with the formulas examples/make_examples.py wrote them
from; errors must be the OSError subclasses Python itself picks on the
system (on Windows from the Win32 code)."""

from __future__ import annotations

import math
import os
import pickle
import sys
from pathlib import Path

import numpy as np

import karvo

folder = Path(sys.argv[1])
R, C = 1e3, 1e-9
POLE = 1 / (2 * math.pi * R * C)

ac = karvo.read_psf(folder / "rc_ac.psf")
freq = np.array([10 ** (3 + k / 10) for k in range(41)])
assert [s.name for s in ac.sweeps] == ["freq"] and [t.name for t in ac.traces] == ["in", "out"]
assert ac["out"].data.dtype == np.complex128 and ac["out"].units == "V"
assert np.allclose(ac["freq"].data, freq, rtol=1e-15)
assert np.allclose(ac["out"].data, 1 / (1 + 1j * freq / POLE), rtol=1e-15)

tran = karvo.read_psf(folder / "rc_tran.psf")
time = np.arange(200) * (R * C / 20)
assert np.allclose(tran["time"].data, time, rtol=1e-15)
assert np.allclose(tran["out"].data, 1 - np.exp(-time / (R * C)), rtol=1e-14, atol=1e-16)

noise = karvo.read_psf(folder / "rc_noise.psf")
out = noise["out"].data
assert out.dtype.names == ("total", "R1", "R2") and len(out) == 21
assert np.all(out["R1"] == 4e-21 * R)

dcop = karvo.read_psf(folder / "rc_dcop.psf")
assert {v.name: v.data for v in dcop.values} == {
    "in": 1.0,
    "out": 0.5,
    "R1": {"v": 0.5, "i": 0.5 / R, "pwr": 0.5 * 0.5 / R, "region": 2},
    "solver": {"iterations": 7, "method": "newton"},
}

# A folder cannot be opened on Windows (as with open()); elsewhere it opens
# and cannot be mapped.
folder_error = PermissionError if os.name == "nt" else IsADirectoryError
for path, kind, verb in [(folder / "missing.psf", FileNotFoundError, "open"), (folder, folder_error, None)]:
    try:
        karvo.read_psf(path)
    except kind as error:
        verb = verb or ("open" if os.name == "nt" else "mmap")
        assert str(error).startswith(f"cannot {verb} {path}: "), str(error)
        assert error.filename == str(path)
        assert type(pickle.loads(pickle.dumps(error))) is kind
    else:
        raise AssertionError(f"reading {path} did not raise {kind.__name__}")

print(f"karvo {karvo.__version__}: the examples read, errors as expected ({karvo._karvo.__file__})")
