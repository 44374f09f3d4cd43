// Pickling of the result classes, for multiprocessing, Dask and caches: each
// object reduces to a private function of karvo._karvo and what it holds (a
// signal its array, which NumPy pickles, out of band with protocol 5; its
// properties as a dict, made read-only again when rebuilt).
//
// The rebuilding functions check what they are given: a pickle from
// elsewhere may hold anything, and must give a TypeError, never a crash.
#include "classes/result_objects.hpp"  // Python.h first

#include <string>

#include "numpy_bridge/numpy_api.hpp"
#include "pysupport/entry.hpp"
#include "pysupport/py_ref.hpp"

namespace karvo {

namespace {

constexpr const char* kModule = "karvo._karvo";

const char* class_name(ResultClass which) {
    switch (which) {
        case ResultClass::Psf: return "Psf";
        case ResultClass::Sweep: return "Sweep";
        case ResultClass::Trace: return "Trace";
        case ResultClass::Value: return "Value";
    }
    return "";
}

PyObject* rebuilder(const char* name) {
    PyRef module(PyImport_ImportModule(kModule));
    return module ? PyObject_GetAttrString(module.get(), name) : nullptr;
}

PyObject* reduce_named(PyObject* self, ResultClass which) {
    const NamedObject* o = as_named(self);
    PyObject* data = which == ResultClass::Value ? o->data : signal_array(self);
    if (data == nullptr) return nullptr;
    PyRef function(rebuilder("_rebuild_named"));
    PyRef name(function ? name_str(o) : nullptr);
    PyRef properties(name ? PyObject_CallMethod(o->properties, "copy", nullptr) : nullptr);
    if (!properties) return nullptr;
    return Py_BuildValue("(O(sOOO))", function.get(), class_name(which), name.get(), data, properties.get());
}

PyObject* reduce_sweep(PyObject* self, PyObject*) { return reduce_named(self, ResultClass::Sweep); }
PyObject* reduce_trace(PyObject* self, PyObject*) { return reduce_named(self, ResultClass::Trace); }
PyObject* reduce_value(PyObject* self, PyObject*) { return reduce_named(self, ResultClass::Value); }

PyObject* reduce_psf(PyObject* self, PyObject*) {
    const PsfObject* o = as_psf(self);
    PyRef function(rebuilder("_rebuild_psf"));
    if (!function) return nullptr;
    return Py_BuildValue("(O(OOOOO))", function.get(), o->path != nullptr ? o->path : Py_None, o->header,
                         o->sweeps, o->traces, o->values);
}

// _rebuild_named(kind, name, data, properties)
PyObject* rebuild_named(PyObject*, PyObject* args) {
    const char* kind = nullptr;
    PyObject* name = nullptr;
    PyObject* data = nullptr;
    PyObject* properties = nullptr;
    if (!PyArg_ParseTuple(args, "sUOO!:_rebuild_named", &kind, &name, &data, &PyDict_Type, &properties)) {
        return nullptr;
    }
    ResultClass which = ResultClass::Psf;
    for (ResultClass c : {ResultClass::Sweep, ResultClass::Trace, ResultClass::Value}) {
        if (std::string(kind) == class_name(c)) which = c;
    }
    if (which == ResultClass::Psf) {
        PyErr_Format(PyExc_TypeError, "_rebuild_named: no result class %s", kind);
        return nullptr;
    }
    if (which != ResultClass::Value) {
        // A signal's data is a one-dimensional array, as read.
        const int array = is_numpy_array(data);
        if (array < 0) return nullptr;
        PyRef ndim(array == 1 ? PyObject_GetAttrString(data, "ndim") : nullptr);
        if (array == 1 && !ndim) return nullptr;
        if (array == 0 || PyLong_AsLong(ndim.get()) != 1) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "_rebuild_named: a signal's data is a 1-D array");
            return nullptr;
        }
    }
    PyRef utf8(PyUnicode_AsUTF8String(name));
    char* text = nullptr;
    Py_ssize_t size = 0;
    if (!utf8 || PyBytes_AsStringAndSize(utf8.get(), &text, &size) != 0) return nullptr;
    PyRef mapping(PyDictProxy_New(properties));
    if (!mapping) return nullptr;
    return make_named(which, std::string(text, static_cast<std::size_t>(size)), PyRef::borrow(data),
                      std::move(mapping));
}

// Whether every item of a tuple is exactly of the type.
bool all_of(PyObject* tuple, ResultClass which) {
    PyTypeObject* type = result_type(which);
    if (type == nullptr) return false;
    const Py_ssize_t n = PyTuple_Size(tuple);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (Py_TYPE(PyTuple_GetItem(tuple, i)) != type) {
            PyErr_Format(PyExc_TypeError, "_rebuild_psf: every item of its %s must be a %s",
                         which == ResultClass::Value ? "values" : which == ResultClass::Sweep ? "sweeps" : "traces",
                         class_name(which));
            return false;
        }
    }
    return true;
}

// _rebuild_psf(path, header, sweeps, traces, values)
PyObject* rebuild_psf(PyObject*, PyObject* args) {
    PyObject* path = nullptr;
    PyObject* header = nullptr;
    PyObject* sweeps = nullptr;
    PyObject* traces = nullptr;
    PyObject* values = nullptr;
    if (!PyArg_ParseTuple(args, "OO!O!O!O!:_rebuild_psf", &path, &PyDict_Type, &header, &PyTuple_Type, &sweeps,
                          &PyTuple_Type, &traces, &PyTuple_Type, &values)) {
        return nullptr;
    }
    if (path != Py_None && !PyUnicode_Check(path)) {
        PyErr_SetString(PyExc_TypeError, "_rebuild_psf: the path is a str or None");
        return nullptr;
    }
    if (!all_of(sweeps, ResultClass::Sweep) || !all_of(traces, ResultClass::Trace) ||
        !all_of(values, ResultClass::Value)) {
        return nullptr;
    }
    PsfParts parts;
    parts.path = PyRef::borrow(path != Py_None ? path : nullptr);
    parts.header = PyRef::borrow(header);
    parts.sweeps = PyRef::borrow(sweeps);
    parts.traces = PyRef::borrow(traces);
    parts.values = PyRef::borrow(values);
    return make_psf(std::move(parts));
}

const char reduce_doc[] = "__reduce__($self, /)\n--\n\nHow pickle rebuilds it.";

}  // namespace

PyMethodDef rebuild_psf_def = {"_rebuild_psf", entry<rebuild_psf>, METH_VARARGS,
                               "Rebuilds a pickled Psf (called by pickle)."};
PyMethodDef rebuild_named_def = {"_rebuild_named", entry<rebuild_named>, METH_VARARGS,
                                 "Rebuilds a pickled Sweep, Trace or Value (called by pickle)."};

TypeParts pickling_parts(ResultClass which) {
    TypeParts parts;
    PyCFunction reduce = nullptr;
    switch (which) {
        case ResultClass::Psf: reduce = entry<reduce_psf>; break;
        case ResultClass::Sweep: reduce = entry<reduce_sweep>; break;
        case ResultClass::Trace: reduce = entry<reduce_trace>; break;
        case ResultClass::Value: reduce = entry<reduce_value>; break;
    }
    parts.methods.push_back({"__reduce__", reduce, METH_NOARGS, reduce_doc});
    return parts;
}

}  // namespace karvo
