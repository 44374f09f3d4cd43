"""Result folders: karvo.open_results, families and the karvo command on
folders built here (one run, a netlist sweep tree, studies in both front-end
layouts with a failed run and a damaged file) and on the corpus's real ones."""

from __future__ import annotations

import concurrent.futures
import csv
import multiprocessing
import pickle
import importlib.util
import io
import json
import os
import shutil
import subprocess
import sys
import threading
import time
import types

import numpy as np
import pytest

import karvo
from karvo.testing import resultbuilder as rb
from karvo import read_psf
from karvo.cli import main
from conftest import ROOT
from karvo.results import _family, _reading, _sweeptree

CAPS = [1e-11, 1e-12]  # not in order: coordinates are sorted by value
RES = [2000.0, 500.0, 1000.0]
FAILED, DAMAGED = 1, 4  # positions in tree order


def same(a, b) -> bool:
    """Same dtype, shape and bits (NaN and -0.0 included); objects (text) equal."""
    a, b = np.asarray(a), np.asarray(b)
    if a.dtype == object and b.dtype == object:
        return a.shape == b.shape and a.tolist() == b.tolist()
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def read_error(path) -> Exception:
    try:
        read_psf(path)
    except (OSError, ValueError) as e:
        return e
    raise AssertionError(f"{path} was read")


@pytest.fixture(params=["numbered", "named"])
def study(request, tmp_path):
    """(top folder, runs in tree order) of a cap x res study (VDC1 x VDC2 when named)."""
    return rb.study(tmp_path / "study", request.param, CAPS, RES, failed=FAILED, damaged=DAMAGED)


# ---------------------------------------------------------------- folders and runs


def test_study_runs_come_from_the_tree(study):
    """Parameters in tree order from the PROP blocks (the run numbers and
    folder names say otherwise), the run's own folder, its status."""
    top, built = study
    results = karvo.open_results(top)
    # In tree order: the runObjFile lists them in another (as front ends write it).
    assert [run.parameters for run in results.runs] == [b.parameters for b in built]
    assert results.parameters == list(built[0].parameters)
    for run, b in zip(results.runs, built):
        assert os.path.samefile(run.path, b.folder)
        assert os.path.dirname(next(iter(run.analyses.values())).file) == run.path
        # The named layout (an older front end) leaves no .simDone: its logStatus tells.
        assert run.status == ("failed" if b.broken == "failed" else "passed")
        assert run.error is None  # nothing read yet
        assert run.variables == b.parameters  # the run's own variables_file
    assert list(results.analyses) == ["ac-ac", "noise-noise", "tran-tran", "dcOp-dc"]
    assert results.finished
    names = list(built[0].parameters)
    assert results.variables == {names[0]: CAPS[-1], names[1]: RES[-1]}  # the study's own, not a run's


def family_in_child(results):
    return results.to_xarray("ac")


def test_results_repr_with_and_pickling(study):
    top, built = study
    with karvo.open_results(top) as results:
        names = list(built[0].parameters)
        assert repr(results) == (
            f"<Results {results.path!r} runs=6 parameters={names!r} "
            "analyses=['ac-ac', 'noise-noise', 'tran-tran', 'dcOp-dc']>"
        )
        want = results.to_xarray("ac")  # reads and keeps each run's Psf
    back = pickle.loads(pickle.dumps(results))
    assert repr(back) == repr(results)
    assert [(r.name, r.parameters, r.status, r.error) for r in back.runs] == [
        (r.name, r.parameters, r.status, r.error) for r in results.runs
    ]
    # What was read travels as paths: the unpickled one reads its files anew,
    # in a fresh process too.
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
        got = pool.submit(family_in_child, results).result()
    assert got.identical(want) and back.to_xarray("ac").identical(want)


@pytest.mark.parametrize("layout", ["single", "numbered", "named"])
def test_open_results_from_any_folder_of_a_result(tmp_path, layout):
    if layout == "single":
        psf = rb.single_run(tmp_path / "run")
        entries = [tmp_path / "run", psf, psf / "logFile"]
    else:
        top, _ = rb.study(tmp_path / "s", layout, [1.0], [2.0, 3.0])
        psf = top / "psf" / "test" / "psf" if layout == "numbered" else top / "psf"
        entries = [top, psf, psf / "runObjFile"]
    for entry in entries:
        results = karvo.open_results(entry)
        assert os.path.samefile(results.path, psf), entry
        assert len(results.runs) == (1 if layout == "single" else 2)


