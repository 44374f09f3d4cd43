// Copies big-endian float64 words into native doubles, bit for bit. Plain
// loops over 64-bit words: the compiler makes each a bswap, or, in the
// long-run copy, vector byte shuffles (on AArch64, NEON byte reversals
// written out, since GCC vectorises the plain loop only at -O3).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "types/platform.hpp"

// MSVC has SSE2 on every x86-64 target without saying so, and names the
// 64-bit streaming store _mm_stream_si64x.
#if defined(KARVO_X86_64) && (defined(__SSE2__) || defined(_MSC_VER))
#include <emmintrin.h>
#define KARVO_STREAM_STORES 1
#if defined(_MSC_VER) && !defined(__clang__)
#define KARVO_STREAM_SI64 _mm_stream_si64x
#else
#define KARVO_STREAM_SI64 _mm_stream_si64
#endif
#endif

#ifdef KARVO_AARCH64
#include <arm_neon.h>
#endif

// Where GCC or Clang build for x86-64 Linux, long streamed runs ask the
// processor once whether it has AVX2 and then swap four words with one byte
// shuffle into one 32-byte streaming store (windowed frames stream a third
// faster than two words swapped one at a time into a 16-byte store; the wheel
// stays portable).
#if defined(KARVO_STREAM_STORES) && defined(__linux__) && (defined(__GNUC__) || defined(__clang__))
#define KARVO_AVX2_STREAM 1
#include <immintrin.h>
#endif

// Byte shuffles wide enough to swap whole vectors of words need SSSE3 or
// AVX2, which the portable x86-64 baseline lacks. Where the loader can pick
// among variants (GNU ifuncs: GCC with glibc, not musl), the long-run copy is
// compiled for each and the processor's best is chosen once, at load time.
#if defined(__x86_64__) && defined(__GLIBC__) && defined(__GNUC__) && !defined(__clang__)
#define KARVO_CLONES __attribute__((target_clones("avx2", "ssse3", "default")))
#else
#define KARVO_CLONES
#endif

namespace karvo {

// How the swapped words are stored. Normal stores first read each output line
// into the cache, only to overwrite it. Streaming stores skip that read and
// bypass the cache; measured, they pay off where a hundred buffers are each
// written a run at a time (swept records gathered signal by signal), not in
// one sequential copy. Without such stores the streaming variant stores
// normally.
enum class Store : std::uint8_t { Normal, Stream };

template <Store S = Store::Normal>
inline void copy_be_f64(double* __restrict out, const unsigned char* __restrict in, std::size_t words) {
    for (std::size_t i = 0; i < words; ++i) {
        std::uint64_t w;
        std::memcpy(&w, in + 8 * i, 8);
        w = bswap64(w);
#ifdef KARVO_STREAM_STORES
        if constexpr (S == Store::Stream) {
            KARVO_STREAM_SI64(reinterpret_cast<long long*>(out + i), static_cast<long long>(w));
            continue;
        }
#endif
        std::memcpy(out + i, &w, 8);
    }
}

// The same for long runs (hundreds of words): a call that picks the
// processor's widest byte shuffle.
KARVO_CLONES inline void copy_be_f64_run(double* __restrict out, const unsigned char* __restrict in,
                                         std::size_t words) {
    std::size_t i = 0;
#ifdef KARVO_AARCH64
    // Two words to a vector, the bytes of each reversed (rev64).
    for (; i + 2 <= words; i += 2)
        vst1q_u8(reinterpret_cast<std::uint8_t*>(out + i), vrev64q_u8(vld1q_u8(in + 8 * i)));
#endif
    for (; i < words; ++i) {
        std::uint64_t w;
        std::memcpy(&w, in + 8 * i, 8);
        w = bswap64(w);
        std::memcpy(out + i, &w, 8);
    }
}

// Streaming stores are weakly ordered: call once after the last of them.
inline void stream_fence() {
#ifdef KARVO_STREAM_STORES
    _mm_sfence();
#endif
}

// Gathers `count` runs of `words` words that stand `stride` bytes apart into
// consecutive output. One and two words per run (float and complex points)
// get loops of their own, which the compiler unrolls.
// Streams an even number of words, two to a 16-byte store, to 16-byte
// aligned `out`.
inline void stream_be_f64_pairs(double* __restrict out, const unsigned char* __restrict in, std::size_t words) {
#ifdef KARVO_STREAM_STORES
    for (std::size_t i = 0; i < words; i += 2) {
        std::uint64_t lo, hi;
        std::memcpy(&lo, in + 8 * i, 8);
        std::memcpy(&hi, in + 8 * i + 8, 8);
        const __m128i v = _mm_set_epi64x(static_cast<long long>(bswap64(hi)),
                                         static_cast<long long>(bswap64(lo)));
        _mm_stream_si128(reinterpret_cast<__m128i*>(out + i), v);
    }
#else
    copy_be_f64_run(out, in, words);
#endif
}

#ifdef KARVO_AVX2_STREAM
__attribute__((target("avx2"))) inline void stream_be_f64_run_avx2(double* __restrict out,
                                                                    const unsigned char* __restrict in,
                                                                    std::size_t words) {
    const __m256i swap = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1,
                                          0, 15, 14, 13, 12, 11, 10, 9, 8);
    std::size_t i = 0;
    for (; i < words && reinterpret_cast<std::uintptr_t>(out + i) % 32 != 0; ++i)
        copy_be_f64<Store::Stream>(out + i, in + 8 * i, 1);
    for (; i + 4 <= words; i += 4) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 8 * i));
        _mm256_stream_si256(reinterpret_cast<__m256i*>(out + i), _mm256_shuffle_epi8(v, swap));
    }
    for (; i < words; ++i) copy_be_f64<Store::Stream>(out + i, in + 8 * i, 1);
}

