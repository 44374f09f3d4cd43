// What differs between compilers and processors, said once: byte swaps and
// the processor families that get code of their own. Everything else in the
// core is standard C++.
#pragma once

#include <bit>
#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <stdlib.h>  // _byteswap_*
#endif

// x86-64 (GCC and Clang name it __x86_64__, MSVC _M_X64; MSVC's ARM64EC
// defines _M_X64 too, but runs Arm code). SSE2 belongs to its baseline.
#if defined(__x86_64__) || (defined(_M_X64) && !defined(_M_ARM64EC))
#define KARVO_X86_64 1
#endif

// AArch64, where NEON belongs to the baseline.
#if defined(__aarch64__) || defined(_M_ARM64) || defined(_M_ARM64EC)
#define KARVO_AARCH64 1
#endif

namespace karvo {

// The readers load big-endian words and swap them unconditionally.
static_assert(std::endian::native == std::endian::little, "karvo reads files on little-endian processors only");

// Each compiles to one instruction (bswap, rev; movbe with a load where the
// target has it), and loops of them vectorise.
#if defined(_MSC_VER) && !defined(__clang__)
inline std::uint16_t bswap16(std::uint16_t v) { return _byteswap_ushort(v); }
inline std::uint32_t bswap32(std::uint32_t v) { return _byteswap_ulong(v); }
inline std::uint64_t bswap64(std::uint64_t v) { return _byteswap_uint64(v); }
#else
inline std::uint16_t bswap16(std::uint16_t v) { return __builtin_bswap16(v); }
inline std::uint32_t bswap32(std::uint32_t v) { return __builtin_bswap32(v); }
inline std::uint64_t bswap64(std::uint64_t v) { return __builtin_bswap64(v); }
#endif

}  // namespace karvo
