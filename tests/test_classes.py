"""The result classes Psf, Sweep, Trace and Value as Python sees them."""

from __future__ import annotations

import copy
import gc
import pickle
import weakref

import numpy as np

import pytest

import karvo
from conftest import load_seeds
from karvo.testing import psfbuilder as pb
from karvo.testing.psfbuilder import Decl, Entry, TypeDef, c128, f64
from karvo import Psf, Sweep, Trace, Value, read_psf

CLASSES = {"Psf": Psf, "Sweep": Sweep, "Trace": Trace, "Value": Value}

# CPython type flags
HAVE_GC = 1 << 14
BASETYPE = 1 << 10

DOCS = {
    "Psf": "A parsed psfbin or PSF ASCII file.\n\n"
    "`psf[name]` is the Sweep, Trace or Value of that name, as `karvo.open(path)[name]`\n"
    "gives it; a Sweep or Trace behaves as its array.",
    "Sweep": "A swept independent axis (e.g. frequency). `data` is a `float64` numpy array.\n\n"
    "It behaves as that array: np.asarray(sweep) is `data`; NumPy functions,\n"
    "len(), indexing and arithmetic give NumPy results.",
    "Trace": "\n".join(
        [
            "A swept output trace. `data` is a numpy array: flat traces are `float64[N]`",
            "or `complex128[N]` (`dtype.names is None`); struct traces (noise) are a",
            "structured array of shape `(N,)` with one named float64 field per",
            "contribution (`dtype.names is not None`).",
            "",
            "It behaves as that array: np.asarray(trace) is `data`; NumPy functions",
            "(np.abs(trace)), len(), indexing and arithmetic give NumPy results.",
        ]
    ),
    "Value": "\n".join(
        [
            "A non-swept result (a `dc` operating point). `data` is a Python scalar",
            "(`float`/`int`/`complex`/`str`) for a scalar value, an array value as a",
            "`tuple` of `str` or a numpy array of numbers, or a `dict` of",
            "`{field: scalar or array}` for a struct-typed value (e.g. `dcOpInfo` per-device",
            "operating points, whose members mix `float64` with an `Int8` region field).",
            "",
            "Where `data` is a number or an array of numbers, the Value converts as it",
            "(float(), int(), complex(), np.asarray) and takes part in arithmetic.",
        ]
    ),
}

ATTRIBUTE_DOCS = [
    (Psf, "header", "The HEADER property list as a dict (string / int / float values)."),
    (Psf, "sweeps", "The sweep axes (empty for non-swept `dc`)."),
    (Psf, "traces", "The output traces (empty for non-swept `dc`)."),
    (Psf, "values", "The non-swept scalar values (empty for swept analyses)."),
    (Sweep, "name", ""),
    (Trace, "name", ""),
    (Value, "name", ""),
    (Sweep, "data", "The sweep samples as a numpy `float64[N]` array."),
    (Trace, "data", "The trace samples as a numpy array (`float64[N]` or `complex128[N]`)."),
    (Value, "data", "The value: a Python scalar, or a `dict` for a struct-typed value."),
    (Psf, "path", "The path of the file it was read from, as given to the reader (a str)."),
    (Trace, "shape", "The shape of `data`: (points,)."),
    (Sweep, "dtype", "The dtype of `data`."),
]

ATTRIBUTES = {
    "Psf": ["header", "sweeps", "traces", "values", "path"],
    "Sweep": ["name", "data", "properties", "units", "shape", "dtype", "ndim", "size"],
    "Trace": ["name", "data", "properties", "units", "shape", "dtype", "ndim", "size"],
    "Value": ["name", "data", "properties", "units"],
}