@pytest.mark.parametrize(
    "case, error, message",
    [
        ("empty", FileNotFoundError, "no logFile or runObjFile in it or in psf/, */psf/, psf/*/psf/"),
        ("two runs", ValueError, "{path} holds several result folders ({path}/a/psf, {path}/b/psf); open one"),
        ("a run beside a run folder", ValueError, "{path} holds several result folders ({path}/psf, {path}/b/psf)"),
        ("a study beside a run", ValueError, "{path} holds several result folders ({path}/psf, {path}/psf/test/psf)"),
        ("a data file", ValueError, "is a file, not a result folder"),
    ],
)
def test_open_results_refuses(tmp_path, case, error, message):
    """A folder holding several results is not taken for the first found
    (the run folders of a study found are not others: see the test above)."""
    path = tmp_path
    if case == "two runs":
        rb.single_run(tmp_path / "a")
        rb.single_run(tmp_path / "b")
    elif case == "a run beside a run folder":
        rb.single_run(tmp_path)
        rb.single_run(tmp_path / "b")
    elif case == "a study beside a run":
        rb.study(tmp_path, "numbered", [1.0], [2.0, 3.0])
        rb.single_run(tmp_path)
    elif case == "a data file":
        path = rb.single_run(tmp_path) / "ac.ac"
    with pytest.raises(error) as refused:
        karvo.open_results(path)
    assert message.format(path=path) in str(refused.value)


@pytest.mark.parametrize(
    "change, status",
    [
        (None, "passed"),
        ("no .simDone", "passed"),  # logStatus ends every analysis
        ("no .simDone, logStatus stops in tran", "unfinished"),
        ("no .simDone or logStatus, the log completes", "passed"),
        ("no .simDone or logStatus, the log stops", "unfinished"),
        ("the log says terminated", "failed"),
        ("a FAIL", "failed"),
        ("no logFile", "missing"),
        ("command line", "passed"),
        ("command line, no log", "unfinished"),
    ],
)
def test_run_status(tmp_path, change, status):
    """How a run's status is decided from what its folder holds."""
    psf = rb.single_run(tmp_path)
    kinds = ["ac", "noise", "tran", "dcOp"]
    if change is not None and change.startswith("no .simDone"):
        (psf / ".simDone").unlink()
        if "stops in tran" in change:
            (psf / "logStatus").write_text(rb.log_status(kinds[:3], started=["tran"]))
        elif "or logStatus" in change:
            (psf / "logStatus").unlink()
            (psf / "spectre.out").write_text(rb.simulator_log("completed" if "completes" in change else "cut"))
    elif change == "the log says terminated":
        (psf / "spectre.out").write_text(rb.simulator_log("terminated"))
    elif change == "a FAIL":
        (psf / "logStatus").write_text(rb.log_status(kinds, failed=["tran"]))
    elif change == "no logFile":
        (psf / "logFile").unlink()
    elif change is not None and change.startswith("command line"):
        psf = rb.command_line_run(tmp_path / "cli", end=None if "no log" in change else "completed")
    results = karvo.open_results(psf)
    (run,) = results.runs
    assert run.status == status
    assert results.finished == (status != "unfinished")
    if change == "no logFile":
        assert run.error == str(read_error(psf / "logFile"))
        assert results.analyses == {}
    elif change is not None and change.startswith("command line"):
        assert {a.status for a in results.analyses.values()} == {None} and results.variables == {}
    elif change in (None, "no .simDone", "the log says terminated", "a FAIL"):
        expected = {"ac-ac": "passed", "noise-noise": "passed", "dcOp-dc": "passed"}
        expected["tran-tran"] = "failed" if change == "a FAIL" else "passed"
        assert {a.name: a.status for a in results.analyses.values()} == expected


def test_analyses_of_a_run(tmp_path):
    psf = rb.single_run(tmp_path)
    results = karvo.open_results(tmp_path)
    entries = {v.name: v for v in read_psf(psf / "logFile").values}
    assert list(results.analyses) == list(entries)
    for name, a in results.analyses.items():
        data = entries[name].data
        assert (a.name, a.kind, a.file, a.description, a.sweep_variables, a.parent) == (
            name, data["analysisType"], str(psf / data["dataFile"]), data["description"], data["sweepVariable"], None
        )
        assert a.properties == dict(entries[name].properties)
    ac = results.analysis("ac")
    assert ac.read() is ac.read()
    assert same(ac.read()["out"].data, read_psf(psf / "ac.ac")["out"].data)
    assert results.variables == {"r": 1e3, "c": 1e-9, "temp": 27.0}


