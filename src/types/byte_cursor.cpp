#include "types/byte_cursor.hpp"

#include <cstring>

#include "types/chunks.hpp"
#include "types/format.hpp"
#include "types/utf8.hpp"

namespace karvo {

ParseError need_error(std::uint64_t n, std::uint64_t pos, std::uint64_t len) {
    return {format_message("unexpected end of file: need {} bytes at offset {} (len {})", n, pos, len)};
}

ParseError skip_error(std::uint64_t n, std::uint64_t pos, std::uint64_t len) {
    return {format_message("unexpected end of file: skip {} bytes at offset {} (len {})", n, pos, len)};
}

ParseError file_changed_error(std::uint64_t pos) {
    return {format_message("file changed while it was read: the bytes at offset {} differ between two passes", pos),
            ErrorKind::FileChanged};
}

namespace {

// Whether the `n` bytes at p (n a multiple of 4) are all ASCII: then a
// string within them is valid UTF-8. A name's padding is usually zeros, so
// its last bytes need no test of their own.
bool ascii_words(const unsigned char* p, std::uint64_t n) {
    std::uint64_t seen = 0;
    std::uint64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        seen |= w;
    }
    if (i < n) {
        std::uint32_t w;
        std::memcpy(&w, p + i, 4);
        seen |= w;
    }
    return (seen & 0x8080808080808080ULL) == 0;
}

}  // namespace

Result<std::string_view> ByteCursor::read_string_view() {
    // The whole string and its padding in the file, valid: one bounds test
    // (every declaration has a name). Anything else takes the steps below,
    // which say what is wrong.
    if (has(4)) {
        const std::uint32_t length = load_be32(bytes_ + pos_);
        const std::uint64_t padded = (std::uint64_t{length} + 3) / 4 * 4;
        const unsigned char* text = bytes_ + pos_ + 4;
        if (has(4 + padded) &&
            (ascii_words(text, padded) || check_utf8(text, length).verdict == Utf8Check::Verdict::Valid)) {
            pos_ += 4 + padded;
            return std::string_view(reinterpret_cast<const char*>(text), length);
        }
    }
    KARVO_ASSIGN(std::uint32_t length, read_u32());
    KARVO_ASSIGN(const unsigned char* text, need(length));
    Utf8Check check = check_utf8(text, length);
    if (check.verdict != Utf8Check::Verdict::Valid)
        return ParseError{format_message("invalid UTF-8 in string at offset {}: {}", pos_,
                                         describe_utf8_failure(check))};
    std::uint32_t padding = (4 - length % 4) % 4;
    if (padding != 0) KARVO_TRY(skip(padding));
    return std::string_view(reinterpret_cast<const char*>(text), length);
}

Result<std::string> ByteCursor::read_string() {
    KARVO_ASSIGN(std::string_view text, read_string_view());
    return std::string(text);
}

Status ByteCursor::expect_chunk(ChunkKind kind) {
    KARVO_ASSIGN(std::uint32_t w, read_u32());
    if (w == word(kind)) return {};
    return ParseError{format_message("expected chunk {} ({}) at offset {}, got {}", chunk_name(kind),
                                     word(kind), pos_ - 4, w)};
}

}  // namespace karvo
