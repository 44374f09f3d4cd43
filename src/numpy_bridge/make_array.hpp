// Sample buffers become NumPy arrays without copying: the buffer moves into a
// PySliceContainer that is the array's base object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <unordered_map>
#include <utility>

#include "pysupport/py_ref.hpp"
#include "reader/catalog.hpp"

namespace karvo {

// Structured dtypes made once per struct type within one call and shared by
// its traces: a file of a few KB can declare thousands of traces of one wide
// struct, and a dtype each would take hundreds of MB. Each key's member list
// is held, so its address stays unique while the cache lives.
struct StructDtypeCache {
    // A new reference to the structured dtype of these members (one float64
    // field each), or nullptr with a Python error set: a repeated member name
    // is refused with a ValueError that names it.
    PyObject* dtype_for(const StructMembers& members);

    std::unordered_map<const void*, std::pair<StructMembers, PyRef>> dtypes;
};

// A new reference to a float64[N], complex128[N] or structured (N,) array, or
// nullptr with a Python error set. Takes over the buffer; a struct needs its
// dtype (borrowed, from StructDtypeCache).
PyObject* make_array(SampleData&& data, PyObject* struct_dtype);

// An int64[N], float64[N] or complex128[N] array of an array value (kind Int,
// Float or Complex) over `words`, which it takes over.
PyObject* make_number_array(PackedValues::Kind kind, SampleBuffer&& words, std::size_t count);

}  // namespace karvo
