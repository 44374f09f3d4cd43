#include "types/properties.hpp"

#include "types/chunks.hpp"

namespace karvo {

namespace {

// Reads one property whose kind word is next; `keep` decides whether it is stored.
Status read_property(ByteCursor& cursor, std::uint32_t kind, PropertyList* keep) {
    KARVO_TRY(cursor.skip(4));
    KARVO_ASSIGN(std::string name, cursor.read_string());
    PropertyValue value;
    if (kind == word(ChunkKind::PropInt)) {
        KARVO_ASSIGN(std::uint32_t w, cursor.read_u32());
        value = std::int64_t{static_cast<std::int32_t>(w)};
    } else if (kind == word(ChunkKind::PropString)) {
        KARVO_ASSIGN(value, cursor.read_string());
    } else {
        KARVO_ASSIGN(value, cursor.read_f64());
    }
    if (keep) keep->push_back(Property{std::move(name), std::move(value)});
    return {};
}

}  // namespace

Result<PropertyList> read_property_list(ByteCursor& cursor) {
    PropertyList list;
    std::uint32_t kind;
    while (cursor.peek_u32(kind) && is_property_kind(kind)) KARVO_TRY(read_property(cursor, kind, &list));
    return list;
}

Status skip_property_list(ByteCursor& cursor) {
    std::uint32_t kind;
    while (cursor.peek_u32(kind) && is_property_kind(kind)) KARVO_TRY(read_property(cursor, kind, nullptr));
    return {};
}

}  // namespace karvo
