#include "module/threads.hpp"

#include "pysupport/entry.hpp"
#include "reader/thread_pool.hpp"

namespace karvo {

namespace {

// More threads than this would only cost memory: each one's stack.
constexpr long kMostThreads = 1024;

PyObject* set_threads(PyObject*, PyObject* arg) {
    if (!PyLong_Check(arg) || PyBool_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "the number of threads must be an int");
        return nullptr;
    }
    int overflow = 0;
    const long n = PyLong_AsLongAndOverflow(arg, &overflow);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (overflow != 0 || n < 1 || n > kMostThreads) {
        PyErr_Format(PyExc_ValueError, "the number of threads must be from 1 to %ld, not %R", kMostThreads, arg);
        return nullptr;
    }
    set_num_threads(static_cast<unsigned>(n));
    Py_RETURN_NONE;
}

PyObject* get_threads(PyObject*, PyObject*) { return PyLong_FromUnsignedLong(num_threads()); }

PyObject* force(PyObject*, PyObject* arg) {
    const int on = PyObject_IsTrue(arg);
    if (on < 0) return nullptr;
    return PyBool_FromLong(force_split(on != 0) ? 1 : 0);
}

}  // namespace

PyMethodDef set_num_threads_def = {
    "_set_num_threads",
    entry<set_threads>,
    METH_O,
    "_set_num_threads(n, /)\n--\n\nSets how many threads may decode large bodies at once (1 to 1024).",
};

PyMethodDef get_num_threads_def = {
    "_get_num_threads",
    entry<get_threads>,
    METH_NOARGS,
    "_get_num_threads($module, /)\n--\n\nHow many threads may decode large bodies at once.",
};

PyMethodDef force_split_def = {
    "_force_split",
    entry<force>,
    METH_O,
    "_force_split(on, /)\n--\n\nFor tests: split every sampled body into its smallest parts; returns the previous "
    "state.",
};

}  // namespace karvo
