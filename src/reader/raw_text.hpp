// Small pieces of text handling that the raw header and the Values body
// share: white space, numbers (rounded as PSF ASCII's are), and text quoted
// in messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "reader/text_lexer.hpp"

namespace karvo {

// Separators within a line: raw files use tabs and spaces.
inline bool is_raw_blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
inline bool is_raw_space(unsigned char c) { return is_raw_blank(c) || c == '\n'; }

// The whole of `text` as a number, the nearest binary64 (the PSF ASCII
// reader's rules: correctly rounded, a leading '+', nan and inf accepted).
inline bool parse_raw_double(std::string_view text, double& out) {
    if (text.empty()) return false;
    TextLexer lexer(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    return lexer.take_double(out) && lexer.pos() == text.size();
}

// Text for a message: "'word'", cut after about 40 bytes, control bytes escaped.
inline std::string quoted_for_message(std::string_view text) {
    constexpr std::size_t kShown = 40;
    std::string out(1, '\'');
    std::size_t i = 0;
    // A character that begins before the cut is shown whole.
    for (; i < text.size() && (i < kShown || (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x20 || b == 0x7F) {
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 15];
        } else {
            out += static_cast<char>(b);
        }
    }
    if (i < text.size()) out += "...";
    out += '\'';
    return out;
}

}  // namespace karvo
