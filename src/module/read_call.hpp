// What every reading call shares: the path argument turned into a str and a
// file-system name, and the read itself run without the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>
#include <vector>

#include "reader/read_options.hpp"

namespace karvo {

// The str a path-like argument stands for (new reference), or nullptr. A
// TypeError (exactly that type) becomes "argument 'path': ..." with its
// __cause__ kept; other errors pass unchanged.
PyObject* fspath_str(PyObject* arg);

// The file-system name of a path str: valid text is its UTF-8; names that
// os.fsdecode produced from undecodable bytes carry surrogate escapes, which
// turn back into those bytes; any other lone surrogate is kept code unit by
// code unit, so no name is changed on its way to the file system. On
// Windows, where names are UTF-16, every surrogate is kept so.
bool native_path(PyObject* path, std::string& out);

// One UserWarning "{path}: {text}" per text of a file that was read all the
// same (ParseResult::warnings), naming the line of the caller's code that
// asked for the read (karvo's own frames are passed over). False with the
// exception set when a warning is turned into one (-W error).
bool warn_read(PyObject* path, const std::vector<std::string>& warnings);

// Releases the interpreter lock for the life of the object. On the main
// thread it lets `options` ask, now and then, whether a signal (Ctrl-C) is
// pending: the lock is then taken back just long enough to run the signal
// handlers, whose exception stays pending when the read stops.
class LockReleased {
public:
    explicit LockReleased(ReadOptions& options);
    ~LockReleased();
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

private:
    static bool signal_pending(void* self);
    PyThreadState* saved_ = nullptr;
};

template <typename Read>
auto without_lock(ReadOptions& options, Read&& read) {
    LockReleased released(options);
    return read();
}

}  // namespace karvo