def swept_file(sweep_name="freq", trace_names=("V(out)", "onoise")) -> bytes:
    types = [
        TypeDef(1, "float", pb.FLOAT64),
        TypeDef(2, "complex", pb.COMPLEX),
        pb.struct_type(3, "noise", [("total", pb.FLOAT64), ("rd", pb.FLOAT64)]),
    ]
    points = {
        10: [f64(1.0), f64(2.0)],
        11: [c128(1 + 2j), c128(3 + 4j)],
        12: [f64(0.5) + f64(0.25), f64(0.75) + f64(0.125)],
    }
    return pb.build(
        pb.SWEPT,
        header=[("PSFversion", "1.00"), ("analysis", "ac")],
        types=types,
        sweeps=[Decl(10, sweep_name, 1)],
        traces=[Decl(11, trace_names[0], 2), Decl(12, trace_names[1], 3)],
        value=pb.Swept(pb.swept_records(points, [10, 11, 12])),
    )


def nonswept_file(names=("vdd", "M1", "title")) -> bytes:
    types = [
        TypeDef(1, "float", pb.FLOAT64),
        TypeDef(2, "string", pb.STRING),
        pb.struct_type(3, "op", [("region", pb.INT8), ("vgs", pb.FLOAT64)]),
    ]
    entries = [
        Entry(20, names[0], 1, f64(1.8)),
        Entry(21, names[1], 3, pb.int8(2) + f64(0.7)),
        Entry(22, names[2], 2, pb.string("op point")),
    ]
    return pb.build(pb.NONSWEPT, header=[("analysis", "dc")], types=types, value=pb.NonSwept(entries))


@pytest.fixture
def swept(write):
    return read_psf(write(swept_file()))


@pytest.fixture
def nonswept(write):
    return read_psf(write(nonswept_file()))


@pytest.fixture
def instances(swept, nonswept):
    """One instance of each class."""
    return {"Psf": swept, "Sweep": swept.sweeps[0], "Trace": swept.traces[0], "Value": nonswept.values[0]}


# ---------------------------------------------------------------- the types


@pytest.mark.parametrize("name", CLASSES)
def test_type_names(name):
    cls = CLASSES[name]
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("name", CLASSES)
def test_instances_have_the_exported_types(instances, name):
    assert type(instances[name]) is CLASSES[name]


@pytest.mark.parametrize("name", CLASSES)
def test_docstrings(name):
    assert CLASSES[name].__doc__ == DOCS[name]


@pytest.mark.parametrize("name", CLASSES)
@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1,), {}), (("a", None), {}), ((), {"name": "x"}), ((1, 2, 3), {"data": 4})],
)
def test_cannot_be_instantiated(name, args, kwargs):
    with pytest.raises(TypeError) as info:
        CLASSES[name](*args, **kwargs)
    assert info.value.args == (f"cannot create 'builtins.{name}' instances",)


@pytest.mark.parametrize("name", CLASSES)
def test_dunder_new_refuses_too(name):
    cls = CLASSES[name]
    with pytest.raises(TypeError) as info:
        cls.__new__(cls)
    assert info.value.args == (f"cannot create 'builtins.{name}' instances",)


@pytest.mark.parametrize("name", CLASSES)
def test_cannot_be_subclassed(name):
    cls = CLASSES[name]
    assert not cls.__flags__ & BASETYPE
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", CLASSES)
def test_no_instance_dict_and_no_weakrefs(instances, name):
    cls, obj = CLASSES[name], instances[name]
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize("name", CLASSES)
def test_not_tracked_by_the_garbage_collector(instances, name):
    assert not CLASSES[name].__flags__ & HAVE_GC
    assert not gc.is_tracked(instances[name])


@pytest.mark.parametrize("cls, attr, doc", ATTRIBUTE_DOCS, ids=[f"{c.__name__}.{a}" for c, a, _ in ATTRIBUTE_DOCS])
def test_attribute_docstrings(cls, attr, doc):
    descriptor = cls.__dict__[attr]
    assert type(descriptor).__name__ == "getset_descriptor"
    assert getattr(cls, attr).__doc__ == doc


@pytest.mark.parametrize(
    "name, attr", [(n, a) for n, attrs in ATTRIBUTES.items() for a in attrs + ["extra"]]
)
def test_attributes_are_read_only(instances, name, attr):
    obj = instances[name]
    with pytest.raises(AttributeError):
        setattr(obj, attr, None)
    with pytest.raises(AttributeError):
        delattr(obj, attr)


