#include "numpy_bridge/make_array.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pysupport/entry.hpp"
#include "pysupport/quoted_name.hpp"
#include "pysupport/gil_once.hpp"
#include "pysupport/instances.hpp"
#include "pysupport/internal_error.hpp"
#include "pysupport/py_ref.hpp"
#include "pysupport/refuse_new.hpp"
#include "numpy_bridge/numpy_api.hpp"

namespace karvo {

namespace {

struct SliceContainer {
    PyObject_HEAD
    SampleBuffer::Raw samples;
};

void release_samples(const SampleBuffer::Raw& raw) {
    if (raw.capacity != 0) SampleBuffer::free_raw(raw);
}

void container_dealloc(PyObject* self) {
    auto* c = reinterpret_cast<SliceContainer*>(self);
    release_samples(c->samples);
    free_instance(self);
}

GilOnce container_once;
PyTypeObject* container_type = nullptr;

PyTypeObject* slice_container_type() {
    bool ok = container_once.run([] {
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>("Utility type that keeps an owned sample buffer alive on the Python heap.")},
            {Py_tp_dealloc, entry_slot<container_dealloc>()},
            {Py_tp_new, entry_slot<refuse_new>()},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.PySliceContainer", sizeof(SliceContainer), 0, Py_TPFLAGS_DEFAULT,
                                   slots};
        container_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
        return container_type != nullptr;
    });
    return ok ? container_type : nullptr;
}

// Moves the buffer into a new container. On failure the buffer is freed.
PyObject* make_container(SampleBuffer::Raw raw) {
    PyTypeObject* type = slice_container_type();
    if (type == nullptr) {
        release_samples(raw);
        PyErr_WriteUnraisable(nullptr);
        return set_internal_error("failed to create type object for `PySliceContainer`");
    }
    PyObject* self = new_instance(type, sizeof(SliceContainer));
    if (self == nullptr) {
        release_samples(raw);
        return wrap_as_internal_error("Failed to create slice container");
    }
    reinterpret_cast<SliceContainer*>(self)->samples = raw;
    return self;
}

// An empty buffer has no storage; NumPy still wants a non-null pointer.
double empty_storage;

// A contiguous 1-D array of `count` elements of `descr` (a new reference,
// which the array takes) over the buffer, whose base is the buffer's
// container. NumPy computes the stride (and its flags) itself.
PyObject* wrap_buffer_as(SampleBuffer&& samples, PyObject* descr, Py_ssize_t count) {
    SampleBuffer::Raw raw = samples.release();
    void* data = raw.data;
    PyRef container(make_container(raw));
    if (!container) {
        Py_DECREF(descr);
        return nullptr;
    }
    const NumpyApi* np = numpy_api();
    if (np == nullptr) {
        Py_DECREF(descr);
        return nullptr;
    }
    if (data == nullptr) data = &empty_storage;
    PyRef array(np->new_from_descr(np->array_type, descr, 1, &count, nullptr, data, kNpyArrayWriteable, nullptr));
    if (!array) return wrap_as_internal_error("NumPy could not create an array");
    if (np->set_base_object(array.get(), container.release()) != 0)
        return wrap_as_internal_error("NumPy could not set the array's base");
    return array.release();
}

// The same for a NumPy type number.
PyObject* wrap_buffer(SampleBuffer&& samples, int type_num, Py_ssize_t count) {
    const NumpyApi* np = numpy_api();
    if (np == nullptr) return nullptr;
    PyObject* descr = np->descr_from_type(type_num);
    if (descr == nullptr) return wrap_as_internal_error("NumPy could not describe a number type");
    return wrap_buffer_as(std::move(samples), descr, count);
}


}  // namespace