@pytest.mark.parametrize("whose", ["the study's", "a run's", "the run's own"])
def test_variables_file_that_cannot_be_read(tmp_path, whose):
    """A variables_file that cannot be read is said in one UserWarning naming
    it; its variables are empty, never another run's."""
    if whose == "the run's own":
        psf = rb.single_run(tmp_path)
        broken, top = psf / "variables_file", tmp_path
    else:
        top, built = rb.study(tmp_path / "s", "numbered", CAPS, RES)
        broken = (top / "psf" / "test" / "psf" if whose == "the study's" else built[1].folder) / "variables_file"
    broken.write_text(broken.read_text().replace(" ) PROP( )", " PROP( )", 1))  # a value left open
    e = read_error(broken)
    message = str(e) if str(broken) in str(e) else f"{broken}: {e}"
    with pytest.warns(UserWarning) as caught:
        results = karvo.open_results(top)
    assert [str(w.message) for w in caught] == [
        f"cannot read the design variables: {message}; Results.variables is empty" if whose != "a run's" else
        f"cannot read the design variables of run {results.runs[1].name!r}: {message}; its Run.variables is empty"
    ]
    assert caught[0].filename == __file__
    if whose == "a run's":
        assert results.runs[1].variables == {} and results.runs[0].variables == built[0].parameters
        assert results.variables == {"cap": CAPS[-1], "res": RES[-1]}
    else:
        assert results.variables == {} and all(run.variables == {} for run in results.runs if run.path == broken.parent)


def test_analysis_names(tmp_path):
    """Entry names, short names of top entries, and what cannot be resolved."""
    analyses = dict(rb.rc(1e3, 1e-9, 5))
    analyses["td"] = (rb.Entry("pss-td.pss", "td.pss", "pss.td.pss", sweep=("time",)), None)
    analyses["fd"] = (rb.Entry("pss-fd.pss", "fd.pss", "pss.fd.pss", sweep=("freq",)), None)
    rb.write_run(tmp_path, analyses, {})
    results = karvo.open_results(tmp_path)
    for name, full in [("ac", "ac-ac"), ("ac-ac", "ac-ac"), ("dcOp", "dcOp-dc"), ("pss-fd.pss", "pss-fd.pss")]:
        assert results.analysis(name).name == full
    with pytest.raises(KeyError, match="'pss' names several analyses: 'pss-td.pss', 'pss-fd.pss'"):
        results.analysis("pss")
    with pytest.raises(KeyError, match="no analysis 'tarn' in .* \\(close matches: 'tran'"):
        results.to_xarray("tarn")


# ---------------------------------------------------------------- families


@pytest.mark.parametrize("analysis", ["ac", "noise", "dcOp"])
def test_family_holds_each_run_as_read_alone(study, analysis):
    """Complex, struct (trace.field) and operating point values; dimensions
    sorted by value; the failed run and the damaged ac file are NaN."""
    top, built = study
    ds = karvo.open_results(top).to_xarray(analysis)
    names = list(built[0].parameters)
    assert list(ds.dims)[:2] == names
    for name in names:
        assert ds[name].values.tolist() == sorted({b.parameters[name] for b in built})
    for b in built:
        cell = ds.sel(b.parameters)
        if b.broken == "failed" or (b.broken == "damaged" and analysis == "ac"):
            assert all(np.isnan(cell[v].values).all() for v in cell.data_vars)
            # ac is marked failed in logStatus; the noise file and dcOp are not there.
            why = "unreadable" if b.broken == "damaged" else "failed" if analysis == "ac" else "missing"
            assert cell["status"].item() == why
            continue
        assert cell["status"].item() == "read"
        alone = karvo.to_xarray(read_psf(b.files[analysis]))
        assert list(cell.data_vars) == list(alone.data_vars)
        for v in alone.data_vars:
            expected = alone[v].values
            assert same(cell[v].values, expected.astype(float) if expected.dtype.kind == "i" else expected), v
            assert cell[v].attrs == alone[v].attrs
        assert ds.attrs == alone.attrs


