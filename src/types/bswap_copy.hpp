// Copies big-endian float64 words into native doubles, bit for bit. Written as a
// plain loop over 64-bit words so that the compiler vectorises the byte swap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace karvo {

inline void copy_be_f64(double* __restrict out, const unsigned char* __restrict in, std::size_t words) {
    for (std::size_t i = 0; i < words; ++i) {
        std::uint64_t w;
        std::memcpy(&w, in + 8 * i, 8);
        w = __builtin_bswap64(w);
        std::memcpy(out + i, &w, 8);
    }
}

}  // namespace karvo
