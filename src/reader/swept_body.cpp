#include <algorithm>
#include <cstring>

#include "reader/sections.hpp"
#include "reader/signal_slots.hpp"
#include "types/chunks.hpp"
#include "types/format.hpp"

namespace karvo {

namespace {

// Simulators write one record per signal per sweep point, in the same order at
// every point. The reader learns that cycle from the first records and then
// checks each later record against it (kind and id in one 8-byte compare)
// instead of looking its id up, and copies whole cycles as learned.
struct CycleRecord {
    std::uint64_t header;  // kind and id words as they stand in the file
    std::uint64_t offset;  // of the record from the start of its cycle
    SignalSlot* slot;
};

struct Cycle {
    std::vector<CycleRecord> records;
    std::uint64_t bytes = 0;
    std::uint64_t first = 0;  // file offset of the first cycle after the learned one
    std::uint64_t count = 0;  // whole cycles from `first` on
    bool distinct = true;     // no signal twice in one cycle
};

// Input bytes per block of the filling pass: small enough to stay in the
// level-2 cache while each signal's points are gathered out of it.
constexpr std::uint64_t kBlockBytes = 128 * 1024;
// Bodies from this size on are written with streaming stores (see Store).
constexpr std::uint64_t kStreamBytes = 8 << 20;

std::uint64_t raw_header(const unsigned char* p) {
    std::uint64_t h;
    std::memcpy(&h, p, 8);
    return h;
}

// The checks of one record: kind, declared id, whole point inside the file.
Result<SignalSlot*> count_record(ByteCursor& cursor, SignalSlots& slots) {
    KARVO_TRY(cursor.expect_chunk(ChunkKind::Declaration));
    KARVO_ASSIGN(std::uint32_t id, cursor.read_u32());
    SignalSlot* slot = slots.find(id);
    if (slot == nullptr) return ParseError{format_message("value record references unknown declaration {}", id)};
    KARVO_TRY(cursor.skip(8 * slot->words));
    ++slot->points;
    return slot;
}

// Whether the cycle at p repeats the learned one.
bool repeats(const unsigned char* p, const Cycle& cycle) {
    bool same = true;
    for (const CycleRecord& r : cycle.records) same &= raw_header(p + r.offset) == r.header;
    return same;
}

// How many of the `most` whole cycles from p on repeat the learned one
// before the first that does not. The two halves are checked side by side:
// two streams of reads keep more of them in flight than one.
std::uint64_t repeated_cycles(const unsigned char* p, const Cycle& cycle, std::uint64_t most) {
    const std::uint64_t half = most / 2;
    const unsigned char* second = p + half * cycle.bytes;
    for (std::uint64_t i = 0; i < half; ++i, p += cycle.bytes, second += cycle.bytes) {
        if (!repeats(p, cycle)) return i;
        if (!repeats(second, cycle)) {
            // The first half alone, then the second from its break on.
            for (std::uint64_t k = i + 1; k < half; ++k)
                if (!repeats(p += cycle.bytes, cycle)) return k;
            return half + i;
        }
    }
    // The second half has one cycle more when `most` is odd.
    return most - half > half && !repeats(second, cycle) ? 2 * half : most;
}

// Learns the cycle from the records at the cursor: each gets the full checks,
// until the first record comes round again, every signal has had its record,
// or the content ends. Leaves the cursor after the learned cycle.
Status learn_cycle(ByteCursor& cursor, SignalSlots& slots, std::uint64_t content_end, Cycle& cycle) {
    const std::uint64_t start = cursor.pos();
    const unsigned char* const data = cursor.data();
    while (cursor.pos() < content_end && cycle.records.size() < slots.size()) {
        const std::uint64_t at = cursor.pos();
        if (!cycle.records.empty() && cursor.has(8) && raw_header(data + at) == cycle.records[0].header) break;
        KARVO_ASSIGN(SignalSlot* slot, count_record(cursor, slots));
        cycle.records.push_back(CycleRecord{raw_header(data + at), at - start, slot});
    }
    cycle.bytes = cursor.pos() - start;
    cycle.first = cursor.pos();
    for (const CycleRecord& r : cycle.records) cycle.distinct &= r.slot->points == 1;
    return {};
}

// Counts the cycles that repeat the learned one at one compare per record,
// then the records after them with the full checks, one by one.
Status count_after_cycle(ByteCursor& cursor, SignalSlots& slots, std::uint64_t content_end, Cycle& cycle) {
    // Whole cycles that end inside both the content and the file: every record
    // of one starts before content_end and its point lies in the file.
    const std::uint64_t limit = std::min(content_end, cursor.len());
    std::uint64_t pos = cycle.first;
    if (!cycle.records.empty() && pos <= limit) {
        cycle.count = repeated_cycles(cursor.data() + pos, cycle, (limit - pos) / cycle.bytes);
        pos += cycle.count * cycle.bytes;
        for (const CycleRecord& r : cycle.records) r.slot->points += cycle.count;
    }
    KARVO_TRY(cursor.skip(pos - cursor.pos()));

    while (cursor.pos() < content_end) KARVO_TRY(count_record(cursor, slots));
    return {};
}

// Copies records that were validated before, looking each id up. Their
// bytes are read again, so each must still fit what was counted.
Status fill_records(const unsigned char* data, const unsigned char* p, const unsigned char* end,
                    SignalSlots& slots) {
    while (p < end) {
        SignalSlot* slot = end - p >= 8 ? slots.find(load_be32(p + 4)) : nullptr;
        if (slot == nullptr || !slot->has_room() || static_cast<std::uint64_t>(end - p - 8) / 8 < slot->words)
            return file_changed_error(static_cast<std::uint64_t>(p - data));
        copy_be_f64(slot->out, p + 8, slot->words);
        slot->out += slot->words;
        p += 8 + 8 * slot->words;
    }
    return {};
}

// Copies the points of `count` cycles record by record, each to its signal.
void copy_in_order(const unsigned char* p, const Cycle& cycle, std::uint64_t count) {
    for (std::uint64_t c = 0; c < count; ++c, p += cycle.bytes) {
        for (const CycleRecord& r : cycle.records) {
            SignalSlot* s = r.slot;
            copy_be_f64(s->out, p + r.offset + 8, s->words);
            s->out += s->words;
        }
    }
}

// Copies the points of `count` cycles signal by signal: each buffer gets a
// run of consecutive points.
template <Store S>
void copy_by_signal(const unsigned char* p, const Cycle& cycle, std::uint64_t count) {
    for (const CycleRecord& r : cycle.records) {
        SignalSlot* s = r.slot;
        copy_be_f64_strided<S>(s->out, p + r.offset + 8, count, s->words, cycle.bytes);
        s->out += count * s->words;
    }
}

// Copies up to `most` whole cycles from p, a block at a time. The headers of
// a block are checked against the learned cycle before its points are copied;
// reading them also brings the block into the cache for the copy. Returns the
// cycles copied, fewer than `most` where a record breaks the cycle.
template <typename CopyBlock>
std::uint64_t copy_checked(const unsigned char* p, const Cycle& cycle, std::uint64_t most, CopyBlock copy) {
    const std::uint64_t block = std::max<std::uint64_t>(1, kBlockBytes / cycle.bytes);
    for (std::uint64_t done = 0; done < most; done += block, p += block * cycle.bytes) {
        const std::uint64_t n = std::min(block, most - done);
        const std::uint64_t good = repeated_cycles(p, cycle, n);
        copy(p, cycle, good);
        if (good < n) return done + good;
    }
    return most;
}

// Copies the points of up to `most` whole cycles from p (see copy_checked).
// In file order a hundred buffers would each take one point in turn (for
// float and complex points five times slower than a copy of the file,
// measured), so each block is gathered signal by signal, which a signal
// standing twice in a cycle does not allow. Large bodies are then written
// with streaming stores, which every buffer receives in runs of whole lines
// (for noise structs a quarter faster than stores in file order, measured).
std::uint64_t fill_cycles(const unsigned char* p, const Cycle& cycle, std::uint64_t most) {
    if (cycle.records.empty() || most == 0) return 0;
    if (!cycle.distinct) return copy_checked(p, cycle, most, copy_in_order);
    if (most * cycle.bytes < kStreamBytes) return copy_checked(p, cycle, most, copy_by_signal<Store::Normal>);
    const std::uint64_t done = copy_checked(p, cycle, most, copy_by_signal<Store::Stream>);
    stream_fence();
    return done;
}

// The common body, whole cycles from the first record to the end of the
// content, read in one pass: the learned cycle's count then follows from the
// body's size, and the buffers are sized from it before the copy checks each
// cycle's headers. Returns false, with nothing kept, when the body is not of
// that shape; errors are left to the two-pass read.
Result<bool> read_in_one_pass(ByteCursor& cursor, SignalSlots& slots, std::uint64_t content_end) {
    const std::uint64_t start = cursor.pos();
    Cycle cycle;
    KARVO_TRY(learn_cycle(cursor, slots, content_end, cycle));
    if (cycle.records.empty() || content_end > cursor.len() || cycle.first > content_end ||
        (content_end - cycle.first) % cycle.bytes != 0)
        return false;
    const std::uint64_t count = (content_end - cycle.first) / cycle.bytes;
    for (const CycleRecord& r : cycle.records) r.slot->points += count;
    KARVO_TRY(slots.size_buffers());

    const unsigned char* data = cursor.data();
    KARVO_TRY(fill_records(data, data + start, data + cycle.first, slots));
    if (fill_cycles(data + cycle.first, cycle, count) != count) {
        slots.free_buffers();
        return false;
    }
    if (!slots.all_filled()) return file_changed_error(start);
    cursor.rewind_to(content_end);
    return true;
}

// Any other body: a counting pass validates every record and counts the
// points of each signal, then a filling pass copies them.
Status read_in_two_passes(ByteCursor& cursor, SignalSlots& slots, std::uint64_t content_end) {
    const std::uint64_t start = cursor.pos();
    Cycle cycle;
    KARVO_TRY(learn_cycle(cursor, slots, content_end, cycle));
    KARVO_TRY(count_after_cycle(cursor, slots, content_end, cycle));
    const std::uint64_t stop = cursor.pos();

    KARVO_TRY(slots.size_buffers());

    // Whole cycles are copied as counted: a file changed meanwhile can change
    // their values, never their number. The records around them are read
    // again and checked.
    const unsigned char* data = cursor.data();
    const std::uint64_t cycles_end = cycle.first + cycle.count * cycle.bytes;
    KARVO_TRY(fill_records(data, data + start, data + cycle.first, slots));
    const std::uint64_t copied = fill_cycles(data + cycle.first, cycle, cycle.count);
    if (copied != cycle.count) return file_changed_error(cycle.first + copied * cycle.bytes);
    KARVO_TRY(fill_records(data, data + cycles_end, data + stop, slots));
    if (!slots.all_filled()) return file_changed_error(start);
    return {};
}

}  // namespace

Status read_swept_body(ByteCursor& cursor, SignalCatalog& catalog, std::uint64_t content_end) {
    const std::uint64_t start = cursor.pos();
    {
        SignalSlots slots(catalog);
        KARVO_ASSIGN(bool done, read_in_one_pass(cursor, slots, content_end));
        if (done) return {};
    }
    cursor.rewind_to(start);
    SignalSlots slots(catalog);
    return read_in_two_passes(cursor, slots, content_end);
}

}  // namespace karvo
