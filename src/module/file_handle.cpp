#include "module/file_handle.hpp"

#include <algorithm>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "classes/properties.hpp"
#include "classes/result_types.hpp"
#include "module/assemble.hpp"
#include "module/read_call.hpp"
#include "pysupport/entry.hpp"
#include "pysupport/gil_once.hpp"
#include "pysupport/py_ref.hpp"
#include "pysupport/refuse_new.hpp"
#include "pysupport/raise_error.hpp"
#include "reader/psf_file.hpp"

namespace karvo {

namespace {

struct HandleObject {
    PyObject_HEAD
    std::shared_ptr<const PsfFile> file;  // null once closed
    PyObject* header;                     // dict
    PyObject* values;                     // tuple of Value, made on first use
    PyObject* path;                       // str, as given to open
};

PyObject* closed_error() {
    PyErr_SetString(PyExc_ValueError, "I/O operation on closed file");
    return nullptr;
}

void handle_dealloc(PyObject* self) {
    auto* h = reinterpret_cast<HandleObject*>(self);
    h->file.~shared_ptr();
    Py_XDECREF(h->header);
    Py_XDECREF(h->values);
    Py_XDECREF(h->path);
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

PyObject* handle_header(PyObject* self, void*) {
    return PyRef::borrow(reinterpret_cast<HandleObject*>(self)->header).release();
}

PyObject* handle_closed(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<HandleObject*>(self)->file == nullptr);
}

PyObject* handle_complete(PyObject* self, void*) {
    auto* h = reinterpret_cast<HandleObject*>(self);
    if (!h->file) return closed_error();
    return PyBool_FromLong(h->file->complete());
}

// refresh(): counts what a file opened partial holds now; True when it grew.
PyObject* handle_refresh(PyObject* self, PyObject*) {
    auto* h = reinterpret_cast<HandleObject*>(self);
    if (!h->file) return closed_error();
    std::shared_ptr<const PsfFile> file = h->file;
    ReadOptions options;
    Result<std::shared_ptr<const PsfFile>> now = without_lock(options, [&] { return file->refreshed(options); });
    if (!now) return raise_read_error(now.error(), Py_None);
    // Reads in progress keep the file they started with; a handle closed
    // meanwhile stays closed.
    const bool grew = now.value() != nullptr;
    if (grew && h->file) h->file = std::move(now).value();
    return PyBool_FromLong(grew);
}

const char* kind_name(SampleData::Kind kind) {
    switch (kind) {
        case SampleData::Kind::Float64: return "float64";
        case SampleData::Kind::Complex: return "complex128";
        case SampleData::Kind::Struct: return "struct";
    }
    return "?";
}

// One tuple per declared sweep, then trace: (name, is_trace, kind, member
// names or None, points, properties).
PyObject* handle_catalog(PyObject* self, PyObject*) {
    auto* h = reinterpret_cast<HandleObject*>(self);
    if (!h->file) return closed_error();
    const PsfFile& file = *h->file;
    const auto& signals = file.signals();
    PropertyMappings mappings;
    PyRef out(PyTuple_New(static_cast<Py_ssize_t>(signals.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < signals.size(); ++i) {
        const SignalRecord& r = *signals[i];
        PyRef members;
        if (r.data.kind == SampleData::Kind::Struct) {
            members = PyRef(PyTuple_New(static_cast<Py_ssize_t>(r.data.members->size())));
            if (!members) return nullptr;
            for (std::size_t m = 0; m < r.data.members->size(); ++m) {
                const std::string& name = (*r.data.members)[m].name;
                PyObject* text = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict");
                if (text == nullptr) return nullptr;
                PyTuple_SetItem(members.get(), static_cast<Py_ssize_t>(m), text);
            }
        } else {
            members = PyRef::borrow(Py_None);
        }
        PyRef properties(mappings.get(r.type_properties.get(), r.properties.get()));
        if (!properties) return nullptr;
        PyObject* entry = Py_BuildValue("(s#NsOKO)", r.name.data(), static_cast<Py_ssize_t>(r.name.size()),
                                        PyBool_FromLong(i >= file.sweep_count()), kind_name(r.data.kind),
                                        members.get(), static_cast<unsigned long long>(file.points(i)),
                                        properties.get());
        if (entry == nullptr) return nullptr;
        PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), entry);
        if (interrupted_while_making(i)) return nullptr;
    }
    return out.release();
}

// The non-swept values as Value objects, made once.
PyObject* handle_values(PyObject* self, PyObject*) {
    auto* h = reinterpret_cast<HandleObject*>(self);
    if (h->values == nullptr) {
        if (!h->file) return closed_error();
        PropertyMappings mappings;
        h->values = value_objects(h->file->catalog().values, mappings, nullptr);
        if (h->values == nullptr) return nullptr;
    }
    return PyRef::borrow(h->values).release();
}

// read(indices, with_values): a Psf of the chosen sweeps and traces (indices
// into catalog(), increasing), and of the values when asked.
PyObject* handle_read(PyObject* self, PyObject* args) {
    auto* h = reinterpret_cast<HandleObject*>(self);
    PyObject* indices;
    int with_values = 0;
    if (!PyArg_ParseTuple(args, "Op:read", &indices, &with_values)) return nullptr;
    if (!h->file) return closed_error();
    // The read keeps the file open, also if another thread closes the handle.
    std::shared_ptr<const PsfFile> file = h->file;
    PyRef sequence(PySequence_Fast(indices, "indices must be a sequence"));
    if (!sequence) return nullptr;
    const Py_ssize_t n = PySequence_Size(sequence.get());
    std::vector<std::size_t> chosen;
    chosen.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyRef item(PySequence_GetItem(sequence.get(), k));
        if (!item) return nullptr;
        const Py_ssize_t i = PyLong_AsSsize_t(item.get());
        if (i == -1 && PyErr_Occurred()) return nullptr;
        if (i < 0 || static_cast<std::size_t>(i) >= file->signals().size() ||
            (!chosen.empty() && static_cast<std::size_t>(i) <= chosen.back())) {
            PyErr_SetString(PyExc_ValueError, "indices must be increasing positions of the catalog");
            return nullptr;
        }
        chosen.push_back(static_cast<std::size_t>(i));
        if (interrupted_while_making(static_cast<std::size_t>(k))) return nullptr;
    }

