// Instances of the extension's own types (made by PyType_FromSpec, without
// support for the cycle collector, with the default tp_alloc and tp_free),
// made and freed directly: a read makes a few objects per signal, and
// looking up the type's slots for each of them cost a fifth of their making.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>

namespace karvo {

// A new instance of `type`, `size` bytes (the type's basic size), zeroed, or
// nullptr with MemoryError set. It holds a reference to its type.
inline PyObject* new_instance(PyTypeObject* type, std::size_t size) {
    void* memory = PyObject_Malloc(size);
    if (memory == nullptr) return PyErr_NoMemory();
    std::memset(memory, 0, size);
    return PyObject_Init(static_cast<PyObject*>(memory), type);
}

// Frees an instance made by new_instance, once its fields are released.
inline void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

}  // namespace karvo
