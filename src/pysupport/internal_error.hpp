// The internal-error exception: a broken invariant or the interpreter failing
// to make a basic object. It derives from BaseException so that ordinary
// `except Exception` handlers do not swallow it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

namespace karvo {

// Sets the internal error with this message; returns nullptr for chaining.
PyObject* set_internal_error(std::string_view message);

// Replaces the pending Python error with an internal error whose message is
// `prefix` followed by ": " and the text of the replaced error. MemoryError,
// and exceptions that are not Exceptions (KeyboardInterrupt), stay as they are.
PyObject* wrap_as_internal_error(std::string_view prefix);

}  // namespace karvo
