// From the contents of one file to the one Psf object that read_psf returns.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "reader/read_file.hpp"

namespace karvo {

// A new reference to the Psf, or nullptr with a Python error set. Names,
// sample buffers and values move into the objects as they are made.
PyObject* assemble_psf(FileContents&& contents);

}  // namespace karvo
