// _read_raw(path): the plots of a SPICE raw file, read without the
// interpreter lock, each made as read_psf makes a Psf.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace karvo {

// A list with one (Psf, run starts) tuple per plot, or nullptr with the
// exception read_psf would raise for such a failure. Run starts: a tuple of
// the first point of each run of a stepped plot, else empty.
extern PyMethodDef read_raw_def;

}  // namespace karvo
