// The _karvo module: multi-phase initialisation and its one execution step.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "classes/result_types.hpp"
#include "pysupport/entry.hpp"
#include "pysupport/py_ref.hpp"
#include "module/file_handle.hpp"
#include "module/read_raw.hpp"
#include "module/read_psf.hpp"
#include "module/threads.hpp"

namespace karvo {

namespace {

void set_cast_error(PyObject* object, const char* target) {
    PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
    if (name) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), target);
}

// Appends `name` to the module's __all__ (made when missing), then sets it.
bool add_public(PyObject* module, const char* name, PyObject* value) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
    } else if (!PyList_Check(all.get())) {
        set_cast_error(all.get(), "list");
        return false;
    }
    PyRef key(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) != 0) return false;
    return PyObject_SetAttrString(module, name, value) == 0;
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        set_cast_error(module, "module");
        return -1;
    }
    PyRef version(PyUnicode_FromString(KARVO_VERSION));
    if (!version || !add_public(module, "__version__", version.get())) return -1;

    const struct {
        const char* name;
        ResultClass which;
    } classes[] = {{"Psf", ResultClass::Psf},
                   {"Sweep", ResultClass::Sweep},
                   {"Trace", ResultClass::Trace},
                   {"Value", ResultClass::Value}};
    for (const auto& c : classes) {
        PyTypeObject* type = result_type(c.which);
        if (type == nullptr || !add_public(module, c.name, reinterpret_cast<PyObject*>(type))) return -1;
    }

    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    PyRef function(PyCFunction_NewEx(&read_psf_def, module, module_name.get()));
    if (!function) return -1;
    PyRef function_name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!function_name) return -1;
    PyRef name_utf8(PyUnicode_AsUTF8String(function_name.get()));
    if (!name_utf8) return -1;
    if (!add_public(module, PyBytes_AsString(name_utf8.get()), function.get())) return -1;

    // For the karvo package's open(), read_raw() and thread settings, and what
    // pickles of the result classes call; not part of __all__.
    for (PyMethodDef* def : {&open_file_def, &read_raw_def, &rebuild_psf_def, &rebuild_named_def,
                             &set_num_threads_def, &get_num_threads_def, &force_split_def}) {
        PyRef private_function(PyCFunction_NewEx(def, module, module_name.get()));
        if (!private_function || PyObject_SetAttrString(module, def->ml_name, private_function.get()) != 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, entry_slot<exec_module>()},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_karvo",
    "karvo native extension module.\n\n"
    "Maintainers: the init function must be named after `_karvo`, the last segment of the "
    "package's configured module name `karvo._karvo`.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace karvo

PyMODINIT_FUNC PyInit__karvo(void) { return PyModuleDef_Init(&karvo::module_def); }
