"""Families and files as Dask arrays, computed by a cluster of worker
processes: Results.to_xarray(analysis, chunks=...) and
xr.open_mfdataset(..., engine="karvo", parallel=True)."""

from __future__ import annotations

import os
import sys

import numpy as np
import pytest

import karvo
from karvo.testing import resultbuilder as rb
from karvo import read_psf

xr = pytest.importorskip("xarray")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed", reason="distributed is not installed (pip install 'karvo[dask]')")

CAPS = [1e-9 * (1 + k) for k in range(10)]
RES = [100.0 * (1 + k) for k in range(21)]  # 210 runs
FAILED = 17


@pytest.fixture(scope="module")
def study(tmp_path_factory):
    """(results, runs in tree order) of a 10 x 21 study of tiny ac files, one
    run failed."""
    top, runs = rb.study(tmp_path_factory.mktemp("dask") / "study", "numbered", CAPS, RES, failed=FAILED, kinds=("ac",))
    return karvo.open_results(top), runs


@pytest.fixture(scope="module")
def client():
    """Two worker processes of one thread each: everything they compute
    reaches them pickled. Starting them sets variables in this process's
    environment (MALLOC_TRIM_THRESHOLD_, OMP_NUM_THREADS, PYTHONHASHSEED, ...),
    which every later test's subprocesses would inherit: they are put back."""
    environment = dict(os.environ)
    try:
        with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                                      silence_logs=True) as cluster, distributed.Client(cluster) as client:  # fmt: skip
            yield client
    finally:
        os.environ.clear()
        os.environ.update(environment)


def test_a_family_reduced_on_a_cluster_equals_the_serial_result(study, client):
    """One chunk per run file, read by the workers; the failed run is NaN."""
    results, runs = study
    serial = results.to_xarray("ac")
    lazy = results.to_xarray("ac", chunks={})
    out = lazy["out"].data
    assert isinstance(out, da.Array)
    assert out.chunks == ((1,) * len(CAPS), (1,) * len(RES), (serial.sizes["freq"],))
    peak = abs(lazy["out"]).max("freq").compute()
    assert peak.identical(abs(serial["out"]).max("freq"))
    assert np.isnan(peak.sel(runs[FAILED].parameters).item())
    assert list(client.run(lambda: "karvo" in sys.modules).values()) == [True, True]  # both workers read
    assert lazy.compute().identical(serial)


def test_open_mfdataset_in_parallel(study, client):
    """Opened on the workers, sent back as lazy Datasets, concatenated, then
    read on the workers again."""
    _, runs = study
    files = [str(run.files["ac"]) for k, run in enumerate(runs) if k != FAILED]
    ds = xr.open_mfdataset(files, engine="karvo", combine="nested", concat_dim="run", parallel=True)
    assert isinstance(ds["out"].data, da.Array) and ds["out"].data.npartitions == len(files)
    want = xr.concat([karvo.to_xarray(read_psf(f)) for f in files], dim="run")
    assert ds.compute().identical(want)


@pytest.mark.parametrize(
    "chunks, blocks",
    [("auto", ((1, 1), (1, 1, 1))), ({"cap": -1}, ((2,), (1, 1, 1))), ({"res": 2, "cap": 1}, ((1, 1), (2, 1)))],
)
@pytest.mark.parametrize("analysis, pad", [("noise", False), ("tran", True), ("dcOp", False)])
def test_chunks_of_a_family(tmp_path, analysis, pad, chunks, blocks):
    """Struct members, sweeps padded to the longest, operating point values,
    a failed run: what to_xarray gives without chunks, in the blocks asked for."""
    top, _ = rb.study(tmp_path / "study", "numbered", [1e-11, 1e-12], [2000.0, 500.0, 1000.0], failed=4)
    eager_results, lazy_results = karvo.open_results(top), karvo.open_results(top)
    eager = eager_results.to_xarray(analysis, pad=pad)
    lazy = lazy_results.to_xarray(analysis, pad=pad, chunks=chunks)
    for name, variable in lazy.data_vars.items():
        assert variable.chunks == blocks + (() if analysis == "dcOp" else ((variable.shape[-1],),)), name
    assert lazy.compute().identical(eager)
    errors = [run.error for run in lazy_results.runs]
    assert errors == [run.error for run in eager_results.runs] and errors[4] is not None


@pytest.mark.parametrize(
    "chunks, error, message",
    [(2, TypeError, "chunks must be None, 'auto' or a dict"),
     ({"freq": 3}, ValueError, "'freq' is no dimension of the runs or sweep tree"),
     ({"cap": 0}, ValueError, r"chunks\['cap'\] must be a positive int or -1")],
)  # fmt: skip
def test_chunks_refused(tmp_path, chunks, error, message):
    top, _ = rb.study(tmp_path / "study", "numbered", [1.0], [2.0], kinds=("ac",))
    with pytest.raises(error, match=message):
        karvo.open_results(top).to_xarray("ac", chunks=chunks)


def test_chunks_without_dask_name_the_extra(tmp_path, monkeypatch):
    top, _ = rb.study(tmp_path / "study", "numbered", [1.0], [2.0], kinds=("ac",))
    monkeypatch.setitem(sys.modules, "dask", None)
    with pytest.raises(ImportError, match=r"to_xarray\(chunks=...\) needs dask: pip install 'karvo\[dask\]'"):
        karvo.open_results(top).to_xarray("ac", chunks={})
