// One mechanism behind every layout of sampled data. A layout's walk goes
// over its body once, checks each record as it goes and hands every run of
// points it finds to a visitor: `count` points of one signal, the first at
// `first`, each `stride` bytes after the one before. Counting and copying are
// two visitors of the same walk, so every body is read the same way: count,
// size every buffer exactly, copy; a copy that finds other records than the
// count did means the file changed in between.
#pragma once

#include <cstdint>
#include <vector>

#include "reader/read_context.hpp"
#include "reader/signal_slots.hpp"
#include "types/bswap_copy.hpp"
#include "types/byte_cursor.hpp"

namespace karvo {

// Records repeat in a fixed order at every sweep point. A walk learns that
// cycle from its first records and then checks each later cycle against it
// (kind and id words in one 8-byte compare) instead of looking ids up.
struct Cycle {
    struct Point {
        SignalSlot* slot;
        std::uint64_t offset;  // of the point's first byte from the start of its cycle
    };
    // The records' kind and id words as they stand in the file, and where
    // each record starts in its cycle (apart: the check reads them in turn).
    std::vector<std::uint64_t> headers;
    std::vector<std::uint64_t> offsets;
    std::uint64_t stride = 0;  // when every record has this size, else 0
    std::vector<Point> points;
    std::uint64_t bytes = 0;
    std::uint64_t first = 0;  // file offset of the first cycle after the learned one
    bool distinct = true;     // no signal twice in one cycle
};

// Counts the points of every signal.
struct CountPoints {
    Status run(SignalSlot& s, const unsigned char*, std::uint64_t count, std::uint64_t) {
        s.points += count;
        return {};
    }
    Status cycles(const Cycle& cycle, const unsigned char*, std::uint64_t count) {
        for (const Cycle::Point& p : cycle.points) p.slot->points += count;
        return {};
    }
};

// Where one part of a split body writes a signal's points (see
// thread_pool.hpp): its own write position and room in the signal's buffer.
struct Room {
    double* out = nullptr;
    std::uint64_t left = 0;
};

// Copies the points of the signals that are read into their counted room:
// the slots' own, or, for one part of a split body, the part's rooms (one
// per slot, in the order of SignalSlots::all()).
class CopyPoints {
public:
    // `stream`: write with stores that bypass the cache (large bodies).
    CopyPoints(const unsigned char* file, bool stream) : file_(file), stream_(stream) {}
    CopyPoints(const unsigned char* file, bool stream, SignalSlot* first_slot, Room* rooms)
        : file_(file), stream_(stream), first_slot_(first_slot), rooms_(rooms) {}
    ~CopyPoints() {
        if (stream_) stream_fence();
    }

    bool has_room(const SignalSlot& s, std::uint64_t count) const {
        return rooms_ == nullptr ? s.has_room(count) : count <= rooms_[&s - first_slot_].left;
    }
    double* take(SignalSlot& s, std::uint64_t count) {
        if (rooms_ == nullptr) return s.take(count);
        Room& r = rooms_[&s - first_slot_];
        double* at = r.out;
        r.out += count * s.words;
        r.left -= count;
        return at;
    }
    void give_back(SignalSlot& s, std::uint64_t count) {
        if (rooms_ == nullptr) return s.give_back(count);
        Room& r = rooms_[&s - first_slot_];
        r.out -= count * s.words;
        r.left += count;
    }

    Status run(SignalSlot& s, const unsigned char* first, std::uint64_t count, std::uint64_t stride) {
        if (!s.read) return {};
        if (!has_room(s, count)) return file_changed_error(static_cast<std::uint64_t>(first - file_));
        double* out = take(s, count);
        if (stride == 8 * s.words) {
            const std::uint64_t words = count * s.words;
            // Streaming stores write whole lines well, single words badly.
            if (stream_ && words >= 8) stream_be_f64_run(out, first, words);
            else if (words >= 32) copy_be_f64_run(out, first, words);
            else copy_be_f64(out, first, words);
        } else {
            copy_be_f64_strided(out, first, count, s.words, stride);
        }
        return {};
    }

    // `count` whole cycles from p, checked against the learned one.
    Status cycles(const Cycle& cycle, const unsigned char* p, std::uint64_t count);
    // Up to `count` cycles from p (distinct signals, one point per record),
    // each checked as it is copied; returns how many repeat the learned one.
    Result<std::uint64_t> tiled_cycles(const Cycle& cycle, const unsigned char* p, std::uint64_t count);

private:
    const unsigned char* file_;
    bool stream_;
    SignalSlot* first_slot_ = nullptr;
    Room* rooms_ = nullptr;
};

// A layout's walk: `Walk(cursor, visitor)` for the two visitors above.
// Counts, sizes the buffers of the signals that are read, and copies; the
// copying walk must find exactly what the counting walk found.
// Where the counts are known beforehand (SignalSlots::counted), only the copy
// runs; it must end at the body's end with every buffer full.
template <typename Walk>
Status read_counted(ByteCursor& cursor, SignalSlots& slots, bool stream, std::uint64_t body_end, ReadContext& ctx,
                    Walk&& walk) {
    const std::uint64_t start = cursor.pos();
    if (!slots.counted()) {
        CountPoints count;
        KARVO_TRY(walk(cursor, count));
        if (!slots.any_read()) return {};
    }
    const std::uint64_t stop = slots.counted() ? body_end : cursor.pos();
    KARVO_TRY(slots.size_buffers(ctx));

    cursor.rewind_to(start);
    Status copied;
    {
        CopyPoints copy(cursor.data(), stream);
        copied = walk(cursor, copy);
    }
    // The counting walk checked these bytes: what fails now was changed since.
    if (!copied) {
        if (copied.error().kind != ErrorKind::Malformed) return copied;
        return file_changed_error(cursor.pos());
    }
    if (cursor.pos() != stop) return file_changed_error(start);
    KARVO_ASSIGN(bool filled, slots.all_filled(ctx));
    if (!filled) return file_changed_error(start);
    return {};
}

}  // namespace karvo
