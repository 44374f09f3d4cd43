// From a parse result to the one Psf object that read_psf returns.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "reader/parse.hpp"

namespace karvo {

// Takes the records of `ids`, in order, out of `signals`; an id without a
// record (a repeated id, since each lookup removes its entry) is an error.
Result<std::vector<SignalRecord>> resolve_signals(const std::vector<std::uint32_t>& ids,
                                                  IdMap<SignalRecord>& signals);

// A new reference to the Psf, or nullptr with a Python error set.
PyObject* assemble_psf(PropertyList&& header, std::vector<SignalRecord>&& sweeps,
                       std::vector<SignalRecord>&& traces, PackedValues&& values);

}  // namespace karvo