@pytest.mark.parametrize("name", CLASSES)
def test_protocols_of_their_own(instances, name):
    # A Psf is a mapping of names, a signal a sequence of its points (both
    # below); a Value is neither. Comparisons stay those of objects.
    obj = instances[name]
    if name == "Value":
        with pytest.raises(TypeError):
            len(obj)
        with pytest.raises(TypeError):
            iter(obj)
    with pytest.raises(TypeError):
        obj < obj  # noqa: B015
    assert (obj == obj) is True and hash(obj) == hash(obj)


# ---------------------------------------------------------------- attributes


@pytest.mark.parametrize("attr", ["sweeps", "traces", "values"])
@pytest.mark.parametrize("kind", ["swept", "nonswept"])
def test_lists_are_new_on_each_access(request, kind, attr):
    psf = request.getfixturevalue(kind)
    first, second = getattr(psf, attr), getattr(psf, attr)
    assert type(first) is list
    assert first is not second
    assert len(first) == len(second)
    assert all(a is b for a, b in zip(first, second))
    kept = list(first)
    first.append("extra")
    second.clear()
    again = getattr(psf, attr)
    assert len(again) == len(kept) and all(a is b for a, b in zip(again, kept))


def test_list_contents_and_types(swept, nonswept):
    assert [type(s) for s in swept.sweeps] == [Sweep]
    assert [type(t) for t in swept.traces] == [Trace, Trace]
    assert swept.values == []
    assert [s.name for s in swept.sweeps] == ["freq"]
    assert [t.name for t in swept.traces] == ["V(out)", "onoise"]
    assert nonswept.sweeps == [] and nonswept.traces == []
    assert [type(v) for v in nonswept.values] == [Value, Value, Value]
    assert [v.name for v in nonswept.values] == ["vdd", "M1", "title"]


def test_stored_objects_are_returned_themselves(swept, nonswept):
    assert swept.header is swept.header
    assert swept.sweeps[0].data is swept.sweeps[0].data
    assert swept.traces[1].data is swept.traces[1].data
    struct_value = nonswept.values[1]
    assert struct_value.data is struct_value.data
    assert type(struct_value.name) is str


def test_stored_objects_are_mutable_and_shared(swept, nonswept):
    swept.header["added"] = 1
    assert swept.header["added"] == 1
    nonswept.values[1].data["vgs"] = -1.0
    assert nonswept.values[1].data == {"region": 2, "vgs": -1.0}
    swept.sweeps[0].data[0] = 42.0
    assert swept.sweeps[0].data[0] == 42.0


def test_value_data(nonswept):
    vdd, m1, title = nonswept.values
    assert type(vdd.data) is float and vdd.data == 1.8
    assert type(m1.data) is dict and list(m1.data.items()) == [("region", 2), ("vgs", 0.7)]
    assert type(title.data) is str and title.data == "op point"


def test_header_dict(write):
    header = [("a", "x"), ("b", 7), ("a", 2.5), ("c", -7)]
    psf = read_psf(write(pb.header_only(header)))
    assert type(psf.header) is dict
    assert list(psf.header.items()) == [("a", 2.5), ("b", 7), ("c", -7)]


def test_identity_semantics(write):
    path = write(nonswept_file())
    one, two = read_psf(path), read_psf(path)
    assert one == one and one != two
    assert hash(one) == hash(one)
    assert one.values[0] != two.values[0]
    assert one.values[0].name == two.values[0].name and one.values[0].data == two.values[0].data


# ---------------------------------------------------------------- lookup by name


