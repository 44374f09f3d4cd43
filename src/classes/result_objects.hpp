// The instance layouts of Psf, Sweep, Trace and Value, shared by the files
// that give the types their behaviour (result_types: creation, attributes and
// lookup; reprs; array_protocol; pickling). Only src/classes includes it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

#include "classes/result_types.hpp"
#include "reader/catalog.hpp"

namespace karvo {

struct PsfObject {
    PyObject_HEAD
    PyObject* sweeps;  // tuple of Sweep
    PyObject* traces;  // tuple of Trace
    PyObject* values;  // tuple of Value
    PyObject* header;  // dict
    PyObject* index;   // name -> object, made on first lookup
    PyObject* path;    // str: the path it was read from; null when unknown
};

// A Value's layout, and the start of a Sweep's and a Trace's. Values stay
// this small: an operating point file holds hundreds of thousands of them.
struct NamedObject {
    PyObject_HEAD
    std::string name;      // UTF-8, owned by the instance
    PyObject* data;        // for a sweep or trace: null until first asked for
    PyObject* properties;  // a read-only mapping, often shared
};

// Sweep and Trace: their samples until they become the array. The array of
// each signal is made when its data is first asked for, so a file of
// thousands of traces costs an array only for those a caller looks at.
struct SignalObject : NamedObject {
    SampleData samples;
    PyObject* dtype;  // a struct trace's dtype, until its array is made
};

inline PsfObject* as_psf(PyObject* o) { return reinterpret_cast<PsfObject*>(o); }
inline NamedObject* as_named(PyObject* o) { return reinterpret_cast<NamedObject*>(o); }

// Whether `o` is exactly a Sweep or a Trace (the types cannot be subclassed).
bool is_signal(PyObject* o);

// The array of a Sweep or Trace, made on first use (borrowed), or nullptr
// with an error set.
PyObject* signal_array(PyObject* self);

// The name as a new str, or nullptr.
PyObject* name_str(const NamedObject* o);

// What a concern adds to a result type: slots other than the methods and
// attributes, and its methods and attributes (which result_type merges into
// one table each). The vectors carry no end markers.
struct TypeParts {
    std::vector<PyType_Slot> slots;
    std::vector<PyMethodDef> methods;
    std::vector<PyGetSetDef> getset;
};

// Array behaviour of Sweep and Trace, number conversions of Value.
TypeParts array_protocol_parts(ResultClass which);
// __reduce__ of every result type.
TypeParts pickling_parts(ResultClass which);
// The reprs.
reprfunc repr_of(ResultClass which);

}  // namespace karvo
