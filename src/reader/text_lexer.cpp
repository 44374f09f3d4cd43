#include "reader/text_lexer.hpp"

#include <cfloat>
#include <charconv>
#include <limits>

#include "types/format.hpp"
#include "types/utf8.hpp"

namespace karvo {

namespace {

bool at_delimiter(const unsigned char* bytes, std::uint64_t len, std::uint64_t at) {
    return at == len || is_text_delimiter(bytes[at]);
}

// from_chars takes no plus sign; writers of exponents may still put one first.
std::uint64_t after_plus(const unsigned char* bytes, std::uint64_t len, std::uint64_t at) {
    return at < len && bytes[at] == '+' && at + 1 < len && bytes[at + 1] != '-' && bytes[at + 1] != '+' ? at + 1 : at;
}

// The value of decimal text that from_chars found out of range: infinity when
// its decimal exponent is positive, else zero, with its sign.
double out_of_range_value(const char* first, const char* last) {
    const bool negative = *first == '-';
    const char* p = first + (negative ? 1 : 0);
    std::int64_t digits_before_point = 0;  // significant ones
    std::int64_t zeros_after_point = 0;    // before the first significant digit
    bool significant = false;
    while (p < last && *p >= '0' && *p <= '9') {
        significant = significant || *p != '0';
        if (significant) ++digits_before_point;
        ++p;
    }
    if (p < last && *p == '.') {
        ++p;
        while (p < last && *p >= '0' && *p <= '9') {
            if (!significant && *p == '0') ++zeros_after_point;
            significant = significant || *p != '0';
            ++p;
        }
    }
    std::int64_t exponent = 0;
    if (p < last && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool down = p < last && *p == '-';
        if (p < last && (*p == '-' || *p == '+')) ++p;
        for (; p < last && *p >= '0' && *p <= '9'; ++p)
            if (exponent < 1000000) exponent = exponent * 10 + (*p - '0');
        if (down) exponent = -exponent;
    }
    const std::int64_t magnitude =
        digits_before_point > 0 ? exponent + digits_before_point - 1 : exponent - zeros_after_point - 1;
    const double value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -value : value;
}

// Clinger's fast path, for the short decimals simulators print: digits that
// make an integer up to 2^53 and a power of ten up to 1e22 are both exact
// binary64 values, so one multiplication or division, rounded once, is the
// correctly rounded value. Anything else (more digits, larger exponents, no
// digits, inf, nan) returns null and goes to from_chars.
const char* fast_decimal(const char* p, const char* last, double& out) {
#if FLT_EVAL_METHOD == 0
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const bool negative = p < last && *p == '-';
    if (negative) ++p;
    std::uint64_t mantissa = 0;
    int digits = 0;
    int scale = 0;  // the power of ten the digits are multiplied by
    for (; p < last && static_cast<unsigned>(*p - '0') < 10; ++p, ++digits) mantissa = mantissa * 10 + (*p - '0');
    if (p < last && *p == '.') {
        for (++p; p < last && static_cast<unsigned>(*p - '0') < 10; ++p, ++digits, --scale)
            mantissa = mantissa * 10 + (*p - '0');
    }
    if (digits == 0 || digits > 19) return nullptr;  // 19 digits cannot overflow
    if (p < last && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool down = p < last && *p == '-';
        if (p < last && (*p == '-' || *p == '+')) ++p;
        int exponent = 0;
        const char* exponent_digits = p;
        for (; p < last && static_cast<unsigned>(*p - '0') < 10 && exponent < 1000; ++p)
            exponent = exponent * 10 + (*p - '0');
        if (p == exponent_digits || (p < last && static_cast<unsigned>(*p - '0') < 10)) return nullptr;
        scale += down ? -exponent : exponent;
    }
    if (mantissa > (std::uint64_t{1} << 53) || scale < -22 || scale > 22) return nullptr;
    double value = static_cast<double>(mantissa);
    value = scale < 0 ? value / kPowers[-scale] : value * kPowers[scale];
    out = negative ? -value : value;
    return p;
#else
    (void)p, (void)last, (void)out;
    return nullptr;
#endif
}

}  // namespace

bool TextLexer::take_double(double& out) {
    skip_space();
    const std::uint64_t from = after_plus(bytes_, len_, pos_);
    const char* first = reinterpret_cast<const char*>(bytes_ + from);
    const char* last = reinterpret_cast<const char*>(bytes_ + len_);
    if (const char* end = fast_decimal(first, last, out)) {
        const std::uint64_t at = static_cast<std::uint64_t>(reinterpret_cast<const unsigned char*>(end) - bytes_);
        if (!at_delimiter(bytes_, len_, at)) return false;
        pos_ = at;
        return true;
    }
    const std::from_chars_result r = std::from_chars(first, last, out, std::chars_format::general);
    // Text beyond the range of binary64 rounds to ±inf or ±0, as strtod
    // gives it (from_chars leaves `out` alone then).
    if (r.ec == std::errc::result_out_of_range) {
        out = out_of_range_value(first, r.ptr);
    } else if (r.ec != std::errc()) {
        return false;
    }
    const std::uint64_t end = static_cast<std::uint64_t>(reinterpret_cast<const unsigned char*>(r.ptr) - bytes_);
    if (!at_delimiter(bytes_, len_, end)) return false;
    pos_ = end;
    return true;
}

bool TextLexer::take_int(std::int64_t& out) {
    skip_space();
    const std::uint64_t from = after_plus(bytes_, len_, pos_);
    const char* first = reinterpret_cast<const char*>(bytes_ + from);
    const char* last = reinterpret_cast<const char*>(bytes_ + len_);
    const std::from_chars_result r = std::from_chars(first, last, out, 10);
    if (r.ec != std::errc()) return false;
    const std::uint64_t end = static_cast<std::uint64_t>(reinterpret_cast<const unsigned char*>(r.ptr) - bytes_);
    if (!at_delimiter(bytes_, len_, end)) return false;
    pos_ = end;
    return true;
}

TextToken TextLexer::scan(std::uint64_t at) const {
    TextToken t;
    t.at = t.end = at;
    if (at >= len_) return t;
    const unsigned char c = bytes_[at];
    if (c == '(' || c == ')') {
        t.kind = c == '(' ? TextToken::Kind::Open : TextToken::Kind::Close;
        t.end = at + 1;
        t.text = std::string_view(reinterpret_cast<const char*>(bytes_ + at), 1);
        return t;
    }
    if (c == '"') {
        std::uint64_t p = at + 1;
        while (p < len_ && bytes_[p] != '"') {
            if (bytes_[p] == '\\') {
                t.escaped = true;
                ++p;
            }
            ++p;
        }
        if (p >= len_) {
            t.kind = TextToken::Kind::Unterminated;
            return t;
        }
        t.kind = TextToken::Kind::Quoted;
        t.text = std::string_view(reinterpret_cast<const char*>(bytes_ + at + 1), p - at - 1);
        t.end = p + 1;
        return t;
    }
    std::uint64_t p = at;
    while (p < len_ && !is_text_delimiter(bytes_[p])) ++p;
    t.kind = TextToken::Kind::Bare;
    t.text = std::string_view(reinterpret_cast<const char*>(bytes_ + at), p - at);
    t.end = p;
    return t;
}

std::string TextLexer::describe(std::uint64_t at) const {
    std::uint64_t p = at;
    while (p < len_ && is_text_space(bytes_[p])) ++p;
    const TextToken t = scan(p);
    if (t.kind == TextToken::Kind::End) return "end of file";
    // Long tokens are cut; control bytes are shown escaped.
    constexpr std::size_t kShown = 40;
    auto shown = [](std::string_view text) {
        std::string out;
        for (std::size_t i = 0; i < text.size() && i < kShown; ++i) {
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
        if (text.size() > kShown) out += "...";
        return out;
    };
    if (t.kind == TextToken::Kind::Unterminated) return "an unterminated string";
    // Appended piece by piece: GCC 12 warns wrongly (-Wrestrict) about `"'" + text`.
    const char quote = t.kind == TextToken::Kind::Quoted ? '"' : '\'';
    std::string out(1, quote);
    out += shown(t.text);
    out += quote;
    return out;
}

std::string TextLexer::where(std::uint64_t at) const {
    if (at > len_) at = len_;
    std::uint64_t line = 1;
    std::uint64_t line_start = 0;
    for (std::uint64_t i = 0; i < at; ++i) {
        if (bytes_[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    std::uint64_t column = 1;
    for (std::uint64_t i = line_start; i < at; ++i)
        if ((bytes_[i] & 0xC0) != 0x80) ++column;  // continuation bytes belong to the character before
    return format_message("line {}, column {}", line, column);
}

Result<std::string> decode_quoted(const TextLexer& lexer, const TextToken& token) {
    const auto* raw = reinterpret_cast<const unsigned char*>(token.text.data());
    const Utf8Check check = check_utf8(raw, token.text.size());
    if (check.verdict != Utf8Check::Verdict::Valid)
        return ParseError{format_message("{}: invalid UTF-8 in string: {}", lexer.where(token.at + 1 + check.index),
                                         describe_utf8_failure(check))};
    if (!token.escaped) return std::string(token.text);
    std::string out;
    out.reserve(token.text.size());
    for (std::size_t i = 0; i < token.text.size(); ++i) {
        char c = token.text[i];
        if (c == '\\' && i + 1 < token.text.size()) {
            switch (token.text[i + 1]) {
                case '"':
                case '\\': c = token.text[++i]; break;
                case 'n': c = '\n', ++i; break;
                case 't': c = '\t', ++i; break;
                case 'r': c = '\r', ++i; break;
                // Writers print other backslashes as they are in the name
                // (MN63\&48 stands in the binary form with its backslash).
                default: break;
            }
        }
        out += c;
    }
    return out;
}

}  // namespace karvo