def named_file() -> bytes:
    """A dc sweep whose source is saved as a trace too, a trace repeated, and
    names that differ only slightly."""
    types = [TypeDef(1, "float", pb.FLOAT64)]
    points = {10: [f64(0.0), f64(1.0)], 11: [f64(5.0), f64(6.0)], 12: [f64(7.0), f64(8.0)], 13: [f64(9.0)] * 2}
    return pb.build(
        pb.SWEPT,
        types=types,
        sweeps=[Decl(10, "vin", 1)],
        traces=[Decl(11, "vin", 1), Decl(12, "out", 1), Decl(13, "out", 1)],
        value=pb.Swept(pb.swept_records(points, [10, 11, 12, 13])),
    )


def test_lookup_by_name(write, nonswept):
    psf = read_psf(write(named_file()))
    # The trace of a name wins over the sweep; the first of two traces wins.
    assert psf["vin"] is psf.traces[0] and psf.sweeps[0].name == "vin"
    assert psf["out"] is psf.traces[1]
    assert list(psf) == list(psf.keys()) == ["vin", "out"] and len(psf) == 2
    assert "out" in psf and "OUT" not in psf and 3 not in psf
    assert psf.get("out") is psf.traces[1] and psf.get("x") is None and psf.get("x", 0) == 0
    assert [nonswept[n].data for n in ("vdd", "title")] == [1.8, "op point"]
    assert list(nonswept) == ["vdd", "M1", "title"]


@pytest.mark.parametrize("opener", [read_psf, karvo.open], ids=["Psf", "PsfFile"])
@pytest.mark.parametrize(
    "key, args",
    [("ou", ("'ou' (close matches: 'out')",)), ("nothing like it", ("nothing like it",)), (3, (3,)), (None, (None,)),
     (("out",), (("out",),))],
)  # fmt: skip
def test_missing_name_raises_key_error_with_close_matches(write, opener, key, args):
    # The key is the error's one argument, whatever it is (a tuple too).
    psf = opener(write(named_file()))
    with pytest.raises(KeyError) as info:
        psf[key]
    assert info.value.args == args


# ---------------------------------------------------------------- properties and units


def test_properties_and_units(write):
    types = [
        TypeDef(1, "V", pb.FLOAT64, props=[("units", "V"), ("key", "node"), ("tolerance", 1e-6)]),
        TypeDef(2, "plain", pb.FLOAT64),
        TypeDef(3, "op", pb.STRUCT, [TypeDef(30, "x", pb.FLOAT64)], props=[("units", "W"), ("n", 2)]),
    ]
    swept = pb.build(
        pb.SWEPT,
        types=types,
        sweeps=[Decl(10, "t", 2, props=[("units", "s")])],
        traces=[Decl(11, "a", 1), Decl(12, "b", 1), Decl(13, "c", 1, props=[("units", "mV"), ("own", 7)])],
        value=pb.Swept(pb.swept_records({i: [f64(1.0)] for i in (10, 11, 12, 13)}, [10, 11, 12, 13])),
    )
    psf = read_psf(write(swept))
    t, (a, b, c) = psf.sweeps[0], psf.traces
    assert (dict(t.properties), t.units) == ({"units": "s"}, "s")
    assert dict(a.properties) == {"units": "V", "key": "node", "tolerance": 1e-6} and a.units == "V"
    # The declaration's own list follows its type's; a repeated name keeps the later value.
    assert list(c.properties.items()) == [("units", "mV"), ("key", "node"), ("tolerance", 1e-6), ("own", 7)]
    # A type's list is one mapping, shared by its signals; it cannot be changed.
    assert a.properties is b.properties
    with pytest.raises(TypeError):
        a.properties["units"] = "A"
    values = pb.build(
        pb.NONSWEPT,
        types=types,
        value=pb.NonSwept([Entry(20, "p", 3, f64(2.0), props=[("units", 5)]), Entry(21, "q", 2, f64(1.0))]),
    )
    p, q = read_psf(write(values)).values
    # A units property that is not text is not a unit.
    assert (dict(p.properties), p.units) == ({"units": 5, "n": 2}, None)
    assert (dict(q.properties), q.units) == ({}, None)


# ---------------------------------------------------------------- repr