    ReadOptions options;
    Result<std::vector<SignalRecord>> records = without_lock(options, [&] { return file->read(chosen, options); });
    if (!records) return raise_read_error(records.error(), Py_None);

    std::vector<SignalRecord>& all = records.value();
    const auto first_trace = static_cast<std::size_t>(
        std::lower_bound(chosen.begin(), chosen.end(), file->sweep_count()) - chosen.begin());
    std::vector<SignalRecord*> sweeps, traces;
    for (std::size_t k = 0; k < all.size(); ++k) (k < first_trace ? sweeps : traces).push_back(&all[k]);
    PropertyMappings mappings;
    PsfParts parts;
    parts.header = PyRef(PyDict_Copy(h->header));
    if (!parts.header) return nullptr;
    parts.path = PyRef::borrow(h->path);
    parts.sweeps = PyRef(signal_objects(ResultClass::Sweep, sweeps, mappings));
    if (!parts.sweeps) return nullptr;
    parts.traces = PyRef(signal_objects(ResultClass::Trace, traces, mappings));
    if (!parts.traces) return nullptr;
    sweeps = {};
    traces = {};
    if (!release_looking_at_signals(all)) return nullptr;
    if (with_values) {
        parts.values = PyRef(handle_values(self, nullptr));
    } else {
        parts.values = PyRef(PyTuple_New(0));
    }
    if (!parts.values) return nullptr;
    return make_psf(std::move(parts));
}

PyObject* handle_close(PyObject* self, PyObject*) {
    // Reads in progress keep their own reference; the mapping goes with the last.
    reinterpret_cast<HandleObject*>(self)->file.reset();
    Py_RETURN_NONE;
}

PyGetSetDef handle_getset[] = {
    {"header", entry<handle_header>, nullptr, "The HEADER property list as a dict.", nullptr},
    {"closed", entry<handle_closed>, nullptr, "Whether close() was called.", nullptr},
    {"complete", entry<handle_complete>, nullptr, "Whether the whole file was read (it ends in its trailer).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef handle_methods[] = {
    {"catalog", entry<handle_catalog>, METH_NOARGS,
     "catalog($self, /)\n--\n\n(name, is_trace, kind, members, points, properties) of each sweep, then trace."},
    {"values", entry<handle_values>, METH_NOARGS, "values($self, /)\n--\n\nThe non-swept values as Value objects."},
    {"read", entry<handle_read>, METH_VARARGS,
     "read($self, indices, with_values, /)\n--\n\nA Psf of the chosen sweeps and traces (and values)."},
    {"refresh", entry<handle_refresh>, METH_NOARGS,
     "refresh($self, /)\n--\n\nCounts the points appended since; True when the file grew."},
    {"close", entry<handle_close>, METH_NOARGS, "close($self, /)\n--\n\nReleases the file (once reads in progress end)."},
    {nullptr, nullptr, 0, nullptr},
};

GilOnce handle_once;
PyTypeObject* handle_type = nullptr;

PyTypeObject* file_handle_type() {
    bool ok = handle_once.run([] {
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>("An open psfbin file: its catalog now, its samples on request.")},
            {Py_tp_dealloc, entry_slot<handle_dealloc>()},
            {Py_tp_getset, handle_getset},
            {Py_tp_methods, handle_methods},
            {Py_tp_new, entry_slot<refuse_new>()},
            {0, nullptr},
        };
        static PyType_Spec spec = {"karvo._karvo._FileHandle", sizeof(HandleObject), 0, Py_TPFLAGS_DEFAULT, slots};
        handle_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
        return handle_type != nullptr;
    });
    return ok ? handle_type : nullptr;
}

