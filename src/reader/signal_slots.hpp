// Per-read state of every declared signal: its counted points and, for the
// signals that are read, the buffer its points are copied into. The catalog
// itself is not changed, so one parsed file serves any number of reads.
// Point records name their signal by id once per point, so the lookup sits
// on the hot path: ids that lie close together use a dense table, others a
// hash map.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "reader/catalog.hpp"
#include "reader/read_context.hpp"
#include "reader/read_options.hpp"
#include "types/format.hpp"
#include "types/overflow.hpp"

namespace karvo {

struct SignalSlot {
    std::uint32_t id;
    const SignalRecord* record;  // the declaration: name and kind
    SampleBuffer samples;        // filled by the copying pass
    std::uint64_t words;   // float64 words per point
    std::uint64_t points;  // counted before any point is copied
    bool read;             // whether its samples are copied (else only counted)
    bool mark;             // scratch flag of a walk
    double* out;           // write position during the copying pass
    std::uint64_t left;    // points the copying pass may still write

    // The copying pass reads records again; a file changed in between may ask
    // for more points than were counted.
    bool has_room(std::uint64_t count) const { return count <= left; }
    // Takes the room of `count` points and returns where they go.
    double* take(std::uint64_t count) {
        double* at = out;
        out += count * words;
        left -= count;
        return at;
    }
    // Gives back the room of the last `count` points taken.
    void give_back(std::uint64_t count) {
        out -= count * words;
        left += count;
    }
};

// The member slots of a group whose records carry one point of each member,
// back to back.
struct GroupSlots {
    std::vector<SignalSlot*> members;
    std::uint64_t words = 0;  // float64 words per record, saturated
};

class SignalSlots {
public:
    // One slot per declared signal. A file may declare millions: the walk
    // over them asks between signals whether to stop.
    static Result<SignalSlots> make(const SignalCatalog& catalog, ReadContext& ctx) {
        SignalSlots made(catalog, ctx.options);
        made.slots_.reserve(catalog.signals.size());
        const std::uint32_t lo = catalog.signals.lowest_id(), hi = catalog.signals.highest_id();
        const std::uint64_t n = catalog.signals.size();
        made.dense_ = n != 0 && std::uint64_t{hi} - lo < 4 * n + 4096;
        made.base_ = lo;
        if (made.dense_) KARVO_TRY(fill_in_slices(made.dense_index_, std::uint64_t{hi} - lo + 1, kNone, ctx));
        // In declaration order, which is nearly always the order of the records.
        for (const auto& e : catalog.signals) {
            const auto slot = static_cast<std::uint32_t>(made.slots_.size());
            const bool read = ctx.options.wants(e.id);
            const std::uint64_t points = made.counted_ ? e.record.points : 0;
            made.slots_.push_back(SignalSlot{e.id, &e.record, SampleBuffer(), e.record.data.point_words(), points,
                                             read, false, nullptr, 0});
            made.any_read_ |= read;
            if (made.dense_) {
                made.dense_index_[e.id - made.base_] = slot;
            } else {
                KARVO_TRY(made.sparse_index_.insert(e.id, slot, ctx));
            }
            KARVO_TRY(ctx.tick(sizeof(SignalSlot)));
        }
        return made;
    }

    // The slot of a declared id, or nullptr.
    SignalSlot* find(std::uint32_t id) {
        if (dense_) {
            std::uint64_t i = std::uint64_t{id} - base_;
            if (id < base_ || i >= dense_index_.size() || dense_index_[i] == kNone) return nullptr;
            return &slots_[dense_index_[i]];
        }
        const std::uint32_t at = sparse_index_.find(id);
        return at == IdIndex::kNone ? nullptr : &slots_[at];
    }

    // The member slots of a declared group, or nullptr. A group's list is
    // made when a record first names it: nested groups repeat their members
    // at every level, so lists for all declared groups could take a hundred
    // times the file's size. A record that names a group covers at least 8
    // bytes per member, so the lists of used groups stay within the file.
    const GroupSlots* group(std::uint32_t id) {
        auto made = groups_.find(id);
        if (made != groups_.end()) return &made->second;
        auto declared = catalog_.groups.find(id);
        if (declared == catalog_.groups.end()) return nullptr;
        const GroupRecord& group = declared->second;
        const auto& ids = group.in_sweeps ? catalog_.sweep_ids : catalog_.trace_ids;
        GroupSlots g;
        g.members.reserve(group.last - group.first);
        for (std::size_t i = group.first; i < group.last; ++i) {
            // Every listed id has a record: declarations insert before they list.
            SignalSlot* slot = find(ids[i]);
            g.members.push_back(slot);
            // Saturates instead of wrapping: an absurd width then fails as a short file.
            if (add_overflows(g.words, slot->words, g.words)) g.words = UINT64_MAX / 8;
        }
        return &groups_.emplace(id, std::move(g)).first->second;
    }

