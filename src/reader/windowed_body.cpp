// The windowed layout: frames of up to `window` points, each holding a block
// of the sweep's points and then one block per trace.
#include "reader/body_split.hpp"
#include "reader/body_walk.hpp"
#include "reader/sections.hpp"
#include "types/chunks.hpp"
#include "types/format.hpp"

namespace karvo {

namespace {

// Bodies with this many samples or more are written with streaming stores:
// each run is hundreds of words, whole lines to a buffer (a twentieth
// faster, measured).
constexpr std::uint64_t kStreamWords = 1 << 20;

// Tells the caller which ranges the copy will read: one per frame and signal
// that is read.
class AnnounceRuns {
public:
    AnnounceRuns(const unsigned char* file, const ReadOptions& options) : file_(file), options_(options) {}
    Status run(SignalSlot& s, const unsigned char* first, std::uint64_t count, std::uint64_t) {
        if (s.read && count != 0)
            options_.will_read(options_.will_read_context, static_cast<std::uint64_t>(first - file_), 8 * count);
        return {};
    }

private:
    const unsigned char* file_;
    const ReadOptions& options_;
};

// Counts, and marks where the parts of a split copy start: at the end of a
// frame, once a part's bytes have passed, with every slot's points so far.
class CountAndSplit : public CountPoints {
public:
    CountAndSplit(std::vector<SignalSlot>& slots, std::uint64_t start, std::uint64_t part_bytes)
        : slots_(slots), part_bytes_(part_bytes) {
        bounds.push_back(start);
        before.resize(slots.size());
    }
    void frame_end(std::uint64_t pos) {
        if (pos - bounds.back() < part_bytes_) return;
        bounds.push_back(pos);
        for (const SignalSlot& s : slots_) before.push_back(s.points);
    }

    std::vector<std::uint64_t> bounds;  // where each part starts
    std::vector<std::uint64_t> before;  // per part, each slot's points before it

private:
    std::vector<SignalSlot>& slots_;
    const std::uint64_t part_bytes_;
};

class FrameWalk {
public:
    FrameWalk(std::vector<SignalSlot*> order, const std::vector<std::uint32_t>& ids, std::uint64_t content_end,
              ReadContext& ctx)
        : order_(std::move(order)), ids_(ids), end_(content_end), ctx_(ctx) {}

