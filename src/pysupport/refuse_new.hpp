// The tp_new of the types that cannot be instantiated from Python (the
// result classes, the array owner, the file handle).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace karvo {

// Raises TypeError "cannot create '{module}.{qualname}' instances".
PyObject* refuse_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace karvo