def test_psf_repr(write):
    assert repr(read_psf(write(swept_file(), "ac1.ac"))) == "<Psf 'ac1.ac' sweeps=1 traces=2 values=0>"
    assert repr(read_psf(write(nonswept_file(), "op"))) == "<Psf 'op' sweeps=0 traces=0 values=3>"
    assert repr(read_psf(write(pb.header_only(), "h"))) == "<Psf 'h' sweeps=0 traces=0 values=0>"
    # The base name, as a str's repr shows it.
    assert repr(read_psf(write(pb.header_only(), "it's é"))).startswith("<Psf \"it's é\" sweeps=0")


def test_psf_repr_counts_many(write):
    entries = [Entry(100 + i, f"v{i}", 1, f64(i)) for i in range(12)]
    data = pb.build(pb.NONSWEPT, types=[TypeDef(1, "float", pb.FLOAT64)], value=pb.NonSwept(entries))
    assert repr(read_psf(write(data, "x"))) == "<Psf 'x' sweeps=0 traces=0 values=12>"


def test_child_reprs(write):
    types = [
        TypeDef(1, "float", pb.FLOAT64, props=[("units", "Hz")]),
        TypeDef(2, "complex", pb.COMPLEX, props=[("units", 'V"')]),
        pb.struct_type(3, "noise", [("total", pb.FLOAT64), ("rd", pb.FLOAT64)]),
    ]
    points = {10: [f64(1.0)] * 51, 11: [c128(1j)] * 51, 12: [f64(0.5) + f64(0.25)] * 51}
    psf = read_psf(write(pb.build(
        pb.SWEPT,
        types=types,
        sweeps=[Decl(10, "f", 1)],
        traces=[Decl(11, "vo", 2), Decl(12, "n", 3)],
        value=pb.Swept(pb.swept_records(points, [10, 11, 12])),
    )))
    want = [
        '<Sweep name="f" points=51 dtype=float64 units="Hz">',
        '<Trace name="vo" points=51 dtype=complex128 units="V\\"">',
        '<Trace name="n" points=51 dtype=struct fields=2>',
    ]
    signals = psf.sweeps + psf.traces
    assert [repr(s) for s in signals] == want
    # The same once the arrays exist.
    for s in signals:
        s.data  # noqa: B018
    assert [repr(s) for s in signals] == want
    assert [repr(v) for v in read_psf(write(nonswept_file())).values] == [
        '<Value name="vdd" data=1.8>',
        '<Value name="M1" fields=2>',
        "<Value name=\"title\" data='op point'>",
    ]


@pytest.mark.parametrize(
    "name, shown",
    [('a"b\tc', r'a\"b\tc'), ("it's", "it's"), ('"', r"\""), ("\t\t", r"\t\t")],
)
def test_child_repr_quotes_and_escapes(write, name, shown):
    psf = read_psf(write(swept_file(sweep_name=name, trace_names=(name + "1", name + "2"))))
    assert repr(psf.sweeps[0]) == f'<Sweep name="{shown}" points=2 dtype=float64>'
    assert repr(psf.traces[0]) == f'<Trace name="{shown}1" points=2 dtype=complex128>'
    values = read_psf(write(nonswept_file(names=(name, "b", "c")))).values
    assert repr(values[0]) == f'<Value name="{shown}" data=1.8>'
    assert psf.sweeps[0].name == name


@pytest.mark.parametrize("name", CLASSES)
def test_str_is_repr(instances, name):
    obj = instances[name]
    assert str(obj) == repr(obj)
    assert f"{obj}" == repr(obj)


# ---------------------------------------------------------------- lifetime


def test_children_outlive_their_psf(write):
    psf = read_psf(write(swept_file()))
    sweep, (flat, noise) = psf.sweeps[0], psf.traces
    header = psf.header
    del psf
    gc.collect()
    assert sweep.name == "freq" and list(sweep.data) == [1.0, 2.0]
    assert list(flat.data) == [1 + 2j, 3 + 4j]
    assert list(noise.data["rd"]) == [0.25, 0.125]
    assert header == {"PSFversion": "1.00", "analysis": "ac"}


