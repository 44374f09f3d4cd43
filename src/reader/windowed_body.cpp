// The windowed layout: frames of up to `window` points, each holding a block
// of the sweep's points and then one block per trace.
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
        }
        return {};
    }

private:
    std::vector<SignalSlot*> order_;  // the sweep, then the traces; null for an unknown id
    const std::vector<std::uint32_t>& ids_;
    const std::uint64_t end_;
    ReadContext& ctx_;
};

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
    FrameWalk walk(std::move(order), ids, content_end, ctx);
    const bool stream = content_end > start && (content_end - start) / 8 >= kStreamWords;
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
