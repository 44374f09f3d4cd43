#include "reader/sections.hpp"
#include "types/bswap_copy.hpp"
#include "types/chunks.hpp"
#include "types/format.hpp"

namespace karvo {

namespace {

// Bodies with this many samples or more are written with streaming stores.
constexpr std::uint64_t kStreamWords = 1 << 20;

// One pass over the frames. The first pass (fill == false) validates every
// frame and sums num_words; the second copies the values into buffers that
// the first pass sized exactly, so no sample is moved by a reallocation.
Status walk_frames(ByteCursor& cursor, const std::vector<SignalRecord*>& order, std::uint64_t content_end,
                   const std::vector<std::uint32_t>& ids, bool fill, std::uint64_t& points,
                   std::vector<double*>& out, std::uint64_t counted) {
    // Large bodies bypass the cache: each run is hundreds of words, whole
    // lines to a buffer (a twentieth faster, measured).
    const bool stream = fill && counted * order.size() >= kStreamWords;
    const std::size_t last = order.size() - 1;
    while (cursor.pos() < content_end) {
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
        // The second pass reads the frames again: another process writing the
        // file in between must not make them hold more points than were counted.
        if (fill && n > counted - points) return file_changed_error(cursor.pos() - 4);
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (order[i] == nullptr)
                return ParseError{format_message("windowed frame references unknown declaration {}", ids[i])};
            const std::uint64_t value_bytes = 8 * std::uint64_t{n};
            if (!cursor.has(value_bytes)) {
                // Values are read one at a time: report the first that is cut off.
                std::uint64_t whole = cursor.remaining() / 8 * 8;
                KARVO_TRY(cursor.skip(whole));
                return need_error(8, cursor.pos(), cursor.len());
            }
            if (fill) {
                if (stream) stream_be_f64_run(out[i], cursor.data() + cursor.pos(), n);
                else copy_be_f64_run(out[i], cursor.data() + cursor.pos(), n);
                out[i] += n;
            }
            KARVO_TRY(cursor.skip(value_bytes));
            KARVO_TRY(cursor.skip(8 * static_cast<std::uint64_t>(window - n)));
            if (i != last) KARVO_TRY(cursor.skip(8));
        }
        points += n;
    }
    return {};
}

}  // namespace

Status read_windowed_body(ByteCursor& cursor, SignalCatalog& catalog, std::uint64_t content_end) {
    if (catalog.sweep_ids.size() != 1)
        return ParseError{format_message("WINDOWED value section requires exactly one sweep, found {}",
                                         static_cast<std::uint64_t>(catalog.sweep_ids.size()))};
    std::vector<std::uint32_t> ids;
    ids.reserve(1 + catalog.trace_ids.size());
    ids.push_back(catalog.sweep_ids[0]);
    ids.insert(ids.end(), catalog.trace_ids.begin(), catalog.trace_ids.end());

    std::vector<SignalRecord*> order;
    order.reserve(ids.size());
    for (std::uint32_t id : ids) {
        auto it = catalog.signals.find(id);
        SignalRecord* record = it == catalog.signals.end() ? nullptr : &it->second;
        if (record != nullptr && record->data.kind == SampleData::Kind::Complex)
            return ParseError{
                format_message("windowed complex value layout is not supported (trace '{}')", record->name)};
        if (record != nullptr && record->data.kind == SampleData::Kind::Struct)
            return ParseError{
                format_message("windowed struct value layout is not supported (trace '{}')", record->name)};
        order.push_back(record);
    }

    const std::uint64_t start = cursor.pos();
    std::uint64_t points = 0;
    std::vector<double*> out(order.size(), nullptr);
    KARVO_TRY(walk_frames(cursor, order, content_end, ids, false, points, out, 0));

    // Size every buffer exactly; a record that stands twice in the order
    // receives every frame twice, so offsets are taken only once all are sized.
    std::vector<std::uint64_t> offsets(order.size(), 0);
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (order[i] == nullptr) continue;  // only possible without frames
        SampleBuffer& buf = order[i]->data.samples;
        if (!buf.reserve_more(points))
            return ParseError{format_message("out of memory: cannot allocate {} samples for '{}'", points,
                                             order[i]->name)};
        offsets[i] = buf.length();
        buf.append_slot(points);
    }
    for (std::size_t i = 0; i < order.size(); ++i)
        if (order[i] != nullptr) out[i] = order[i]->data.samples.data() + offsets[i];

    cursor.rewind_to(start);
    std::uint64_t again = 0;
    Status filled = walk_frames(cursor, order, content_end, ids, true, again, out, points);
    stream_fence();
    KARVO_TRY(std::move(filled));
    if (again != points) return file_changed_error(start);
    return {};
}

}  // namespace karvo
