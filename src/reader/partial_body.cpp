#include "reader/partial_body.hpp"

#include <cstring>
#include <new>
#include <utility>

#include "reader/sections.hpp"
#include "reader/signal_slots.hpp"
#include "types/chunks.hpp"
#include "types/containers.hpp"
#include "types/overflow.hpp"

namespace karvo {

namespace {

// The sizes of point records, from the declarations they name.
class RecordSizes {
public:
    enum class Fit : std::uint8_t { Whole, Cut, Foreign };

    RecordSizes(const SignalCatalog& catalog, bool groups) : catalog_(catalog), groups_(groups) {}

    // The record at `p`, with `avail` bytes of the file from there: Whole
    // with its `size` and `points` (signals it carries a point of), Cut when
    // the file ends inside it, Foreign when it names nothing declared (the
    // walk that reads it reports what is wrong).
    Fit at(const unsigned char* p, std::uint64_t avail, std::uint64_t& size, std::uint64_t& points) {
        if (avail < 8) return Fit::Cut;
        const std::uint32_t kind = load_be32(p);
        const std::uint32_t id = load_be32(p + 4);
        std::uint64_t words = 0;
        if (kind == word(ChunkKind::Declaration)) {
            const SignalRecord* record = catalog_.signals.find(id);
            if (record == nullptr) return Fit::Foreign;
            words = record->data.point_words();
            points = 1;
        } else if (groups_ && kind == word(ChunkKind::GroupDeclaration)) {
            if (!group_words(id, words, points)) return Fit::Foreign;
        } else {
            return Fit::Foreign;
        }
        if (mul_overflows(words, 8, size) || add_overflows(size, 8, size) || size > avail) return Fit::Cut;
        return Fit::Whole;
    }

private:
    bool group_words(std::uint32_t id, std::uint64_t& words, std::uint64_t& points) {
        auto known = known_.find(id);
        if (known == known_.end()) {
            auto declared = catalog_.groups.find(id);
            if (declared == catalog_.groups.end()) return false;
            const GroupRecord& g = declared->second;
            const auto& ids = g.in_sweeps ? catalog_.sweep_ids : catalog_.trace_ids;
            std::uint64_t sum = 0;
            for (std::size_t i = g.first; i < g.last; ++i) {
                const SignalRecord* member = catalog_.signals.find(ids[i]);
                if (member == nullptr || add_overflows(sum, member->data.point_words(), sum)) sum = UINT64_MAX / 8;
            }
            known = known_.emplace(id, std::pair<std::uint64_t, std::uint64_t>{sum, g.last - g.first}).first;
        }
        words = known->second.first;
        points = known->second.second;
        return true;
    }