def test_values_and_data_outlive_their_owners(write):
    psf = read_psf(write(nonswept_file()))
    value = psf.values[1]
    del psf
    data = value.data
    name = value.name
    del value
    gc.collect()
    assert name == "M1"
    assert data == {"region": 2, "vgs": 0.7}


def test_array_outlives_its_trace(write):
    psf = read_psf(write(swept_file()))
    array = psf.traces[0].data
    del psf
    gc.collect()
    assert list(array) == [1 + 2j, 3 + 4j]


# ---------------------------------------------------------------- as arrays


@pytest.mark.parametrize("which", ["sweep", "flat", "struct"])
def test_signals_behave_as_their_arrays(swept, which):
    obj = {"sweep": swept.sweeps[0], "flat": swept.traces[0], "struct": swept.traces[1]}[which]
    data = obj.data
    assert np.asarray(obj) is data
    assert (obj.shape, obj.dtype, obj.ndim, obj.size, len(obj)) == (data.shape, data.dtype, 1, 2, 2)
    assert [x for x in obj] == list(data)
    assert type(obj[1:]) is np.ndarray and obj[1:].tolist() == data[1:].tolist()
    if which == "struct":
        assert obj["rd"].tolist() == [0.25, 0.125]
        return
    assert obj[-1] == data[-1]
    for got, want in [
        (abs(obj), np.abs(data)),
        (np.abs(obj), np.abs(data)),
        (-obj, -data),
        (obj + 1, data + 1),
        (1 - obj, 1 - data),
        (obj * obj, data * data),
        (2 / obj, 2 / data),
        (obj**2, data**2),
        (2**obj, 2**data),
        (np.ones(2) + obj, np.ones(2) + data),
        (obj @ obj, data @ data),
    ]:
        assert type(got) in (np.ndarray, np.float64, np.complex128)
        np.testing.assert_array_equal(got, want)


def test_signals_without_points_are_still_true(write):
    # `if psf.get(name):` asks whether the file has the signal, as before signals had a length.
    psf = read_psf(write(load_seeds()["swept_no_records"]))
    assert [(len(s), bool(s)) for s in psf.sweeps + psf.traces] == [(0, True), (0, True)]


@pytest.mark.parametrize(
    "kwargs, copied",
    [
        ({}, False),
        ({"copy": None}, False),
        ({"copy": True}, True),
        ({"copy": False}, False),
        ({"dtype": np.complex128, "copy": False}, False),
        ({"dtype": np.complex64}, True),
        ({"dtype": np.complex64, "copy": True}, True),
        ({"dtype": np.complex64, "copy": False}, ValueError),
    ],
)
def test_array_protocol_copy_semantics(swept, kwargs, copied):
    trace = swept.traces[0]
    if copied is ValueError:  # NumPy 2's rule: copy=False never copies
        with pytest.raises(ValueError, match="Unable to avoid copy"):
            np.array(trace, **kwargs)
        with pytest.raises(ValueError, match="Unable to avoid copy"):
            trace.__array__(**kwargs)
        return
    for got in (trace.__array__(**kwargs), np.array(trace, **kwargs) if "copy" in kwargs else np.asarray(trace, **kwargs)):
        assert (got is trace.data) is not copied
        assert np.shares_memory(got, trace.data) is not copied
        assert got.tolist() == trace.data.astype(got.dtype).tolist()


def test_array_protocol_numpy1_calls(swept):
    # NumPy 1 calls __array__() or __array__(dtype), positionally.
    trace = swept.traces[0]
    assert trace.__array__() is trace.data
    converted = trace.__array__(np.dtype(np.complex64))
    assert converted.dtype == np.complex64 and converted.tolist() == [1 + 2j, 3 + 4j]
    with pytest.raises(TypeError):
        trace.__array__(np.float64, True, 3)


