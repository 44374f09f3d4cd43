#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace karvo {

extern PyMethodDef read_psf_def;

}  // namespace karvo
