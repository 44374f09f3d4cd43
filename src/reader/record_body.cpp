// Bodies of point records: the swept layout (one record per signal and sweep
// point: 16, id, point) and the grouped swept layout, whose records may also
// carry a whole group (17, group id, one point of each member).
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "reader/body_split.hpp"
#include "reader/body_walk.hpp"
#include "reader/sections.hpp"
#include "types/chunks.hpp"
#include "types/format.hpp"

namespace karvo {

namespace {

// Input bytes per block of cycles: small enough to stay in the level-2 cache
// while each signal's points are gathered out of it. Cycles too wide for
// 16 of them to fit (a thousand signals or more) take 64 at a time instead:
// each signal then gets eight cache lines of points per block, and the
// per-signal work of a block (its slot, room check and call) is spread over
// 64 points. On 1000 and 10000 signals that reads 15 to 25% faster than
// blocks of 8 cycles (32 and 128 gain less); narrower cycles lose from
// blocks beyond the cache.
constexpr std::uint64_t kBlockBytes = 128 * 1024;
constexpr std::uint64_t kWideBlockCycles = 64;
// Blocks of wide cycles are checked and copied in tiles: a run of records
// of about this many bytes over the block's cycles. Checked right before its
// copy, a tile is still in the level-2 cache when its signals are gathered;
// a whole block checked first (megabytes) had left the cache for the gather:
// 10000 signals of 200 points copy twice as fast in tiles.
constexpr std::uint64_t kTileBytes = 4096;
// Bodies from this size on are written with streaming stores (see Store),
// where each signal gets at least this many points per block.
constexpr std::uint64_t kStreamBytes = 8 << 20;
constexpr std::uint64_t kStreamRun = 8;

std::uint64_t raw_header(const unsigned char* p) {
    std::uint64_t h;
    std::memcpy(&h, p, 8);
    return h;
}

// Whether the cycle at p repeats the learned one: one compare of each
// record's kind and id words, no branch per record. Records of one size
// (nearly always) need no table of offsets.
// A record costs a load, an xor and an or; two words gather the
// differences, so that neighbouring records do not wait on each other.
template <std::uint64_t Stride>
bool same_headers(const unsigned char* p, const std::uint64_t* headers, std::size_t n) {
    std::uint64_t differ = 0, differ_too = 0;
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        differ |= raw_header(p + Stride * i) ^ headers[i];
        differ_too |= raw_header(p + Stride * (i + 1)) ^ headers[i + 1];
    }
    if (i < n) differ |= raw_header(p + Stride * i) ^ headers[i];
    return (differ | differ_too) == 0;
}

// The same for the records [first, last) of the cycle.
bool repeats(const unsigned char* p, const Cycle& cycle, std::size_t first, std::size_t last) {
    const std::uint64_t* headers = cycle.headers.data() + first;
    const std::size_t n = last - first;
    switch (cycle.stride) {
        case 16: return same_headers<16>(p + 16 * first, headers, n);  // float points
        case 24: return same_headers<24>(p + 24 * first, headers, n);  // complex points
        default: break;
    }
    std::uint64_t differ = 0;
    for (std::size_t i = 0; i < n; ++i) differ |= raw_header(p + cycle.offsets[first + i]) ^ headers[i];
    return differ == 0;
}

bool repeats(const unsigned char* p, const Cycle& cycle) { return repeats(p, cycle, 0, cycle.headers.size()); }

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

// One body's walk. `groups`: records may name a group (the grouped layout).
class RecordWalk {
public:
    RecordWalk(SignalSlots& slots, std::uint64_t content_end, bool groups, ReadContext& ctx)
        : slots_(slots), end_(content_end), groups_(groups), ctx_(ctx) {}

