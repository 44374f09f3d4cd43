#include "reader/sections.hpp"
#include "types/chunks.hpp"
#include "types/containers.hpp"
#include "types/format.hpp"
#include "types/properties.hpp"

namespace karvo {

Status read_value_section(ByteCursor& cursor, const TypeTable& types, SignalCatalog& catalog,
                          ValueLayout layout) {
    KARVO_TRY(cursor.expect_chunk(ChunkKind::SectionValue));
    KARVO_ASSIGN(std::uint64_t end, read_container(cursor));
    switch (layout) {
        case ValueLayout::Empty: break;
        case ValueLayout::Swept: KARVO_TRY(read_swept_body(cursor, catalog, end)); break;
        case ValueLayout::Windowed: KARVO_TRY(read_windowed_body(cursor, catalog, end)); break;
        case ValueLayout::NonSwept: KARVO_TRY(read_nonswept_body(cursor, types, catalog, end)); break;
        case ValueLayout::GroupedSwept: KARVO_TRY(read_grouped_swept_body(cursor, catalog, end)); break;
    }
    KARVO_TRY(check_container_end(cursor, "VALUE", end));
    return cursor.expect_chunk(ChunkKind::SectionEnd);
}

Status read_nonswept_body(ByteCursor& cursor, const TypeTable& types, SignalCatalog& catalog,
                          std::uint64_t /*content_end*/) {
    KARVO_ASSIGN(std::uint64_t entries_end, read_subcontainer(cursor));
    while (cursor.pos() < entries_end) KARVO_TRY(read_declaration(cursor, types, catalog, DeclMode::Value));
    return skip_container_index(cursor, 4);
}

Result<ValueData> read_value_by_datatype(ByteCursor& cursor, DataType type) {
    ValueData v;
    switch (type) {
        case DataType::Int8: {
            KARVO_ASSIGN(const unsigned char* byte, cursor.need(1));
            KARVO_TRY(cursor.skip(3));
            v.kind = ValueData::Kind::Int;
            v.int_value = *byte;
            return v;
        }
        case DataType::Int32: {
            KARVO_ASSIGN(std::uint32_t w, cursor.read_u32());
            v.kind = ValueData::Kind::Int;
            v.int_value = w;
            return v;
        }
        case DataType::Float64: {
            KARVO_ASSIGN(v.re, cursor.read_f64());
            v.kind = ValueData::Kind::Float;
            return v;
        }
        case DataType::Complex: {
            KARVO_ASSIGN(v.re, cursor.read_f64());
            KARVO_ASSIGN(v.im, cursor.read_f64());
            v.kind = ValueData::Kind::Complex;
            return v;
        }
        case DataType::String: {
            v.extra = std::make_unique<ValueExtra>();
            KARVO_ASSIGN(v.extra->text, cursor.read_string());
            v.kind = ValueData::Kind::String;
            return v;
        }
        case DataType::Array: return ParseError{"array-typed values are not supported"};
        case DataType::Struct: return ParseError{"nested struct values are not supported"};
        case DataType::None: break;
    }
    return ParseError{"value has datatype NONE"};
}

Result<ValueData> read_struct_value(ByteCursor& cursor, const StructMembers& members) {
    ValueData v;
    v.kind = ValueData::Kind::Struct;
    v.extra = std::make_unique<ValueExtra>();
    std::vector<ValueData>& values = v.extra->member_values;
    values.reserve(members->size());
    for (const MemberDef& m : *members) {
        KARVO_ASSIGN(ValueData member, read_value_by_datatype(cursor, m.type));
        values.push_back(std::move(member));
    }
    v.extra->struct_members = members;
    return v;
}

}  // namespace karvo
