// The result classes Psf, Sweep, Trace and Value: immutable holders made only
// by result assembly, never from Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "pysupport/py_ref.hpp"
#include "reader/catalog.hpp"

namespace karvo {

enum class ResultClass { Psf, Sweep, Trace, Value };

// The type object, created on first use and kept for the life of the process;
// nullptr with a Python error set when it cannot be created. Borrowed.
PyTypeObject* result_type(ResultClass which);

// What a Psf is made from; creation takes over every reference.
struct PsfParts {
    PyRef sweeps;  // tuple of Sweep
    PyRef traces;  // tuple of Trace
    PyRef values;  // tuple of Value
    PyRef header;  // dict
    PyRef path;    // str: the path of the file it comes from (its repr names
                   // the file); empty where there is none
};

// A Value from a name, a data object and a properties mapping (all taken
// over). A Sweep or Trace made so has its array as `data` already.
PyObject* make_named(ResultClass which, std::string&& name, PyRef data, PyRef properties);
// A Sweep or Trace from a name, its samples, a struct trace's dtype (else
// empty) and a properties mapping (all taken over). Its array is made from
// the samples when `data` is first asked for.
PyObject* make_signal(ResultClass which, std::string&& name, SampleData&& samples, PyRef struct_dtype,
                      PyRef properties);
PyObject* make_psf(PsfParts&& parts);

// The private functions that unpickling calls (not in the module's __all__).
extern PyMethodDef rebuild_psf_def;
extern PyMethodDef rebuild_named_def;

}  // namespace karvo
