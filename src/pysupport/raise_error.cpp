#include "pysupport/raise_error.hpp"

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "pysupport/entry.hpp"
#include "pysupport/internal_error.hpp"
#include "pysupport/py_ref.hpp"

namespace karvo {

namespace {

std::string bytes_of(PyObject* bytes) {
    return std::string(PyBytes_AsString(bytes), static_cast<std::size_t>(PyBytes_Size(bytes)));
}

// The path as shown in messages: every surrogate code point (a str can hold
// them only unpaired, even two that would pair in UTF-16) becomes U+FFFD.
PyObject* display_path(PyObject* path) {
    PyRef encoded(PyUnicode_AsEncodedString(path, "utf-8", "surrogatepass"));
    if (!encoded) return nullptr;
    std::string text = bytes_of(encoded.get());
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        // A surrogate encodes as ED A0..BF xx; nothing else starts that way.
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
        if (byte(i) == 0xED && i + 2 < text.size() && byte(i + 1) >= 0xA0) {
            shown += "\xEF\xBF\xBD";
            i += 2;
        } else {
            shown += text[i];
        }
    }
    return PyUnicode_DecodeUTF8(shown.data(), static_cast<Py_ssize_t>(shown.size()), "replace");
}

PyObject* message_str(const std::string& m) {
    return PyUnicode_DecodeUTF8(m.data(), static_cast<Py_ssize_t>(m.size()), "replace");
}

// An OSError subclass keeps its text in `args` only when it has no errno,
// strerror and filename: with them, str() shows "[Errno N] ...". Each base
// therefore gets a subclass of karvo's whose str() is its message and which
// pickles as the base with the same errno, strerror and filename.
PyObject* os_error_str(PyObject* self) {
    PyRef args(PyObject_GetAttrString(self, "args"));
    if (!args) return nullptr;
    if (PyTuple_Check(args.get()) && PyTuple_Size(args.get()) == 1) {
        PyObject* text = PyTuple_GetItem(args.get(), 0);
        if (PyUnicode_Check(text)) {
            Py_INCREF(text);
            return text;
        }
    }
    PyRef base_str(PyObject_GetAttrString(PyExc_OSError, "__str__"));
    return base_str ? PyObject_CallFunctionObjArgs(base_str.get(), self, nullptr) : nullptr;
}

PyObject* os_error_reduce(PyObject* self, PyObject*) {
    PyRef code(PyObject_GetAttrString(self, "errno"));
    PyRef text(code ? PyObject_GetAttrString(self, "strerror") : nullptr);
    PyRef name(text ? PyObject_GetAttrString(self, "filename") : nullptr);
    if (!name) return nullptr;
#ifdef _WIN32
    PyRef winerror(PyObject_GetAttrString(self, "winerror"));
    if (!winerror) return nullptr;
    return Py_BuildValue("(O(OOOO))", PyExc_OSError, code.get(), text.get(), name.get(), winerror.get());
#else
    return Py_BuildValue("(O(OOO))", PyExc_OSError, code.get(), text.get(), name.get());
#endif
}

PyMethodDef os_error_methods[] = {
    {"__reduce__", entry<os_error_reduce>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The subclass for `base`, made on first use (with the interpreter lock held)
// and kept for the life of the process.
PyObject* os_error_type(PyObject* base) {
    static std::vector<std::pair<PyObject*, PyObject*>> made;
    static std::deque<std::string> names;  // type names must outlive their types
    for (const auto& [b, type] : made)
        if (b == base) return type;
    PyRef base_name(PyObject_GetAttrString(base, "__name__"));
    PyRef utf8(base_name ? PyUnicode_AsUTF8String(base_name.get()) : nullptr);
    if (!utf8) return nullptr;
    names.push_back("karvo." + bytes_of(utf8.get()));
    PyType_Slot slots[] = {
        {Py_tp_str, entry_slot<os_error_str>()},
        {Py_tp_methods, os_error_methods},
        {0, nullptr},
    };
    PyType_Spec spec = {names.back().c_str(), 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    PyRef bases(PyTuple_Pack(1, base));
    if (!bases) return nullptr;
    PyObject* type = PyType_FromSpecWithBases(&spec, bases.get());
    if (type == nullptr) return nullptr;
    made.emplace_back(base, type);
    return type;
}

// An OSError of the subclass Python picks for the reader's code. On Windows
// the codes are Win32 errors: OSError(None, strerror, None, winerror) maps one
// to its errno and subclass (ERROR_FILE_NOT_FOUND: ENOENT, FileNotFoundError),
// as Python does for its own calls.
PyObject* os_error_for(PyObject* code, PyObject* strerror) {
#ifdef _WIN32
    return PyObject_CallFunctionObjArgs(PyExc_OSError, Py_None, strerror, Py_None, code, nullptr);
#else
    return PyObject_CallFunctionObjArgs(PyExc_OSError, code, strerror, nullptr);
#endif
}

PyObject* raise_os_error(const ParseError& error, PyObject* path) {
    PyRef shown(display_path(path));
    if (!shown) return nullptr;
    const char* verb = error.kind == ErrorKind::OpenFailed ? "open" : "mmap";
    PyRef message(PyUnicode_FromFormat("cannot %s %U: %s", verb, shown.get(), error.message.c_str()));
    if (!message) return nullptr;

    // The system's text alone, without " (os error N)".
    std::string reason = error.message;
    const std::size_t suffix = reason.rfind(" (os error ");
    if (error.os_code != 0 && suffix != std::string::npos) reason.resize(suffix);
    PyRef strerror(message_str(reason));
    PyRef code(error.os_code != 0 ? PyLong_FromLong(error.os_code) : (Py_INCREF(Py_None), Py_None));
    if (!strerror || !code) return nullptr;
    PyObject* base = PyExc_OSError;
    PyRef probe;
    if (error.os_code != 0) {
        probe = PyRef(os_error_for(code.get(), strerror.get()));
        if (!probe) return nullptr;
        base = reinterpret_cast<PyObject*>(Py_TYPE(probe.get()));
    }
    PyObject* type = os_error_type(base);
    if (type == nullptr) return nullptr;
    PyRef exc(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
    if (!exc) return nullptr;
#ifdef _WIN32
    // The code is winerror; errno is what Python made of it.
    if (PyObject_SetAttrString(exc.get(), "winerror", code.get()) != 0) return nullptr;
    code = probe ? PyRef(PyObject_GetAttrString(probe.get(), "errno")) : PyRef::borrow(Py_None);
    if (!code) return nullptr;
#endif
    if (PyObject_SetAttrString(exc.get(), "errno", code.get()) != 0 ||
        PyObject_SetAttrString(exc.get(), "strerror", strerror.get()) != 0 ||
        PyObject_SetAttrString(exc.get(), "filename", path) != 0)
        return nullptr;
    PyErr_SetObject(type, exc.get());
    return nullptr;
}

}  // namespace

PyObject* raise_read_error(const ParseError& error, PyObject* path) {
    switch (error.kind) {
        case ErrorKind::Malformed:
        case ErrorKind::FileChanged: {
            PyRef message(message_str(error.message));
            if (message) PyErr_SetObject(PyExc_ValueError, message.get());
            return nullptr;
        }
        case ErrorKind::OutOfMemory: {
            PyRef message(message_str(error.message));
            if (message) PyErr_SetObject(PyExc_MemoryError, message.get());
            return nullptr;
        }
        case ErrorKind::OpenFailed:
        case ErrorKind::MapFailed: return raise_os_error(error, path);
        case ErrorKind::Interrupted:
            if (PyErr_Occurred()) return nullptr;
            break;
    }
    return set_internal_error("a read ended without its error: " + error.message);
}

}  // namespace karvo