def test_failed_damaged_and_missing_runs_are_reported(study, tmp_path):
    top, built = study
    shutil.rmtree(built[-1].folder)  # a run whose folder is gone
    results = karvo.open_results(top)
    assert results.runs[-1].status == "missing"
    assert np.isnan(results.to_xarray("noise")["out.total"].sel(built[-1].parameters).values).all()
    for run, b in zip(results.runs, built):
        if b is built[-1]:
            assert run.error == str(read_error(os.path.join(run.path, "logFile")))
        elif b.broken == "failed":
            assert run.error == str(read_error(b.files["noise"]))
        else:
            assert run.error is None
    results.to_dataframe("ac")
    e = read_error(built[DAMAGED].files["ac"])
    assert results.runs[DAMAGED].error == f"{built[DAMAGED].files['ac']}: {e}"
    with pytest.raises(FileNotFoundError, match="noise.noise"):
        results.to_xarray("noise", strict=True)
    top, built = rb.study(tmp_path / "damaged", "numbered", CAPS, RES, damaged=DAMAGED)
    results = karvo.open_results(top)
    with pytest.raises(ValueError) as refused:
        results.to_dataframe("ac", strict=True)
    assert str(refused.value) == f"run {results.runs[DAMAGED].name!r}: {built[DAMAGED].files['ac']}: {e}"
    results.to_dataframe("noise", strict=True)


@pytest.mark.parametrize("chunks", [None, {}], ids=["eager", "lazy"])
@pytest.mark.parametrize(
    "cause, status, message",
    [
        ("wrong kind", "unreadable", "{file}: holds values, while the family's files hold sweeps"),
        ("wrong sweep", "unreadable", "{file}: its sweep is 'time', while the family's files sweep 'freq'"),
        ("failed", "failed", "{file}: not read, since logStatus marks analysis 'tran-tran' failed"),
        ("damaged", "unreadable", None),
        ("missing file", "missing", None),
        ("no logFile", "missing", None),
    ],
)
def test_strict_raises_for_every_run_not_read(tmp_path, cause, status, message, chunks):
    """Whatever keeps a run out of a family (a logFile entry naming an
    operating point or another sweep, a FAIL in logStatus although a file is
    there, a damaged or missing file or logFile): without strict its cells are NaN and the
    status says why, in the grid, the lazy grid and the long form; with
    strict it raises."""
    k = 2
    analysis = "ac" if cause in ("wrong kind", "wrong sweep", "damaged") else "tran"
    top, built = rb.study(tmp_path / "s", "numbered", CAPS, RES, wrong=k if cause.startswith("wrong") else None,
                          wrong_with="tran" if cause == "wrong sweep" else "dcOp",
                          failed=k if cause == "failed" else None, damaged=k if cause == "damaged" else None)
    file = built[k].files[analysis]
    if cause == "missing file":
        file.unlink()
    elif cause == "no logFile":
        (built[k].folder / "logFile").unlink()
    if message is None:
        e = read_error(built[k].folder / "logFile" if cause == "no logFile" else file)
        message = str(e) if str(file) in str(e) or cause == "no logFile" else f"{file}: {e}"
    message = message.format(file=file)
    results = karvo.open_results(top)
    pad = analysis == "tran"
    ds = results.to_xarray(analysis, pad=pad, chunks=chunks).compute()
    where = built[k].parameters
    assert ds["status"].sel(where).item() == status
    assert (ds["status"] == "read").sum().item() == len(built) - 1
    assert all(np.isnan(ds[v].sel(where).values).all() for v in ds.data_vars)
    assert results.runs[k].error == message
    long = results.long_form(analysis)
    assert [u.message for u in long.unread] == [message] and long.unread[0].status == status
    (column,) = [c for name, c in long.columns if name == "status"]
    assert sorted(set(column.tolist())) == sorted({"read", status})
    kind = FileNotFoundError if cause in ("missing file", "no logFile") else ValueError
    with pytest.raises(kind) as refused:
        karvo.open_results(top).to_xarray(analysis, pad=pad, strict=True, chunks=chunks)
    if kind is ValueError:
        assert str(refused.value) == f"run {results.runs[k].name!r}: {message}"


