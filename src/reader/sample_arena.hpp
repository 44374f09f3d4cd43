// One allocation that holds the sample buffers of one read.
//
// A file of thousands of signals then costs one allocation instead of
// thousands, and the memory of a large read is advised into huge pages as a
// whole, as NumPy advises a large array: a buffer of its own would fault its
// last, partial huge page 4 KB at a time, and every first touch of fresh
// memory costs a fault. The allocation comes from malloc, so a process keeps
// and reuses it (or gives it back) under the C library's rules, as it does
// NumPy's arrays.
//
// Each buffer is released on its own (its array died). So that one array
// kept out of a read does not keep the whole read's memory, the pages that
// hold only released buffers are given back once enough of them have
// gathered; the allocation is freed when its last buffer goes. Releases
// within a `Batch` (a result object dying with all its arrays at once) look
// at the gathered pages only when the batch ends: by then the whole
// allocation is usually free, and giving pages back one array at a time
// would only make the next read fault them in again.
//
// The memory of the last large arena to go whole is kept for the next read (see
// sample_arena.cpp): on many machines the first touch of fresh memory costs
// more than the copy that fills it. So that a read whose arrays outlive its
// result for a while (a loop's variable still holding one trace of the last
// file when the next is read) can still go whole, the pages of one large
// arena at a time are given back lazily: the system takes them when it runs
// short, and until then they are the process's to write again without a
// fault. When another arena's pages go lazily, the earlier one's go back for
// real.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace karvo {

class SampleArena {
public:
    SampleArena(const SampleArena&) = delete;
    SampleArena& operator=(const SampleArena&) = delete;

    // Where each buffer of a read goes: add() the buffers in turn, each
    // starting at the returned byte offset. Small buffers start on 16 bytes,
    // larger ones on a cache line (runs of eight points fill whole lines).
    class Layout {
    public:
        // The offset of a buffer of `words` float64 words; false when the
        // total overflows.
        bool add(std::uint64_t words, std::size_t& offset);
        std::size_t bytes() const { return bytes_; }

    private:
        std::size_t bytes_ = 0;
    };

    // An arena of `bytes` bytes (bytes > 0), or null when the memory cannot
    // be had. It frees itself when the last buffer taken from it is released.
    static SampleArena* make(std::size_t bytes);

    // The buffer of `words` words (> 0) at `offset` of the layout. Each buffer
    // is taken once and released once.
    double* take(std::size_t offset, std::size_t words);
    // The buffer at `data` of `words` words is no longer used.
    void release(const double* data, std::size_t words);

    // Within a batch, the releases of this thread look at the pages they
    // freed only when the outermost batch ends. Batches never throw.
    class Batch {
    public:
        Batch();
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;
    };

private:
    explicit SampleArena(unsigned char* base, std::size_t bytes, std::size_t allocated, std::size_t page);
    ~SampleArena() = default;

    bool should_discard() const;
    // Gives back the pages that hold only released buffers. Returns the
    // arena whose lazily given-back pages must now go back for real (this
    // one took its place), or null; the caller calls its end_lazy() once it
    // no longer holds this arena's mutex.
    [[nodiscard]] SampleArena* discard_released_pages();
    // Frees the memory when no buffer is left; whether the arena itself can go.
    bool free_if_unused();
    void end_hold();
    // No longer the arena whose pages go lazily: those given back so far go
    // for real.
    void end_lazy();
    void discard_given_back_pages();
    // Calls give(address, bytes) for each run of whole pages with `users`
    // users, after marking them `mark`.
    template <typename Give>
    void for_each_run(std::uint16_t users, std::uint16_t mark, Give&& give);

    // Page users: how many taken, unreleased buffers have bytes in each page
    // (kDiscarded once the page was given back). Kept where pages can be
    // given back (page_ != 0).
    static constexpr std::uint16_t kDiscarded = UINT16_MAX;

    std::mutex mutex_;
    unsigned char* base_;
    std::size_t bytes_;
    std::size_t allocated_;  // of base_: bytes_ or more (whole huge pages, or a kept block)
    std::size_t page_;  // 0: no page is given back before the whole arena goes (not Linux)
    unsigned page_shift_ = 0;  // page_ is 1 << page_shift_
    // Where the arena starts in the first page of the users_ grid.
    std::size_t first_offset() const { return reinterpret_cast<std::uintptr_t>(base_) & (page_ - 1); }
    std::vector<std::uint16_t> users_;
    std::size_t live_ = 0;        // buffers taken and not released
    std::size_t live_bytes_ = 0;  // their bytes
    std::size_t released_bytes_ = 0;  // bytes of released buffers not yet looked at
    unsigned holds_ = 0;          // batches that look at it when they end
    bool discarded_ = false;      // whether any page was given back for real
    bool lazy_ = false;           // whether it is the arena whose pages go lazily (the slot holds it)
};

}  // namespace karvo
