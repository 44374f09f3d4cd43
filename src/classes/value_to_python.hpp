// Non-swept values as Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <unordered_map>
#include <vector>

#include "pysupport/py_ref.hpp"
#include "reader/catalog.hpp"

namespace karvo {

// Dict keys of struct members, made once per struct type and shared by every
// value of that type: operating-point files repeat one struct many times.
class StructKeyCache {
public:
    struct Keys {
        std::vector<PyRef> names;  // one per member, in member order
        // The distinct names in that order, each mapped to None, made with
        // the first value: a value's dict starts as a copy of it, made at its
        // final size at once instead of growing while it is filled.
        PyRef blank;
    };
    // Borrowed, or nullptr with an error set.
    Keys* keys_for(const std::vector<MemberDef>& members);

private:
    std::unordered_map<const void*, Keys> keys_;
};

// A NumPy array of `count` numbers of `kind` (Int, Float or Complex) taken
// over from `words` (int64 bit patterns, float64 words, or two per complex
// number): a new reference, or nullptr with an error set. The module hands
// in the NumPy bridge's, so that this layer needs no NumPy.
using NumberArrayFn = PyObject* (*)(PackedValues::Kind kind, SampleBuffer&& words, std::size_t count);

// The payload of the value whose head the reader has just taken, as a new
// reference: int, float, complex, str, an array (a tuple of str, or a NumPy
// array of numbers made by `numbers`), or for a struct a dict in member
// order (a repeated member name keeps its first position and the later
// value).
PyObject* value_to_python(PackedValues::Reader& reader, const PackedValues::Reader::Head& head,
                          StructKeyCache& keys, NumberArrayFn numbers);

}  // namespace karvo
