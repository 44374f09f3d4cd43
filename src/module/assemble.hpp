// From the contents of one file to the one Psf object that read_psf returns.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "classes/properties.hpp"
#include "classes/result_types.hpp"
#include "reader/read_file.hpp"

namespace karvo {

// A tuple of Sweep or Trace objects made from the records (their names and
// samples move into the objects), or nullptr with a Python error set.
PyObject* signal_objects(ResultClass which, const std::vector<SignalRecord*>& records, PropertyMappings& properties);

// A tuple of Value objects. With `free_as_made` (the same values), each chunk
// of packed values is freed once its values are objects: they cannot be read
// again.
PyObject* value_objects(const PackedValues& values, PropertyMappings& properties, PackedValues* free_as_made);

// A new reference to the Psf of the file at `path` (a str, borrowed), or
// nullptr with a Python error set. Names, sample buffers and values move into
// the objects as they are made.
PyObject* assemble_psf(FileContents&& contents, PyObject* path);

}  // namespace karvo