def test_sweeps_of_different_lengths(study):
    """Never aligned silently: the long form holds every run, the grid says
    why it cannot and pads on request."""
    top, built = study
    results = karvo.open_results(top)
    good = [b for b in built if b.broken != "failed"]
    files = {id(b): read_psf(b.files["tran"]) for b in good}
    lengths = [len(files[id(b)].sweeps[0].data) for b in good]
    with pytest.raises(ValueError) as refused:
        results.to_xarray("tran")
    for part in ["to_xarray('tran')", f"({min(lengths)} to {max(lengths)} points)", "to_dataframe('tran')",
                 "to_xarray('tran', pad=True)"]:
        assert part in str(refused.value)

    padded = results.to_xarray("tran", pad=True)
    assert list(padded.dims) == [*built[0].parameters, "point"] and padded.sizes["point"] == max(lengths)
    long = results.to_dataframe("tran")
    assert len(long) == sum(lengths) + 1  # the failed run is one row of NaN
    names = list(built[0].parameters)
    for b in built:
        rows = long[(long[names[0]] == b.parameters[names[0]]) & (long[names[1]] == b.parameters[names[1]])]
        cell = padded.sel(b.parameters)
        if b.broken == "failed":
            assert len(rows) == 1 and rows[["time", "in", "out"]].isna().all(axis=None)
            assert np.isnan(cell["out"].values).all()
            continue
        psf = files[id(b)]
        n = len(psf["time"].data)
        for name in ["time", "in", "out"]:
            assert same(rows[name].to_numpy(), psf[name].data), name
            assert same(cell[name].values[:n], psf[name].data) and np.isnan(cell[name].values[n:]).all(), name


@pytest.mark.parametrize("props", [True, False], ids=["values-in-prop", "values-in-parent-files"])
def test_netlist_sweep_tree(tmp_path, monkeypatch, props):
    """Nested sweeps inside one run: a dimension per sweep variable, outer to
    inner, values from the parents' files: the leaves' PROP blocks print
    them with six digits (3.66667; 2.0 and 2.0000001 both 2.00000), each is
    the file's value it was printed from. (The parents' values beyond a
    head of one are new: the distinct values are then taken from the whole.)"""
    monkeypatch.setattr(_sweeptree, "HEAD", 1)
    va, vb = [1.0, 0.0, 11 / 3], [3.0, 2.0, 2.0000001]
    leaves = rb.netlist_sweep(tmp_path / "run" / "psf", va, vb, props=props)
    results = karvo.open_results(tmp_path / "run")
    ds = results.to_xarray("sweep1_dc1")
    assert list(ds.dims) == ["va", "vb", "v1"]
    assert (ds["va"].values.tolist(), ds["vb"].values.tolist()) == (sorted(va), sorted(vb))
    for leaf in leaves:
        alone = read_psf(leaf.file)
        assert same(ds["v1"].values, alone["v1"].data)
        for trace in alone.traces:
            assert same(ds[trace.name].sel(leaf.values).values, trace.data), (leaf.values, trace.name)
    long = results.to_dataframe("sweep1_dc1")
    assert set(long.pop("status")) == {"read"} and (ds["status"] == "read").all()
    assert long.set_index(["va", "vb", "v1"]).to_xarray().identical(ds.drop_vars("status").drop_attrs())
    if not props:
        # The sweep run again with other values: the same Results reads the parents' files anew (their
        # times set later, as a rerun's are: a rewrite within one tick of the file system's clock keeps them).
        va = [1.0, 0.25, 11 / 3]
        rb.netlist_sweep(tmp_path / "run" / "psf", va, vb, props=False)
        later = os.stat(leaves[0].file).st_mtime_ns + 10**9
        for parent in (tmp_path / "run" / "psf").glob("*.sweep"):
            os.utime(parent, ns=(later, later))
        assert results.to_xarray("sweep1_dc1")["va"].values.tolist() == sorted(va)



