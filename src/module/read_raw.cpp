#include "module/read_raw.hpp"

#include <new>
#include <string>
#include <vector>

#include "module/assemble.hpp"
#include "module/read_call.hpp"
#include "pysupport/internal_error.hpp"
#include "pysupport/py_ref.hpp"
#include "pysupport/raise_error.hpp"
#include "reader/raw_parse.hpp"

namespace karvo {

namespace {

PyObject* run_starts_tuple(const std::vector<std::uint64_t>& starts) {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(starts.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        PyObject* start = PyLong_FromUnsignedLongLong(starts[i]);
        if (start == nullptr) return nullptr;
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), start);
    }
    return tuple.release();
}

PyObject* read_raw_impl(PyObject* arg) {
    PyRef path(fspath_str(arg));
    if (!path) return nullptr;
    std::string native;
    if (!native_path(path.get(), native)) return nullptr;

    ReadOptions options;
    Result<std::vector<RawPlot>> read = without_lock(options, [&] { return read_raw_file(native, options); });
    if (!read) return raise_read_error(read.error(), path.get());
    std::vector<RawPlot>& plots = read.value();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(plots.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < plots.size(); ++i) {
        PyRef psf(assemble_psf(std::move(plots[i].contents)));
        if (!psf) return nullptr;
        PyRef starts(run_starts_tuple(plots[i].run_starts));
        if (!starts) return nullptr;
        PyObject* pair = PyTuple_Pack(2, psf.get(), starts.get());
        if (pair == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
}

// C++ exceptions never reach the interpreter: the only one that can arise is
// an allocation failure of a standard container.
PyObject* read_raw(PyObject*, PyObject* arg) {
    try {
        return read_raw_impl(arg);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        return set_internal_error("unexpected C++ exception in _read_raw");
    }
}

}  // namespace

PyMethodDef read_raw_def = {
    "_read_raw",
    read_raw,
    METH_O,
    "_read_raw(path, /)\n--\n\nReads a SPICE raw file for karvo.read_raw: one (Psf, run starts) per plot.",
};

}  // namespace karvo
