// The one door from the interpreter into the extension. Every function that
// Python calls (module functions, methods, getters, type slots, the module's
// execution step) is registered as entry<F>: a C++ exception never crosses
// into the interpreter, whose frames cannot unwind it. A failed allocation of
// a standard container becomes MemoryError, anything else the internal error.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <type_traits>

#include "pysupport/internal_error.hpp"

namespace karvo {

namespace entry_detail {

// What each slot returns to say that it failed with an exception set.
template <typename R>
R failed() {
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else if constexpr (!std::is_void_v<R>) {
        static_assert(std::is_signed_v<R>, "a slot that fails with -1");
        return -1;
    }
}

template <auto F>
struct Guard;

template <typename R, typename... Args, R (*F)(Args...)>
struct Guard<F> {
    static R call(Args... args) noexcept {
        try {
            return F(args...);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (...) {
            set_internal_error("unexpected C++ exception");
        }
        // A slot that cannot fail (dealloc) has nobody to tell.
        if constexpr (std::is_void_v<R>) PyErr_WriteUnraisable(nullptr);
        return failed<R>();
    }
};

}  // namespace entry_detail

template <auto F>
inline constexpr auto entry = &entry_detail::Guard<F>::call;

// The same, as the void pointer a type slot holds.
template <auto F>
inline void* entry_slot() {
    return reinterpret_cast<void*>(entry<F>);
}

}  // namespace karvo