def test_grid_and_long_form_are_what_the_dataset_and_frame_are_made_of(study):
    """Results.grid and long_form: the families as NumPy arrays (what the
    command line exports); unequal sweeps raise an error carrying what
    differs, worded for the caller."""
    top, built = study
    results = karvo.open_results(top)
    grid, ds = results.grid("ac"), results.to_xarray("ac")
    assert [*grid.coords, *grid.variables] == [*ds.coords, *ds.data_vars] and grid.attrs == ds.attrs
    for name, (dims, data, attrs) in {**grid.coords, **grid.variables}.items():
        assert dims == ds[name].dims and same(data, ds[name].values) and attrs == ds[name].attrs, name
    assert ds["status"].dtype == np.asarray(ds["status"].values.tolist()).dtype  # text as xarray makes it of a list
    # The Dataset is made without xarray's merging and with indexes made directly: it is the one its public
    # constructor makes, text (corner names), whole numbers and float32 among the coordinates too.
    import dataclasses

    import xarray as xr
    from karvo.results import _dataset

    first, second = ds["status"].dims
    other = {**grid.coords, first: ((first,), np.array(["ss", "tt", "ff"][: ds.sizes[first]], dtype=object), {}),
             second: ((second,), np.arange(ds.sizes[second], dtype=np.int64), {"units": "Ohm"})}  # fmt: skip
    other["freq"] = (other["freq"][0], other["freq"][1].astype(np.float32), other["freq"][2])
    for made, g in ((ds, grid), (None, dataclasses.replace(grid, coords=other))):
        made = _dataset(xr, g) if made is None else made
        public = xr.Dataset(g.variables, coords=g.coords, attrs=g.attrs)
        assert made.identical(public) and list(made.variables) == list(public.variables)
        assert list(made.xindexes) == list(public.xindexes)
        for d in made.xindexes:
            mine, theirs = made.xindexes[d], public.xindexes[d]
            assert mine.equals(theirs) and mine.index.dtype == theirs.index.dtype, d
            assert mine.index.name == theirs.index.name and mine.coord_dtype == theirs.coord_dtype, d
    long, frame = results.long_form("tran"), results.to_dataframe("tran")
    assert [name for name, _ in long.columns] == list(frame.columns) and long.attrs == frame.attrs
    assert all(same(data, frame[name].to_numpy()) for name, data in long.columns)
    lengths = [len(read_psf(b.files["tran"]).sweeps[0].data) for b in built if b.broken != "failed"]
    with pytest.raises(ValueError) as refused:
        results.grid("tran")
    e = refused.value
    assert (e.analysis, e.axis, e.lengths) == ("tran", "time", (min(lengths), max(lengths)))
    assert str(e).startswith("grid('tran'): the 'time' sweeps") and "long_form('tran')" in str(e)

def test_family_is_the_same_from_any_number_of_threads_and_allocations(study, monkeypatch):
    top, _ = study
    serial = karvo.open_results(top, workers=1).to_xarray("noise")
    assert karvo.open_results(top, workers=3).to_xarray("noise").identical(serial)
    with monkeypatch.context() as m:
        m.setattr(_family, "SHARED_BLOCK_BYTES", 0)  # each variable an allocation of its own
        alone = karvo.open_results(top).to_xarray("noise")
        assert alone.identical(serial) and not any(v.values.base is not None for v in alone.data_vars.values())
    monkeypatch.setattr(_reading, "THREADS_FROM_BYTES", 0)  # these small files on the pool too
    for workers in (3, 2, 4):  # the pool is shared, and grows
        assert karvo.open_results(top, workers=workers).to_xarray("noise").identical(serial)
    for workers, error in [(0, ValueError), ("2", TypeError)]:
        with pytest.raises(error, match="workers"):
            karvo.open_results(top, workers=workers)


def test_threads_read_only_where_they_pay(tmp_path, monkeypatch):
    """Files smaller together than THREADS_FROM_BYTES, and catalogs, are read
    on the calling thread; larger ones on at most `workers` threads of one
    pool, the outcomes in the order of the paths."""
    paths = []
    for k in range(12):
        paths.append(str(tmp_path / f"{k}.psf"))
        with open(paths[-1], "wb") as f:
            f.write(b"x" * 1000)
    lock, running, most, threads = threading.Lock(), [0], [0], set()

    def read(path):
        with lock:
            running[0] += 1
            most[0] = max(most[0], running[0])
            threads.add(threading.current_thread())
        time.sleep(0.002)
        with lock:
            running[0] -= 1
        if path.endswith("3.psf"):
            raise ValueError("damaged")
        return path

    def outcomes(whole=True):
        threads.clear()
        out = _reading.read_all(paths, 3, False, "", read, whole)
        assert [str(x) if isinstance(x, ValueError) else x for x in out] == [
            "damaged" if p.endswith("3.psf") else p for p in paths]  # fmt: skip
        return set(threads)

    assert outcomes() == {threading.current_thread()}
    monkeypatch.setattr(_reading, "THREADS_FROM_BYTES", 12000)
    assert threading.current_thread() not in outcomes() and most[0] <= 3
    pool = _reading._pool
    outcomes()
    assert _reading._pool is pool  # one pool, not one per call
    assert outcomes(whole=False) == {threading.current_thread()}


