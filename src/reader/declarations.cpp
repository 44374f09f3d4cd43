#include "reader/sections.hpp"
#include "types/chunks.hpp"
#include "types/containers.hpp"
#include "types/format.hpp"
#include "types/properties.hpp"

namespace karvo {

Status check_sample_type(const TypeKind& type, std::string_view name, SampleData::Kind& kind) {
    if (type.is_struct) {
        for (const MemberDef& m : *type.members)
            if (m.type != DataType::Float64)
                return ParseError{format_message(
                    "swept struct trace '{}' member '{}' has non-FLOAT64 type {} (only flat float64 struct "
                    "traces are supported; heterogeneous structs are supported as non-swept values only)",
                    name, m.name, datatype_name(m.type))};
        kind = SampleData::Kind::Struct;
        return {};
    }
    if (type.scalar == DataType::Float64) {
        kind = SampleData::Kind::Float64;
    } else if (type.scalar == DataType::Complex) {
        kind = SampleData::Kind::Complex;
    } else {
        return ParseError{
            format_message("trace/sweep '{}' has unsupported datatype {}", name, datatype_name(type.scalar))};
    }
    return {};
}

Result<SampleData> sample_data_for(const TypeKind& type, std::string_view name) {
    SampleData data;
    KARVO_TRY(check_sample_type(type, name, data.kind));
    if (data.kind == SampleData::Kind::Struct) {
        data.members = type.members;
        data.member_count = type.members->size();
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
        SampleData::Kind sample_kind;
        KARVO_TRY(check_sample_type(t, name, sample_kind));
        // Made in place, its property list read only where there is one: a
        // file may declare a hundred thousand signals. (A failure from here
        // on fails the whole read.)
        KARVO_ASSIGN(SignalRecord * made, catalog.signals.declare(id, ctx));
        SignalRecord& record = *made;
        record.name.assign(name.data(), name.size());
        record.data.kind = sample_kind;
        if (sample_kind == SampleData::Kind::Struct) {
            record.data.members = t.members;
            record.data.member_count = t.members->size();
        }
        record.type_properties = t.properties;
        std::uint32_t next;
        if (cursor.peek_u32(next) && is_property_kind(next)) {
            KARVO_ASSIGN(PropertyList own, read_property_list(cursor));
            record.properties = share_properties(std::move(own));
        }
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

namespace {

// Room for every declaration that `bytes` of a section can hold (each takes
// 16 bytes or more), so that the tables never move their records as they
// grow; room not used is never touched. The bytes are in the file.
Status reserve_declarations(SignalCatalog& catalog, std::uint64_t bytes, std::vector<std::uint32_t>& ids,
                            ReadContext& ctx) {
    const auto n = static_cast<std::size_t>(bytes / 16);
    KARVO_TRY(catalog.signals.reserve_more(n, ctx));
    ids.reserve(ids.size() + n);
    return {};
}

}  // namespace

Status read_sweep_section(ByteCursor& cursor, const TypeTable& types, SignalCatalog& catalog, ReadContext& ctx) {
    KARVO_TRY(cursor.expect_chunk(ChunkKind::SectionSweep));
    KARVO_ASSIGN(std::uint64_t end, read_container(cursor));
    if (end > cursor.pos() && end <= cursor.len()) KARVO_TRY(reserve_declarations(catalog, end - cursor.pos(), catalog.sweep_ids, ctx));
    while (cursor.pos() < end) KARVO_TRY(read_declaration(cursor, types, catalog, DeclMode::Sweep, ctx));
    return check_container_end(cursor, "SWEEP", end);
}

Status read_trace_section(ByteCursor& cursor, const TypeTable& types, SignalCatalog& catalog, ReadContext& ctx) {
    KARVO_TRY(cursor.expect_chunk(ChunkKind::SectionTrace));
    KARVO_ASSIGN(std::uint64_t end, read_container(cursor));
    KARVO_ASSIGN(std::uint64_t entries_end, read_subcontainer(cursor));
    if (entries_end > cursor.pos() && entries_end <= cursor.len())
        KARVO_TRY(reserve_declarations(catalog, entries_end - cursor.pos(), catalog.trace_ids, ctx));
    while (cursor.pos() < entries_end) KARVO_TRY(read_declaration(cursor, types, catalog, DeclMode::Trace, ctx));
    KARVO_TRY(skip_container_index(cursor, 12));
    return check_container_end(cursor, "TRACE", end);
}

}  // namespace karvo
