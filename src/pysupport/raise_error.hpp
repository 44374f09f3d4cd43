// Reader errors as Python exceptions, chosen in one place by their kind.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "types/result.hpp"

namespace karvo {

// Sets the exception for `error` and returns nullptr:
//   Malformed, FileChanged   ValueError with the message
//   OutOfMemory              MemoryError with the message
//   OpenFailed, MapFailed    the OSError subclass that Python picks for the
//                            error code (FileNotFoundError, ...), its message
//                            "cannot open {path}: {reason}" (or "cannot mmap"),
//                            with errno, strerror and filename set
//   Interrupted              the exception already pending (KeyboardInterrupt)
// `path` is the path str as passed.
PyObject* raise_read_error(const ParseError& error, PyObject* path);

}  // namespace karvo