@pytest.mark.parametrize("progress", [True, False])
def test_progress_bar(study, monkeypatch, progress):
    """tqdm's bar, when asked for: one step per file read, closed at the end."""
    top, built = study
    seen = []

    class Bar:
        def __init__(self, total, initial=0, **_):
            self.total, self.n = total, initial

        def update(self, n):
            self.n += n

        def close(self):
            seen.append((self.total, self.n))

    monkeypatch.setitem(sys.modules, "tqdm", types.SimpleNamespace(tqdm=Bar))
    monkeypatch.setattr(_reading, "PROGRESS_DELAY", 0.0)
    karvo.open_results(top, progress=progress, workers=2).to_xarray("noise")
    assert seen == ([(len(built), len(built))] if progress else [])


# ---------------------------------------------------------------- the command


def test_info_of_a_study(study, capsys):
    top, built = study
    assert main(["info", "--json", str(top)]) == 0
    info = json.loads(capsys.readouterr().out)
    assert [r["parameters"] for r in info["runs"]] == [b.parameters for b in built]
    assert [r["status"] for r in info["runs"]] == [run.status for run in karvo.open_results(top).runs]
    assert [a["name"] for a in info["analyses"]] == ["ac-ac", "noise-noise", "tran-tran", "dcOp-dc"]
    assert main(["info", str(top)]) == 0
    text = capsys.readouterr().out.splitlines()
    assert f"  runs: {len(built)}, parameters {', '.join(built[0].parameters)}" in text
    rows = text[text.index(f"  runs: {len(built)}, parameters {', '.join(built[0].parameters)}") + 2 :]
    for row, run in zip(rows, info["runs"]):
        assert row.split()[0] == run["name"] and run["status"] in row.split()


@pytest.mark.parametrize("fmt", ["csv", "npz", "nc"])
def test_export_of_a_study(study, tmp_path, capsys, fmt):
    """What could be read is written, the runs that could not are NaN, each
    reported as PATH: message, and the exit status is 1."""
    top, built = study
    if fmt == "nc" and not any(importlib.util.find_spec(m) for m in ("netCDF4", "scipy")):
        pytest.skip("neither netCDF4 nor scipy is installed")
    out = tmp_path / f"ac.{fmt}"
    assert main(["export", str(top), "--analysis", "ac", "-o", str(out)]) == 1
    results = karvo.open_results(top)
    failed = f"{built[FAILED].files['ac']}: not read, since logStatus marks analysis 'ac-ac' failed"
    damaged = f"{built[DAMAGED].files['ac']}: {read_error(built[DAMAGED].files['ac'])}"
    assert capsys.readouterr() == ("", f"{failed}\n{damaged}\n")
    if fmt == "csv":
        long = results.to_dataframe("ac")
        rows = list(csv.reader(io.StringIO(out.read_text())))
        columns = [c for name in long.columns for c in ([f"{name}.re", f"{name}.im"] if long[name].dtype.kind == "c"
                                                        else [name])]
        assert rows[0] == columns and len(rows) == len(long) + 1
        for name in long.columns:
            if name == "status":
                assert [r[columns.index(name)] for r in rows[1:]] == long[name].tolist()
                continue
            parts = [long[name].to_numpy().real, long[name].to_numpy().imag] if long[name].dtype.kind == "c" else [
                long[name].to_numpy()]
            for part, column in zip(parts, [c for c in columns if c.split(".")[0] == name]):
                assert same([float(r[columns.index(column)]) for r in rows[1:]], part), column
        return
    ds = results.to_xarray("ac")
    if fmt == "npz":
        archive = np.load(out)
        assert archive.files == [*ds.coords, *ds.data_vars]
        assert archive["status"].tolist() == ds["status"].values.tolist()  # text, not pickled objects
        for name in archive.files:
            assert name == "status" or same(archive[name], ds[name].values), name
        return
    import xarray as xr

    with xr.open_dataset(out) as back:
        for name in ds.data_vars:
            assert same(back[f"{name}.re"].values + 1j * back[f"{name}.im"].values, ds[name].values)
        assert back["freq"].attrs == ds["freq"].attrs
        assert back["status"].values.tolist() == ds["status"].values.tolist()


@pytest.mark.parametrize(
    "args, status, message",
    [
        ([], 2, "karvo: {top} is a result folder: name the analysis to export with --analysis NAME"),
        (["--analysis", "tran", "--to", "npz", "-o", "{out}"], 1, "{top}: 'tran': the 'time' sweeps of its runs "
         "differ in length (8 to 23 points), so they share no 'time' coordinate; export it --to csv (the long "
         "form), or with --pad to pad the shorter ones with NaN along a 'point' dimension"),
        (["--analysis", "sweep"], 1, "{top}: no analysis 'sweep' in {index}"),
    ],
    ids=["no-analysis", "needs-pad", "unknown-analysis"],
)
def test_export_of_a_study_refused(study, tmp_path, capsys, args, status, message):
    top, _ = study
    out = tmp_path / "out.npz"
    index = karvo.open_results(top).path
    assert main(["export", str(top), *[a.format(out=out) for a in args]]) == status
    captured = capsys.readouterr()
    assert (captured.out, captured.err) == ("", message.format(top=top, index=index) + "\n")
    assert not out.exists()


