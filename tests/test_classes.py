"""The result classes Psf, Sweep, Trace and Value as Python sees them."""

from __future__ import annotations

import gc
import weakref

import pytest

import karvo
from karvo.testing import psfbuilder as pb
from karvo.testing.psfbuilder import Decl, Entry, TypeDef, c128, f64
from karvo import Psf, Sweep, Trace, Value, read_psf

CLASSES = {"Psf": Psf, "Sweep": Sweep, "Trace": Trace, "Value": Value}

# CPython type flags
HAVE_GC = 1 << 14
BASETYPE = 1 << 10

DOCS = {
    "Psf": "A parsed psfbin or PSF ASCII file.",
    "Sweep": "A swept independent axis (e.g. frequency). `data` is a `float64` numpy array.",
    "Trace": "\n".join(
        [
            "A swept output trace. `data` is a numpy array: flat traces are `float64[N]`",
            "or `complex128[N]` (`dtype.names is None`); struct traces (noise) are a",
            "structured array of shape `(N,)` with one named float64 field per",
            "contribution (`dtype.names is not None`).",
        ]
    ),
    "Value": "\n".join(
        [
            "A non-swept result (a `dc` operating point). `data` is a Python scalar",
            "(`float`/`int`/`complex`/`str`) for a scalar value, an array value as a",
            "`tuple` of `str` or a numpy array of numbers, or a `dict` of",
            "`{field: scalar or array}` for a struct-typed value (e.g. `dcOpInfo` per-device",
            "operating points, whose members mix `float64` with an `Int8` region field).",
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
]

ATTRIBUTES = {
    "Psf": ["header", "sweeps", "traces", "values"],
    "Sweep": ["name", "data", "properties", "units"],
    "Trace": ["name", "data", "properties", "units"],
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
def test_no_protocols_of_their_own(instances, name):
    obj = instances[name]
    if name != "Psf":  # a Psf is a mapping of names (below)
        with pytest.raises(TypeError):
            len(obj)
        with pytest.raises(TypeError):
            iter(obj)
    with pytest.raises(TypeError):
        obj < obj  # noqa: B015


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


def test_psf_repr(write, swept, nonswept):
    assert repr(swept) == "<Psf sweeps=1 traces=2 values=0>"
    assert repr(nonswept) == "<Psf sweeps=0 traces=0 values=3>"
    assert repr(read_psf(write(pb.header_only()))) == "<Psf sweeps=0 traces=0 values=0>"


def test_psf_repr_counts_many(write):
    entries = [Entry(100 + i, f"v{i}", 1, f64(i)) for i in range(12)]
    data = pb.build(pb.NONSWEPT, types=[TypeDef(1, "float", pb.FLOAT64)], value=pb.NonSwept(entries))
    assert repr(read_psf(write(data))) == "<Psf sweeps=0 traces=0 values=12>"


def test_child_reprs(swept, nonswept):
    assert repr(swept.sweeps[0]) == '<Sweep name="freq">'
    assert repr(swept.traces[0]) == '<Trace name="V(out)">'
    assert repr(nonswept.values[2]) == '<Value name="title">'


@pytest.mark.parametrize(
    "name, shown",
    [('a"b\tc', r'a\"b\tc'), ("it's", "it's"), ('"', r"\""), ("\t\t", r"\t\t")],
)
def test_child_repr_quotes_and_escapes(write, name, shown):
    psf = read_psf(write(swept_file(sweep_name=name, trace_names=(name + "1", name + "2"))))
    assert repr(psf.sweeps[0]) == f'<Sweep name="{shown}">'
    assert repr(psf.traces[0]) == f'<Trace name="{shown}1">'
    values = read_psf(write(nonswept_file(names=(name, "b", "c")))).values
    assert repr(values[0]) == f'<Value name="{shown}">'
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
