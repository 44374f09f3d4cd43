// The tokens of PSF ASCII text: quoted strings, bare words (keywords and
// numbers) and parentheses, separated by white space. Tokens carry byte
// offsets only; line and column are counted when a message needs them, so
// reading a large file counts no newlines.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "types/result.hpp"

namespace karvo {

struct TextToken {
    enum class Kind : std::uint8_t { End, Quoted, Bare, Open, Close, Unterminated };
    Kind kind = Kind::End;
    std::uint64_t at = 0;   // offset of the token's first byte
    std::uint64_t end = 0;  // offset just past it
    // Quoted: the bytes between the quotes, escapes as written; Bare: the word.
    std::string_view text;
    bool escaped = false;  // Quoted: holds a backslash
};

inline bool is_text_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Bytes that end a bare word besides white space.
inline bool is_text_delimiter(unsigned char c) { return is_text_space(c) || c == '(' || c == ')' || c == '"'; }

class TextLexer {
public:
    TextLexer(const unsigned char* bytes, std::uint64_t len) : bytes_(bytes), len_(len) {}

    std::uint64_t pos() const { return pos_; }
    std::uint64_t size() const { return len_; }
    const unsigned char* bytes() const { return bytes_; }

    void skip_space() {
        while (pos_ < len_ && is_text_space(bytes_[pos_])) ++pos_;
    }

    // The next token (white space skipped), without taking it.
    TextToken peek() {
        skip_space();
        return scan(pos_);
    }
    TextToken next() {
        TextToken t = peek();
        if (t.kind != TextToken::Kind::End && t.kind != TextToken::Kind::Unterminated) pos_ = t.end;
        return t;
    }
    void take(const TextToken& t) { pos_ = t.end; }
    // The token starting at `at`.
    TextToken token_at(std::uint64_t at) const { return scan(at); }

    // Fast paths of the sample loops. White space is skipped first; on a
    // false return the position is the failing token's start.
    //
    // A quoted string whose bytes are exactly `name`, which holds no
    // backslash and no quote (so the text has no escapes).
    bool take_quoted_exactly(std::string_view name) {
        skip_space();
        const std::uint64_t n = name.size();
        if (len_ - pos_ < n + 2 || bytes_[pos_] != '"' || bytes_[pos_ + 1 + n] != '"') return false;
        if (n != 0 && std::memcmp(bytes_ + pos_ + 1, name.data(), n) != 0) return false;
        pos_ += n + 2;
        return true;
    }
    bool take_byte(unsigned char c) {
        skip_space();
        if (pos_ < len_ && bytes_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    // A number: the nearest binary64 (correctly rounded), `nan` and `inf`
    // forms included, then a delimiter or the end.
    bool take_double(double& out);
    // An integer in the range of int64.
    bool take_int(std::int64_t& out);

    // The token at `at`, for messages: "'word'", "\"name\"", "'('", "end of file".
    std::string describe(std::uint64_t at) const;
    // "line L, column C" of a byte offset (columns count characters, from 1).
    std::string where(std::uint64_t at) const;

private:
    TextToken scan(std::uint64_t at) const;

    const unsigned char* bytes_;
    std::uint64_t len_;
    std::uint64_t pos_ = 0;
};

// The text of a quoted token with its escapes resolved: \n, \t and \r give
// the control character, \" and \\ the quote and the backslash; a backslash
// before any other character stays, as writers print it (an instance name
// MN63\&48 is the same in the text and the binary form). Fails on invalid
// UTF-8 with the line and column.
Result<std::string> decode_quoted(const TextLexer& lexer, const TextToken& token);

}  // namespace karvo
