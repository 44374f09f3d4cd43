// Files without their trailer: a result a simulator is still writing, or one
// cut short by a full disk or a killed job. Such a file holds every point
// written before the cut: its sampled body is read up to the end of the last
// whole frame (windowed) or sweep point (swept: one record of every signal);
// a frame or point cut short at the end is left out. A growing file is read
// on from where the last look ended.
#pragma once

#include <cstdint>
#include <vector>

#include "reader/parse.hpp"

namespace karvo {

struct PartialParse {
    ParseResult parsed;     // body.end: where the whole points end
    bool complete = false;  // the file ends in its trailer, and was parsed as a whole file
};

// A psfbin file with or without its trailer. A file with one is parsed as
// parse_psfbin parses it. One without must hold its sections before VALUE
// whole and the start of a sampled VALUE section; anything else (a file cut
// inside its declarations: nothing to read) fails as parse_psfbin fails on
// it. Never throws.
Result<PartialParse> parse_psfbin_partial(const unsigned char* bytes, std::uint64_t len, const ReadOptions& options);

// What a body holds after `from` (the end of the points read so far).
struct BodyTail {
    std::uint64_t end = 0;             // where the whole points end now
    bool complete = false;             // the file now ends in its trailer; the body was read to its end
    std::vector<std::uint64_t> added;  // points per signal of `ids`, in that order
};

// The points of the sampled body (`body.start`, its layout) between `from`
// and the last whole frame or sweep point of the file's `len` bytes, counted
// for each of `ids` (declared ids). A file that ends in its trailer is read
// to the body's end, with the checks of a whole file. Never throws.
Result<BodyTail> read_body_tail(const unsigned char* bytes, std::uint64_t len, const SignalCatalog& catalog,
                                const BodyLocation& body, std::uint64_t from, const std::vector<std::uint32_t>& ids,
                                const ReadOptions& options);

}  // namespace karvo