    // The whole body: the learned cycle, the cycles that repeat it, then the
    // records after them one by one. With `stop_at_break`, the walk ends at
    // the first cycle that breaks the learned one and says so in `broken`.
    template <typename Visitor>
    Status operator()(ByteCursor& cursor, Visitor& v, bool stop_at_break = false, bool* broken = nullptr) {
        Cycle cycle;
        KARVO_TRY(learn_cycle(cursor, v, cycle));
        if (!cycle.headers.empty()) {
            KARVO_TRY(repeated_cycles_from(cursor, v, cycle, 1, stop_at_break, broken));
            if (stop_at_break && *broken) return {};
        }
        while (cursor.pos() < end_) {
            const std::uint64_t at = cursor.pos();
            KARVO_TRY(read_record(cursor, v, nullptr));
            KARVO_TRY(ctx_.tick(cursor.pos() - at));
        }
        return {};
    }

    // The cycles from the cursor on that repeat the learned one, in blocks,
    // checked and handed to the visitor; `before` cycles of the body came
    // before the cursor. Leaves the cursor after the last whole cycle that
    // repeats it. With `stop_at_break`, a cycle that breaks it sets `broken`.
    template <typename Visitor>
    Status repeated_cycles_from(ByteCursor& cursor, Visitor& v, const Cycle& cycle, std::uint64_t before,
                                bool stop_at_break, bool* broken) {
        // Whole cycles that end inside both the content and the file:
        // every record of one starts before content_end, its points in the file.
        const std::uint64_t limit = std::min(end_, cursor.len());
        std::uint64_t pos = cursor.pos();
        if (pos <= limit) {
            const std::uint64_t most = (limit - pos) / cycle.bytes;
            const std::uint64_t fit = kBlockBytes / cycle.bytes / 8 * 8;
            const std::uint64_t block = fit >= 16 ? fit : kWideBlockCycles;
            // Tiles need one point per record, each signal once.
            [[maybe_unused]] const bool tiled =
                fit < 16 && cycle.distinct && cycle.points.size() == cycle.headers.size();
            for (std::uint64_t done = 0; done < most;) {
                // Blocks end where every signal has a multiple of eight
                // points (the learned cycle gave each its first), so that
                // each block's runs fill whole cache lines.
                const std::uint64_t n = std::min(block - (before + done) % block, most - done);
                const unsigned char* p = cursor.data() + pos;
                std::uint64_t good;
                if constexpr (std::is_same_v<Visitor, CopyPoints>) {
                    if (tiled) {
                        KARVO_ASSIGN(good, v.tiled_cycles(cycle, p, n));
                    } else {
                        good = repeated_cycles(p, cycle, n);
                        KARVO_TRY(v.cycles(cycle, p, good));
                    }
                } else {
                    good = repeated_cycles(p, cycle, n);
                    KARVO_TRY(v.cycles(cycle, p, good));
                }
                KARVO_TRY(ctx_.tick(good * cycle.bytes));
                ctx_.passed(pos + good * cycle.bytes);
                done += good;
                pos += good * cycle.bytes;
                if (good < n) {
                    if (stop_at_break) *broken = true;
                    break;
                }
            }
        }
        return cursor.skip(pos - cursor.pos());
    }

