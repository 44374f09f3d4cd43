// Non-swept values as Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <unordered_map>
#include <vector>

#include "module/py_ref.hpp"
#include "reader/catalog.hpp"

namespace karvo {

// Dict keys of struct members, made once per struct type and shared by every
// value of that type: operating-point files repeat one struct many times.
class StructKeyCache {
public:
    // Borrowed key strings for the members, or nullptr with an error set.
    const std::vector<PyRef>* keys_for(const StructMembers& members);

private:
    std::unordered_map<const void*, std::vector<PyRef>> keys_;
};

// A new reference: int, float, complex, str, or for a struct a dict in member
// order (a repeated member name keeps its first position and the later value).
PyObject* value_to_python(ValueData&& value, StructKeyCache& keys);

}  // namespace karvo
