// Sample buffers become NumPy arrays without copying: the buffer moves into a
// PySliceContainer that is the array's base object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "reader/catalog.hpp"

namespace karvo {

// A new reference to a float64[N], complex128[N] or structured (N,) array, or
// nullptr with a Python error set. Takes over the record's buffer and names.
PyObject* make_array(SampleData&& data);

}  // namespace karvo
