#include "module/assemble.hpp"

#include "classes/result_types.hpp"
#include "classes/value_to_python.hpp"
#include "module/internal_error.hpp"
#include "numpy_bridge/make_array.hpp"
#include "types/format.hpp"

namespace karvo {

Result<std::vector<SignalRecord>> resolve_signals(const std::vector<std::uint32_t>& ids,
                                                  IdMap<SignalRecord>& signals) {
    std::vector<SignalRecord> records;
    records.reserve(ids.size());
    for (std::uint32_t id : ids) {
        auto node = signals.extract(id);
        if (node.empty())
            return ParseError{format_message("internal: missing declaration {} during assembly", id)};
        records.push_back(std::move(node.mapped()));
    }
    return records;
}

namespace {

PyObject* property_value(PropertyValue& value) {
    PyObject* out = nullptr;
    if (auto* text = std::get_if<std::string>(&value))
        out = PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "strict");
    else if (auto* number = std::get_if<std::uint32_t>(&value))
        out = PyLong_FromUnsignedLong(*number);
    else
        out = PyFloat_FromDouble(std::get<double>(value));
    if (out == nullptr && (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_MemoryError))) {
        PyErr_Clear();
        set_internal_error("the interpreter could not create a header value");
    }
    return out;
}

PyObject* header_dict(PropertyList& header) {
    PyRef dict(PyDict_New());
    if (!dict) return set_internal_error("the interpreter could not create a dict");
    for (Property& p : header) {
        PyRef value(property_value(p.value));
        if (!value) return nullptr;
        PyRef key(PyUnicode_DecodeUTF8(p.name.data(), static_cast<Py_ssize_t>(p.name.size()), "strict"));
        if (!key) return set_internal_error("the interpreter could not create a str");
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) return nullptr;
    }
    return dict.release();
}

PyObject* signal_objects(ResultClass which, std::vector<SignalRecord>& records) {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(records.size())));
    if (!tuple) return set_internal_error("the interpreter could not create a tuple");
    StructDtypeCache dtypes;
    for (std::size_t i = 0; i < records.size(); ++i) {
        PyRef array(make_array(std::move(records[i].data), dtypes));
        if (!array) return nullptr;
        PyObject* object = make_named(which, std::move(records[i].name), std::move(array));
        if (object == nullptr) return nullptr;
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), object);
    }
    return tuple.release();
}

PyObject* value_objects(PackedValues& values) {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!tuple) return set_internal_error("the interpreter could not create a tuple");
    StructKeyCache keys;
    // Packed values go as their objects come, so the two never peak together.
    PackedValues::Reader reader(values, /*free_read_chunks=*/true);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const PackedValues::Reader::Head head = reader.head();
        PyRef data(value_to_python(reader, head, keys));
        if (!data) return nullptr;
        PyObject* object = make_named(ResultClass::Value, std::string(head.name), std::move(data));
        if (object == nullptr) return nullptr;
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), object);
    }
    return tuple.release();
}

}  // namespace

PyObject* assemble_psf(PropertyList&& header, std::vector<SignalRecord>&& sweeps,
                       std::vector<SignalRecord>&& traces, PackedValues&& values) {
    PsfParts parts;
    parts.header = PyRef(header_dict(header));
    if (!parts.header) return nullptr;
    parts.sweeps = PyRef(signal_objects(ResultClass::Sweep, sweeps));
    if (!parts.sweeps) return nullptr;
    parts.traces = PyRef(signal_objects(ResultClass::Trace, traces));
    if (!parts.traces) return nullptr;
    parts.values = PyRef(value_objects(values));
    if (!parts.values) return nullptr;
    return make_psf(std::move(parts));
}

}  // namespace karvo