PyObject* StructDtypeCache::dtype_for(const StructMembers& members_ptr) {
    auto cached = dtypes.find(members_ptr.get());
    if (cached != dtypes.end()) return PyRef::borrow(cached->second.second.get()).release();
    const std::vector<MemberDef>& members = *members_ptr;
    // NumPy refuses repeated field names; say which one before touching NumPy:
    // the first member whose name an earlier member has. Sorting (name, index)
    // pairs keeps this at M log M for tens of thousands of members, whatever
    // the names (a hash set could be fed names that share one bucket).
    std::vector<std::pair<std::string_view, std::size_t>> sorted;
    sorted.reserve(members.size());
    for (std::size_t i = 0; i < members.size(); ++i) sorted.emplace_back(members[i].name, i);
    std::sort(sorted.begin(), sorted.end());
    std::size_t repeated = members.size();
    for (std::size_t k = 1; k < sorted.size(); ++k)
        if (sorted[k].first == sorted[k - 1].first) repeated = std::min(repeated, sorted[k].second);
    if (repeated != members.size()) {
        std::string message = "struct field name ";
        append_quoted_name(message, members[repeated].name);
        message += " appears more than once; numpy structured arrays require unique field names";
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return nullptr;
    }
    PyRef fields(PyList_New(static_cast<Py_ssize_t>(members.size())));
    if (!fields) return nullptr;
    for (std::size_t i = 0; i < members.size(); ++i) {
        const std::string& name = members[i].name;
        PyObject* field = Py_BuildValue("(s#s)", name.data(), static_cast<Py_ssize_t>(name.size()), "<f8");
        if (field == nullptr) return nullptr;
        PyList_SetItem(fields.get(), static_cast<Py_ssize_t>(i), field);
    }
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    PyRef dtype_fn(PyObject_GetAttrString(numpy.get(), "dtype"));
    if (!dtype_fn) return nullptr;
    PyRef dtype(PyObject_CallFunctionObjArgs(dtype_fn.get(), fields.get(), nullptr));
    if (!dtype) return nullptr;
    dtypes.emplace(members_ptr.get(), std::make_pair(members_ptr, PyRef::borrow(dtype.get())));
    return dtype.release();
}

PyObject* make_array(SampleData&& data, PyObject* struct_dtype) {
    switch (data.kind) {
        case SampleData::Kind::Float64: {
            const auto n = static_cast<Py_ssize_t>(data.samples.length());
            return wrap_buffer(std::move(data.samples), kNpyDouble, n);
        }
        case SampleData::Kind::Complex: {
            const auto n = static_cast<Py_ssize_t>(data.samples.length() / 2);
            return wrap_buffer(std::move(data.samples), kNpyCDouble, n);
        }
        case SampleData::Kind::Struct: {
            // A structured view over the flat float64 array of the samples,
            // made through the C API (no call of ndarray.view per trace).
            if (struct_dtype == nullptr || data.member_count == 0)
                return set_internal_error("a struct trace without its dtype");
            const auto words = static_cast<Py_ssize_t>(data.samples.length());
            Py_ssize_t n = words / static_cast<Py_ssize_t>(data.member_count);
            void* at = data.samples.data() != nullptr ? static_cast<void*>(data.samples.data()) : &empty_storage;
            PyRef flat(wrap_buffer(std::move(data.samples), kNpyDouble, words));
            if (!flat) return nullptr;
            const NumpyApi* np = numpy_api();
            Py_INCREF(struct_dtype);  // the new array takes this reference
            PyRef view(np->new_from_descr(np->array_type, struct_dtype, 1, &n, nullptr, at, kNpyArrayWriteable,
                                          nullptr));
            if (!view) return wrap_as_internal_error("NumPy could not create an array");
            if (np->set_base_object(view.get(), flat.release()) != 0)
                return wrap_as_internal_error("NumPy could not set the array's base");
            return view.release();
        }
    }
    return set_internal_error("unknown sample kind");
}

PyObject* make_number_array(PackedValues::Kind kind, SampleBuffer&& words, std::size_t count) {
    const auto n = static_cast<Py_ssize_t>(count);
    switch (kind) {
        case PackedValues::Kind::Int: return wrap_buffer(std::move(words), kNpyLongLong, n);
        case PackedValues::Kind::Float: return wrap_buffer(std::move(words), kNpyDouble, n);
        case PackedValues::Kind::Complex: return wrap_buffer(std::move(words), kNpyCDouble, n);
        default: break;
    }
    return set_internal_error("a number array of a kind that holds no numbers");
}

}  // namespace karvo