    // Learns the cycle from the records at the cursor: each gets the full
    // checks, until the first record comes round again, every signal has had
    // its point, or the content ends. Leaves the cursor after the cycle.
    template <typename Visitor>
    Status learn_cycle(ByteCursor& cursor, Visitor& v, Cycle& cycle) {
        const std::uint64_t start = cursor.pos();
        // A cycle has a record per signal at most (a group's records count
        // as one): room for them all is within the slots' own size.
        cycle.headers.reserve(slots_.size());
        cycle.offsets.reserve(slots_.size());
        cycle.points.reserve(slots_.size());
        while (cursor.pos() < end_ && cycle.points.size() < slots_.size()) {
            const std::uint64_t at = cursor.pos();
            if (!cycle.headers.empty() && cursor.has(8) && raw_header(cursor.data() + at) == cycle.headers[0])
                break;
            cycle.headers.push_back(cursor.has(8) ? raw_header(cursor.data() + at) : 0);
            cycle.offsets.push_back(at - start);
            KARVO_TRY(read_record(cursor, v, &cycle, start));
        }
        cycle.bytes = cursor.pos() - start;
        cycle.first = cursor.pos();
        if (!cycle.offsets.empty() && cycle.bytes % cycle.offsets.size() == 0) {
            cycle.stride = cycle.bytes / cycle.offsets.size();
            for (std::size_t i = 0; i < cycle.offsets.size(); ++i)
                if (cycle.offsets[i] != cycle.stride * i) cycle.stride = 0;
        }
        // A signal stands twice when its mark is already set.
        for (const Cycle::Point& p : cycle.points) p.slot->mark = false;
        for (const Cycle::Point& p : cycle.points) {
            cycle.distinct &= !p.slot->mark;
            p.slot->mark = true;
        }
        return {};
    }

private:
    // One record with its checks: kind, declared id or group, its points
    // inside the file. Its points go to the visitor (and to `learn`).
    template <typename Visitor>
    Status read_record(ByteCursor& cursor, Visitor& v, Cycle* learn, std::uint64_t cycle_start = 0) {
        const std::uint64_t at = cursor.pos();
        std::uint32_t kind = word(ChunkKind::Declaration);
        if (groups_) {
            KARVO_ASSIGN(kind, cursor.read_u32());
        } else {
            KARVO_TRY(cursor.expect_chunk(ChunkKind::Declaration));
        }
        KARVO_ASSIGN(std::uint32_t id, cursor.read_u32());
        if (kind == word(ChunkKind::Declaration)) {
            SignalSlot* slot = slots_.find(id);
            if (slot == nullptr)
                return ParseError{format_message("value record references unknown declaration {}", id)};
            return take_point(cursor, v, *slot, learn, cycle_start);
        }
        if (kind == word(ChunkKind::GroupDeclaration)) {
            const GroupSlots* g = slots_.group(id);
            if (g == nullptr) return ParseError{format_message("value record references unknown group {}", id)};
            const std::uint64_t width = g->words > UINT64_MAX / 8 ? UINT64_MAX : 8 * g->words;
            if (!cursor.has(width)) return cursor.skip(width);
            for (SignalSlot* member : g->members) KARVO_TRY(take_point(cursor, v, *member, learn, cycle_start));
            return {};
        }
        return ParseError{format_message("expected DECLARATION (16) or GROUP_DECLARATION (17) at offset {}, got {}",
                                         at, kind)};
    }

    template <typename Visitor>
    Status take_point(ByteCursor& cursor, Visitor& v, SignalSlot& slot, Cycle* learn, std::uint64_t cycle_start) {
        const std::uint64_t at = cursor.pos();
        KARVO_TRY(cursor.skip(8 * slot.words));
        if (learn != nullptr) learn->points.push_back(Cycle::Point{&slot, at - cycle_start});
        return v.run(slot, cursor.data() + at, 1, 8 * slot.words);
    }

