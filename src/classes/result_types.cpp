#include "classes/result_types.hpp"

#include <array>
#include <iterator>
#include <new>
#include <vector>

#include "classes/result_objects.hpp"
#include "numpy_bridge/make_array.hpp"
#include "pysupport/entry.hpp"
#include "pysupport/internal_error.hpp"
#include "pysupport/gil_once.hpp"
#include "pysupport/instances.hpp"
#include "pysupport/refuse_new.hpp"
#include "reader/sample_arena.hpp"

namespace karvo {

namespace {


void psf_dealloc(PyObject* self) {
    auto* o = reinterpret_cast<PsfObject*>(self);
    // Its arrays usually go with it: their arena is looked at once, after.
    SampleArena::Batch batch;
    Py_XDECREF(o->header);
    Py_XDECREF(o->sweeps);
    Py_XDECREF(o->traces);
    Py_XDECREF(o->values);
    Py_XDECREF(o->index);
    Py_XDECREF(o->path);
    free_instance(self);
}

void value_dealloc(PyObject* self) {
    auto* o = reinterpret_cast<NamedObject*>(self);
    o->name.~basic_string();
    Py_XDECREF(o->data);
    Py_XDECREF(o->properties);
    free_instance(self);
}

void signal_dealloc(PyObject* self) {
    auto* o = reinterpret_cast<SignalObject*>(self);
    o->samples.~SampleData();
    Py_XDECREF(o->dtype);
    value_dealloc(self);
}

// ---- lookup by name

// The index of a Psf: each name to its object, made on first use, names in
// file order (sweeps, traces, values). A trace wins over a sweep or value of
// the same name (a dc sweep's source saved as a trace too), a sweep over a
// value; among objects of one kind, the first in the file.
PyObject* psf_index(PsfObject* o) {
    if (o->index != nullptr) return o->index;
    PyRef index(PyDict_New());
    if (!index) return nullptr;
    PyTypeObject* const sweep_type = PyTuple_Size(o->sweeps) > 0 ? Py_TYPE(PyTuple_GetItem(o->sweeps, 0)) : nullptr;
    for (PyObject* kind : {o->sweeps, o->traces, o->values}) {
        const Py_ssize_t n = PyTuple_Size(kind);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyTuple_GetItem(kind, i);
            const std::string& name = reinterpret_cast<NamedObject*>(item)->name;
            PyRef key(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
            if (!key) return nullptr;
            PyObject* present = PyDict_GetItemWithError(index.get(), key.get());
            if (present == nullptr && PyErr_Occurred()) return nullptr;
            const bool replace = present == nullptr || (kind == o->traces && Py_TYPE(present) == sweep_type);
            if (replace && PyDict_SetItem(index.get(), key.get(), item) != 0) return nullptr;
        }
    }
    o->index = index.release();
    return o->index;
}

// KeyError naming the key and, where there are any, up to three close
// matches (difflib's, imported only for a missing name).
void set_key_error(PsfObject* o, PyObject* key) {
    PyRef message;
    if (PyUnicode_Check(key)) {
        PyRef difflib(PyImport_ImportModule("difflib"));
        PyRef names(difflib ? PySequence_List(o->index) : nullptr);
        PyRef matches(names ? PyObject_CallMethod(difflib.get(), "get_close_matches", "OOi", key, names.get(), 3)
                            : nullptr);
        PyRef separator(PyUnicode_FromString(", "));
        PyRef reprs(matches && separator ? PyList_New(0) : nullptr);
        const Py_ssize_t n = reprs ? PyList_Size(matches.get()) : 0;
        for (Py_ssize_t i = 0; i < n && reprs; ++i) {
            PyRef shown(PyObject_Repr(PyList_GetItem(matches.get(), i)));
            if (!shown || PyList_Append(reprs.get(), shown.get()) != 0) reprs = PyRef();
        }
        PyRef joined(reprs && n > 0 ? PyUnicode_Join(separator.get(), reprs.get()) : nullptr);
        if (joined) message = PyRef(PyUnicode_FromFormat("%R (close matches: %U)", key, joined.get()));
        PyErr_Clear();
    }
    // The key itself is the one argument, whatever it is: set as the value,
    // None would give a KeyError without arguments and a tuple its items.
    PyRef args(PyTuple_Pack(1, message ? message.get() : key));
    if (args) PyErr_SetObject(PyExc_KeyError, args.get());
}

PyObject* psf_subscript(PyObject* self, PyObject* key) {
    auto* o = reinterpret_cast<PsfObject*>(self);
    PyObject* index = psf_index(o);
    if (index == nullptr) return nullptr;
    PyObject* found = PyDict_GetItemWithError(index, key);
    if (found != nullptr) return PyRef::borrow(found).release();
    if (!PyErr_Occurred()) set_key_error(o, key);
    return nullptr;
}

int psf_contains(PyObject* self, PyObject* key) {
    PyObject* index = psf_index(reinterpret_cast<PsfObject*>(self));
    return index == nullptr ? -1 : PyDict_Contains(index, key);
}

Py_ssize_t psf_length(PyObject* self) {
    PyObject* index = psf_index(reinterpret_cast<PsfObject*>(self));
    return index == nullptr ? -1 : PyDict_Size(index);
}

PyObject* psf_iter(PyObject* self) {
    PyObject* index = psf_index(reinterpret_cast<PsfObject*>(self));
    return index == nullptr ? nullptr : PyObject_GetIter(index);
}

PyObject* psf_keys(PyObject* self, PyObject*) {
    PyObject* index = psf_index(reinterpret_cast<PsfObject*>(self));
    return index == nullptr ? nullptr : PyObject_CallMethod(index, "keys", nullptr);
}

PyObject* psf_get(PyObject* self, PyObject* args) {
    PyObject* key;
    PyObject* fallback = Py_None;
    if (!PyArg_UnpackTuple(args, "get", 1, 2, &key, &fallback)) return nullptr;
    PyObject* index = psf_index(reinterpret_cast<PsfObject*>(self));
    if (index == nullptr) return nullptr;
    PyObject* found = PyDict_GetItemWithError(index, key);
    if (found == nullptr && PyErr_Occurred()) return nullptr;
    return PyRef::borrow(found != nullptr ? found : fallback).release();
}

PyObject* psf_header(PyObject* self, void*) {
    PyObject* header = reinterpret_cast<PsfObject*>(self)->header;
    Py_INCREF(header);
    return header;
}
PyObject* psf_sweeps(PyObject* self, void*) { return PySequence_List(reinterpret_cast<PsfObject*>(self)->sweeps); }
PyObject* psf_traces(PyObject* self, void*) { return PySequence_List(reinterpret_cast<PsfObject*>(self)->traces); }
PyObject* psf_values(PyObject* self, void*) { return PySequence_List(reinterpret_cast<PsfObject*>(self)->values); }
PyObject* psf_path(PyObject* self, void*) {
    PyObject* path = as_psf(self)->path;
    return PyRef::borrow(path != nullptr ? path : Py_None).release();
}

PyObject* named_name(PyObject* self, void*) { return name_str(as_named(self)); }
PyObject* value_data(PyObject* self, void*) {
    return PyRef::borrow(reinterpret_cast<NamedObject*>(self)->data).release();
}
PyObject* signal_data(PyObject* self, void*) { return PyRef::borrow(signal_array(self)).release(); }
PyObject* named_properties(PyObject* self, void*) {
    return PyRef::borrow(reinterpret_cast<NamedObject*>(self)->properties).release();
}
PyObject* named_units(PyObject* self, void*) {
    PyRef key(PyUnicode_FromString("units"));
    if (!key) return nullptr;
    PyRef units(PyObject_GetItem(reinterpret_cast<NamedObject*>(self)->properties, key.get()));
    if (units && PyUnicode_Check(units.get())) return units.release();
    if (!units && !PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
}

PyGetSetDef psf_getset[] = {
    {"header", entry<psf_header>, nullptr, "The HEADER property list as a dict (string / int / float values).", nullptr},
    {"sweeps", entry<psf_sweeps>, nullptr, "The sweep axes (empty for non-swept `dc`).", nullptr},
    {"traces", entry<psf_traces>, nullptr, "The output traces (empty for non-swept `dc`).", nullptr},
    {"values", entry<psf_values>, nullptr, "The non-swept scalar values (empty for swept analyses).", nullptr},
    {"path", entry<psf_path>, nullptr, "The path of the file it was read from, as given to the reader (a str).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
// The attributes of a Sweep, a Trace and a Value: their own `data`, the
// rest shared.
using NamedGetSet = std::array<PyGetSetDef, 5>;
constexpr NamedGetSet named_getset(getter data, const char* data_doc) {
    return {{
        {"name", entry<named_name>, nullptr, "", nullptr},
        {"data", data, nullptr, data_doc, nullptr},
        {"properties", entry<named_properties>, nullptr,
         "The properties of its declaration, its type's first: a read-only mapping of str to str, int or float.",
         nullptr},
        {"units", entry<named_units>, nullptr, "The `units` property as a str, or None when it has none.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    }};
}
NamedGetSet sweep_getset = named_getset(entry<signal_data>, "The sweep samples as a numpy `float64[N]` array.");
NamedGetSet trace_getset =
    named_getset(entry<signal_data>, "The trace samples as a numpy array (`float64[N]` or `complex128[N]`).");
NamedGetSet value_getset =
    named_getset(entry<value_data>, "The value: a Python scalar, or a `dict` for a struct-typed value.");

const char psf_doc[] =
    "A parsed psfbin or PSF ASCII file.\n\n"
    "`psf[name]` is the Sweep, Trace or Value of that name, as `karvo.open(path)[name]`\n"
    "gives it; a Sweep or Trace behaves as its array.";
const char sweep_doc[] =
    "A swept independent axis (e.g. frequency). `data` is a `float64` numpy array.\n\n"
    "It behaves as that array: np.asarray(sweep) is `data`; NumPy functions,\n"
    "len(), indexing and arithmetic give NumPy results.";
const char trace_doc[] =
    "A swept output trace. `data` is a numpy array: flat traces are `float64[N]`\n"
    "or `complex128[N]` (`dtype.names is None`); struct traces (noise) are a\n"
    "structured array of shape `(N,)` with one named float64 field per\n"
    "contribution (`dtype.names is not None`).\n\n"
    "It behaves as that array: np.asarray(trace) is `data`; NumPy functions\n"
    "(np.abs(trace)), len(), indexing and arithmetic give NumPy results.";
const char value_doc[] =
    "A non-swept result (a `dc` operating point). `data` is a Python scalar\n"
    "(`float`/`int`/`complex`/`str`) for a scalar value, an array value as a\n"
    "`tuple` of `str` or a numpy array of numbers, or a `dict` of\n"
    "`{field: scalar or array}` for a struct-typed value (e.g. `dcOpInfo` per-device\n"
    "operating points, whose members mix `float64` with an `Int8` region field).\n\n"
    "Where `data` is a number or an array of numbers, the Value converts as it\n"
    "(float(), int(), complex(), np.asarray) and takes part in arithmetic.";

PyMethodDef psf_methods[] = {
    {"keys", entry<psf_keys>, METH_NOARGS, "keys($self, /)\n--\n\nThe names of the sweeps, traces and values."},
    {"get", entry<psf_get>, METH_VARARGS,
     "get($self, name, default=None, /)\n--\n\nThe sweep, trace or value of that name, else default."},
    {nullptr, nullptr, 0, nullptr},
};

// A Psf is also a read-only mapping from names to its sweeps, traces and values.
PyType_Slot psf_lookup_slots[] = {
    {Py_mp_subscript, entry_slot<psf_subscript>()},
    {Py_mp_length, entry_slot<psf_length>()},
    {Py_sq_contains, entry_slot<psf_contains>()},
    {Py_tp_iter, entry_slot<psf_iter>()},
};

struct TypeInfo {
    const char* spec_name;
    const char* doc;
    int basicsize;
    destructor dealloc;
    PyGetSetDef* getset;         // ends with a null entry
    PyMethodDef* methods;        // ends with a null entry, or null
    const PyType_Slot* extra_slots;
    std::size_t extra_count;
    GilOnce once;
    PyTypeObject* type = nullptr;
    // The attributes and methods of every concern, in one table each; kept
    // for the life of the type, which refers to them.
    std::vector<PyGetSetDef> all_getset;
    std::vector<PyMethodDef> all_methods;
};

TypeInfo type_infos[] = {
    {"builtins.Psf", psf_doc, sizeof(PsfObject), entry<psf_dealloc>, psf_getset, psf_methods, psf_lookup_slots,
     std::size(psf_lookup_slots), {}, nullptr, {}, {}},
    {"builtins.Sweep", sweep_doc, sizeof(SignalObject), entry<signal_dealloc>, sweep_getset.data(), nullptr, nullptr, 0,
     {}, nullptr, {}, {}},
    {"builtins.Trace", trace_doc, sizeof(SignalObject), entry<signal_dealloc>, trace_getset.data(), nullptr, nullptr, 0,
     {}, nullptr, {}, {}},
    {"builtins.Value", value_doc, sizeof(NamedObject), entry<value_dealloc>, value_getset.data(), nullptr, nullptr, 0,
     {}, nullptr, {}, {}},
};

// Appends the entries of a table that ends with a null name.
void append_until_null(std::vector<PyGetSetDef>& out, const PyGetSetDef* table) {
    for (; table != nullptr && table->name != nullptr; ++table) out.push_back(*table);
}
void append_until_null(std::vector<PyMethodDef>& out, const PyMethodDef* table) {
    for (; table != nullptr && table->ml_name != nullptr; ++table) out.push_back(*table);
}

}  // namespace


PyTypeObject* result_type(ResultClass which) {
    TypeInfo& info = type_infos[static_cast<int>(which)];
    bool ok = info.once.run([&info, which] {
        std::vector<PyType_Slot> slots = {
            {Py_tp_doc, const_cast<char*>(info.doc)},
            {Py_tp_repr, reinterpret_cast<void*>(repr_of(which))},
            {Py_tp_dealloc, reinterpret_cast<void*>(info.dealloc)},
            {Py_tp_new, entry_slot<refuse_new>()},
        };
        slots.insert(slots.end(), info.extra_slots, info.extra_slots + info.extra_count);
        info.all_getset.clear();
        info.all_methods.clear();
        append_until_null(info.all_getset, info.getset);
        append_until_null(info.all_methods, info.methods);
        for (const TypeParts& parts : {array_protocol_parts(which), pickling_parts(which)}) {
            slots.insert(slots.end(), parts.slots.begin(), parts.slots.end());
            info.all_getset.insert(info.all_getset.end(), parts.getset.begin(), parts.getset.end());
            info.all_methods.insert(info.all_methods.end(), parts.methods.begin(), parts.methods.end());
        }
        info.all_getset.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
        info.all_methods.push_back({nullptr, nullptr, 0, nullptr});
        slots.push_back({Py_tp_getset, info.all_getset.data()});
        slots.push_back({Py_tp_methods, info.all_methods.data()});
        slots.push_back({0, nullptr});
        PyType_Spec spec = {info.spec_name, info.basicsize, 0, Py_TPFLAGS_DEFAULT, slots.data()};
        info.type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
        return info.type != nullptr;
    });
    return ok ? info.type : nullptr;
}

namespace {

// The instance's memory comes zeroed: its object pointers start null. A
// Sweep's or Trace's samples are moved in (from `samples`, else empty).
NamedObject* new_named(ResultClass which, std::string&& name, PyRef properties, SampleData* samples = nullptr) {
    PyTypeObject* type = result_type(which);
    if (type == nullptr) return nullptr;
    PyObject* self = new_instance(type, which == ResultClass::Value ? sizeof(NamedObject) : sizeof(SignalObject));
    if (self == nullptr) return nullptr;
    auto* o = reinterpret_cast<NamedObject*>(self);
    new (&o->name) std::string(std::move(name));
    if (which != ResultClass::Value) {
        auto* signal = static_cast<SignalObject*>(o);
        if (samples != nullptr) new (&signal->samples) SampleData(std::move(*samples));
        else new (&signal->samples) SampleData();
    }
    o->properties = properties.release();
    return o;
}

}  // namespace

PyObject* make_named(ResultClass which, std::string&& name, PyRef data, PyRef properties) {
    NamedObject* o = new_named(which, std::move(name), std::move(properties));
    if (o == nullptr) return nullptr;
    o->data = data.release();
    return reinterpret_cast<PyObject*>(o);
}

PyObject* make_signal(ResultClass which, std::string&& name, SampleData&& samples, PyRef struct_dtype,
                      PyRef properties) {
    auto* o = static_cast<SignalObject*>(new_named(which, std::move(name), std::move(properties), &samples));
    if (o == nullptr) return nullptr;
    o->dtype = struct_dtype.release();
    return reinterpret_cast<PyObject*>(o);
}

PyObject* make_psf(PsfParts&& parts) {
    PyTypeObject* type = result_type(ResultClass::Psf);
    if (type == nullptr) return nullptr;
    PyObject* self = new_instance(type, sizeof(PsfObject));
    if (self == nullptr) return nullptr;
    auto* o = reinterpret_cast<PsfObject*>(self);
    o->sweeps = parts.sweeps.release();
    o->traces = parts.traces.release();
    o->values = parts.values.release();
    o->header = parts.header.release();
    o->index = nullptr;
    o->path = parts.path.release();
    return self;
}

bool is_signal(PyObject* o) {
    // Before a type exists, nothing is of it (and null is no object's type).
    PyTypeObject* type = Py_TYPE(o);
    return type == type_infos[static_cast<int>(ResultClass::Sweep)].type ||
           type == type_infos[static_cast<int>(ResultClass::Trace)].type;
}

PyObject* signal_array(PyObject* self) {
    auto* o = static_cast<SignalObject*>(as_named(self));
    if (o->data == nullptr) {
        // The samples move into the array only once it exists.
        o->data = make_array(std::move(o->samples), o->dtype);
        if (o->data == nullptr) {
            if (!PyErr_Occurred()) set_internal_error("the samples could not be made into an array");
            return nullptr;
        }
        Py_CLEAR(o->dtype);
    }
    return o->data;
}

PyObject* name_str(const NamedObject* o) {
    return PyUnicode_DecodeUTF8(o->name.data(), static_cast<Py_ssize_t>(o->name.size()), "strict");
}

}  // namespace karvo
