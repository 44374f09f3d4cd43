"""karvo.to_dataframe and karvo.to_xarray, and the lazy imports behind them."""

from __future__ import annotations

import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

import karvo
from karvo.testing import psfbuilder as pb
from karvo import read_psf

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = {name: str(ROOT / "examples" / f"{name}.psf") for name in ("rc_ac", "rc_tran", "rc_dcop", "rc_noise")}
NAN = float("nan")

TYPES = [
    pb.TypeDef(10, "V", pb.FLOAT64),
    pb.TypeDef(11, "Z", pb.COMPLEX),
    pb.struct_type(12, "noise", [("total", pb.FLOAT64), ("R1", pb.FLOAT64)]),
]


def swept(sweeps, traces, points: dict) -> bytes:
    """A swept file; `points` maps a declaration id to its encoded points."""
    n = max((len(p) for p in points.values()), default=0)
    records = [(i, p[k]) for k in range(n) for i, p in points.items() if k < len(p)]
    return pb.build(pb.SWEPT, header=[("PSFversion", "1.00"), ("temp", 27.0), ("runs", 3)],
                    types=TYPES, sweeps=sweeps, traces=traces, value=pb.Swept(records))


def floats(xs) -> list[bytes]:
    return [pb.f64(x) for x in xs]


def same(a, b) -> bool:
    """Equal values and dtype, NaN and -0.0 compared by bits."""
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("where", ["elsewhere", "checkout"])
def test_import_karvo_loads_no_numpy_pandas_or_xarray(tmp_path, where):
    """From the checkout's root too: the sources there must not hide the
    installed package (which alone has the compiled module)."""
    code = "import karvo, sys; print([m for m in ('numpy', 'pandas', 'xarray', 'dask') if m in sys.modules])"
    cwd = ROOT if where == "checkout" else tmp_path
    result = subprocess.run([sys.executable, "-c", code], cwd=cwd, capture_output=True, text=True)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == "[]\n"


def test_the_package_exports_the_adapters():
    namespace: dict = {}
    exec("from karvo import *", namespace)
    assert namespace["to_dataframe"] is karvo.to_dataframe
    assert namespace["to_xarray"] is karvo.to_xarray


@pytest.mark.parametrize(
    "function, module, message",
    [
        ("to_dataframe", "pandas", "to_dataframe needs pandas: pip install 'karvo[pandas]'"),
        ("to_xarray", "xarray", "to_xarray needs xarray: pip install 'karvo[xarray]'"),
    ],
)
def test_missing_dependency_names_the_extra(monkeypatch, function, module, message):
    psf = read_psf(EXAMPLES["rc_ac"])
    monkeypatch.setitem(sys.modules, module, None)  # makes `import module` fail
    with pytest.raises(ImportError) as info:
        getattr(karvo, function)(psf)
    assert str(info.value) == message
    assert isinstance(info.value.__cause__, ImportError)


# ---------------------------------------------------------------- pandas


@pytest.fixture
def pd():
    return pytest.importorskip("pandas")


@pytest.mark.parametrize("name", ["rc_ac", "rc_tran", "rc_noise"])
def test_dataframe_of_the_swept_examples(pd, name):
    psf = read_psf(EXAMPLES[name])
    frame = karvo.to_dataframe(psf)
    (sweep,) = psf.sweeps
    assert frame.index.name == sweep.name
    assert same(frame.index.to_numpy(), sweep.data)
    expected = []
    for t in psf.traces:
        names = t.data.dtype.names
        expected += [(f"{t.name}.{f}", t.data[f]) for f in names] if names else [(t.name, t.data)]
    assert list(frame.columns) == [n for n, _ in expected]
    for k, (_, column) in enumerate(expected):
        assert same(frame.iloc[:, k].to_numpy(), column)
    assert frame.attrs == psf.header


def test_dataframe_keeps_bits_order_and_repeated_names(pd, write):
    """Further sweeps come first as columns; complex stays complex; two
    traces of the same name stay two columns; columns are copies."""
    x = [NAN, -0.0, 1e-300, 2.0]
    path = write(swept(
        [pb.Decl(1, "freq", 10), pb.Decl(2, "step", 10)],
        [pb.Decl(3, "v", 11), pb.Decl(4, "n", 12), pb.Decl(5, "v", 10)],
        {
            1: floats([1.0, 2.0, 3.0, 4.0]),
            2: floats(x),
            3: [pb.c128(complex(a, -a)) for a in x],
            4: [pb.f64(a) + pb.f64(-a) for a in x],
            5: floats([5.0, 6.0, 7.0, 8.0]),
        },
    ))
    psf = read_psf(path)
    frame = karvo.to_dataframe(psf)
    assert frame.index.name == "freq"
    assert list(frame.columns) == ["step", "v", "n.total", "n.R1", "v"]
    step, v, n, v2 = psf.sweeps[1].data, psf.traces[0].data, psf.traces[1].data, psf.traces[2].data
    for k, column in enumerate([step, v, n["total"], n["R1"], v2]):
        assert same(frame.iloc[:, k].to_numpy(), column)
    assert frame.dtypes.iloc[1] == np.complex128
    before = step.copy()
    frame.iloc[0, 0] = 99.0
    assert same(psf.sweeps[1].data, before)