def test_values_convert_where_numeric(write):
    vdd, m1, title = read_psf(write(nonswept_file())).values
    assert (float(vdd), int(vdd), complex(vdd)) == (1.8, 1, 1.8 + 0j)
    assert (vdd * 2, 2 - vdd, abs(-vdd)) == (3.6, 2 - 1.8, 1.8)
    got = np.asarray(vdd)
    assert got.shape == () and got.dtype == np.float64 and got == 1.8
    assert np.asarray(vdd, dtype=np.float32).dtype == np.float32
    with pytest.raises(ValueError, match="Unable to avoid copy"):  # a scalar becomes an array: a copy
        np.array(vdd, copy=False)
    for other in (m1, title):
        for convert in (float, int, complex, np.asarray, lambda v: v + 1, lambda v: -v):
            with pytest.raises(TypeError):
                convert(other)


def test_plotting_and_pandas_take_signals(swept):
    pd = pytest.importorskip("pandas")
    sweep, trace = swept.sweeps[0], swept.traces[0]
    frame = pd.DataFrame({"f": sweep, "v": abs(trace)})
    assert frame["f"].tolist() == [1.0, 2.0] and frame["v"].tolist() == np.abs(trace.data).tolist()
    assert pd.Series(trace).tolist() == [1 + 2j, 3 + 4j]
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots()
    try:
        (line,) = ax.plot(sweep, abs(trace))
        assert line.get_xdata().tolist() == [1.0, 2.0]
    finally:
        plt.close(fig)


# ---------------------------------------------------------------- pickling


def same(a, b):
    """Whether two results hold the same: names, data (bit for bit), properties."""
    if type(a) is not type(b) or repr(a) != repr(b):
        return False
    if isinstance(a, Psf):
        return a.path == b.path and a.header == b.header and all(
            same(x, y) for x, y in zip(a.sweeps + a.traces + a.values, b.sweeps + b.traces + b.values)
        )
    if dict(a.properties) != dict(b.properties) or a.name != b.name:
        return False
    if isinstance(a, Value):
        return pickle.dumps(a.data) == pickle.dumps(b.data)
    return a.data.dtype == b.data.dtype and a.data.tobytes() == b.data.tobytes()


@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
@pytest.mark.parametrize("kind", ["swept", "nonswept"])
def test_pickle_round_trips(request, kind, protocol):
    psf = request.getfixturevalue(kind)
    for obj in [psf, *psf.sweeps, *psf.traces, *psf.values]:
        back = pickle.loads(pickle.dumps(obj, protocol))
        assert back is not obj and same(back, obj)
        assert copy.deepcopy(obj) is not obj and same(copy.deepcopy(obj), obj)
    back = pickle.loads(pickle.dumps(psf, protocol))
    assert [back[name] for name in back] == back.sweeps + back.traces + back.values
    with pytest.raises(TypeError):  # read-only again
        (back.traces or back.values)[0].properties["units"] = "A"


def read_in_child(path):
    psf = read_psf(path)
    return psf, psf.traces[0]


def test_pickles_cross_processes(write):
    import concurrent.futures
    import multiprocessing

    path = write(swept_file())
    context = multiprocessing.get_context("spawn")  # a fresh interpreter, nothing inherited
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
        psf, trace = pool.submit(read_in_child, path).result()
    assert same(psf, read_psf(path)) and same(trace, psf.traces[0])


@pytest.mark.parametrize(
    "function, args",
    [
        ("_rebuild_named", ("Psf", "x", np.zeros(1), {})),
        ("_rebuild_named", ("Trace", "x", [1.0], {})),
        ("_rebuild_named", ("Sweep", "x", np.zeros((1, 1)), {})),
        ("_rebuild_named", ("Value", "x", 1.0, None)),
        ("_rebuild_named", ("Value", b"x", 1.0, {})),
        ("_rebuild_psf", (None, {}, ("not a sweep",), (), ())),
        ("_rebuild_psf", (None, {}, (), (), [])),
        ("_rebuild_psf", (3, {}, (), (), ())),
    ],
)
def test_pickles_of_other_contents_are_refused(function, args):
    with pytest.raises(TypeError):
        getattr(karvo._karvo, function)(*args)
