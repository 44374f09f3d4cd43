#include "classes/value_to_python.hpp"

#include "module/internal_error.hpp"

namespace karvo {

namespace {

PyObject* basic_object_failed(const char* what) {
    // Only memory exhaustion makes these constructors fail.
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
    PyErr_Clear();
    std::string message = "the interpreter could not create a ";
    message += what;
    return set_internal_error(message);
}

}  // namespace

StructKeyCache::Keys* StructKeyCache::keys_for(const StructMembers& members) {
    auto found = keys_.find(members.get());
    if (found != keys_.end()) return &found->second;
    Keys keys;
    keys.names.reserve(members->size());
    for (const MemberDef& m : *members) {
        PyRef key(PyUnicode_DecodeUTF8(m.name.data(), static_cast<Py_ssize_t>(m.name.size()), "strict"));
        if (!key) return nullptr;
        keys.names.push_back(std::move(key));
    }
    return &keys_.emplace(members.get(), std::move(keys)).first->second;
}

PyObject* value_to_python(ValueData&& value, StructKeyCache& keys) {
    PyObject* out = nullptr;
    switch (value.kind) {
        case ValueData::Kind::Int:
            out = PyLong_FromLongLong(value.int_value);
            return out ? out : basic_object_failed("int");
        case ValueData::Kind::Float:
            out = PyFloat_FromDouble(value.re);
            return out ? out : basic_object_failed("float");
        case ValueData::Kind::Complex:
            out = PyComplex_FromDoubles(value.re, value.im);
            return out ? out : basic_object_failed("complex");
        case ValueData::Kind::String:
            out = PyUnicode_DecodeUTF8(value.extra->text.data(), static_cast<Py_ssize_t>(value.extra->text.size()),
                                       "strict");
            return out ? out : basic_object_failed("str");
        case ValueData::Kind::Struct: break;
    }
    StructKeyCache::Keys* names = keys.keys_for(value.extra->struct_members);
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
    std::vector<ValueData>& members = value.extra->member_values;
    for (std::size_t i = 0; i < members.size(); ++i) {
        PyRef item(value_to_python(std::move(members[i]), keys));
        if (!item) return nullptr;
        if (PyDict_SetItem(dict.get(), names->names[i].get(), item.get()) != 0) return nullptr;
    }
    return dict.release();
}

}  // namespace karvo
