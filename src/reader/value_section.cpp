#include "reader/sections.hpp"
#include "reader/signal_slots.hpp"
#include "types/chunks.hpp"
#include "types/containers.hpp"
#include "types/format.hpp"
#include "types/properties.hpp"

namespace karvo {

Status read_value_section(ByteCursor& cursor, const TypeTable& types, SignalCatalog& catalog, ValueLayout layout,
                          ReadContext& ctx, BodyLocation& body) {
    KARVO_TRY(cursor.expect_chunk(ChunkKind::SectionValue));
    KARVO_ASSIGN(std::uint64_t end, read_container(cursor));
    body = BodyLocation{layout, cursor.pos(), end};
    if (body.sampled()) {
        KARVO_ASSIGN(SignalSlots slots, SignalSlots::make(catalog, ctx));
        KARVO_TRY(read_sampled_body(cursor, catalog, body, ctx, slots));
        // The counts, and the samples read, become the records'. The slots
        // stand in the table's order.
        auto entry = catalog.signals.begin();
        for (SignalSlot& s : slots.all()) {
            SignalRecord& record = (entry++)->record;
            record.points = s.points;
            record.data.samples = std::move(s.samples);
            KARVO_TRY(ctx.tick(sizeof(SignalSlot)));
        }
        KARVO_TRY(slots.release(ctx));
    } else if (layout == ValueLayout::NonSwept) {
        KARVO_TRY(read_nonswept_body(cursor, types, catalog, ctx));
    }
    KARVO_TRY(check_container_end(cursor, "VALUE", end));
    return cursor.expect_chunk(ChunkKind::SectionEnd);
}

Status read_sampled_body(ByteCursor& cursor, const SignalCatalog& catalog, const BodyLocation& body,
                         ReadContext& ctx, SignalSlots& slots) {
    cursor.rewind_to(body.start);
    switch (body.layout) {
        case ValueLayout::Swept: return read_record_body(cursor, slots, body.end, /*groups=*/false, ctx);
        case ValueLayout::GroupedSwept: return read_record_body(cursor, slots, body.end, /*groups=*/true, ctx);
        case ValueLayout::Windowed: return read_windowed_body(cursor, slots, catalog, body.end, ctx);
        default: return {};
    }
}

Status read_nonswept_body(ByteCursor& cursor, const TypeTable& types, SignalCatalog& catalog, ReadContext& ctx) {
    KARVO_ASSIGN(std::uint64_t entries_end, read_subcontainer(cursor));
    while (cursor.pos() < entries_end) KARVO_TRY(read_declaration(cursor, types, catalog, DeclMode::Value, ctx));
    return skip_container_index(cursor, 4);
}

Status read_scalar_value(ByteCursor& cursor, DataType type, PackedValues& out) {
    switch (type) {
        case DataType::Int8: {
            // A big-endian word whose last byte is the value: 00 00 00 01 is 1.
            KARVO_ASSIGN(const unsigned char* word, cursor.need(1));
            KARVO_TRY(cursor.skip(3));
            out.put_int(word[3]);
            return {};
        }
        case DataType::Int32: {
            // Two's complement: 0xFFFFFFFF is -1, as the text form prints it.
            KARVO_ASSIGN(std::uint32_t w, cursor.read_u32());
            out.put_int(static_cast<std::int32_t>(w));
            return {};
        }
        case DataType::Float64: {
            KARVO_ASSIGN(double v, cursor.read_f64());
            out.put_float(v);
            return {};
        }
        case DataType::Complex: {
            KARVO_ASSIGN(double re, cursor.read_f64());
            KARVO_ASSIGN(double im, cursor.read_f64());
            out.put_complex(re, im);
            return {};
        }
        case DataType::String: {
            KARVO_ASSIGN(std::string_view text, cursor.read_string_view());
            out.put_string(text);
            return {};
        }
        case DataType::Array: return ParseError{"array-typed values are not supported"};
        case DataType::Struct: return ParseError{"nested struct values are not supported"};
        case DataType::None: break;
    }
    return ParseError{"value has datatype NONE"};
}

Status read_struct_value(ByteCursor& cursor, const StructMembers& members, PackedValues& out) {
    for (const MemberDef& m : *members) KARVO_TRY(read_scalar_value(cursor, m.type, out));
    return {};
}

}  // namespace karvo