    SignalSlots& slots_;
    const std::uint64_t end_;
    const bool groups_;
    ReadContext& ctx_;
};

// Copies the points of `count` cycles record by record, each to its signal
// (a signal standing twice in a cycle gets its points in turn). Returns
// false when a signal has no room left.
bool copy_in_order(CopyPoints& copy, const unsigned char* p, const Cycle& cycle, std::uint64_t count) {
    for (std::uint64_t c = 0; c < count; ++c, p += cycle.bytes) {
        for (const Cycle::Point& point : cycle.points) {
            SignalSlot* s = point.slot;
            if (!s->read) continue;
            if (!copy.has_room(*s, 1)) return false;
            copy_be_f64(copy.take(*s, 1), p + point.offset, s->words);
        }
    }
    return true;
}

// Copies the points of `count` cycles signal by signal: each buffer gets a
// run of consecutive points.
template <Store S>
void copy_by_signal(CopyPoints& copy, const unsigned char* p, const Cycle& cycle, std::uint64_t count) {
    for (const Cycle::Point& point : cycle.points) {
        SignalSlot* s = point.slot;
        if (!s->read) continue;
        copy_be_f64_strided<S>(copy.take(*s, count), p + point.offset, count, s->words, cycle.bytes);
    }
}

// The cycles of a body of whole cycles (see read_in_one_pass) copied in
// parts of a multiple of eight cycles, each checked as the one-thread copy
// checks it. A cycle that breaks the learned one fails its part: the body
// is then read again as one of another shape.
Status copy_cycles_split(ByteCursor& cursor, SignalSlots& slots, const Cycle& cycle, std::uint64_t content_end,
                         bool groups, bool stream, std::uint64_t part_bytes, ReadContext& ctx) {
    const std::uint64_t start = cursor.pos();
    const std::uint64_t cycles = (content_end - start) / cycle.bytes;
    std::uint64_t per = (part_bytes + cycle.bytes - 1) / cycle.bytes;
    per = (per + 7) / 8 * 8;
    std::vector<std::uint64_t> bounds;
    for (std::uint64_t c = 0; c < cycles; c += per) bounds.push_back(start + c * cycle.bytes);
    bounds.push_back(content_end);
    // A signal's points per cycle (more than one where it stands twice).
    std::vector<SignalSlot>& all = slots.all();
    std::vector<std::uint64_t> per_cycle(all.size());
    for (const Cycle::Point& p : cycle.points) ++per_cycle[static_cast<std::size_t>(p.slot - all.data())];
    return copy_parts(
        cursor, slots, stream, bounds, ctx,
        [&](std::size_t i, std::vector<Room>& room) {
            const std::uint64_t first = i * per, n = std::min(per, cycles - first);
            for (std::size_t k = 0; k < all.size(); ++k) {
                const SignalSlot& s = all[k];
                if (s.read) room[k] = Room{s.out + first * per_cycle[k] * s.words, n * per_cycle[k]};
            }
        },
        [&](std::size_t i, ByteCursor& c, CopyPoints& copy, ReadContext& part_ctx) -> Status {
            RecordWalk walk(slots, bounds[i + 1], groups, part_ctx);
            bool broken = false;
            KARVO_TRY(walk.repeated_cycles_from(c, copy, cycle, i * per, /*stop_at_break=*/true, &broken));
            if (broken) return ParseError{"a cycle breaks the learned one"};
            return {};
        });
}

// The common body, whole cycles from the first record to the end of the
// content, read in one pass: the number of cycles follows from the body's
// size, so every buffer is sized before the copy, which checks each block
// of cycles as it goes. Returns false, with nothing kept, when the body is
// of another shape; its errors are then those of the counted read.
Result<bool> read_in_one_pass(ByteCursor& cursor, SignalSlots& slots, std::uint64_t content_end, bool groups,
                              ReadContext& ctx) {
    // Counts alone come from the counting walk, which checks every record.
    if (!slots.any_read()) return false;
    const std::uint64_t start = cursor.pos();
    RecordWalk walk(slots, content_end, groups, ctx);
    Cycle cycle;
    CountPoints count;
    KARVO_TRY(walk.learn_cycle(cursor, count, cycle));
    if (cycle.headers.empty() || content_end > cursor.len() || cycle.first > content_end ||
        (content_end - cycle.first) % cycle.bytes != 0)
        return false;
    KARVO_TRY(count.cycles(cycle, nullptr, (content_end - cycle.first) / cycle.bytes));
    KARVO_TRY(slots.size_buffers(ctx));

    // The copy starts at the learned cycle itself: checked against the
    // learned headers like every other cycle, not learned again.
    cursor.rewind_to(start);
    bool broken = false;
    Status copied;
    const bool stream = (content_end - start) >= kStreamBytes;
    const std::uint64_t part_bytes = part_bytes_for(content_end - start, slots);
    if (part_bytes != 0) {
        copied = copy_cycles_split(cursor, slots, cycle, content_end, groups, stream, part_bytes, ctx);
    } else {
        CopyPoints copy(cursor.data(), stream);
        copied = walk.repeated_cycles_from(cursor, copy, cycle, 0, /*stop_at_break=*/true, &broken);
    }
    if (!copied && copied.error().kind != ErrorKind::Malformed && copied.error().kind != ErrorKind::FileChanged)
        return std::move(copied).error();
    bool whole = copied && !broken && cursor.pos() == content_end;
    if (whole) {
        KARVO_ASSIGN(whole, slots.all_filled(ctx));
    }
    if (!whole) KARVO_TRY(slots.reset(ctx));
    return whole;
}

}  // namespace

