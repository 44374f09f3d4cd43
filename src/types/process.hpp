// The calling process's id (and the cores it may run on), for code that must notice that it runs in a
// forked child. Its own header: the system headers it needs declare names
// (read, close, link, ...) that the rest of the code should not see.
#pragma once

#include <thread>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif
#ifdef __linux__
#include <sched.h>
#endif

namespace karvo {

inline long process_id() {
#ifdef _WIN32
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(::getpid());
#endif
}

// The cores this process may run on: its CPU affinity where the system
// tells it (a container or taskset gives fewer than the machine has), else
// the machine's count; at least 1.
inline unsigned usable_cores() {
#ifdef __linux__
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

}  // namespace karvo
