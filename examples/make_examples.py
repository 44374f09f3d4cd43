"""Writes the small example files shipped in this folder.

    python examples/make_examples.py [--out FOLDER]    (default: this folder)

The files are made with the test suite's psfbin writer (karvo.testing.psfbuilder),
so they follow the same format as the files simulators write:
    rc_ac.psf    an ac sweep: frequency and two complex node voltages
    rc_tran.psf  a transient in windowed frames: time and two node voltages
    rc_dcop.psf  an operating point: scalars and per-device structs
    rc_noise.psf a noise sweep with a struct trace of noise contributions
    rc_study/    the result folder of a parametric study of an RC low-pass over
                 cap and res (2 x 3 runs), laid out as a simulator's front end
                 leaves it: runs in N/test/psf/, the run tree in
                 psf/test/psf/runObjFile; each run has an ac, a transient
                 (of its own length) and a dc operating point
"""

import argparse
import math
import shutil
from pathlib import Path

from karvo.testing.psfbuilder import (
    COMPLEX,
    FLOAT64,
    INT8,
    INT32,
    NONSWEPT,
    STRING,
    SWEPT,
    WINDOWED,
    Decl,
    Entry,
    Group,
    NonSwept,
    Swept,
    TypeDef,
    Windowed,
    build,
    c128,
    f64,
    struct_type,
    swept_records,
    u32,
    windowed_frames,
)
from karvo.testing.resultbuilder import study

HERE = Path(__file__).resolve().parent

R, C = 1e3, 1e-9  # an RC low-pass filter
NODE = [("key", "node"), ("units", "V")]  # the properties simulators give node voltages
POLE = 1 / (2 * math.pi * R * C)


def header(analysis: str) -> list:
    return [
        ("PSFversion", "1.00"),
        ("simulator", "karvo-example"),
        ("analysis type", analysis),
        ("temp", 27.0),
        ("PSF sweep points", 0),
    ]


def ac() -> bytes:
    freqs = [10 ** (3 + k / 10) for k in range(41)]
    out = [1 / (1 + 1j * f / POLE) for f in freqs]
    points = {1: [f64(f) for f in freqs], 2: [c128(1 + 0j) for _ in freqs], 3: [c128(v) for v in out]}
    return build(
        SWEPT,
        header=header("ac"),
        types=[TypeDef(10, "sweep", FLOAT64), TypeDef(11, "V", COMPLEX, props=NODE)],
        sweeps=[Decl(1, "freq", 10, props=[("units", "Hz")])],
        traces=[Decl(2, "in", 11), Decl(3, "out", 11)],
        value=Swept(swept_records(points, [1, 2, 3])),
    )


def tran() -> bytes:
    tau = R * C
    times = [k * tau / 20 for k in range(200)]
    vin = [1.0 for _ in times]
    vout = [1 - math.exp(-t / tau) for t in times]
    return build(
        WINDOWED,
        header=header("tran"),
        types=[TypeDef(10, "time", FLOAT64, props=[("units", "s")]), TypeDef(11, "V", FLOAT64, props=NODE)],
        sweeps=[Decl(1, "time", 10)],
        traces=[Group(4, "nodes", [Decl(2, "in", 11), Decl(3, "out", 11)])],
        value=Windowed(windowed_frames([times, vin, vout], 64)),
    )


def dcop() -> bytes:
    resistor = struct_type(20, "resistor", [("v", FLOAT64), ("i", FLOAT64), ("pwr", FLOAT64), ("region", INT8)])
    counts = struct_type(21, "stats", [("iterations", INT32), ("method", STRING)])
    v, i = 0.5, 0.5 / R
    res = f64(v) + f64(i) + f64(v * i) + u32(2)
    stats = u32(7) + b"\0\0\0\x06newton\0\0"
    return build(
        NONSWEPT,
        header=header("dc"),
        types=[TypeDef(10, "V", FLOAT64, props=NODE), resistor, counts],
        value=NonSwept(
            [
                Entry(1, "in", 10, f64(1.0)),
                Entry(2, "out", 10, f64(0.5)),
                Entry(3, "R1", 20, res),
                Entry(4, "solver", 21, stats),
            ]
        ),
    )


def noise() -> bytes:
    freqs = [10 ** (3 + k / 5) for k in range(21)]
    contrib = struct_type(12, "noise", [("total", FLOAT64), ("R1", FLOAT64), ("R2", FLOAT64)])
    contrib.props = [("units", "V^2/Hz")]
    points = {
        1: [f64(f) for f in freqs],
        2: [f64(2 * 4e-21 * R / (1 + (f / POLE) ** 2)) + f64(4e-21 * R) + f64(4e-21 * R) for f in freqs],
    }
    return build(
        SWEPT,
        header=header("noise"),
        types=[TypeDef(10, "freq", FLOAT64, props=[("units", "Hz")]), contrib],
        sweeps=[Decl(1, "freq", 10)],
        traces=[Decl(2, "out", 12)],
        value=Swept(swept_records(points, [1, 2])),
    )


def rc_study(folder: Path) -> None:
    study(folder, "numbered", [1e-9, 1e-10], [1e3, 2e3, 5e2], kinds=("ac", "tran", "dcOp"))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=Path, default=HERE, help="the folder to write into (default: this one)")
    out = parser.parse_args().out
    out.mkdir(parents=True, exist_ok=True)
    for name, make in [("rc_ac.psf", ac), ("rc_tran.psf", tran), ("rc_dcop.psf", dcop), ("rc_noise.psf", noise)]:
        (out / name).write_bytes(make())
        print("wrote", out / name)
    shutil.rmtree(out / "rc_study", ignore_errors=True)
    rc_study(out / "rc_study")
    print("wrote", out / "rc_study")


if __name__ == "__main__":
    main()
