// What every reading call shares: the path argument turned into a str and a
// file-system name, and the read itself run without the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "reader/catalog.hpp"
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

// Making millions of objects takes seconds: Ctrl-C is looked at between
// them. True, with the exception set, when a signal handler raised; `made`
// counts the objects made so far.
inline bool interrupted_while_making(std::size_t made) {
    return made % 65536 == 65535 && PyErr_CheckSignals() != 0;
}

// Frees the records a read has made into objects, the same way: their
// destructors alone walk hundreds of megabytes for millions of signals.
// False, with the exception set, when a signal handler raised.
inline bool release_looking_at_signals(SignalTable& table) {
    for (std::size_t freed = 0; table.release_block(); freed += SignalTable::kBlock)
        if (freed % 65536 == 0 && PyErr_CheckSignals() != 0) return false;
    return true;
}
template <typename T>
bool release_looking_at_signals(std::vector<T>& records) {
    while (!records.empty()) {
        records.erase(records.end() - static_cast<std::ptrdiff_t>(std::min<std::size_t>(65536, records.size())),
                      records.end());
        if (PyErr_CheckSignals() != 0) return false;
    }
    return true;
}

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
