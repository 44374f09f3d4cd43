#include <algorithm>
#include <cstring>

#include "reader/sections.hpp"
#include "reader/signal_slots.hpp"
#include "types/chunks.hpp"
#include "types/format.hpp"

namespace karvo {

namespace {

// Simulators write one record per signal per sweep point, in the same order at
// every point. The counting pass learns that cycle from the first records and
// then checks each later record against it (kind and id in one 8-byte compare)
// instead of looking its id up. The filling pass copies the whole cycles as
// learned, without reading their headers again (see fill_cycles).
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

// Counts the records between the cursor and content_end, learning the cycle
// from the first ones and taking whole cycles that repeat it at one compare
// per record. Records that break the cycle, and those after, get the full
// checks one by one.
Status count_records(ByteCursor& cursor, SignalSlots& slots, std::uint64_t content_end, Cycle& cycle) {
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

    // Whole cycles that end inside both the content and the file: every record
    // of one starts before content_end and its point lies in the file.
    const std::uint64_t limit = std::min(content_end, cursor.len());
    std::uint64_t pos = cycle.first;
    if (!cycle.records.empty() && pos <= limit) {
        cycle.count = repeated_cycles(data + pos, cycle, (limit - pos) / cycle.bytes);
        pos += cycle.count * cycle.bytes;
        for (const CycleRecord& r : cycle.records) r.slot->points += cycle.count;
    }
    KARVO_TRY(cursor.skip(pos - cursor.pos()));

    while (cursor.pos() < content_end) KARVO_TRY(count_record(cursor, slots));
    return {};
}

// Copies records that the counting pass validated, looking each id up. Their
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
// Compiled for each vector width (see KARVO_CLONES), so that a struct point
// is swapped and stored a vector at a time: fewer, wider stores keep more of
// a hundred buffers' lines in flight (a fifth faster, measured).
KARVO_CLONES void fill_in_order(const unsigned char* p, const Cycle& cycle, std::uint64_t count) {
    for (std::uint64_t c = 0; c < count; ++c, p += cycle.bytes) {
        for (const CycleRecord& r : cycle.records) {
            SignalSlot* s = r.slot;
            copy_be_f64(s->out, p + r.offset + 8, s->words);
            s->out += s->words;
        }
    }
}

// Copies the points of `count` cycles a block of cycles at a time, and within
// a block signal by signal: each buffer gets a run of consecutive points.
// Gathering reads the block column by column, so each signal also pulls in
// its share of the next block, front to back, while the block is gathered.
template <Store S>
void fill_by_signal(const unsigned char* p, const Cycle& cycle, std::uint64_t count) {
    const std::uint64_t block = std::max<std::uint64_t>(1, kBlockBytes / cycle.bytes);
    const std::uint64_t share = (block * cycle.bytes / cycle.records.size() + 63) & ~std::uint64_t{63};
    const unsigned char* const end = p + count * cycle.bytes;
    for (std::uint64_t done = 0; done < count; done += block) {
        const std::uint64_t n = std::min(block, count - done);
        const unsigned char* ahead = p + n * cycle.bytes;
        for (const CycleRecord& r : cycle.records) {
            for (const unsigned char* q = ahead; q < ahead + share && q < end; q += 64) __builtin_prefetch(q, 0, 2);
            ahead += share;
            SignalSlot* s = r.slot;
            copy_be_f64_strided<S>(s->out, p + r.offset + 8, n, s->words, cycle.bytes);
            s->out += n * s->words;
        }
        p += n * cycle.bytes;
    }
}

// Copies the whole cycles that start at p. Points of a cache line or more
// (noise structs) are copied in file order: every buffer receives whole lines
// at a time, and gathering measured no faster. Narrow points (floats, complex
// pairs) in file order would have a hundred buffers each take 8 or 16 bytes
// in turn (five times slower than a copy of the file, measured), so they are
// gathered signal by signal, which a signal standing twice in a cycle does
// not allow. Large bodies are then written with streaming stores.
void fill_cycles(const unsigned char* p, const Cycle& cycle) {
    const std::uint64_t point_bytes = cycle.bytes - 8 * cycle.records.size();
    const bool wide = point_bytes >= 64 * cycle.records.size();
    const bool large = cycle.count * cycle.bytes >= kStreamBytes;
    if (wide || !cycle.distinct) {
        fill_in_order(p, cycle, cycle.count);
    } else if (large) {
        fill_by_signal<Store::Stream>(p, cycle, cycle.count);
        stream_fence();
    } else {
        fill_by_signal<Store::Normal>(p, cycle, cycle.count);
    }
}

}  // namespace

Status read_swept_body(ByteCursor& cursor, SignalCatalog& catalog, std::uint64_t content_end) {
    SignalSlots slots(catalog);
    const std::uint64_t start = cursor.pos();

    // Counting pass: validate every record and count the points of each signal.
    Cycle cycle;
    KARVO_TRY(count_records(cursor, slots, content_end, cycle));
    const std::uint64_t stop = cursor.pos();

    KARVO_TRY(slots.size_buffers());

    // Filling pass over the records validated above. Whole cycles are copied
    // as counted: a file changed meanwhile can change their values, never
    // their number. The records around them are read again and checked.
    const unsigned char* data = cursor.data();
    const std::uint64_t cycles_end = cycle.first + cycle.count * cycle.bytes;
    KARVO_TRY(fill_records(data, data + start, data + cycle.first, slots));
    // No cycle without records: its sizes would divide by zero.
    if (cycle.count != 0) fill_cycles(data + cycle.first, cycle);
    KARVO_TRY(fill_records(data, data + cycles_end, data + stop, slots));
    if (!slots.all_filled()) return file_changed_error(start);
    return {};
}

}  // namespace karvo
