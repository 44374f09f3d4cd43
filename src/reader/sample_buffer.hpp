// Owned, uninitialised storage of float64 words. Sized once from a counting
// pass (or, for text, grown from an estimate and trimmed at the end) and then
// filled in place, so its memory can be handed to NumPy as is. A buffer
// either has memory of its own or is a part of a read's SampleArena.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "reader/sample_arena.hpp"
#include "types/platform.hpp"

namespace karvo {

class SampleBuffer {
public:
    SampleBuffer() = default;
    SampleBuffer(const SampleBuffer&) = delete;
    SampleBuffer& operator=(const SampleBuffer&) = delete;
    SampleBuffer(SampleBuffer&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)),
          length_(std::exchange(o.length_, 0)),
          capacity_(std::exchange(o.capacity_, 0)),
          arena_(std::exchange(o.arena_, nullptr)) {}
    SampleBuffer& operator=(SampleBuffer&& o) noexcept {
        if (this != &o) {
            if (data_ != nullptr) free_raw(release());
            data_ = std::exchange(o.data_, nullptr);
            length_ = std::exchange(o.length_, 0);
            capacity_ = std::exchange(o.capacity_, 0);
            arena_ = std::exchange(o.arena_, nullptr);
        }
        return *this;
    }
    // (Most buffers that go are empty: moved into an array, or never given room.)
    ~SampleBuffer() {
        if (data_ != nullptr) free_raw(release());
    }

    // The empty buffer of `words` words (> 0) at `offset` of the arena's layout.
    static SampleBuffer in_arena(SampleArena& arena, std::size_t offset, std::size_t words) {
        SampleBuffer b;
        b.data_ = arena.take(offset, words);
        b.capacity_ = words;
        b.arena_ = &arena;
        return b;
    }

    double* data() { return data_; }
    const double* data() const { return data_; }
    std::size_t length() const { return length_; }
    std::size_t capacity() const { return capacity_; }

    // Grows the storage to exactly length() + extra words when it has less room.
    // Returns false when the memory cannot be had. The storage starts on a
    // cache line, so that runs of eight points fill whole lines. (No huge
    // pages here: buffers grown from an estimate are rarely filled, and a
    // huge page that the data only reaches into is faulted whole.)
    bool reserve_more(std::size_t extra) {
        if (capacity_ - length_ >= extra) return true;
        if (extra > (kMaxWords - length_)) return false;
        const std::size_t want = length_ + extra;
        // Small buffers take malloc's alignment: lines matter for long copies.
        // aligned_alloc wants a size that is a multiple of the alignment.
        const std::size_t align = want * sizeof(double) < kAlignFrom ? 16 : kAlign;
        const std::size_t bytes = (want * sizeof(double) + align - 1) / align * align;
        auto* p = static_cast<double*>(aligned_alloc_bytes(align, bytes));
        if (p == nullptr) return false;
        const std::size_t kept = length_;
        if (kept != 0) std::memcpy(p, data_, kept * sizeof(double));
        free_raw(release());
        data_ = p;
        length_ = kept;
        capacity_ = want;
        return true;
    }
    // Gives back the room past length(), for buffers grown from an estimate
    // (text files tell no point count). Keeps the room when the memory
    // cannot be moved.
    void shrink_to_fit() {
        if (capacity_ == length_ || arena_ != nullptr) return;
        if (length_ == 0) {
            aligned_free(data_);
            data_ = nullptr;
            capacity_ = 0;
            return;
        }
        void* p = aligned_realloc(data_, kAlign, length_ * sizeof(double));
        if (p == nullptr) return;
        data_ = static_cast<double*>(p);
        capacity_ = length_;
    }
    // Drops the words from `length` on (the points of a text cut inside one).
    void truncate(std::size_t length) {
        if (length < length_) length_ = length;
    }
    // Appends within the reserved room; the caller has reserved.
    double* append_slot(std::size_t words) {
        double* p = data_ + length_;
        length_ += words;
        return p;
    }

    // Hands the storage over (to the NumPy bridge); the buffer is empty after.
    struct Raw {
        double* data;
        std::size_t length;
        std::size_t capacity;
        SampleArena* arena;  // the arena it is a part of, or null
    };
    Raw release() {
        Raw raw{data_, length_, capacity_, arena_};
        data_ = nullptr;
        length_ = capacity_ = 0;
        arena_ = nullptr;
        return raw;
    }
    static void free_raw(const Raw& raw) {
        if (raw.arena != nullptr) raw.arena->release(raw.data, raw.capacity);
        else aligned_free(raw.data);
    }

private:
    static constexpr std::size_t kAlign = 64;
    static constexpr std::size_t kAlignFrom = 4096;
    static constexpr std::size_t kMaxWords = (static_cast<std::size_t>(-1) - kAlign) / sizeof(double);
    double* data_ = nullptr;
    std::size_t length_ = 0;
    std::size_t capacity_ = 0;
    SampleArena* arena_ = nullptr;
};

}  // namespace karvo
