// Checked unsigned arithmetic: true when the exact result does not fit.
#pragma once

#include <cstdint>
#include <limits>

namespace karvo {

inline bool add_overflows(std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
    out = a + b;
    return out < a;
}

inline bool mul_overflows(std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
    out = a * b;
    return a != 0 && out / a != b;
}

}  // namespace karvo
