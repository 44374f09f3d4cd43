"""The type stub of the compiled module: it matches the runtime (stubtest),
ships with the installed package, and lets mypy accept the ordinary uses of
the API and refuse its misuses."""

from __future__ import annotations

import importlib.util
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import karvo

ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")

# Lines marked "# E" must be refused by mypy; all others accepted.
USER_CODE = textwrap.dedent(
    """\
    from __future__ import annotations

    import pathlib

    import numpy as np
    import xarray as xr
    from numpy.typing import NDArray

    import karvo
    import karvo.xarray_backend


    def total(x: NDArray[np.float64]) -> float:
        return float(x.sum())


    psf: karvo.Psf = karvo.read_psf(pathlib.Path("x.psf"))
    psf = karvo.read_psf("x.psf")
    header: dict[str, str | int | float] = psf.header
    sweeps: list[karvo.Sweep] = psf.sweeps
    traces: list[karvo.Trace] = psf.traces
    values: list[karvo.Value] = psf.values
    name: str = psf.traces[0].name
    total(psf.sweeps[0].data)
    noise = psf.traces[0].data["total"]
    data = psf.values[0].data
    if isinstance(data, dict):
        member = data["region"]
        if not isinstance(member, (tuple, np.ndarray)):
            scalar: int | float | complex | str = member
        elements: tuple[str, ...] | np.ndarray = member if isinstance(member, (tuple, np.ndarray)) else ()
    version: str = karvo.__version__
    narrow: dict[str, str] = psf.header  # E
    psf.header = {}  # E
    psf.sweeps = []  # E
    psf.traces[0].data = np.zeros(1)  # E
    psf.values[0].name = "v"  # E
    text: str = psf.values[0].data  # E
    count: int = psf.header["PSF traces"]  # E
    karvo.read_psf(b"x.psf")  # E
    karvo.read_psf(3)  # E
    karvo.read_psf(file="x.psf")  # E
    plots: list[karvo.Psf] = karvo.read_raw(pathlib.Path("x.raw"))
    runs: tuple[karvo.RawRun, ...] = karvo.read_raw_plots("x.raw")[0].runs
    start: int = runs[0].start
    step: dict[str, float | str] = runs[0].parameters
    karvo.read_raw(b"x.raw")  # E
    results: karvo.Results = karvo.open_results(pathlib.Path("runs"), workers=4)
    run: karvo.Run = results.runs[0]
    parameters: dict[str, str | int | float] = run.parameters
    analysis: karvo.Analysis = results.analysis("ac")
    psf = analysis.read()
    status: str | None = analysis.status
    grid = results.to_xarray("ac", pad=True, strict=False)
    karvo.open_results("runs", workers="4")  # E
    results.to_xarray("ac", True)  # E
    lazy = results.to_xarray("ac", chunks={})
    lazy = results.to_xarray("ac", pad=True, chunks={"cap": 2, "res": -1})
    lazy = results.to_xarray("ac", chunks="auto")
    results.to_xarray("ac", chunks="whole")  # E
    results.to_xarray("ac", chunks=2)  # E
    backend = karvo.xarray_backend.KarvoBackendEntrypoint()
    known: bool = backend.guess_can_open(pathlib.Path("x.psf"))
    lazy = backend.open_dataset("x.psf", drop_variables=["out"])
    bw: xr.DataArray = karvo.measure.bandwidth(grid["out"], drop_db=6.0)
    first: NDArray[np.float64] = karvo.measure.cross(np.zeros(3), 0.5, x=np.arange(3.0), edge="either", nth=-1)
    margin: np.ndarray = karvo.measure.phase_margin(np.ones(3, complex), x=[1.0, 2.0, 3.0])
    karvo.measure.cross(np.zeros(3), 0.5, np.arange(3.0))  # E
    karvo.measure.rise_time(grid["out"], strict="yes")  # E
    level: float = karvo.measure.max(grid["out"])  # E


    class Mine(karvo.Trace):  # E
        pass
    """
)


@pytest.fixture(scope="module")
def checks(tmp_path_factory):
    """Runs stubtest and mypy side by side, outside the source tree."""
    work = tmp_path_factory.mktemp("typing")
    (work / "user_code.py").write_text(USER_CODE)
    commands = {
        "stubtest": [sys.executable, "-m", "mypy.stubtest", "karvo._karvo"],
        "mypy": [
            sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
            "--cache-dir", str(work / "cache"), "user_code.py",
        ],
    }
    running = {
        k: subprocess.Popen(c, cwd=work, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        for k, c in commands.items()
    }
    results = {}
    for k, p in running.items():
        out, _ = p.communicate(timeout=300)
        results[k] = (p.returncode, out)
    return results


def test_stubtest_passes(checks):
    code, out = checks["stubtest"]
    assert code == 0, out


def test_mypy_accepts_uses_and_refuses_misuses(checks):
    code, out = checks["mypy"]
    marked = {n for n, line in enumerate(USER_CODE.splitlines(), 1) if line.endswith("# E")}
    flagged = set()
    for line in out.splitlines():
        parts = line.split(":")
        if len(parts) > 2 and parts[0] == "user_code.py" and " error: " in line:
            flagged.add(int(parts[1]))
    assert flagged == marked, out
    assert code == 1, out


def test_stub_and_marker_are_installed():
    package = Path(karvo.__file__).resolve().parent
    assert package != ROOT / "python" / "karvo"
    assert (package / "py.typed").is_file()
    stub = package / "_karvo.pyi"
    assert stub.is_file()
    assert stub.read_bytes() == (ROOT / "python" / "karvo" / "_karvo.pyi").read_bytes()