PyObject* open_file_impl(PyObject* arg, bool partial) {
    PyRef path(fspath_str(arg));
    if (!path) return nullptr;
    std::string native;
    if (!native_path(path.get(), native)) return nullptr;
    PyTypeObject* type = file_handle_type();
    if (type == nullptr) return nullptr;

    ReadOptions options;
    Result<std::shared_ptr<const PsfFile>> opened =
        without_lock(options, [&] { return PsfFile::open(native, options, partial); });
    if (!opened) return raise_read_error(opened.error(), path.get());
    if (!warn_read(path.get(), opened.value()->warnings())) return nullptr;
    PyRef header(property_dict(&opened.value()->header(), nullptr));
    if (!header) return nullptr;
    PyObject* self = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
    if (self == nullptr) return nullptr;
    auto* h = reinterpret_cast<HandleObject*>(self);
    new (&h->file) std::shared_ptr<const PsfFile>(std::move(opened).value());
    h->header = header.release();
    h->values = nullptr;
    h->path = path.release();
    return self;
}

PyObject* open_file(PyObject*, PyObject* args) {
    PyObject* path;
    int partial = 0;
    if (!PyArg_ParseTuple(args, "O|p:_open_file", &path, &partial)) return nullptr;
    return open_file_impl(path, partial != 0);
}

}  // namespace

PyMethodDef open_file_def = {
    "_open_file",
    entry<open_file>,
    METH_VARARGS,
    "_open_file(path, partial=False, /)\n--\n\nOpens a file for karvo.open: its catalog is read, its samples are "
    "not. partial: a psfbin file may lack its trailer.",
};

}  // namespace karvo
