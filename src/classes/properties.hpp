// Property lists as Python objects: the header dict, and the read-only
// `properties` mapping of sweeps, traces and values.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <map>
#include <utility>

#include "pysupport/py_ref.hpp"
#include "types/properties.hpp"

namespace karvo {

// A str, int or float (new reference), or nullptr with an error set.
PyObject* property_value(const PropertyValue& value);

// A dict of the lists' properties in order (a later name wins, at the
// position of its first appearance); either list may be null.
PyObject* property_dict(const PropertyList* first, const PropertyList* second);

// Read-only mappings of the properties of one read's signals and values. A
// type's list is shared by everything of that type, so the mapping of a
// type's list alone is made once and shared too.
class PropertyMappings {
public:
    // A new reference to a mappingproxy, or nullptr with an error set.
    PyObject* get(const PropertyList* type_list, const PropertyList* own);

private:
    std::map<const PropertyList*, PyRef> shared_;
    // The last shared mapping handed out: signals of one type mostly come
    // in runs.
    const PropertyList* last_list_ = nullptr;
    PyObject* last_mapping_ = nullptr;  // borrowed from shared_
};

}  // namespace karvo