Result<std::uint64_t> CopyPoints::tiled_cycles(const Cycle& cycle, const unsigned char* p, std::uint64_t count) {
    const auto at = static_cast<std::uint64_t>(p - file_);
    const std::vector<Cycle::Point>& points = cycle.points;
    std::uint64_t good = count;
    for (std::size_t first = 0; first < points.size();) {
        std::size_t last = first + 1;
        while (last < points.size() && cycle.offsets[last] - cycle.offsets[first] < kTileBytes) ++last;
        std::uint64_t rows = 0;
        for (const unsigned char* q = p; rows < good && repeats(q, cycle, first, last); q += cycle.bytes) ++rows;
        if (rows < good) {
            // A cycle breaks the learned one: the tiles before copied too many.
            for (std::size_t i = 0; i < first; ++i)
                if (points[i].slot->read) give_back(*points[i].slot, good - rows);
            good = rows;
        }
        for (std::size_t i = first; i < last; ++i)
            if (points[i].slot->read && !has_room(*points[i].slot, good)) return file_changed_error(at);
        for (std::size_t i = first; i < last; ++i) {
            SignalSlot* s = points[i].slot;
            if (!s->read) continue;
            if (stream_ && good >= kStreamRun)
                copy_be_f64_strided<Store::Stream>(take(*s, good), p + points[i].offset, good, s->words, cycle.bytes);
            else
                copy_be_f64_strided<Store::Normal>(take(*s, good), p + points[i].offset, good, s->words, cycle.bytes);
        }
        first = last;
    }
    return good;
}

Status CopyPoints::cycles(const Cycle& cycle, const unsigned char* p, std::uint64_t count) {
    const auto at = static_cast<std::uint64_t>(p - file_);
    if (!cycle.distinct) return copy_in_order(*this, p, cycle, count) ? Status{} : file_changed_error(at);
    for (const Cycle::Point& point : cycle.points)
        if (point.slot->read && !has_room(*point.slot, count)) return file_changed_error(at);
    // Streaming stores pay off for runs of whole cache lines; the few points
    // per signal of a block of wide cycles go faster through the cache.
    if (stream_ && count >= kStreamRun) copy_by_signal<Store::Stream>(*this, p, cycle, count);
    else copy_by_signal<Store::Normal>(*this, p, cycle, count);
    return {};
}

Status read_record_body(ByteCursor& cursor, SignalSlots& slots, std::uint64_t content_end, bool groups,
                        ReadContext& ctx) {
    const std::uint64_t start = cursor.pos();
    if (!slots.counted()) {
        KARVO_ASSIGN(bool done, read_in_one_pass(cursor, slots, content_end, groups, ctx));
        if (done) return {};
        cursor.rewind_to(start);
        KARVO_TRY(slots.reset(ctx));
    }
    RecordWalk walk(slots, content_end, groups, ctx);
    const bool stream = content_end > start && content_end - start >= kStreamBytes;
    return read_counted(cursor, slots, stream, content_end, ctx,
                        [&walk](ByteCursor& c, auto& visitor) { return walk(c, visitor); });
}

}  // namespace karvo
