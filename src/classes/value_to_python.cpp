#include "classes/value_to_python.hpp"

#include <cstring>

#include "pysupport/internal_error.hpp"

namespace karvo {

namespace {

// Only memory exhaustion makes these constructors fail, with MemoryError.
PyObject* basic_object_failed(const char* what) {
    if (PyErr_Occurred()) return nullptr;
    std::string message = "the interpreter could not create a ";
    message += what;
    return set_internal_error(message);
}

}  // namespace

StructKeyCache::Keys* StructKeyCache::keys_for(const std::vector<MemberDef>& members) {
    auto found = keys_.find(&members);
    if (found != keys_.end()) return &found->second;
    Keys keys;
    keys.names.reserve(members.size());
    for (const MemberDef& m : members) {
        PyRef key(PyUnicode_DecodeUTF8(m.name.data(), static_cast<Py_ssize_t>(m.name.size()), "strict"));
        if (!key) return nullptr;
        keys.names.push_back(std::move(key));
    }
    return &keys_.emplace(&members, std::move(keys)).first->second;
}

namespace {

PyObject* scalar_to_python(PackedValues::Reader& reader, PackedValues::Kind kind, NumberArrayFn numbers);

// Strings as a tuple; numbers as one NumPy array.
PyObject* array_to_python(PackedValues::Reader& reader, NumberArrayFn numbers) {
    const PackedValues::Reader::ArrayHead array = reader.take_array_head();
    if (array.element == PackedValues::Kind::String) {
        PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(array.count)));
        if (!tuple) return basic_object_failed("tuple");
        for (std::uint64_t i = 0; i < array.count; ++i) {
            PyObject* item = scalar_to_python(reader, array.element, numbers);
            if (item == nullptr) return nullptr;
            PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);
        }
        return tuple.release();
    }
    const std::size_t per = array.element == PackedValues::Kind::Complex ? 2 : 1;
    if (array.element != PackedValues::Kind::Int && array.element != PackedValues::Kind::Float && per != 2)
        return set_internal_error("an array of values that are neither numbers nor strings");
    SampleBuffer words;
    if (!words.reserve_more(array.count * per)) return PyErr_NoMemory();
    for (std::uint64_t i = 0; i < array.count; ++i) {
        double* slot = words.append_slot(per);
        if (array.element == PackedValues::Kind::Int) {
            const std::int64_t v = reader.take_int();
            std::memcpy(slot, &v, sizeof v);
        } else {
            for (std::size_t w = 0; w < per; ++w) slot[w] = reader.take_float();
        }
    }
    return numbers(array.element, std::move(words), array.count);
}

PyObject* scalar_to_python(PackedValues::Reader& reader, PackedValues::Kind kind, NumberArrayFn numbers) {
    PyObject* out = nullptr;
    switch (kind) {
        case PackedValues::Kind::Int:
            out = PyLong_FromLongLong(reader.take_int());
            return out ? out : basic_object_failed("int");
        case PackedValues::Kind::Float:
            out = PyFloat_FromDouble(reader.take_float());
            return out ? out : basic_object_failed("float");
        case PackedValues::Kind::Complex: {
            const double re = reader.take_float();
            out = PyComplex_FromDoubles(re, reader.take_float());
            return out ? out : basic_object_failed("complex");
        }
        case PackedValues::Kind::String: {
            std::string_view text = reader.take_string();
            out = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
            return out ? out : basic_object_failed("str");
        }
        case PackedValues::Kind::Array: return array_to_python(reader, numbers);
        case PackedValues::Kind::Struct: break;
    }
    return set_internal_error("a struct where a scalar value was expected");
}

}  // namespace

PyObject* value_to_python(PackedValues::Reader& reader, const PackedValues::Reader::Head& head,
                          StructKeyCache& keys, NumberArrayFn numbers) {
    if (head.kind != PackedValues::Kind::Struct) return scalar_to_python(reader, head.kind, numbers);
    const std::vector<MemberDef>& members = *head.members;
    StructKeyCache::Keys* names = keys.keys_for(members);
    if (names == nullptr) return basic_object_failed("str");
    if (!names->blank) {
        PyRef blank(PyDict_New());
        if (!blank) return basic_object_failed("dict");
        for (const PyRef& name : names->names)
            if (PyDict_SetItem(blank.get(), name.get(), Py_None) != 0) return nullptr;
        names->blank = std::move(blank);
    }
    PyRef dict(PyDict_Copy(names->blank.get()));
    if (!dict) return basic_object_failed("dict");
    for (std::size_t i = 0; i < members.size(); ++i) {
        PackedValues::Kind kind;
        if (!PackedValues::kind_of(members[i].type, kind))
            return set_internal_error("a struct member of a datatype that holds no value");
        PyRef item(scalar_to_python(reader, kind, numbers));
        if (!item) return nullptr;
        if (PyDict_SetItem(dict.get(), names->names[i].get(), item.get()) != 0) return nullptr;
    }
    return dict.release();
}

}  // namespace karvo
