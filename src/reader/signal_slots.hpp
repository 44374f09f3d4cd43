// Per-body lookup from declaration id to the record it fills. Point records
// name their signal by id once per point, so the lookup sits on the hot path:
// ids that lie close together use a dense table, others a hash map.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "reader/catalog.hpp"
#include "types/bswap_copy.hpp"
#include "types/format.hpp"

namespace karvo {

struct SignalSlot {
    SignalRecord* record;
    std::uint64_t words;   // float64 words per point
    std::uint64_t points;  // counted before any point is copied
    double* out;           // write position during the filling pass
    double* end;           // end of the counted room

    // The filling pass reads records again; a file changed in between may ask
    // for more points than were counted.
    bool has_room() const { return static_cast<std::uint64_t>(end - out) >= words; }
};

class SignalSlots {
public:
    explicit SignalSlots(SignalCatalog& catalog) {
        slots_.reserve(catalog.signals.size());
        std::uint32_t lo = UINT32_MAX, hi = 0;
        for (auto& [id, record] : catalog.signals) {
            lo = id < lo ? id : lo;
            hi = id > hi ? id : hi;
        }
        const std::uint64_t n = catalog.signals.size();
        dense_ = n != 0 && std::uint64_t{hi} - lo < 4 * n + 4096;
        base_ = lo;
        if (dense_) dense_index_.assign(std::uint64_t{hi} - lo + 1, kNone);
        for (auto& [id, record] : catalog.signals) {
            std::uint32_t slot = static_cast<std::uint32_t>(slots_.size());
            slots_.push_back(SignalSlot{&record, record.data.point_words(), 0, nullptr, nullptr});
            if (dense_) dense_index_[id - base_] = slot;
            else sparse_index_.emplace(id, slot);
        }
    }

    // The slot of a declared id, or nullptr.
    SignalSlot* find(std::uint32_t id) {
        if (dense_) {
            std::uint64_t i = std::uint64_t{id} - base_;
            if (id < base_ || i >= dense_index_.size() || dense_index_[i] == kNone) return nullptr;
            return &slots_[dense_index_[i]];
        }
        auto it = sparse_index_.find(id);
        return it == sparse_index_.end() ? nullptr : &slots_[it->second];
    }

    // Grows every counted buffer once, to exactly the size the filling pass
    // needs, and points each slot's write position at its first free word.
    Status size_buffers() {
        for (SignalSlot& s : slots_) {
            std::uint64_t words;
            if (__builtin_mul_overflow(s.points, s.words, &words))
                return ParseError{format_message("struct buffer size overflow ({} * {})", s.points, s.words)};
            SampleBuffer& buf = s.record->data.samples;
            if (!buf.reserve_more(words))
                return ParseError{format_message("out of memory: cannot allocate {} samples for '{}'", words,
                                                 s.record->name)};
            s.out = buf.data() + buf.length();
            buf.append_slot(words);
            s.end = s.out + words;
        }
        return {};
    }

    // Frees the buffers of a body that is read again from its start.
    void free_buffers() {
        for (SignalSlot& s : slots_) {
            s.record->data.samples = SampleBuffer();
            s.points = 0;
            s.out = s.end = nullptr;
        }
    }

    std::vector<SignalSlot>& all() { return slots_; }
    // Whether the filling pass wrote exactly the counted points.
    bool all_filled() const {
        for (const SignalSlot& s : slots_)
            if (s.out != s.end) return false;
        return true;
    }
    std::size_t size() const { return slots_.size(); }

private:
    static constexpr std::uint32_t kNone = UINT32_MAX;
    std::vector<SignalSlot> slots_;
    bool dense_ = false;
    std::uint32_t base_ = 0;
    std::vector<std::uint32_t> dense_index_;
    IdMap<std::uint32_t> sparse_index_;
};

}  // namespace karvo
