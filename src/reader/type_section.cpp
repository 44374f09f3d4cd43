#include "reader/sections.hpp"
#include "types/chunks.hpp"
#include "types/containers.hpp"
#include "types/format.hpp"
#include "types/properties.hpp"

namespace karvo {

Status read_type_section(ByteCursor& cursor, TypeTable& table, ReadContext& ctx) {
    KARVO_TRY(cursor.expect_chunk(ChunkKind::SectionType));
    KARVO_ASSIGN(std::uint64_t end, read_container(cursor));
    KARVO_ASSIGN(std::uint64_t defs_end, read_subcontainer(cursor));
    while (cursor.pos() < defs_end) {
        const std::uint64_t at = cursor.pos();
        KARVO_ASSIGN(TypeDef def, read_type_def(cursor, ctx));
        KARVO_TRY(ctx.tick(cursor.pos() - at));
        table.insert_or_assign(def.id, std::move(def.kind));
    }
    KARVO_TRY(skip_container_index(cursor, 4));
    return check_container_end(cursor, "TYPE", end);
}

Result<TypeDef> read_type_def(ByteCursor& cursor, ReadContext& ctx, unsigned depth) {
    const unsigned max_nesting = ctx.options.max_nesting;
    if (depth > max_nesting)
        return ParseError{format_message(
            "struct definition at offset {} is nested more than {} levels deep", cursor.pos(), max_nesting)};
    KARVO_TRY(cursor.expect_chunk(ChunkKind::Declaration));
    TypeDef def;
    KARVO_ASSIGN(def.id, cursor.read_u32());
    KARVO_ASSIGN(def.name, cursor.read_string());
    KARVO_ASSIGN(std::uint32_t extra_tag, cursor.read_u32());
    KARVO_TRY(datatype_from_tag(extra_tag));
    KARVO_ASSIGN(std::uint32_t tag, cursor.read_u32());
    KARVO_ASSIGN(DataType type, datatype_from_tag(tag));

    if (type == DataType::Array) {
        // An array type names its element's datatype in the next word.
        KARVO_ASSIGN(std::uint32_t element_tag, cursor.read_u32());
        KARVO_ASSIGN(DataType element, datatype_from_tag(element_tag));
        if (element == DataType::None || element == DataType::Array || element == DataType::Struct)
            return ParseError{format_message("array type '{}' has unsupported element datatype {}", def.name,
                                             datatype_name(element))};
        def.kind.scalar = type;
        def.kind.element = element;
    } else if (type != DataType::Struct) {
        def.kind.scalar = type;
    } else {
        def.kind.is_struct = true;
        std::vector<MemberDef> members;
        while (!cursor.next_word_is(word(ChunkKind::StructEnd))) {
            KARVO_ASSIGN(TypeDef member, read_type_def(cursor, ctx, depth + 1));
            if (member.kind.is_struct)
                return ParseError{format_message(
                    "struct '{}' has a nested struct member '{}' (nested structs are not supported)", def.name,
                    member.name)};
            if (member.kind.scalar == DataType::None || member.kind.scalar == DataType::Array)
                return ParseError{format_message(
                    "struct '{}' member '{}' has unsupported type (only flat scalar struct members are "
                    "supported)",
                    def.name, member.name)};
            members.push_back(MemberDef{std::move(member.name), member.kind.scalar});
        }
        KARVO_TRY(cursor.expect_chunk(ChunkKind::StructEnd));
        if (members.empty())
            return ParseError{format_message("struct '{}' has zero fields (empty structs unsupported)", def.name)};
        def.kind.members = std::make_shared<const std::vector<MemberDef>>(std::move(members));
    }
    KARVO_ASSIGN(PropertyList properties, read_property_list(cursor));
    def.kind.properties = share_properties(std::move(properties));
    return def;
}

}  // namespace karvo