def test_dataframe_without_sweep_has_a_range_index(pd, write):
    path = write(swept([], [pb.Decl(3, "a", 10), pb.Decl(4, "b", 10)], {3: floats([1, 2, 3]), 4: floats([4, 5, 6])}))
    frame = karvo.to_dataframe(read_psf(path))
    assert list(frame.index) == [0, 1, 2]
    assert frame.to_dict("list") == {"a": [1.0, 2.0, 3.0], "b": [4.0, 5.0, 6.0]}


def test_dataframe_refuses_a_trace_of_another_length(pd, write):
    path = write(swept([pb.Decl(1, "freq", 10)], [pb.Decl(3, "a", 10), pb.Decl(4, "b", 10)],
                       {1: floats([1, 2, 3]), 3: floats([1, 2, 3]), 4: floats([1, 2])}))
    with pytest.raises(ValueError) as info:
        karvo.to_dataframe(read_psf(path))
    assert str(info.value) == "'b' has 2 points but 'freq' has 3"


def test_dataframe_of_the_operating_point(pd):
    psf = read_psf(EXAMPLES["rc_dcop"])
    frame = karvo.to_dataframe(psf)
    assert frame.index.name == "name"
    assert list(frame.index) == [v.name for v in psf.values]
    # scalars in "value", struct members in columns of their own, first seen first
    columns = ["value"]
    for v in psf.values:
        if isinstance(v.data, dict):
            columns += [m for m in v.data if m not in columns]
    assert list(frame.columns) == columns
    for v in psf.values:
        row = frame.loc[v.name]
        cells = v.data if isinstance(v.data, dict) else {"value": v.data}
        for column in columns:
            if column in cells:
                assert row[column] == cells[column], (v.name, column)
            else:
                assert pd.isna(row[column]), (v.name, column)


def test_dataframe_of_an_empty_file(pd, write):
    frame = karvo.to_dataframe(read_psf(write(pb.header_only())))
    assert frame.shape == (0, 0)


# ---------------------------------------------------------------- xarray


@pytest.fixture
def xr():
    return pytest.importorskip("xarray")


@pytest.mark.parametrize("name", ["rc_ac", "rc_tran", "rc_noise"])
def test_dataset_of_the_swept_examples(xr, name):
    psf = read_psf(EXAMPLES[name])
    ds = karvo.to_xarray(psf)
    (sweep,) = psf.sweeps
    assert dict(ds.sizes) == {sweep.name: len(sweep.data)}
    assert list(ds.coords) == [sweep.name]
    assert same(ds[sweep.name].values, sweep.data)
    assert ds[sweep.name].attrs == dict(sweep.properties) and sweep.units in ("Hz", "s")
    expected = []
    for t in psf.traces:
        names = t.data.dtype.names
        expected += [(f"{t.name}.{f}", t.data[f], t) for f in names] if names else [(t.name, t.data, t)]
    assert list(ds.data_vars) == [n for n, _, _ in expected]
    for n, column, t in expected:
        assert ds[n].dims == (sweep.name,)
        assert same(ds[n].values, column)
        assert ds[n].attrs == dict(t.properties) and "units" in ds[n].attrs
    assert ds.attrs == psf.header
    assert list(ds.attrs) == list(psf.header)


def test_dataset_with_two_sweeps_and_special_values(xr, write):
    x = [NAN, -0.0, float("inf")]
    path = write(swept(
        [pb.Decl(1, "freq", 10), pb.Decl(2, "step", 10)],
        [pb.Decl(3, "z", 11), pb.Decl(4, "n", 12)],
        {1: floats([1, 2, 3]), 2: floats(x), 3: [pb.c128(complex(a, 1)) for a in x], 4: [pb.f64(a) * 2 for a in x]},
    ))
    psf = read_psf(path)
    ds = karvo.to_xarray(psf)
    assert list(ds.coords) == ["freq", "step"]
    assert ds["step"].dims == ("freq",)
    assert same(ds["step"].values, psf.sweeps[1].data)
    assert list(ds.data_vars) == ["z", "n.total", "n.R1"]
    assert same(ds["z"].values, psf.traces[0].data)
    assert same(ds["n.R1"].values, psf.traces[1].data["R1"])
    assert ds.attrs == {"PSFversion": "1.00", "temp": 27.0, "runs": 3}


def test_dataset_of_the_operating_point(xr):
    psf = read_psf(EXAMPLES["rc_dcop"])
    ds = karvo.to_xarray(psf)
    expected = {}
    for v in psf.values:
        if isinstance(v.data, dict):
            expected.update({f"{v.name}.{m}": x for m, x in v.data.items()})
        else:
            expected[v.name] = v.data
    assert list(ds.data_vars) == list(expected)
    for name, x in expected.items():
        assert ds[name].dims == ()
        assert ds[name].item() == x
    assert ds.attrs == psf.header
    assert ds["in"].attrs["units"] == psf["in"].units == "V"