    template <typename Visitor>
    Status operator()(ByteCursor& cursor, Visitor& v) {
        const std::size_t last = order_.size() - 1;
        while (cursor.pos() < end_) {
            const std::uint64_t frame = cursor.pos();
            if (cursor.next_word_is(word(ChunkKind::ContainerPadding))) {
                KARVO_TRY(cursor.skip(4));
                KARVO_ASSIGN(std::uint32_t length, cursor.read_u32());
                KARVO_TRY(cursor.skip(length));
                continue;
            }
            KARVO_TRY(cursor.expect_chunk(ChunkKind::Declaration));
            KARVO_ASSIGN(std::uint16_t window, cursor.read_u16());
            KARVO_ASSIGN(std::uint16_t n, cursor.read_u16());
            if (n > window)
                return ParseError{format_message("windowed frame: num_words {} > window_size {}", n, window)};
            for (std::size_t i = 0; i < order_.size(); ++i) {
                if (order_[i] == nullptr)
                    return ParseError{
                        format_message("windowed frame references unknown declaration {}", ids_[i])};
                const std::uint64_t value_bytes = 8 * std::uint64_t{n};
                if (!cursor.has(value_bytes)) {
                    // Values are read one at a time: report the first that is cut off.
                    std::uint64_t whole = cursor.remaining() / 8 * 8;
                    KARVO_TRY(cursor.skip(whole));
                    return need_error(8, cursor.pos(), cursor.len());
                }
                KARVO_TRY(v.run(*order_[i], cursor.data() + cursor.pos(), n, 8));
                KARVO_TRY(cursor.skip(value_bytes));
                KARVO_TRY(cursor.skip(8 * static_cast<std::uint64_t>(window - n)));
                if (i != last) KARVO_TRY(cursor.skip(8));
            }
            KARVO_TRY(ctx_.tick(cursor.pos() - frame));
            ctx_.passed(cursor.pos());
            if constexpr (requires { v.frame_end(cursor.pos()); }) v.frame_end(cursor.pos());
        }
        return {};
    }

private:
    std::vector<SignalSlot*> order_;  // the sweep, then the traces; null for an unknown id
    const std::vector<std::uint32_t>& ids_;
    const std::uint64_t end_;
    ReadContext& ctx_;
};

// The count finds the parts; each part's frames are then copied on its own
// (see body_split.hpp). The count checks every frame, so a malformed one is
// reported as the read of one thread reports it.
Status read_split(ByteCursor& cursor, SignalSlots& slots, std::vector<SignalSlot*> order,
                  const std::vector<std::uint32_t>& ids, std::uint64_t content_end, bool stream,
                  std::uint64_t part_bytes, ReadContext& ctx) {
    const std::uint64_t start = cursor.pos();
    std::vector<SignalSlot>& all = slots.all();
    CountAndSplit count(all, start, part_bytes);
    {
        FrameWalk walk(order, ids, content_end, ctx);
        KARVO_TRY(walk(cursor, count));
    }
    if (!slots.any_read()) return {};
    count.bounds.push_back(cursor.pos());
    KARVO_TRY(slots.size_buffers(ctx));
    const std::size_t parts = count.bounds.size() - 1;
    const std::uint64_t* before = count.before.data();
    Status copied = copy_parts(
        cursor, slots, stream, count.bounds, ctx,
        [&](std::size_t i, std::vector<Room>& room) {
            const std::uint64_t* from = before + i * all.size();
            for (std::size_t k = 0; k < all.size(); ++k) {
                const SignalSlot& s = all[k];
                if (!s.read) continue;
                const std::uint64_t to = i + 1 < parts ? from[all.size() + k] : s.points;
                room[k] = Room{s.out + from[k] * s.words, to - from[k]};
            }
        },
        [&](std::size_t i, ByteCursor& c, CopyPoints& copy, ReadContext& part_ctx) -> Status {
            FrameWalk walk(order, ids, count.bounds[i + 1], part_ctx);
            Status walked = walk(c, copy);
            // The count walked these bytes without fault: they have changed since.
            if (!walked && walked.error().kind == ErrorKind::Malformed) return file_changed_error(c.pos());
            return walked;
        });
    if (!copied) return copied;
    return {};
}

}  // namespace

Status read_windowed_body(ByteCursor& cursor, SignalSlots& slots, const SignalCatalog& catalog,
                          std::uint64_t content_end, ReadContext& ctx) {
    if (catalog.sweep_ids.size() != 1)
        return ParseError{format_message("WINDOWED value section requires exactly one sweep, found {}",
                                         static_cast<std::uint64_t>(catalog.sweep_ids.size()))};
    std::vector<std::uint32_t> ids;
    ids.reserve(1 + catalog.trace_ids.size());
    ids.push_back(catalog.sweep_ids[0]);
    ids.insert(ids.end(), catalog.trace_ids.begin(), catalog.trace_ids.end());

    std::vector<SignalSlot*> order;
    order.reserve(ids.size());
    for (std::uint32_t id : ids) {
        SignalSlot* slot = slots.find(id);
        if (slot != nullptr && slot->record->data.kind == SampleData::Kind::Complex)
            return ParseError{format_message("windowed complex value layout is not supported (trace '{}')",
                                             slot->record->name)};
        if (slot != nullptr && slot->record->data.kind == SampleData::Kind::Struct)
            return ParseError{format_message("windowed struct value layout is not supported (trace '{}')",
                                             slot->record->name)};
        order.push_back(slot);
    }

    const std::uint64_t start = cursor.pos();
    const bool stream = content_end > start && (content_end - start) / 8 >= kStreamWords;
    const std::uint64_t part_bytes = content_end > start ? part_bytes_for(content_end - start, slots) : 0;
    // Reads of chosen signals (counted) stay on one thread.
    if (part_bytes != 0 && !slots.counted() && ctx.options.only == nullptr)
        return read_split(cursor, slots, std::move(order), ids, content_end, stream, part_bytes, ctx);
    FrameWalk walk(std::move(order), ids, content_end, ctx);
    return read_counted(cursor, slots, stream, content_end, ctx, [&](ByteCursor& c, auto& visitor) -> Status {
        // Between the count and the copy of a read of some signals, announce
        // the ranges it will read, so that only their pages are fetched.
        if constexpr (std::is_same_v<std::decay_t<decltype(visitor)>, CopyPoints>) {
            if (ctx.options.will_read != nullptr && ctx.options.only != nullptr) {
                AnnounceRuns announce(c.data(), ctx.options);
                KARVO_TRY(walk(c, announce));
                c.rewind_to(start);
            }
        }
        return walk(c, visitor);
    });
}

}  // namespace karvo