inline bool has_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

// A run of any length to any 8-byte aligned `out`, streamed: one word up to
// the first 16-byte boundary, then pairs, then the odd word left.
inline void stream_be_f64_run(double* __restrict out, const unsigned char* __restrict in, std::size_t words) {
#ifdef KARVO_AVX2_STREAM
    if (words >= 16 && has_avx2()) {
        stream_be_f64_run_avx2(out, in, words);
        return;
    }
#endif
    if (words != 0 && reinterpret_cast<std::uintptr_t>(out) % 16 != 0) {
        copy_be_f64<Store::Stream>(out, in, 1);
        ++out, in += 8, --words;
    }
    stream_be_f64_pairs(out, in, words & ~std::size_t{1});
    if (words % 2 != 0) copy_be_f64<Store::Stream>(out + words - 1, in + 8 * (words - 1), 1);
}

template <Store S = Store::Normal>
inline void copy_be_f64_strided(double* __restrict out, const unsigned char* __restrict in, std::size_t count,
                                std::size_t words, std::size_t stride) {
    // Wide points (noise structs) stream faster in 16-byte stores (a sixth,
    // measured); complex pairs measured slower so.
    const bool pairs = S == Store::Stream && words >= 4 && words % 2 == 0;
    if (pairs && reinterpret_cast<std::uintptr_t>(out) % 16 == 0) {
        for (std::size_t k = 0; k < count; ++k) stream_be_f64_pairs(out + k * words, in + k * stride, words);
    } else if (words == 1) {
        // Four points a turn: the loop's own steps were as many as the copy's.
        std::size_t k = 0;
        for (; k + 4 <= count; k += 4, in += 4 * stride) {
            copy_be_f64<S>(out + k, in, 1);
            copy_be_f64<S>(out + k + 1, in + stride, 1);
            copy_be_f64<S>(out + k + 2, in + 2 * stride, 1);
            copy_be_f64<S>(out + k + 3, in + 3 * stride, 1);
        }
        for (; k < count; ++k, in += stride) copy_be_f64<S>(out + k, in, 1);
    } else if (words == 2) {
        for (std::size_t k = 0; k < count; ++k) copy_be_f64<S>(out + 2 * k, in + k * stride, 2);
    } else {
        for (std::size_t k = 0; k < count; ++k) copy_be_f64<S>(out + k * words, in + k * stride, words);
    }
}

}  // namespace karvo
