#include "classes/result_types.hpp"

#include <new>

#include "classes/quoted_name.hpp"
#include "module/gil_once.hpp"

namespace karvo {

namespace {

struct PsfObject {
    PyObject_HEAD
    PyObject* sweeps;
    PyObject* traces;
    PyObject* values;
    PyObject* header;
};

// Sweep, Trace and Value share one layout.
struct NamedObject {
    PyObject_HEAD
    std::string name;  // UTF-8, owned by the instance
    PyObject* data;
};

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto tp_free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    tp_free(self);
    Py_DECREF(type);
}

void psf_dealloc(PyObject* self) {
    auto* o = reinterpret_cast<PsfObject*>(self);
    Py_XDECREF(o->header);
    Py_XDECREF(o->sweeps);
    Py_XDECREF(o->traces);
    Py_XDECREF(o->values);
    free_instance(self);
}

void named_dealloc(PyObject* self) {
    auto* o = reinterpret_cast<NamedObject*>(self);
    o->name.~basic_string();
    Py_XDECREF(o->data);
    free_instance(self);
}

PyObject* psf_header(PyObject* self, void*) {
    PyObject* header = reinterpret_cast<PsfObject*>(self)->header;
    Py_INCREF(header);
    return header;
}
PyObject* psf_sweeps(PyObject* self, void*) { return PySequence_List(reinterpret_cast<PsfObject*>(self)->sweeps); }
PyObject* psf_traces(PyObject* self, void*) { return PySequence_List(reinterpret_cast<PsfObject*>(self)->traces); }
PyObject* psf_values(PyObject* self, void*) { return PySequence_List(reinterpret_cast<PsfObject*>(self)->values); }

PyObject* psf_repr(PyObject* self) {
    auto* o = reinterpret_cast<PsfObject*>(self);
    return PyUnicode_FromFormat("<Psf sweeps=%zd traces=%zd values=%zd>", PyTuple_Size(o->sweeps),
                                PyTuple_Size(o->traces), PyTuple_Size(o->values));
}

PyObject* named_name(PyObject* self, void*) {
    const std::string& name = reinterpret_cast<NamedObject*>(self)->name;
    return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict");
}
PyObject* named_data(PyObject* self, void*) {
    PyObject* data = reinterpret_cast<NamedObject*>(self)->data;
    Py_INCREF(data);
    return data;
}

PyObject* named_repr_with(PyObject* self, const char* prefix) {
    try {
        std::string text(prefix);
        append_quoted_name(text, reinterpret_cast<NamedObject*>(self)->name);
        text += '>';
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}
PyObject* sweep_repr(PyObject* self) { return named_repr_with(self, "<Sweep name="); }
PyObject* trace_repr(PyObject* self) { return named_repr_with(self, "<Trace name="); }
PyObject* value_repr(PyObject* self) { return named_repr_with(self, "<Value name="); }

PyGetSetDef psf_getset[] = {
    {"header", psf_header, nullptr, "The HEADER property list as a dict (string / int / float values).", nullptr},
    {"sweeps", psf_sweeps, nullptr, "The sweep axes (empty for non-swept `dc`).", nullptr},
    {"traces", psf_traces, nullptr, "The output traces (empty for non-swept `dc`).", nullptr},
    {"values", psf_values, nullptr, "The non-swept scalar values (empty for swept analyses).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef sweep_getset[] = {
    {"name", named_name, nullptr, "", nullptr},
    {"data", named_data, nullptr, "The sweep samples as a numpy `float64[N]` array.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef trace_getset[] = {
    {"name", named_name, nullptr, "", nullptr},
    {"data", named_data, nullptr, "The trace samples as a numpy array (`float64[N]` or `complex128[N]`).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef value_getset[] = {
    {"name", named_name, nullptr, "", nullptr},
    {"data", named_data, nullptr, "The value: a Python scalar, or a `dict` for a struct-typed value.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char psf_doc[] = "A parsed psfbin file.";
const char sweep_doc[] = "A swept independent axis (e.g. frequency). `data` is a `float64` numpy array.";
const char trace_doc[] =
    "A swept output trace. `data` is a numpy array: flat traces are `float64[N]`\n"
    "or `complex128[N]` (`dtype.names is None`); struct traces (noise) are a\n"
    "structured array of shape `(N,)` with one named float64 field per\n"
    "contribution (`dtype.names is not None`).";
const char value_doc[] =
    "A non-swept result (a `dc` operating point). `data` is a Python scalar\n"
    "(`float`/`int`/`complex`/`str`) for a scalar value, or a `dict` of\n"
    "`{field: scalar}` for a struct-typed value (e.g. `dcOpInfo` per-device\n"
    "operating points, whose members mix `float64` with an `Int8` region field).";

struct TypeInfo {
    const char* spec_name;
    const char* doc;
    int basicsize;
    destructor dealloc;
    reprfunc repr;
    PyGetSetDef* getset;
    GilOnce once;
    PyTypeObject* type = nullptr;
};

TypeInfo type_infos[] = {
    {"builtins.Psf", psf_doc, sizeof(PsfObject), psf_dealloc, psf_repr, psf_getset, {}},
    {"builtins.Sweep", sweep_doc, sizeof(NamedObject), named_dealloc, sweep_repr, sweep_getset, {}},
    {"builtins.Trace", trace_doc, sizeof(NamedObject), named_dealloc, trace_repr, trace_getset, {}},
    {"builtins.Value", value_doc, sizeof(NamedObject), named_dealloc, value_repr, value_getset, {}},
};

PyObject* alloc_instance(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return alloc(type, 0);
}

}  // namespace

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto attr_text = [type](const char* attr) {
        PyObject* v = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attr);
        if (v == nullptr || !PyUnicode_Check(v)) {
            PyErr_Clear();
            Py_XDECREF(v);
            v = PyUnicode_FromString("<unknown>");
        }
        return PyRef(v);
    };
    PyRef module = attr_text("__module__");
    PyRef qualname = attr_text("__qualname__");
    if (!module || !qualname) return nullptr;
    PyErr_Format(PyExc_TypeError, "cannot create '%U.%U' instances", module.get(), qualname.get());
    return nullptr;
}

PyTypeObject* result_type(ResultClass which) {
    TypeInfo& info = type_infos[static_cast<int>(which)];
    bool ok = info.once.run([&info] {
        PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>(info.doc)},
            {Py_tp_getset, info.getset},
            {Py_tp_repr, reinterpret_cast<void*>(info.repr)},
            {Py_tp_dealloc, reinterpret_cast<void*>(info.dealloc)},
            {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
            {0, nullptr},
        };
        PyType_Spec spec = {info.spec_name, info.basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
        info.type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
        return info.type != nullptr;
    });
    return ok ? info.type : nullptr;
}

PyObject* make_named(ResultClass which, std::string&& name, PyRef data) {
    PyTypeObject* type = result_type(which);
    if (type == nullptr) return nullptr;
    PyObject* self = alloc_instance(type);
    if (self == nullptr) return nullptr;
    auto* o = reinterpret_cast<NamedObject*>(self);
    new (&o->name) std::string(std::move(name));
    o->data = data.release();
    return self;
}

PyObject* make_psf(PsfParts&& parts) {
    PyTypeObject* type = result_type(ResultClass::Psf);
    if (type == nullptr) return nullptr;
    PyObject* self = alloc_instance(type);
    if (self == nullptr) return nullptr;
    auto* o = reinterpret_cast<PsfObject*>(self);
    o->sweeps = parts.sweeps.release();
    o->traces = parts.traces.release();
    o->values = parts.values.release();
    o->header = parts.header.release();
    return self;
}

}  // namespace karvo
