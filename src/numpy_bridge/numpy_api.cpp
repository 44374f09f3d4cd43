#include "numpy_bridge/numpy_api.hpp"

#include "pysupport/gil_once.hpp"
#include "pysupport/internal_error.hpp"
#include "pysupport/py_ref.hpp"

namespace karvo {

namespace {

GilOnce api_once;
NumpyApi api;

// Sets a Python error and returns false when the table cannot be had. An
// error raised while NumPy is imported (ImportError, KeyboardInterrupt, ...)
// passes unchanged; a table that is not what it should be is a broken
// invariant.
bool load_table() {
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    PyRef version(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return false;
    PyRef lib(PyImport_ImportModule("numpy.lib"));
    if (!lib) return false;
    PyRef parsed(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) return false;
    PyRef major_obj(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_obj) return false;
    long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) return false;
    if (major < 0 || major > 255) {
        set_internal_error("Failed to access NumPy array API capsule: NumPy major version out of range");
        return false;
    }
    const char* multiarray = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    PyRef module(PyImport_ImportModule(multiarray));
    if (!module) return false;
    PyRef capsule(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule) return false;
    if (!PyCapsule_CheckExact(capsule.get())) {
        set_internal_error("Failed to access NumPy array API capsule: _ARRAY_API is not a capsule");
        return false;
    }
    auto table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) {
        wrap_as_internal_error("Failed to access NumPy array API capsule");
        return false;
    }
    api.array_type = static_cast<PyTypeObject*>(table[2]);
    api.descr_from_type = reinterpret_cast<decltype(api.descr_from_type)>(table[45]);
    api.new_from_descr = reinterpret_cast<decltype(api.new_from_descr)>(table[94]);
    api.set_base_object = reinterpret_cast<decltype(api.set_base_object)>(table[282]);
    return true;
}

}  // namespace

const NumpyApi* numpy_api() {
    bool ok = api_once.run(load_table);
    return ok ? &api : nullptr;
}

int is_numpy_array(PyObject* o) {
    PyRef name(PyUnicode_FromString("numpy"));
    if (!name) return -1;
    PyRef loaded(PyImport_GetModule(name.get()));
    if (!loaded) return PyErr_Occurred() ? -1 : 0;
    const NumpyApi* np = numpy_api();
    if (np == nullptr) return -1;
    return PyObject_TypeCheck(o, np->array_type) ? 1 : 0;
}

PyObject* numpy_module() { return PyImport_ImportModule("numpy"); }

}  // namespace karvo
