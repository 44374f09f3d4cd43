#include "reader/sample_arena.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>

#include "types/overflow.hpp"
#include "types/platform.hpp"

namespace karvo {

namespace {

// From this size on an arena is advised into huge pages (NumPy's threshold
// for its arrays).
constexpr std::size_t kHugeFrom = std::size_t{4} << 20;

// Releases within a batch, per thread: the batches open, and the arenas
// whose pages they will look at.
struct BatchState {
    unsigned depth = 0;
    std::vector<SampleArena*> held;
};
thread_local BatchState batch;

// The memory of the last large arena to go, kept for the next read that
// needs as much (and at most twice as much): a script reading file after
// file of one size then writes into memory the process already has, instead
// of faulting in fresh memory for every read, which on many machines costs
// more than the copy itself. One block of at most kKeepAtMost bytes; its
// pages are the system's to take back whenever it runs short
// (free_pages_lazily), and a read that needs more frees it before it
// allocates, so a read's peak is what it would be without it.
struct KeptBlock {
    unsigned char* base;
    std::size_t bytes;
};
constexpr std::size_t kKeepAtMost = std::size_t{1} << 30;
std::atomic<KeptBlock*> g_kept{nullptr};

void free_block(KeptBlock* kept) {
    aligned_free(kept->base);
    delete kept;
}

// The kept block when it fits `bytes` (aligned to `align`), else null (and
// the block, if any, is freed). `got` is the block's size.
unsigned char* take_kept(std::size_t bytes, std::size_t align, std::size_t& got) {
    KeptBlock* kept = g_kept.exchange(nullptr);
    if (kept == nullptr) return nullptr;
    if (kept->bytes < bytes || kept->bytes / 2 > bytes || reinterpret_cast<std::uintptr_t>(kept->base) % align != 0) {
        free_block(kept);
        return nullptr;
    }
    unsigned char* base = kept->base;
    got = kept->bytes;
    delete kept;
    // What this read leaves unused goes back now (whole huge pages).
    if (got > bytes) discard_pages(base + bytes, got - bytes);
    return base;
}

// `whole`: none of its pages was given back. A block whose arrays went one
// by one has given back most of its pages; keeping it would only hold the
// address range, and the allocator may have better to offer.
void keep_or_free(unsigned char* base, std::size_t bytes, bool whole) {
    KeptBlock* kept = nullptr;
    if (whole && bytes >= kHugeFrom && bytes <= kKeepAtMost) kept = new (std::nothrow) KeptBlock{base, bytes};
    if (kept == nullptr) {
        aligned_free(base);
        return;
    }
    free_pages_lazily(base, bytes);
    if (KeptBlock* older = g_kept.exchange(kept)) free_block(older);
}

// The one arena whose released pages are given back lazily (the object
// outlives its memory until another takes its place).
std::atomic<SampleArena*> g_lazy{nullptr};

}  // namespace

bool SampleArena::Layout::add(std::uint64_t words, std::size_t& offset) {
    std::uint64_t bytes;
    if (mul_overflows(words, std::uint64_t{8}, bytes)) return false;
    const std::size_t align = bytes < 4096 ? 16 : 64;
    const std::size_t at = (bytes_ + align - 1) / align * align;
    std::uint64_t end;
    if (at < bytes_ || add_overflows(std::uint64_t{at}, bytes, end) || end > SIZE_MAX - kHugeFrom) return false;
    offset = at;
    bytes_ = static_cast<std::size_t>(end);
    return true;
}

SampleArena* SampleArena::make(std::size_t bytes) {
    const bool huge = kHugePageBytes != 0 && bytes >= kHugeFrom;
    const std::size_t align = huge ? kHugePageBytes : 64;
    // A whole number of huge pages: the last one is faulted whole anyway.
    const std::size_t allocated = (bytes + align - 1) / align * align;
    std::size_t got = allocated;
    unsigned char* base = allocated >= kHugeFrom ? take_kept(allocated, align, got) : nullptr;
    if (base == nullptr) {
        base = static_cast<unsigned char*>(aligned_alloc_bytes(align, allocated));
        if (base == nullptr) return nullptr;
        if (huge) advise_huge_pages(base, allocated);
    }
    SampleArena* arena = nullptr;
    try {
        arena = new SampleArena(base, bytes, got, discard_page_bytes());
    } catch (const std::bad_alloc&) {
        keep_or_free(base, got, true);
        return nullptr;
    }
    return arena;
}

SampleArena::SampleArena(unsigned char* base, std::size_t bytes, std::size_t allocated, std::size_t page)
    : base_(base), bytes_(bytes), allocated_(allocated), page_(page) {
    if (page_ == 0) return;
    while ((std::size_t{1} << page_shift_) < page_) ++page_shift_;
    // Pages on a grid from the page that holds the first byte. Only pages
    // wholly inside the arena may be given back: the edges get a user that
    // never leaves (they may hold the allocator's own words).
    const auto start = reinterpret_cast<std::uintptr_t>(base_);
    const std::uintptr_t first = start / page_ * page_;
    const std::size_t pages = (start + bytes_ - first + page_ - 1) / page_;
    users_.assign(pages, 0);
    if (first != start) users_.front() = 1;
    if ((start + bytes_) % page_ != 0) users_.back() += 1;
}

double* SampleArena::take(std::size_t offset, std::size_t words) {
    // Buffers are all taken by the read that made the arena before any is
    // handed on: no other thread sees it yet.
    ++live_;
    live_bytes_ += 8 * words;
    if (page_ != 0) {
        const std::size_t first = offset + first_offset();
        for (std::size_t p = first >> page_shift_, end = (first + 8 * words - 1) >> page_shift_; p <= end; ++p)
            ++users_[p];
    }
    return reinterpret_cast<double*>(base_ + offset);
}

void SampleArena::release(const double* data, std::size_t words) {
    std::unique_lock lock(mutex_);
    if (page_ != 0) {
        const std::size_t first = static_cast<std::size_t>(reinterpret_cast<const unsigned char*>(data) - base_) +
                                  first_offset();
        for (std::size_t p = first >> page_shift_, end = (first + 8 * words - 1) >> page_shift_; p <= end; ++p)
            --users_[p];
    }
    --live_;
    live_bytes_ -= 8 * words;
    released_bytes_ += 8 * words;
    if (live_ == 0) {
        const bool gone = free_if_unused();
        lock.unlock();
        if (gone) delete this;
        return;
    }
    // Nothing to give back yet, or a batch will look when it ends.
    if (!should_discard() || holds_ != 0) return;
    BatchState& b = batch;
    if (b.depth != 0) {
        try {
            b.held.push_back(this);
            ++holds_;
            return;
        } catch (const std::bad_alloc&) {
            // Looked at now instead.
        }
    }
    SampleArena* replaced = discard_released_pages();
    lock.unlock();
    if (replaced != nullptr) replaced->end_lazy();
}

// Pages go back once the released bytes fill a page and are at least a
// quarter of those still used: what a process keeps of a read beyond its
// live arrays stays within a quarter of them (and a page per array), and
// dropping arrays one at a time looks at the pages a few dozen times, not
// once per array.
bool SampleArena::should_discard() const {
    return page_ != 0 && released_bytes_ >= std::max(page_, live_bytes_ / 4);
}

template <typename Give>
void SampleArena::for_each_run(std::uint16_t users, std::uint16_t mark, Give&& give) {
    const auto first = reinterpret_cast<std::uintptr_t>(base_) / page_ * page_;
    const std::size_t n = users_.size();
    for (std::size_t p = 0; p < n;) {
        if (users_[p] != users) {
            ++p;
            continue;
        }
        std::size_t end = p;
        while (end < n && users_[end] == users) users_[end++] = mark;
        give(reinterpret_cast<void*>(first + p * page_), (end - p) * page_);
        p = end;
    }
}

SampleArena* SampleArena::discard_released_pages() {
    // Pages go lazily where the arena's memory could be kept for the next
    // read once its last buffer goes: a large arena none of whose pages went
    // back for real.
    SampleArena* replaced = nullptr;
    if (!lazy_ && !discarded_ && allocated_ >= kHugeFrom && allocated_ <= kKeepAtMost) {
        lazy_ = true;
        replaced = g_lazy.exchange(this);
    }
    for_each_run(0, kDiscarded, [this](void* at, std::size_t bytes) {
        if (lazy_) {
            free_pages_lazily(at, bytes);
        } else {
            discard_pages(at, bytes);
            discarded_ = true;
        }
    });
    released_bytes_ = 0;
    return replaced;
}

void SampleArena::discard_given_back_pages() {
    for_each_run(kDiscarded, kDiscarded, [this](void* at, std::size_t bytes) {
        discard_pages(at, bytes);
        discarded_ = true;
    });
}

void SampleArena::end_lazy() {
    std::unique_lock lock(mutex_);
    lazy_ = false;
    if (base_ != nullptr) discard_given_back_pages();
    const bool gone = base_ == nullptr && holds_ == 0;
    lock.unlock();
    if (gone) delete this;
}

bool SampleArena::free_if_unused() {
    if (live_ != 0) return false;
    if (base_ != nullptr) keep_or_free(base_, allocated_, !discarded_);
    base_ = nullptr;
    std::vector<std::uint16_t>().swap(users_);
    return holds_ == 0 && !lazy_;
}

void SampleArena::end_hold() {
    std::unique_lock lock(mutex_);
    --holds_;
    SampleArena* replaced = nullptr;
    if (base_ != nullptr && should_discard()) replaced = discard_released_pages();
    const bool gone = base_ == nullptr && holds_ == 0 && !lazy_;
    lock.unlock();
    if (replaced != nullptr) replaced->end_lazy();
    if (gone) delete this;
}

SampleArena::Batch::Batch() { ++batch.depth; }

SampleArena::Batch::~Batch() {
    BatchState& b = batch;
    if (--b.depth != 0) return;
    std::vector<SampleArena*> held;
    held.swap(b.held);
    for (SampleArena* arena : held) arena->end_hold();
}

}  // namespace karvo
