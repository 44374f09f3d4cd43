#include "pysupport/refuse_new.hpp"

#include "pysupport/py_ref.hpp"

namespace karvo {

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto attr_text = [type](const char* attr) {
        PyObject* v = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attr);
        if (v == nullptr || !PyUnicode_Check(v)) {
            PyErr_Clear();
            Py_XDECREF(v);
            v = PyUnicode_FromString("<unknown>");
        }
        return PyRef(v);
    };
    PyRef module = attr_text("__module__");
    PyRef qualname = attr_text("__qualname__");
    if (!module || !qualname) return nullptr;
    PyErr_Format(PyExc_TypeError, "cannot create '%U.%U' instances", module.get(), qualname.get());
    return nullptr;
}

}  // namespace karvo
