// From the bytes of one file to its header and signal catalog.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reader/catalog.hpp"
#include "reader/read_options.hpp"
#include "types/byte_cursor.hpp"
#include "types/properties.hpp"

namespace karvo {

struct ParseResult {
    PropertyList header;
    SignalCatalog catalog;
    BodyLocation body;  // where the samples lie, for reads of chosen signals
    // What the caller should be told about a file that was read all the same
    // ("line 30, column 1: text after END ignored"), in the order met.
    std::vector<std::string> warnings;
    // False for a file read partial that lacks its end (psfbin's trailer,
    // PSF ASCII's END): its points end with the last whole one.
    bool complete = true;
};

// Never throws: a failed allocation is an OutOfMemory error.
Result<ParseResult> parse_psfbin(const unsigned char* bytes, std::uint64_t len, const ReadOptions& options = {});

// Either form: text that is not psfbin (no footer) and begins with HEADER is
// read as PSF ASCII, everything else as psfbin, with its messages.
Result<ParseResult> parse_psf(const unsigned char* bytes, std::uint64_t len, const ReadOptions& options = {});
bool is_psf_text(const unsigned char* bytes, std::uint64_t len);
// Whether the file ends in psfbin's trailer (a whole file; one still being
// written, or cut, has none).
bool has_psfbin_footer(const unsigned char* bytes, std::uint64_t len);
// Every offset a psfbin file stores (container ends, the trailer's start) is
// a 32-bit word: no part of a larger file can be found.
constexpr std::uint64_t kMaxPsfbinBytes = std::uint64_t{1} << 32;

// The sections before VALUE (the first word, HEADER, TYPE, SWEEP, TRACE) into
// `result` and `types`; returns the layout the first word names.
Result<ValueLayout> read_front_sections(ByteCursor& cursor, ParseResult& result, TypeTable& types, ReadContext& ctx);

}  // namespace karvo
