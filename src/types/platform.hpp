// What differs between compilers, processors and C libraries, said once:
// byte swaps, the processor families that get code of their own, aligned
// allocation, advice on memory pages. Everything else in the core is standard C++ (the file mapping
// has a source per system; the process id has its own header).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#if defined(_MSC_VER) && !defined(__clang__)
#include <stdlib.h>  // _byteswap_*
#endif
#ifdef _WIN32
#include <malloc.h>  // _aligned_malloc
#else
#include <sys/mman.h>  // madvise
#include <unistd.h>    // sysconf
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

// Memory aligned to `alignment` (a power of two; `bytes` a multiple of it),
// or null; it goes back through aligned_free, and is resized only by
// aligned_realloc. Windows' C library has no aligned_alloc, and what
// _aligned_malloc gives only _aligned_free and _aligned_realloc take.
inline void* aligned_alloc_bytes(std::size_t alignment, std::size_t bytes) {
#ifdef _WIN32
    return _aligned_malloc(bytes, alignment);
#else
    return std::aligned_alloc(alignment, bytes);
#endif
}

// The block resized as realloc resizes (null, with `p` kept, when it fails).
// On Windows it stays aligned; elsewhere it may not, so use it to shrink a
// block that is written no more.
inline void* aligned_realloc(void* p, std::size_t alignment, std::size_t bytes) {
#ifdef _WIN32
    return _aligned_realloc(p, bytes, alignment);
#else
    (void)alignment;
    return std::realloc(p, bytes);
#endif
}

inline void aligned_free(void* p) {
#ifdef _WIN32
    _aligned_free(p);
#else
    std::free(p);
#endif
}

// Memory of large buffers is asked for in huge pages where the system has
// them (Linux's transparent huge pages, in "madvise" mode on most
// distributions, as NumPy asks for its arrays of 4 MB and more): a first touch
// then maps 2 MB at a time instead of 4 KB, and fresh memory costs a fault
// per 2 MB. kHugePageBytes is the alignment that lets a buffer use them
// from its start (0 where they are not asked for).
#if defined(__linux__) && defined(MADV_HUGEPAGE)
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
#else
inline constexpr std::size_t kHugePageBytes = 0;
#endif

// Advises the whole pages of [p, p + bytes) into huge pages; failures (a
// kernel without them) only cost speed.
inline void advise_huge_pages(void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto first = (reinterpret_cast<std::uintptr_t>(p) + page - 1) / page * page;
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) / page * page;
    if (first < end) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

// The size of the pages that discard_pages gives back (0 where it gives none back).
inline std::size_t discard_page_bytes() {
#ifdef __linux__
    static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return page;
#else
    return 0;
#endif
}

// Lets the system take the pages of [p, p + bytes) (whole pages, in memory
// that stays allocated) when it runs short, while the process keeps them
// as they are until then: writing them again costs no fault. Where the
// system cannot be told this, nothing happens.
inline void free_pages_lazily(void* p, std::size_t bytes) {
#if defined(MADV_FREE) && !defined(_WIN32)
    ::madvise(p, bytes, MADV_FREE);
#else
    (void)p;
    (void)bytes;
#endif
}

// Gives the pages of [p, p + bytes) (whole pages of discard_page_bytes(), in
// memory that stays allocated) back to the system: they count no more as the
// process's memory and read as zeros when touched again. Linux only, where
// MADV_DONTNEED says exactly that; elsewhere the memory goes when it is freed.
inline void discard_pages(void* p, std::size_t bytes) {
#ifdef __linux__
    ::madvise(p, bytes, MADV_DONTNEED);
#else
    (void)p;
    (void)bytes;
#endif
}

}  // namespace karvo