def test_the_example_study_is_what_make_examples_writes(tmp_path):
    """The docs work on examples/rc_study: it must not fall behind the builder."""
    subprocess.run([sys.executable, ROOT / "examples" / "make_examples.py", "--out", tmp_path], check=True, capture_output=True)
    shipped = ROOT / "examples" / "rc_study"
    files = sorted(p.relative_to(tmp_path / "rc_study") for p in (tmp_path / "rc_study").rglob("*") if p.is_file())
    assert files == sorted(p.relative_to(shipped) for p in shipped.rglob("*") if p.is_file())
    for f in files:
        assert (tmp_path / "rc_study" / f).read_bytes() == (shipped / f).read_bytes(), f


# ---------------------------------------------------------------- the corpus


def test_parametric_study_of_the_corpus(corpus):
    top = corpus / "runs" / "tran_dc_ac_param"
    results = karvo.open_results(top)
    # Tree order: cap outer, res inner (runs 1 to 9); the runObjFile lists them res outer.
    assert [os.path.relpath(run.path, top) for run in results.runs] == [f"{n}/test/psf" for n in range(1, 10)]
    index = {v.name: v.data["value"] for v in read_psf(top / "psf" / "test" / "psf" / "variables_file").values}
    assert results.variables == index and results.finished
    ds = results.to_xarray("ac")
    assert dict(ds.sizes) == {"cap": 3, "res": 3, "freq": 51}
    assert (ds["status"] == "read").all()
    for run in results.runs:
        design = {v.name: v.data["value"] for v in read_psf(os.path.join(run.path, "variables_file")).values}
        assert run.parameters == {"cap": design["cap"], "res": design["res"]}
        assert run.variables == design and run.status == "passed"
        alone = read_psf(os.path.join(run.path, "ac.ac"))
        assert same(ds["freq"].values, alone["freq"].data)
        for trace in alone.traces:
            assert same(ds[trace.name].sel(run.parameters).values, trace.data), (run.name, trace.name)
    with pytest.raises(ValueError, match="'time' sweeps of its runs differ in length .*pad=True"):
        results.to_xarray("tran")
    long = results.to_dataframe("tran")
    assert len(long) == sum(len(read_psf(os.path.join(r.path, "tran.tran.tran"))["time"].data) for r in results.runs)


def test_periodic_ac_tree_of_the_corpus(corpus):
    psf = corpus / "runs" / "pss_run" / "pss" / "psf"
    ds = karvo.open_results(corpus / "runs" / "pss_run").to_xarray("pac")
    assert dict(ds.sizes) == {"harmonic": 15, "freq": 501} and len(ds.data_vars) == 25
    assert ds["harmonic"].values.tolist() == list(range(-7, 8))
    for h in range(-7, 8):
        alone = read_psf(psf / f"pac.{h}.pac")
        for trace in alone.traces:
            assert same(ds[trace.name].sel(harmonic=h).values, trace.data), (h, trace.name)


@pytest.mark.parametrize(
    "removed, status",
    [((".simDone",), "passed"), ((".simDone", "logStatus"), "passed"), ((".simDone", "spectre.out"), "passed"),
     ((".simDone", "logStatus", "spectre.out"), "unfinished")],
)
def test_status_of_real_runs_without_simdone(corpus, tmp_path, removed, status):
    """A real run's index files without the front end's .simDone (as a
    command-line or older-front-end run leaves them): its logStatus, or the
    simulator's closing line in spectre.out, says that it completed."""
    real = corpus / "runs" / "pss_run" / "pss" / "psf"
    for name in ["logFile", "logStatus", "spectre.out", "variables_file", "runObjFile", ".simDone"]:
        if name not in removed:
            shutil.copyfile(real / name, tmp_path / name)
    results = karvo.open_results(tmp_path)
    assert [run.status for run in results.runs] == [status]
    assert results.finished == (status == "passed")
    assert karvo.open_results(real).runs[0].status == "passed"