    // Whether any slot gets its samples.
    bool any_read() const { return any_read_; }

    // The slot of each declared signal, in declaration order.
    std::vector<SignalSlot>& all() { return slots_; }

    // Gives every slot that is read exactly the room its counted points need,
    // and points its write position at the start. The buffers are parts of
    // one arena (see SampleArena).
    Status size_buffers(ReadContext& ctx) {
        SampleArena::Layout layout;
        std::vector<std::size_t> offsets;  // of the slots read, in turn
        for (SignalSlot& s : slots_) {
            if (!s.read) continue;
            KARVO_TRY(ctx.tick(sizeof(SignalSlot)));
            std::uint64_t words;
            if (mul_overflows(s.points, s.words, words))
                return ParseError{format_message("struct buffer size overflow ({} * {})", s.points, s.words)};
            std::size_t offset = 0;
            if (words != 0 && !layout.add(words, offset))
                return out_of_memory(format_message("out of memory: cannot allocate {} samples for '{}'", words,
                                                    s.record->name));
            offsets.push_back(offset);
        }
        SampleArena* arena = nullptr;
        if (layout.bytes() != 0 && (arena = SampleArena::make(layout.bytes())) == nullptr)
            return out_of_memory(format_message("out of memory: cannot allocate {} bytes for the samples of {} signals",
                                                static_cast<std::uint64_t>(layout.bytes()),
                                                static_cast<std::uint64_t>(offsets.size())));
        std::size_t next = 0;
        for (SignalSlot& s : slots_) {
            if (!s.read) continue;
            // Fits: the layout holds it.
            const auto words = static_cast<std::size_t>(s.points * s.words);
            s.samples = words != 0 ? SampleBuffer::in_arena(*arena, offsets[next], words) : SampleBuffer();
            ++next;
            s.out = s.samples.append_slot(words);
            s.left = s.points;
        }
        return {};
    }

    // Whether the points were counted before the walk (see ReadOptions).
    bool counted() const { return counted_; }

    // Frees the buffers and counts of a body that is read again from its start.
    Status reset(ReadContext& ctx) {
        for (SignalSlot& s : slots_) {
            s.samples = SampleBuffer();
            if (!counted_) s.points = 0;
            s.out = nullptr;
            s.left = 0;
            KARVO_TRY(ctx.tick(sizeof(SignalSlot)));
        }
        return {};
    }

    // Whether the copying pass wrote exactly the counted points.
    Result<bool> all_filled(ReadContext& ctx) const {
        for (const SignalSlot& s : slots_) {
            if (s.left != 0) return false;
            KARVO_TRY(ctx.tick(sizeof(SignalSlot)));
        }
        return true;
    }
    std::size_t size() const { return slots_.size(); }

    // Frees the slots, a slice at a time with a look at `ctx` between (their
    // destructors alone walk hundreds of megabytes for millions of signals).
    Status release(ReadContext& ctx) {
        constexpr std::size_t kSlice = std::size_t{1} << 14;
        while (!slots_.empty()) {
            const std::size_t n = std::min(kSlice, slots_.size());
            slots_.erase(slots_.end() - static_cast<std::ptrdiff_t>(n), slots_.end());
            KARVO_TRY(ctx.tick(n * sizeof(SignalSlot)));
        }
        slots_.shrink_to_fit();
        return {};
    }

private:
    SignalSlots(const SignalCatalog& catalog, const ReadOptions& options)
        : catalog_(catalog), counted_(options.counted) {}

    static constexpr std::uint32_t kNone = UINT32_MAX;
    const SignalCatalog& catalog_;
    std::vector<SignalSlot> slots_;
    bool counted_ = false;
    bool dense_ = false;
    bool any_read_ = false;
    std::uint32_t base_ = 0;
    std::vector<std::uint32_t> dense_index_;
    IdIndex sparse_index_;  // grows with a look at whether to stop, as the catalog's
    IdMap<GroupSlots> groups_;
};

}  // namespace karvo