def test_dataset_without_sweep_uses_a_point_dimension(xr, write):
    path = write(swept([], [pb.Decl(3, "a", 10)], {3: floats([1, 2])}))
    ds = karvo.to_xarray(read_psf(path))
    assert ds["a"].dims == ("point",)
    assert list(ds.coords) == []
    assert ds["a"].values.tolist() == [1.0, 2.0]


@pytest.mark.parametrize(
    "sweeps, traces, points, expected",
    [
        # the swept source saved as a trace too, NaN included: it is the coordinate
        ([pb.Decl(1, "freq", 10)], [pb.Decl(3, "freq", 10), pb.Decl(4, "a", 10)],
         {1: floats([NAN, 1.0]), 3: floats([NAN, 1.0]), 4: floats([5.0, 6.0])}, [("a", 1)]),
        ([pb.Decl(1, "freq", 10)], [pb.Decl(3, "freq", 10)],
         {1: floats([NAN, 1.0]), 3: floats([NAN, 2.0])}, [("freq (trace)", 0)]),
        ([pb.Decl(1, "freq", 10)], [pb.Decl(3, "freq (trace)", 10), pb.Decl(4, "freq", 10)],
         {1: floats([1.0, 2.0]), 3: floats([3.0, 4.0]), 4: floats([1.0, -2.0])},
         [("freq (trace)", 0), ("freq (trace 2)", 1)]),
        ([pb.Decl(1, "freq", 10)], [pb.Decl(3, "v", 10), pb.Decl(4, "v", 10)],
         {1: floats([1.0, 2.0]), 3: floats([3.0, 4.0]), 4: floats([3.0, 4.0])}, [("v", 0), ("v (trace)", 1)]),
        ([pb.Decl(1, "freq", 10)], [pb.Decl(3, "n.R1", 10), pb.Decl(4, "n", 12)],
         {1: floats([1.0, 2.0]), 3: floats([3.0, 4.0]), 4: [pb.f64(5.0) * 2, pb.f64(6.0) * 2]},
         [("n.R1", 0), ("n.total", 1), ("n.R1 (trace)", 2)]),
        ([], [pb.Decl(3, "point", 10)], {3: floats([3.0, 4.0])}, [("point (trace)", 0)]),
    ],
    ids=["sweep-saved-as-trace", "trace-named-like-the-sweep", "renamed-name-taken",
         "two-traces", "field-named-like-a-trace", "trace-named-like-the-dimension"],
)
def test_dataset_gives_repeated_names_names_of_their_own(xr, write, sweeps, traces, points, expected):
    """`expected`: (variable name, position among the trace columns in file order)."""
    psf = read_psf(write(swept(sweeps, traces, points)))
    ds = karvo.to_xarray(psf)
    assert list(ds.coords) == [s.name for s in sweeps]
    assert list(ds.data_vars) == [name for name, _ in expected]
    columns = []
    for t in psf.traces:
        names = t.data.dtype.names
        columns += [t.data[f] for f in names] if names else [t.data]
    for name, k in expected:
        assert same(ds[name].values, columns[k]), name
    if sweeps:
        assert same(ds[sweeps[0].name].values, psf.sweeps[0].data)


@pytest.mark.parametrize("function", ["to_dataframe", "to_xarray", "open_dataset"])
@pytest.mark.parametrize(
    "points, kept, left_out",
    [
        ({1: floats([1, 2, 3]), 3: floats([4, 5, 6])}, ["a"], "'b', 'n.total', 'n.R1'"),
        ({}, ["a", "b", "n.total", "n.R1"], None),
    ],
    ids=["some-points", "no-points"],
)
def test_signals_without_points(pd, xr, write, function, points, kept, left_out):
    """A signal without points cannot share a sweep that has some: it is left
    out, with one warning naming it; when no signal has points, all stay."""
    traces = [pb.Decl(3, "a", 10), pb.Decl(4, "b", 10), pb.Decl(5, "n", 12)]
    path = write(swept([pb.Decl(1, "freq", 10)], traces, points))
    psf = read_psf(path)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if function == "open_dataset":  # through xarray's frames: still this line
            result = xr.open_dataset(path, engine="karvo")
        else:
            result = getattr(karvo, function)(psf)
    n = len(psf.sweeps[0].data)
    if function == "to_dataframe":
        assert (list(result.columns), len(result.index)) == (kept, n)
    else:
        assert (list(result.data_vars), dict(result.sizes)) == (kept, {"freq": n})
    assert [(w.category, str(w.message)) for w in caught] == (
        [] if left_out is None else [(UserWarning, f"{function}: left out {left_out}: no points, while 'freq' has {n}")]
    )
    assert all(w.filename == __file__ for w in caught)


def test_dataset_on_the_corpus_ac_file(xr, corpus):
    path = corpus / "long" / "ac.ac"
    psf = read_psf(path)
    ds = karvo.to_xarray(psf)
    assert list(ds.data_vars) == [t.name for t in psf.traces]
    assert all(same(ds[t.name].values, t.data) for t in psf.traces)
