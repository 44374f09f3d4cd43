// The bodies of a raw file's plot: binary (little-endian, point after point,
// or variable after variable with the fastaccess flag) and Values text.
// Each variable's values go into its own array of float64 words.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "reader/read_context.hpp"
#include "types/result.hpp"

namespace karvo {

// How one variable is stored in a binary body, and where its values go.
struct RawColumn {
    enum class Source : std::uint8_t { F64, F32, C128 };
    Source source = Source::F64;
    // A complex variable kept as its real part (the sweep of a complex plot:
    // ngspice leaves the frequency's imaginary part uninitialised).
    bool real_only = false;
    double* out = nullptr;  // points x (1, or 2 for a complex variable kept whole) words
    std::string_view name;  // for messages

    std::uint64_t width() const { return source == Source::F32 ? 4 : source == Source::F64 ? 8 : 16; }
};

// The bytes of one point of a binary body.
std::uint64_t raw_row_bytes(const std::vector<RawColumn>& columns);

// Copies `points` points of a binary body that starts at `body` (the caller
// has checked that the file holds them): point after point, or, with
// `fastaccess`, each variable's points together.
Status copy_raw_binary(const unsigned char* body, std::uint64_t points, const std::vector<RawColumn>& columns,
                       bool fastaccess, ReadContext& ctx);

// Reads `points` points of a Values: body, which starts at `at` of `text`:
// each point its index, then one number per variable (complex ones as
// "re,im"). Returns the offset after the last number. Messages name "line
// L, column C", lines counted from `first_line` at `at`. `file_offset`
// maps offsets in `text` to offsets in the file for ReadContext::passed
// (-1 when `text` is not the file's bytes).
Result<std::uint64_t> read_raw_values(const unsigned char* text, std::uint64_t len, std::uint64_t at,
                                      std::uint64_t points, const std::vector<RawColumn>& columns,
                                      std::uint64_t first_line, std::int64_t file_offset, ReadContext& ctx);

}  // namespace karvo
