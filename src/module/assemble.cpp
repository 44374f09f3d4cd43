#include "module/assemble.hpp"

#include "classes/properties.hpp"
#include "classes/result_types.hpp"
#include "classes/value_to_python.hpp"
#include "module/read_call.hpp"
#include "numpy_bridge/make_array.hpp"
#include "pysupport/internal_error.hpp"

namespace karvo {

PyObject* signal_objects(ResultClass which, const std::vector<SignalRecord*>& records, PropertyMappings& properties) {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(records.size())));
    if (!tuple) return nullptr;
    StructDtypeCache dtypes;
    for (std::size_t i = 0; i < records.size(); ++i) {
        SignalRecord& record = *records[i];
        // A struct's dtype is made now: it refuses repeated member names.
        PyRef dtype;
        if (record.data.kind == SampleData::Kind::Struct) {
            dtype = PyRef(dtypes.dtype_for(record.data.members));
            if (!dtype) return nullptr;
        }
        PyRef mapping(properties.get(record.type_properties.get(), record.properties.get()));
        if (!mapping) return nullptr;
        PyObject* object =
            make_signal(which, std::move(record.name), std::move(record.data), std::move(dtype), std::move(mapping));
        if (object == nullptr) return nullptr;
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), object);
        if (interrupted_while_making(i)) return nullptr;
    }
    return tuple.release();
}

PyObject* value_objects(const PackedValues& values, PropertyMappings& properties, PackedValues* free_as_made) {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!tuple) return nullptr;
    StructKeyCache keys;
    // Packed values go as their objects come, so the two never peak together.
    PackedValues::Reader reader = free_as_made ? PackedValues::Reader(*free_as_made, true) : PackedValues::Reader(values);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const PackedValues::Reader::Head head = reader.head();
        PyRef data(value_to_python(reader, head, keys, make_number_array));
        if (!data) return nullptr;
        const PropertyList* own = reader.take_own_properties();
        PyRef mapping(properties.get(head.type_properties ? head.type_properties->get() : nullptr, own));
        if (!mapping) return nullptr;
        PyObject* object = make_named(ResultClass::Value, std::string(head.name), std::move(data), std::move(mapping));
        if (object == nullptr) return nullptr;
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), object);
        if (interrupted_while_making(i)) return nullptr;
    }
    return tuple.release();
}

PyObject* assemble_psf(FileContents&& contents) {
    PropertyMappings properties;
    PsfParts parts;
    parts.header = PyRef(property_dict(&contents.header, nullptr));
    if (!parts.header) return nullptr;
    parts.sweeps = PyRef(signal_objects(ResultClass::Sweep, contents.sweeps, properties));
    if (!parts.sweeps) return nullptr;
    parts.traces = PyRef(signal_objects(ResultClass::Trace, contents.traces, properties));
    if (!parts.traces) return nullptr;
    // The records' names and samples are the objects' now.
    contents.sweeps = {};
    contents.traces = {};
    if (!release_looking_at_signals(contents.signals)) return nullptr;
    parts.values = PyRef(value_objects(contents.values, properties, &contents.values));
    if (!parts.values) return nullptr;
    return make_psf(std::move(parts));
}

}  // namespace karvo
