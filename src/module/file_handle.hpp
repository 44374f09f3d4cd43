// The handle behind karvo.open(): an open file whose catalog is known and
// whose signals are read on request, without the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace karvo {

// _open_file(path): a new handle, or nullptr with the exception read_psf
// would raise for the file.
extern PyMethodDef open_file_def;

}  // namespace karvo
