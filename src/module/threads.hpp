// How many threads decode one large body: _set_num_threads, _get_num_threads
// (karvo.set_num_threads, karvo.get_num_threads), and _force_split for the
// tests (every body split into its smallest parts).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace karvo {

extern PyMethodDef set_num_threads_def;
extern PyMethodDef get_num_threads_def;
extern PyMethodDef force_split_def;

}  // namespace karvo
