#include "pysupport/internal_error.hpp"

#include <string>

#include "pysupport/gil_once.hpp"
#include "pysupport/py_ref.hpp"

namespace karvo {

namespace {

GilOnce error_type_once;
PyObject* error_type = nullptr;

PyObject* internal_error_type() {
    bool ok = error_type_once.run([] {
        error_type = PyErr_NewExceptionWithDoc(
            "karvo.InternalError",
            "A broken internal invariant of karvo, or the interpreter failing to create a basic object.",
            PyExc_BaseException, nullptr);
        return error_type != nullptr;
    });
    return ok ? error_type : nullptr;
}

// "TypeName: message" of an exception object, or a fixed text.
std::string describe(PyObject* exc) {
    std::string out;
    if (exc == nullptr) return "unknown error";
    PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(exc)), "__name__"));
    PyRef text(PyObject_Str(exc));
    PyErr_Clear();
    for (PyObject* part : {name.get(), text.get()}) {
        if (part == nullptr) continue;
        PyRef utf8(PyUnicode_AsUTF8String(part));
        PyErr_Clear();
        if (!utf8) continue;
        if (!out.empty()) out += ": ";
        out.append(PyBytes_AsString(utf8.get()), static_cast<std::size_t>(PyBytes_Size(utf8.get())));
    }
    return out.empty() ? "unknown error" : out;
}

}  // namespace

PyObject* set_internal_error(std::string_view message) {
    PyObject* type = internal_error_type();
    if (type == nullptr) return nullptr;  // the failure to make the type is the error
    PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return nullptr;
    PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* wrap_as_internal_error(std::string_view prefix) {
    // Exhausted memory and interruptions are what they are, not broken invariants.
    if (PyErr_Occurred() &&
        (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception)))
        return nullptr;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef owned_type(type), owned_value(value), owned_tb(tb);
    std::string message(prefix);
    message += ": ";
    message += describe(value);
    return set_internal_error(message);
}

}  // namespace karvo
