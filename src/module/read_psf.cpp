// read_psf(path): argument binding, path conversion, and the road from a file
// to its Psf. The file is read without the interpreter lock.
#include "module/read_psf.hpp"

#include <string>

#include "module/assemble.hpp"
#include "module/read_call.hpp"
#include "pysupport/entry.hpp"
#include "pysupport/py_ref.hpp"
#include "pysupport/raise_error.hpp"
#include "reader/read_file.hpp"

namespace karvo {

namespace {

// Binds the single parameter `path`; returns a borrowed reference or nullptr.
PyObject* bind_path(PyObject* args, PyObject* kwargs) {
    const Py_ssize_t positional = PyTuple_Size(args);
    if (positional > 1) {
        PyErr_Format(PyExc_TypeError, "read_psf() takes 1 positional arguments but %zd were given", positional);
        return nullptr;
    }
    PyObject* bound = positional == 1 ? PyTuple_GetItem(args, 0) : nullptr;
    if (kwargs != nullptr) {
        PyObject *key, *value;
        Py_ssize_t at = 0;
        while (PyDict_Next(kwargs, &at, &key, &value)) {
            if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, "path") != 0) {
                PyErr_Format(PyExc_TypeError, "read_psf() got an unexpected keyword argument '%S'", key);
                return nullptr;
            }
            if (bound != nullptr) {
                PyErr_SetString(PyExc_TypeError, "read_psf() got multiple values for argument 'path'");
                return nullptr;
            }
            bound = value;
        }
    }
    if (bound == nullptr)
        PyErr_SetString(PyExc_TypeError, "read_psf() missing 1 required positional argument: 'path'");
    return bound;
}

PyObject* read_psf_impl(PyObject* args, PyObject* kwargs) {
    PyObject* arg = bind_path(args, kwargs);
    if (arg == nullptr) return nullptr;
    PyRef path(fspath_str(arg));
    if (!path) return nullptr;
    std::string native;
    if (!native_path(path.get(), native)) return nullptr;

    ReadOptions options;
    Result<FileContents> contents = without_lock(options, [&] { return read_file(native, options); });
    if (!contents) return raise_read_error(contents.error(), path.get());
    if (!warn_read(path.get(), contents.value().warnings)) return nullptr;
    return assemble_psf(std::move(contents).value());
}

PyObject* read_psf(PyObject*, PyObject* args, PyObject* kwargs) { return read_psf_impl(args, kwargs); }

}  // namespace

PyMethodDef read_psf_def = {
    "read_psf",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<read_psf>)),
    METH_VARARGS | METH_KEYWORDS,
    "read_psf(path)\n--\n\nParse a psfbin or PSF ASCII file and return a [`Psf`].",
};

}  // namespace karvo
