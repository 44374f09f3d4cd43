#include "reader/raw_header.hpp"

#include <charconv>
#include <cstring>
#include <map>
#include <string_view>
#include <vector>

#include "reader/raw_text.hpp"
#include "types/format.hpp"
#include "types/utf8.hpp"

namespace karvo {

namespace {

constexpr unsigned char kUtf8Mark[] = {0xEF, 0xBB, 0xBF};
constexpr unsigned char kUtf16Mark[] = {0xFF, 0xFE};

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && is_raw_space(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && is_raw_space(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_raw_blank(static_cast<unsigned char>(line[i]))) ++i;
        const std::size_t from = i;
        while (i < line.size() && !is_raw_blank(static_cast<unsigned char>(line[i]))) ++i;
        if (i > from) out.push_back(line.substr(from, i - from));
    }
    return out;
}

bool as_count(std::string_view text, std::uint64_t& out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), out, 10);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

// An integer field as the header's int when it fits 32 bits, else a float.
PropertyValue count_value(std::uint64_t n) {
    if (n <= UINT32_MAX) return PropertyValue{static_cast<std::uint32_t>(n)};
    return PropertyValue{static_cast<double>(n)};
}

// A variable's extra field "name=value": a count, a number, or text.
Property extra_field(std::string_view field) {
    const std::size_t eq = field.find('=');
    if (eq == std::string_view::npos) return Property{std::string(field), PropertyValue{std::string()}};
    const std::string_view name = field.substr(0, eq);
    const std::string_view text = field.substr(eq + 1);
    std::uint64_t n = 0;
    double v = 0;
    if (as_count(text, n) && n <= UINT32_MAX) return Property{std::string(name), PropertyValue{static_cast<std::uint32_t>(n)}};
    if (parse_raw_double(text, v)) return Property{std::string(name), PropertyValue{v}};
    return Property{std::string(name), PropertyValue{std::string(text)}};
}

// The plot's text, one line at a time, as UTF-8: UTF-16LE decoded, and
// 8-bit text that is not UTF-8 read as Latin-1 (Windows writers put such
// bytes in titles), so that every name reaches Python as a str.
class Lines {
public:
    Lines(const unsigned char* bytes, std::uint64_t len, std::uint64_t at, bool utf16)
        : bytes_(bytes), len_(len), pos_(at), utf16_(utf16) {}

    std::uint64_t pos() const { return pos_; }
    std::uint64_t number() const { return number_; }

    // The next line without its end; false at the end of the file.
    Result<bool> next(std::string& out) {
        out.clear();
        if (pos_ >= len_) return false;
        ++number_;
        if (utf16_) {
            KARVO_TRY(next_utf16(out));
        } else {
            const auto* start = bytes_ + pos_;
            const auto* nl = static_cast<const unsigned char*>(std::memchr(start, '\n', len_ - pos_));
            const std::uint64_t n = nl == nullptr ? len_ - pos_ : static_cast<std::uint64_t>(nl - start);
            pos_ += n + (nl != nullptr ? 1 : 0);
            if (check_utf8(start, n).verdict == Utf8Check::Verdict::Valid) {
                out.assign(reinterpret_cast<const char*>(start), n);
            } else {
                for (std::uint64_t i = 0; i < n; ++i) append_utf8(out, start[i]);
            }
        }
        if (!out.empty() && out.back() == '\r') out.pop_back();
        return true;
    }

private:
    Status next_utf16(std::string& out) {
        while (pos_ < len_) {
            if (len_ - pos_ < 2)
                return ParseError{format_message("line {}: incomplete UTF-16 code unit at offset {}", number_, pos_)};
            std::uint32_t unit = bytes_[pos_] | (std::uint32_t{bytes_[pos_ + 1]} << 8);
            const std::uint64_t at = pos_;
            pos_ += 2;
            if (unit == '\n') return {};
            if (unit >= 0xD800 && unit <= 0xDFFF) {
                std::uint32_t low = 0;
                if (unit <= 0xDBFF && len_ - pos_ >= 2)
                    low = bytes_[pos_] | (std::uint32_t{bytes_[pos_ + 1]} << 8);
                if (low < 0xDC00 || low > 0xDFFF)
                    return ParseError{format_message("line {}: invalid UTF-16 (a lone surrogate) at offset {}", number_, at)};
                pos_ += 2;
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            }
            append_utf8(out, unit);
        }
        return {};
    }

    const unsigned char* bytes_;
    std::uint64_t len_;
    std::uint64_t pos_;
    bool utf16_;
    std::uint64_t number_ = 0;
};

ParseError line_error(const Lines& lines, std::string_view what) {
    return ParseError{format_message("line {}: {}", lines.number(), what)};
}

constexpr std::string_view kFlags[] = {"real", "complex", "forward", "log", "stepped",
                                       "fastaccess", "double", "padded", "unpadded"};

Status read_flags(std::string_view text, RawHeader& header, const Lines& lines) {
    for (std::string_view flag : fields_of(text)) {
        bool known = false;
        for (std::string_view k : kFlags) known = known || iequals(flag, k);
        if (!known)
            return line_error(lines, format_message("unknown flag {} (known: real, complex, forward, log, stepped, "
                                                    "fastaccess, double, padded, unpadded)",
                                                    quoted_for_message(flag)));
        if (iequals(flag, "complex")) header.complex = true;
        if (iequals(flag, "stepped")) header.stepped = true;
        if (iequals(flag, "fastaccess")) header.fastaccess = true;
        if (iequals(flag, "double")) header.doubles = true;
    }
    return {};
}

