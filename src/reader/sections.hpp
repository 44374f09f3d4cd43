// The section readers. Each starts with the cursor on its section's kind word
// and leaves it on the first byte after the section.
#pragma once

#include <cstdint>
#include <string>

#include "reader/catalog.hpp"
#include "reader/read_context.hpp"
#include "types/byte_cursor.hpp"

namespace karvo {

class SignalSlots;

struct TypeDef {
    std::uint32_t id;
    std::string name;
    TypeKind kind;
};

enum class DeclMode : std::uint8_t { Sweep, Trace, Value };

Status read_type_section(ByteCursor& cursor, TypeTable& table, ReadContext& ctx);
Result<TypeDef> read_type_def(ByteCursor& cursor, ReadContext& ctx, unsigned depth = 0);

// What a sweep or trace of this type samples into; the binary and the text
// reader share its refusals.
Result<SampleData> sample_data_for(const TypeKind& type, std::string_view name);
// The sample kind of a sweep or trace of that type, or the error that refuses it.
Status check_sample_type(const TypeKind& type, std::string_view name, SampleData::Kind& kind);

Status read_sweep_section(ByteCursor& cursor, const TypeTable& types, SignalCatalog& catalog, ReadContext& ctx);
Status read_trace_section(ByteCursor& cursor, const TypeTable& types, SignalCatalog& catalog, ReadContext& ctx);
Status read_declaration(ByteCursor& cursor, const TypeTable& types, SignalCatalog& catalog, DeclMode mode,
                        ReadContext& ctx);

// Reads the VALUE section; a sampled body's samples (as the options ask)
// go into the catalog's records, and `body` says where the body lies.
Status read_value_section(ByteCursor& cursor, const TypeTable& types, SignalCatalog& catalog, ValueLayout layout,
                          ReadContext& ctx, BodyLocation& body);
Status read_nonswept_body(ByteCursor& cursor, const TypeTable& types, SignalCatalog& catalog, ReadContext& ctx);
// Append one value's payload to `out`, whose head the caller has begun.
Status read_scalar_value(ByteCursor& cursor, DataType type, PackedValues& out);
Status read_struct_value(ByteCursor& cursor, const StructMembers& members, PackedValues& out);
// A sampled body, read (again) from its start into `slots`: counts for
// every signal, samples for those the options ask for. The cursor ends at
// the body's end.
Status read_sampled_body(ByteCursor& cursor, const SignalCatalog& catalog, const BodyLocation& body,
                         ReadContext& ctx, SignalSlots& slots);
// The layouts: point records (`groups`: records may carry whole groups),
// and windowed frames.
Status read_record_body(ByteCursor& cursor, SignalSlots& slots, std::uint64_t content_end, bool groups,
                        ReadContext& ctx);
Status read_windowed_body(ByteCursor& cursor, SignalSlots& slots, const SignalCatalog& catalog,
                          std::uint64_t content_end, ReadContext& ctx);

}  // namespace karvo
