#include "module/read_call.hpp"

#include "pysupport/py_ref.hpp"
#include "types/process.hpp"

namespace karvo {

namespace {

// Replaces a pending TypeError (exactly that type) by "argument 'path': ...",
// keeping its __cause__; other errors pass unchanged.
void prefix_argument_error() {
    if (!PyErr_Occurred()) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef owned_type(type), owned_value(value), owned_tb(tb);
    PyRef text(value ? PyObject_Str(value) : PyUnicode_FromString(""));
    if (!text) return;
    PyRef message(PyUnicode_FromFormat("argument 'path': %U", text.get()));
    if (!message) return;
    PyRef replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replacement) return;
    if (value != nullptr) {
        if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(replacement.get(), cause);
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

std::string bytes_of(PyObject* bytes) {
    return std::string(PyBytes_AsString(bytes), static_cast<std::size_t>(PyBytes_Size(bytes)));
}

// Whether the calling thread is the main thread, the only one that runs
// signal handlers. Asked once per process (a forked child has its own main
// thread); called with the interpreter lock held.
bool on_main_thread() {
    static long known_pid = -1;
    static unsigned long main_ident = 0;
    const long pid = process_id();
    if (pid != known_pid) {
        PyRef threading(PyImport_ImportModule("threading"));
        PyRef main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
        PyRef ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
        if (!ident) {
            PyErr_Clear();
            return false;
        }
        main_ident = PyLong_AsUnsignedLong(ident.get());
        PyErr_Clear();
        known_pid = pid;
    }
    return PyThread_get_thread_ident() == main_ident;
}

}  // namespace

PyObject* fspath_str(PyObject* arg) {
    PyRef path(PyOS_FSPath(arg));
    if (path && !PyUnicode_Check(path.get())) {
        PyRef type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(path.get())), "__name__"));
        if (type_name) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'str'", type_name.get());
        path = PyRef();
    }
    if (!path) prefix_argument_error();
    return path.release();
}

bool native_path(PyObject* path, std::string& out) {
#ifdef _WIN32
    // Windows names are UTF-16 (map_file converts): every lone surrogate is a
    // code unit of the name, never an escaped byte.
    for (const char* errors : {"surrogatepass"}) {
#else
    for (const char* errors : {"strict", "surrogateescape", "surrogatepass"}) {
#endif
        PyRef encoded(PyUnicode_AsEncodedString(path, "utf-8", errors));
        if (encoded) {
            out = bytes_of(encoded.get());
            return true;
        }
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();
    }
    return false;
}

bool warn_read(PyObject* path, const std::vector<std::string>& warnings) {
    if (warnings.empty()) return true;
    // The rule that finds the caller's line lives with the package's other
    // warnings.
    PyRef module(PyImport_ImportModule("karvo._errors"));
    if (!module) return false;
    for (const std::string& text : warnings) {
        PyRef message(PyUnicode_FromFormat("%U: %s", path, text.c_str()));
        if (!message) return false;
        PyRef done(PyObject_CallMethod(module.get(), "warn", "O", message.get()));
        if (!done) return false;
    }
    return true;
}

LockReleased::LockReleased(ReadOptions& options) {
    if (on_main_thread()) {
        options.interrupted = signal_pending;
        options.interrupt_context = this;
    }
    saved_ = PyEval_SaveThread();
}

LockReleased::~LockReleased() { PyEval_RestoreThread(saved_); }

bool LockReleased::signal_pending(void* self) {
    auto* released = static_cast<LockReleased*>(self);
    PyEval_RestoreThread(released->saved_);
    const bool pending = PyErr_CheckSignals() != 0;
    released->saved_ = PyEval_SaveThread();
    return pending;
}

}  // namespace karvo