Status read_variable(std::string_view line, RawHeader& header, const Lines& lines) {
    const std::uint64_t i = header.variables.size();
    const std::vector<std::string_view> fields = fields_of(line);
    if (fields.size() < 3)
        return line_error(lines, format_message("expected variable {} as 'index name type', got {}", i,
                                                quoted_for_message(line)));
    std::uint64_t index = 0;
    if (!as_count(fields[0], index) || index != i)
        return line_error(lines, format_message("expected variable {}, got index {}", i, quoted_for_message(fields[0])));
    RawVariable v;
    v.name = std::string(fields[1]);
    v.type = std::string(fields[2]);
    for (std::size_t f = 3; f < fields.size(); ++f) v.extra.push_back(extra_field(fields[f]));
    header.variables.push_back(std::move(v));
    return {};
}

}  // namespace

bool raw_text_is_utf16(const unsigned char* bytes, std::uint64_t len, std::uint64_t at) {
    if (len - at >= 2 && bytes[at] == kUtf16Mark[0] && bytes[at + 1] == kUtf16Mark[1]) return true;
    return len - at >= 2 && bytes[at] != 0 && bytes[at + 1] == 0;
}

Result<RawHeader> read_raw_header(const unsigned char* bytes, std::uint64_t len, std::uint64_t at,
                                  ReadContext& ctx) {
    RawHeader header;
    header.utf16 = raw_text_is_utf16(bytes, len, at);
    if (header.utf16 && bytes[at] == kUtf16Mark[0] && bytes[at + 1] == kUtf16Mark[1]) at += 2;
    else if (!header.utf16 && len - at >= 3 && std::memcmp(bytes + at, kUtf8Mark, 3) == 0) at += 3;
    Lines lines(bytes, len, at, header.utf16);

    // Where each name is in `fields`: ordered by name, since names come from the file.
    std::map<std::string, std::size_t, std::less<>> named;
    bool have_count = false;
    bool have_points = false;
    bool have_variables = false;
    std::uint64_t count = 0;
    std::string line;
    for (;;) {
        KARVO_ASSIGN(bool more, lines.next(line));
        KARVO_TRY(ctx.tick(line.size() + 1));
        if (!more) {
            const char* what = have_variables ? "expected Binary: or Values:, got end of file"
                                              : "expected a header line 'Name: value', got end of file";
            return ParseError{format_message("line {}: {}", lines.number() + 1, what)};
        }
        const std::string_view text = trimmed(line);
        if (text.empty()) continue;
        const std::size_t colon = text.find(':');
        if (colon == std::string_view::npos)
            return line_error(lines, format_message("expected a header line 'Name: value', got {}",
                                                    quoted_for_message(text)));
        const std::string_view name = trimmed(text.substr(0, colon));
        const std::string_view value = trimmed(text.substr(colon + 1));

        if (iequals(name, "Binary") || iequals(name, "Values")) {
            if (!have_variables) return line_error(lines, format_message("{}: before Variables:", name));
            if (!have_points) return line_error(lines, format_message("{}: without a No. Points: line before it", name));
            header.body = iequals(name, "Binary") ? RawBody::Binary : RawBody::Values;
            header.body_start = lines.pos();
            header.lines = lines.number();
            return header;
        }
        if (iequals(name, "Variables")) {
            if (have_variables) return line_error(lines, "a second Variables: block");
            if (!have_count) return line_error(lines, "Variables: without a No. Variables: line before it");
            have_variables = true;
            // Some writers put the first variable on this line.
            if (!value.empty()) KARVO_TRY(read_variable(value, header, lines));
            while (header.variables.size() < count) {
                KARVO_ASSIGN(bool got, lines.next(line));
                KARVO_TRY(ctx.tick(line.size() + 1));
                if (!got)
                    return ParseError{format_message("line {}: expected variable {} as 'index name type', got end of file",
                                                     lines.number() + 1, static_cast<std::uint64_t>(header.variables.size()))};
                KARVO_TRY(read_variable(line, header, lines));
            }
            continue;
        }

        PropertyValue kept{std::string(value)};
        if (iequals(name, "No. Variables") || iequals(name, "No. Points")) {
            std::uint64_t n = 0;
            if (!as_count(value, n))
                return line_error(lines, format_message("{}: expected a count, got {}", name, quoted_for_message(value)));
            if (iequals(name, "No. Points")) {
                header.points = n;
                have_points = true;
            } else {
                if (have_variables) return line_error(lines, "No. Variables: after the Variables: block");
                if (n == 0) return line_error(lines, "No. Variables: 0 (a plot without variables)");
                count = n;
                have_count = true;
            }
            kept = count_value(n);
        } else if (iequals(name, "Offset")) {
            double v = 0;
            if (parse_raw_double(value, v)) kept = PropertyValue{v};
        } else if (iequals(name, "Flags")) {
            KARVO_TRY(read_flags(value, header, lines));
        } else if (iequals(name, "Plotname")) {
            header.plotname = std::string(value);
        } else if (iequals(name, "Command")) {
            header.command = std::string(value);
        }
        const auto found = named.find(name);
        if (found == named.end()) {
            named.emplace(std::string(name), header.fields.size());
            header.fields.push_back(Property{std::string(name), std::move(kept)});
        } else {
            // A name given again: its texts are joined; a number is replaced.
            PropertyValue& held = header.fields[found->second].value;
            auto* text_held = std::get_if<std::string>(&held);
            auto* text_new = std::get_if<std::string>(&kept);
            if (text_held != nullptr && text_new != nullptr) {
                *text_held += '\n';
                *text_held += *text_new;
            } else {
                held = std::move(kept);
            }
        }
    }
}

}  // namespace karvo
