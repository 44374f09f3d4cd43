#include "reader/parse.hpp"

#include <cstring>
#include <new>

#include "reader/sections.hpp"
#include "reader/text_parse.hpp"
#include "types/chunks.hpp"
#include "types/containers.hpp"
#include "types/format.hpp"

namespace karvo {

namespace {

Result<ValueLayout> layout_from_word(std::uint32_t w) {
    switch (w) {
        case 0: return ValueLayout::Empty;
        case 512: return ValueLayout::Swept;
        case 768: return ValueLayout::GroupedSwept;
        case 1024: return ValueLayout::Windowed;
        case 1280: return ValueLayout::NonSwept;
        default: return ParseError{format_message("unknown value_section_type {}", w)};
    }
}

Result<ParseResult> parse_file(const unsigned char* bytes, std::uint64_t len, ReadContext& ctx) {
    if (len < 12) return ParseError{format_message("file too small to be psfbin ({} bytes)", len)};
    if (!has_psfbin_footer(bytes, len)) return ParseError{"footer magic 'Clarissa' not found (not a psfbin file?)"};
    if (len > kMaxPsfbinBytes)
        return ParseError{format_message(
            "file of {} bytes is larger than the 4 GiB that psfbin's 32-bit offsets can address", len)};

    ByteCursor cursor(bytes, len);
    ParseResult result;
    TypeTable types;
    KARVO_ASSIGN(ValueLayout layout, read_front_sections(cursor, result, types, ctx));
    if (cursor.next_word_is(word(ChunkKind::SectionValue)))
        KARVO_TRY(read_value_section(cursor, types, result.catalog, layout, ctx, result.body));
    return result;
}

}  // namespace

Result<ValueLayout> read_front_sections(ByteCursor& cursor, ParseResult& result, TypeTable& types, ReadContext& ctx) {
    KARVO_ASSIGN(std::uint32_t layout_word, cursor.read_u32());
    KARVO_ASSIGN(ValueLayout layout, layout_from_word(layout_word));
    KARVO_ASSIGN(std::uint64_t header_end, read_container(cursor));
    KARVO_ASSIGN(result.header, read_property_list(cursor));
    KARVO_TRY(check_container_end(cursor, "HEADER", header_end));

    if (cursor.next_word_is(word(ChunkKind::SectionType))) KARVO_TRY(read_type_section(cursor, types, ctx));
    SignalCatalog& catalog = result.catalog;
    if (cursor.next_word_is(word(ChunkKind::SectionSweep)))
        KARVO_TRY(read_sweep_section(cursor, types, catalog, ctx));
    if (cursor.next_word_is(word(ChunkKind::SectionTrace)))
        KARVO_TRY(read_trace_section(cursor, types, catalog, ctx));
    return layout;
}

bool has_psfbin_footer(const unsigned char* bytes, std::uint64_t len) {
    return len >= 12 && std::memcmp(bytes + len - 12, "Clarissa", 8) == 0;
}

// Allocation failures stay inside the reader: every allocation is bounded by
// the file's size, so one only fails when the process is out of memory.
Result<ParseResult> parse_psfbin(const unsigned char* bytes, std::uint64_t len, const ReadOptions& options) {
    try {
        ReadContext ctx(options);
        return parse_file(bytes, len, ctx);
    } catch (const std::bad_alloc&) {
        return out_of_memory("out of memory while reading the file");
    }
}

bool is_psf_text(const unsigned char* bytes, std::uint64_t len) {
    return !has_psfbin_footer(bytes, len) && looks_like_psf_text(bytes, len);
}

Result<ParseResult> parse_psf(const unsigned char* bytes, std::uint64_t len, const ReadOptions& options) {
    if (is_psf_text(bytes, len)) return parse_psf_text(bytes, len, options);
    return parse_psfbin(bytes, len, options);
}

}  // namespace karvo
