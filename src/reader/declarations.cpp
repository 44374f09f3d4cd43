#include "reader/sections.hpp"
#include "types/chunks.hpp"
#include "types/containers.hpp"
#include "types/format.hpp"
#include "types/properties.hpp"

namespace karvo {

Result<SampleData> sample_data_for(const TypeKind& type, std::string_view name) {
    SampleData data;
    if (type.is_struct) {
        for (const MemberDef& m : *type.members)
            if (m.type != DataType::Float64)
                return ParseError{format_message(
                    "swept struct trace '{}' member '{}' has non-FLOAT64 type {} (only flat float64 struct "
                    "traces are supported; heterogeneous structs are supported as non-swept values only)",
                    name, m.name, datatype_name(m.type))};
        data.kind = SampleData::Kind::Struct;
        data.members = type.members;
        data.member_count = type.members->size();
        return data;
    }
    if (type.scalar == DataType::Float64) {
        data.kind = SampleData::Kind::Float64;
    } else if (type.scalar == DataType::Complex) {
        data.kind = SampleData::Kind::Complex;
    } else {
        return ParseError{
            format_message("trace/sweep '{}' has unsupported datatype {}", name, datatype_name(type.scalar))};
    }
    return data;
}

namespace {

Status read_entry(ByteCursor& cursor, const TypeTable& types, SignalCatalog& catalog, DeclMode mode,
                  ReadContext& ctx, unsigned depth) {
    const std::uint64_t at = cursor.pos();
    KARVO_ASSIGN(std::uint32_t kind, cursor.read_u32());
    KARVO_ASSIGN(std::uint32_t id, cursor.read_u32());
    KARVO_ASSIGN(std::string_view name, cursor.read_string_view());

    if (kind == word(ChunkKind::Declaration)) {
        KARVO_ASSIGN(std::uint32_t type_id, cursor.read_u32());
        auto type = types.find(type_id);
        if (type == types.end())
            return ParseError{format_message("declaration {} references unknown type id {}", id, type_id)};
        const TypeKind& t = type->second;
        if (mode == DeclMode::Value) {
            PackedValues& values = catalog.values;
            if (t.is_struct) {
                values.begin(name, PackedValues::Kind::Struct, &t.members, t.properties);
                KARVO_TRY(read_struct_value(cursor, t.members, values));
            } else {
                PackedValues::Kind kind = PackedValues::Kind::Int;
                // The other datatypes fail in read_scalar_value, with their message.
                PackedValues::kind_of(t.scalar, kind);
                values.begin(name, kind, nullptr, t.properties);
                KARVO_TRY(read_scalar_value(cursor, t.scalar, values));
            }
            KARVO_ASSIGN(PropertyList own, read_property_list(cursor));
            values.end(std::move(own));
            return {};
        }
        KARVO_ASSIGN(SampleData data, sample_data_for(t, name));
        KARVO_ASSIGN(PropertyList own, read_property_list(cursor));
        KARVO_TRY(catalog.signals.insert_or_assign(
            id, SignalRecord{std::string(name), std::move(data), t.properties, share_properties(std::move(own))}, ctx));
        (mode == DeclMode::Sweep ? catalog.sweep_ids : catalog.trace_ids).push_back(id);
        return {};
    }

    if (kind == word(ChunkKind::GroupDeclaration)) {
        if (depth >= ctx.options.max_nesting)
            return ParseError{format_message("group at offset {} is nested more than {} levels deep", at,
                                             ctx.options.max_nesting)};
        KARVO_ASSIGN(std::uint32_t count, cursor.read_u32());
        std::vector<std::uint32_t>* ids =
            mode == DeclMode::Sweep ? &catalog.sweep_ids : mode == DeclMode::Trace ? &catalog.trace_ids : nullptr;
        const std::size_t first_member = ids ? ids->size() : 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint64_t member_at = cursor.pos();
            KARVO_TRY(read_entry(cursor, types, catalog, mode, ctx, depth + 1));
            KARVO_TRY(ctx.tick(cursor.pos() - member_at));
        }
        // Remember the group's flattened members for layouts whose records carry whole groups.
        if (ids) catalog.groups.insert_or_assign(id, GroupRecord{mode == DeclMode::Sweep, first_member, ids->size()});
        return skip_property_list(cursor);
    }

    return ParseError{format_message(
        "expected DECLARATION (16) or GROUP_DECLARATION (17) at offset {}, got {}", at, kind)};
}

}  // namespace

Status read_declaration(ByteCursor& cursor, const TypeTable& types, SignalCatalog& catalog, DeclMode mode,
                        ReadContext& ctx) {
    const std::uint64_t at = cursor.pos();
    KARVO_TRY(read_entry(cursor, types, catalog, mode, ctx, 0));
    return ctx.tick(cursor.pos() - at);
}

Status read_sweep_section(ByteCursor& cursor, const TypeTable& types, SignalCatalog& catalog, ReadContext& ctx) {
    KARVO_TRY(cursor.expect_chunk(ChunkKind::SectionSweep));
    KARVO_ASSIGN(std::uint64_t end, read_container(cursor));
    while (cursor.pos() < end) KARVO_TRY(read_declaration(cursor, types, catalog, DeclMode::Sweep, ctx));
    return check_container_end(cursor, "SWEEP", end);
}

Status read_trace_section(ByteCursor& cursor, const TypeTable& types, SignalCatalog& catalog, ReadContext& ctx) {
    KARVO_TRY(cursor.expect_chunk(ChunkKind::SectionTrace));
    KARVO_ASSIGN(std::uint64_t end, read_container(cursor));
    KARVO_ASSIGN(std::uint64_t entries_end, read_subcontainer(cursor));
    while (cursor.pos() < entries_end) KARVO_TRY(read_declaration(cursor, types, catalog, DeclMode::Trace, ctx));
    KARVO_TRY(skip_container_index(cursor, 12));
    return check_container_end(cursor, "TRACE", end);
}

}  // namespace karvo
