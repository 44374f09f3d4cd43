#include "reader/sections.hpp"
#include "reader/signal_slots.hpp"
#include "types/chunks.hpp"
#include "types/format.hpp"

namespace karvo {

Status read_swept_body(ByteCursor& cursor, SignalCatalog& catalog, std::uint64_t content_end) {
    SignalSlots slots(catalog);
    const std::uint64_t start = cursor.pos();

    // Counting pass: validate every record and count the points of each signal.
    while (cursor.pos() < content_end) {
        KARVO_TRY(cursor.expect_chunk(ChunkKind::Declaration));
        KARVO_ASSIGN(std::uint32_t id, cursor.read_u32());
        SignalSlot* slot = slots.find(id);
        if (slot == nullptr)
            return ParseError{format_message("value record references unknown declaration {}", id)};
        KARVO_TRY(cursor.skip(8 * slot->words));
        ++slot->points;
    }
    const std::uint64_t stop = cursor.pos();

    KARVO_TRY(slots.size_buffers());

    // Filling pass over exactly the records validated above: no checks remain.
    const unsigned char* p = cursor.data() + start;
    const unsigned char* const last = cursor.data() + stop;
    while (p < last) {
        SignalSlot* slot = slots.find(load_be32(p + 4));
        copy_be_f64(slot->out, p + 8, slot->words);
        slot->out += slot->words;
        p += 8 + 8 * slot->words;
    }
    return {};
}

}  // namespace karvo