    const SignalCatalog& catalog_;
    const bool groups_;
    IdMap<std::pair<std::uint64_t, std::uint64_t>> known_;  // group id: words, members
};

// The end of the whole frames from `from` on, none past `limit`, or of the
// body, where the VALUE section's end word follows it. A chunk of another
// kind ends nothing: the walk reports it.
std::uint64_t whole_frames_end(const unsigned char* bytes, const SignalCatalog& catalog, std::uint64_t from,
                               std::uint64_t limit) {
    const std::uint64_t signals = 1 + catalog.trace_ids.size();
    std::uint64_t pos = from;
    while (pos < limit) {
        const std::uint64_t avail = limit - pos;
        if (avail < 8) return pos;
        const std::uint32_t kind = load_be32(bytes + pos);
        const std::uint64_t length = load_be32(bytes + pos + 4);
        if (kind == word(ChunkKind::ContainerPadding)) {
            if (length > avail - 8) return pos;
            pos += 8 + length;
            continue;
        }
        if (kind == word(ChunkKind::SectionEnd)) return pos;
        if (kind != word(ChunkKind::Declaration)) return limit;
        const std::uint64_t window = load_be16(bytes + pos + 4);
        // The frame's kind word and sizes, each signal's window of values
        // and a word between two signals'.
        const std::uint64_t frame = 8 + signals * 8 * window + 8 * (signals - 1);
        if (frame > avail) return pos;
        pos += frame;
    }
    return pos;
}

// The end of the whole sweep points from `from` on, none past `limit`: the
// first records make one point of every signal (as the walk learns its
// cycle), and the body repeats them. `from` when the records break off
// before the first point is whole; `limit` when one names nothing declared.
std::uint64_t whole_cycles_end(const unsigned char* bytes, const SignalCatalog& catalog, bool groups,
                               std::uint64_t from, std::uint64_t limit) {
    RecordSizes sizes(catalog, groups);
    std::uint64_t pos = from, points = 0;
    while (points < catalog.signals.size()) {
        if (pos > from && limit - pos >= 8 && std::memcmp(bytes + pos, bytes + from, 8) == 0) break;
        std::uint64_t size = 0, carried = 0;
        const RecordSizes::Fit fit = sizes.at(bytes + pos, limit - pos, size, carried);
        if (fit == RecordSizes::Fit::Foreign) return limit;
        if (fit == RecordSizes::Fit::Cut) return from;
        pos += size;
        points += carried;
    }
    const std::uint64_t cycle = pos - from;
    if (cycle == 0) return from;
    return from + (limit - from) / cycle * cycle;
}

// The end of the whole records from `from` on (bodies that do not repeat
// one cycle), or of the body, where the VALUE section's end word follows it
// (its container's end word may be written only after).
std::uint64_t whole_records_end(const unsigned char* bytes, const SignalCatalog& catalog, bool groups,
                                std::uint64_t from, std::uint64_t limit) {
    RecordSizes sizes(catalog, groups);
    std::uint64_t pos = from;
    while (pos < limit) {
        std::uint64_t size = 0, carried = 0;
        const RecordSizes::Fit fit = sizes.at(bytes + pos, limit - pos, size, carried);
        if (fit == RecordSizes::Fit::Foreign)
            return load_be32(bytes + pos) == word(ChunkKind::SectionEnd) ? pos : limit;
        if (fit == RecordSizes::Fit::Cut) return pos;
        pos += size;
    }
    return pos;
}

// The points of each of `ids` in [from, end).
Result<std::vector<std::uint64_t>> count_points(const unsigned char* bytes, std::uint64_t len,
                                                const SignalCatalog& catalog, ValueLayout layout, std::uint64_t from,
                                                std::uint64_t end, const std::vector<std::uint32_t>& ids,
                                                ReadContext& ctx) {
    KARVO_ASSIGN(SignalSlots slots, SignalSlots::make(catalog, ctx));
    ByteCursor cursor(bytes, len);
    KARVO_TRY(read_sampled_body(cursor, catalog, BodyLocation{layout, from, end}, ctx, slots));
    // A record that runs past `end`: the body does not repeat its first
    // point's records (the caller then reads whole records).
    if (cursor.pos() != end) return ParseError{"a record runs past the last whole point"};
    std::vector<std::uint64_t> added;
    added.reserve(ids.size());
    for (std::uint32_t id : ids) {
        const SignalSlot* slot = slots.find(id);
        if (slot == nullptr) return file_changed_error(from);
        added.push_back(slot->points);
        KARVO_TRY(ctx.tick(sizeof(std::uint64_t)));
    }
    KARVO_TRY(slots.release(ctx));
    return added;
}

Result<BodyTail> body_tail(const unsigned char* bytes, std::uint64_t len, const SignalCatalog& catalog,
                           const BodyLocation& body, std::uint64_t from, const std::vector<std::uint32_t>& ids,
                           ReadContext& ctx) {
    if (body.start < 8 || from < body.start || from > len) return file_changed_error(from);
    BodyTail tail;
    tail.complete = has_psfbin_footer(bytes, len);
    // The VALUE container's end, as stored when the section was finished:
    // while it is written, the word may not hold it yet.
    const std::uint64_t stored = load_be32(bytes + body.start - 4);
    const std::uint64_t claimed = stored >= 4 ? stored - 4 : 0;
    const bool whole_body = claimed >= from && claimed <= len;
    const std::uint64_t limit = whole_body ? claimed : len;
    const bool records = body.layout != ValueLayout::Windowed;
    const bool groups = body.layout == ValueLayout::GroupedSwept;
    if (tail.complete || whole_body) {
        tail.end = limit;
    } else if (records) {
        tail.end = whole_cycles_end(bytes, catalog, groups, from, limit);
    } else {
        tail.end = whole_frames_end(bytes, catalog, from, limit);
    }
    Result<std::vector<std::uint64_t>> counted =
        count_points(bytes, len, catalog, body.layout, from, tail.end, ids, ctx);
    if (!counted && counted.error().kind == ErrorKind::Malformed && records && !tail.complete && !whole_body) {
        // Records that do not repeat the first point's: every whole record.
        tail.end = whole_records_end(bytes, catalog, groups, from, limit);
        KARVO_ASSIGN(tail.added, count_points(bytes, len, catalog, body.layout, from, tail.end, ids, ctx));
    } else {
        if (!counted) return std::move(counted).error();
        tail.added = std::move(counted).value();
    }
    if (tail.complete) {
        ByteCursor cursor(bytes, len);
        cursor.rewind_to(tail.end);
        KARVO_TRY(check_container_end(cursor, "VALUE", claimed));
        KARVO_TRY(cursor.expect_chunk(ChunkKind::SectionEnd));
    }
    return tail;
}

Result<PartialParse> parse_partial(const unsigned char* bytes, std::uint64_t len, const ReadOptions& options) {
    // A file with its trailer is a whole file; a file without, whose
    // declarations are not all there yet, has nothing to read: both as
    // parse_psfbin reads them.
    if (has_psfbin_footer(bytes, len) || len > kMaxPsfbinBytes) {
        KARVO_ASSIGN(ParseResult whole, parse_psfbin(bytes, len, options));
        return PartialParse{std::move(whole), true};
    }
    ReadOptions counting = options;
    counting.samples = false;
    counting.only = nullptr;
    counting.counted = false;
    ReadContext ctx(counting);
    PartialParse partial;
    ParseResult& result = partial.parsed;
    ByteCursor cursor(bytes, len);
    TypeTable types;
    Result<ValueLayout> layout = read_front_sections(cursor, result, types, ctx);
    const bool value_begun = layout && cursor.next_word_is(word(ChunkKind::SectionValue)) && cursor.has(12) &&
                             load_be32(bytes + cursor.pos() + 4) == word(ChunkKind::Container);
    if (!value_begun) {
        if (!layout && layout.error().kind != ErrorKind::Malformed) return std::move(layout).error();
        return parse_psfbin(bytes, len, options).error();
    }
    const std::uint64_t start = cursor.pos() + 12;
    result.body = BodyLocation{layout.value(), start, start};
    if (!result.body.sampled()) return parse_psfbin(bytes, len, options).error();

    std::vector<std::uint32_t> ids;
    ids.reserve(result.catalog.signals.size());
    for (const auto& e : result.catalog.signals) ids.push_back(e.id);
    KARVO_ASSIGN(BodyTail tail, body_tail(bytes, len, result.catalog, result.body, start, ids, ctx));
    result.body.end = tail.end;
    result.complete = false;
    auto entry = result.catalog.signals.begin();
    for (std::uint64_t points : tail.added) (entry++)->record.points = points;
    return partial;
}

}  // namespace

Result<PartialParse> parse_psfbin_partial(const unsigned char* bytes, std::uint64_t len,
                                          const ReadOptions& options) {
    try {
        return parse_partial(bytes, len, options);
    } catch (const std::bad_alloc&) {
        return out_of_memory("out of memory while reading the file");
    }
}

Result<BodyTail> read_body_tail(const unsigned char* bytes, std::uint64_t len, const SignalCatalog& catalog,
                                const BodyLocation& body, std::uint64_t from, const std::vector<std::uint32_t>& ids,
                                const ReadOptions& options) {
    try {
        ReadOptions counting = options;
        counting.samples = false;
        counting.only = nullptr;
        counting.counted = false;
        ReadContext ctx(counting);
        return body_tail(bytes, len, catalog, body, from, ids, ctx);
    } catch (const std::bad_alloc&) {
        return out_of_memory("out of memory while reading the file");
    }
}

}  // namespace karvo
