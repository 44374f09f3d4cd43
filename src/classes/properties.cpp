#include "classes/properties.hpp"

namespace karvo {

PyObject* property_value(const PropertyValue& value) {
    if (auto* text = std::get_if<std::string>(&value))
        return PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "strict");
    if (auto* number = std::get_if<std::int64_t>(&value)) return PyLong_FromLongLong(*number);
    return PyFloat_FromDouble(std::get<double>(value));
}

PyObject* property_dict(const PropertyList* first, const PropertyList* second) {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (const PropertyList* list : {first, second}) {
        if (list == nullptr) continue;
        for (const Property& p : *list) {
            PyRef value(property_value(p.value));
            if (!value) return nullptr;
            PyRef key(PyUnicode_DecodeUTF8(p.name.data(), static_cast<Py_ssize_t>(p.name.size()), "strict"));
            if (!key || PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) return nullptr;
        }
    }
    return dict.release();
}

PyObject* PropertyMappings::get(const PropertyList* type_list, const PropertyList* own) {
    if (own == nullptr) {
        if (last_mapping_ != nullptr && last_list_ == type_list) return PyRef::borrow(last_mapping_).release();
        auto found = shared_.find(type_list);
        if (found != shared_.end()) {
            last_list_ = type_list;
            last_mapping_ = found->second.get();
            return PyRef::borrow(last_mapping_).release();
        }
    }
    PyRef dict(property_dict(type_list, own));
    PyRef proxy(dict ? PyDictProxy_New(dict.get()) : nullptr);
    if (!proxy) return nullptr;
    if (own == nullptr) {
        shared_.emplace(type_list, PyRef::borrow(proxy.get()));
        last_list_ = type_list;
        last_mapping_ = proxy.get();
    }
    return proxy.release();
}

}  // namespace karvo
