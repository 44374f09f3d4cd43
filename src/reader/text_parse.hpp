// PSF ASCII, the text form of the same results: HEADER, TYPE, SWEEP, TRACE
// and VALUE sections and END, read into the ParseResult the binary reader
// makes, so that every layer above works on either form.
//
// Text has no ids: each sweep, trace and group gets the index of its
// declaration, counted from 0 over SWEEP and TRACE in file order (groups
// included); ReadOptions::only names those.
#pragma once

#include <cstdint>

#include "reader/parse.hpp"

namespace karvo {

// Whether the bytes begin as PSF ASCII does: the word HEADER at the first
// byte, then white space or the end.
bool looks_like_psf_text(const unsigned char* bytes, std::uint64_t len);

// Never throws: a failed allocation is an OutOfMemory error. Malformed text
// gives "line L, column C: expected ..., got ...". `partial`: text that ends
// inside its VALUE section (a simulation still writing it, a file cut short)
// is read up to its last whole point, without END; ParseResult::complete
// says whether END was there.
Result<ParseResult> parse_psf_text(const unsigned char* bytes, std::uint64_t len, const ReadOptions& options = {},
                                   bool partial = false);

}  // namespace karvo
