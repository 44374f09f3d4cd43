// NumPy reached through its C API table only: no NumPy headers are needed, and
// the table is fetched the first time an array is made, so importing karvo and
// reading files without swept data work without NumPy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace karvo {

// The few entries of the table that karvo calls. Their slot numbers are the
// same in NumPy 1.x and 2.x.
struct NumpyApi {
    PyTypeObject* array_type;                                // slot 2
    PyObject* (*descr_from_type)(int type_num);              // slot 45
    PyObject* (*new_from_descr)(PyTypeObject* subtype, PyObject* descr, int nd, const Py_ssize_t* dims,
                                const Py_ssize_t* strides, void* data, int flags,
                                PyObject* obj);              // slot 94
    int (*set_base_object)(PyObject* array, PyObject* base);  // slot 282
};

inline constexpr int kNpyLongLong = 9;  // int64 on every platform
inline constexpr int kNpyDouble = 12;
inline constexpr int kNpyCDouble = 15;
inline constexpr int kNpyArrayWriteable = 0x0400;

// The table, or nullptr with an error set: the one raised while NumPy was
// imported, or the internal error ("Failed to access NumPy array API
// capsule: ...") for a table that is not NumPy's. A failed attempt is
// retried by the next call.
const NumpyApi* numpy_api();

// Whether `o` is a NumPy array (or of a subclass), without importing NumPy:
// where it is not imported, no object is one. -1 with an error set when the
// table cannot be had.
int is_numpy_array(PyObject* o);

// The module "numpy" (new reference), imported if need be, or nullptr.
PyObject* numpy_module();

}  // namespace karvo
