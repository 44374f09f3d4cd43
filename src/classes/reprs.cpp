// The reprs of the result classes: what a person at a prompt needs to tell
// one object from another, without making an array or importing NumPy for
// it. Names and units are quoted as names are everywhere (quoted_name).
#include "classes/result_objects.hpp"  // Python.h first

#include <cstdio>
#include <string>

#include "numpy_bridge/numpy_api.hpp"
#include "pysupport/entry.hpp"
#include "pysupport/py_ref.hpp"
#include "pysupport/quoted_name.hpp"

namespace karvo {

namespace {

// Data shown whole up to this many characters of its repr.
constexpr Py_ssize_t kShortRepr = 40;

bool append_utf8(std::string& out, PyObject* text) {
    Py_ssize_t size = 0;
    PyRef bytes(PyUnicode_AsUTF8String(text));
    char* at = nullptr;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &at, &size) != 0) return false;
    out.append(at, static_cast<std::size_t>(size));
    return true;
}

bool append_repr(std::string& out, PyObject* object) {
    PyRef text(PyObject_Repr(object));
    return text && append_utf8(out, text.get());
}

void append_count(std::string& out, const char* key, long long n) {
    char buf[48];
    std::snprintf(buf, sizeof buf, " %s=%lld", key, n);
    out += buf;
}

PyObject* finish(std::string& text) {
    text += '>';
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

// ' units="V"' where the units property is a str.
bool append_units(std::string& out, const NamedObject* o) {
    PyRef units(PyMapping_GetItemString(o->properties, "units"));
    if (!units) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!PyUnicode_Check(units.get())) return true;
    std::string text;
    if (!append_utf8(text, units.get())) return false;
    out += " units=";
    append_quoted_name(out, text);
    return true;
}

// " dtype=float64", or " dtype=struct fields=3" for a structured dtype.
bool append_dtype(std::string& out, PyObject* dtype) {
    PyRef names(PyObject_GetAttrString(dtype, "names"));
    if (!names) return false;
    if (names.get() != Py_None) {
        out += " dtype=struct";
        append_count(out, "fields", PyObject_Size(names.get()));
        return !PyErr_Occurred();
    }
    PyRef name(PyObject_GetAttrString(dtype, "name"));
    if (!name) return false;
    out += " dtype=";
    return append_utf8(out, name.get());
}

PyObject* signal_repr(PyObject* self, const char* kind) {
    auto* o = static_cast<SignalObject*>(as_named(self));
    std::string text = std::string("<") + kind + " name=";
    append_quoted_name(text, o->name);
    if (o->data != nullptr) {
        const Py_ssize_t points = PyObject_Size(o->data);
        if (points < 0) return nullptr;
        append_count(text, "points", points);
        PyRef dtype(PyObject_GetAttrString(o->data, "dtype"));
        if (!dtype || !append_dtype(text, dtype.get())) return nullptr;
    } else {
        // Not made into an array yet: the samples tell as much.
        const SampleData& s = o->samples;
        const std::uint64_t words = s.point_words();
        append_count(text, "points", static_cast<long long>(words == 0 ? 0 : s.samples.length() / words));
        if (s.kind == SampleData::Kind::Struct) {
            text += " dtype=struct";
            append_count(text, "fields", s.members ? static_cast<long long>(s.members->size()) : 0);
        } else {
            text += s.kind == SampleData::Kind::Complex ? " dtype=complex128" : " dtype=float64";
        }
    }
    if (!append_units(text, o)) return nullptr;
    return finish(text);
}

PyObject* sweep_repr(PyObject* self) { return signal_repr(self, "Sweep"); }
PyObject* trace_repr(PyObject* self) { return signal_repr(self, "Trace"); }

// The data of a value: whole when short, else what it is and its size.
bool append_value_data(std::string& out, PyObject* data) {
    if (PyDict_Check(data)) {
        append_count(out, "fields", PyDict_Size(data));
        return true;
    }
    const int array = is_numpy_array(data);
    if (array < 0) return false;
    if (array == 1) {
        const Py_ssize_t n = PyObject_Size(data);
        if (n < 0) return false;
        append_count(out, "elements", n);
        PyRef dtype(PyObject_GetAttrString(data, "dtype"));
        return dtype && append_dtype(out, dtype.get());
    }
    PyRef text(PyObject_Repr(data));
    if (!text) return false;
    if (PyUnicode_GetLength(text.get()) <= kShortRepr) {
        out += " data=";
        return append_utf8(out, text.get());
    }
    if (PyUnicode_Check(data)) {
        append_count(out, "chars", PyUnicode_GetLength(data));
    } else if (PyTuple_Check(data)) {
        append_count(out, "elements", PyTuple_Size(data));
    } else {
        PyRef type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(data)), "__name__"));
        if (!type_name) return false;
        out += " type=";
        return append_utf8(out, type_name.get());
    }
    return true;
}

PyObject* value_repr(PyObject* self) {
    const NamedObject* o = as_named(self);
    std::string text = "<Value name=";
    append_quoted_name(text, o->name);
    if (!append_value_data(text, o->data) || !append_units(text, o)) return nullptr;
    return finish(text);
}

// <Psf 'ac.ac' sweeps=1 traces=5 values=0>: the file's base name, as the
// system's os.path finds it, where the Psf knows its path.
PyObject* psf_repr(PyObject* self) {
    const PsfObject* o = as_psf(self);
    std::string text = "<Psf";
    if (o->path != nullptr) {
        PyRef os_path(PyImport_ImportModule("os.path"));
        PyRef base(os_path ? PyObject_CallMethod(os_path.get(), "basename", "O", o->path) : nullptr);
        if (!base) return nullptr;
        text += ' ';
        if (!append_repr(text, base.get())) return nullptr;
    }
    append_count(text, "sweeps", PyTuple_Size(o->sweeps));
    append_count(text, "traces", PyTuple_Size(o->traces));
    append_count(text, "values", PyTuple_Size(o->values));
    return finish(text);
}

}  // namespace

reprfunc repr_of(ResultClass which) {
    switch (which) {
        case ResultClass::Psf: return entry<psf_repr>;
        case ResultClass::Sweep: return entry<sweep_repr>;
        case ResultClass::Trace: return entry<trace_repr>;
        case ResultClass::Value: return entry<value_repr>;
    }
    return nullptr;
}

}  // namespace karvo
