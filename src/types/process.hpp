// The calling process's id, for code that must notice that it runs in a
// forked child. Its own header: the system headers it needs declare names
// (read, close, link, ...) that the rest of the code should not see.
#pragma once

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace karvo {

inline long process_id() {
#ifdef _WIN32
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(::getpid());
#endif
}

}  // namespace karvo
