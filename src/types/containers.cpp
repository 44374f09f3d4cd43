#include "types/containers.hpp"

#include "types/chunks.hpp"
#include "types/format.hpp"

namespace karvo {

Result<std::uint64_t> read_container(ByteCursor& cursor) {
    KARVO_TRY(cursor.expect_chunk(ChunkKind::Container));
    KARVO_ASSIGN(std::uint32_t stored, cursor.read_u32());
    if (stored < 4) return ParseError{format_message("invalid CONTAINER size {}", stored)};
    return std::uint64_t{stored} - 4;
}

Result<std::uint64_t> read_subcontainer(ByteCursor& cursor) {
    KARVO_TRY(cursor.expect_chunk(ChunkKind::SubContainer));
    KARVO_ASSIGN(std::uint32_t end, cursor.read_u32());
    return std::uint64_t{end};
}

Status skip_container_index(ByteCursor& cursor, std::uint32_t payload) {
    KARVO_TRY(cursor.expect_chunk(ChunkKind::ContainerIndex));
    KARVO_ASSIGN(std::uint32_t size, cursor.read_u32());
    const std::uint64_t entry = std::uint64_t{payload} + 4;
    if (size < entry) return {};
    const std::uint64_t count = size / entry;
    // Entries are never used: skip them whole when the file holds them all, and
    // fall back to entry-by-entry reads only to report where a short file ends.
    if (cursor.has(count * entry)) return cursor.skip(count * entry);
    for (std::uint64_t i = 0; i < count; ++i) {
        KARVO_TRY(cursor.read_u32());
        KARVO_TRY(cursor.skip(payload));
    }
    return {};
}

Status check_container_end(const ByteCursor& cursor, std::string_view label, std::uint64_t end) {
    if (cursor.pos() == end) return {};
    return ParseError{format_message("{} container end mismatch: at offset {} but expected {}", label,
                                     cursor.pos(), end)};
}

}  // namespace karvo
