#include "pysupport/quoted_name.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>

#include "pysupport/unicode_tables.hpp"
#include "types/utf8.hpp"

namespace karvo {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

constexpr bool ranges_sorted_and_disjoint() {
    for (std::size_t i = 0; i < std::size(kEscapeRanges); ++i) {
        if (kEscapeRanges[i].first > kEscapeRanges[i].last) return false;
        if (i > 0 && kEscapeRanges[i - 1].last >= kEscapeRanges[i].first) return false;
    }
    return true;
}
// The binary search below relies on it.
static_assert(ranges_sorted_and_disjoint(), "regenerate unicode_tables.hpp");

// Printable ASCII that is written as is: space to '~', less the two that get a backslash.
bool plain_ascii(unsigned char b) { return b >= 0x20 && b < 0x7F && b != '"' && b != '\\'; }

bool needs_escape(char32_t cp) {
    const CodePointRange* end = std::end(kEscapeRanges);
    const CodePointRange* it = std::lower_bound(
        std::begin(kEscapeRanges), end, cp,
        [](const CodePointRange& r, char32_t c) { return r.last < c; });
    return it != end && it->first <= cp;
}

void append_escape(std::string& out, char32_t cp) {
    char buf[16];
    char* const end = buf + sizeof buf;
    char* p = end;
    *--p = '}';
    do {
        *--p = "0123456789abcdef"[cp & 0xF];
        cp >>= 4;
    } while (cp != 0);
    *--p = '{';
    *--p = 'u';
    *--p = '\\';
    out.append(p, static_cast<std::size_t>(end - p));
}

struct Decoded {
    char32_t cp;
    std::size_t length;  // bytes consumed, at least 1
    bool valid;
};

// Decodes the sequence at s (n >= 1 bytes left, s[0] >= 0x80). A malformed one
// becomes U+FFFD covering its longest well-formed prefix, the way Python's
// "replace" error handler counts them, so the scan never stalls or overreads.
Decoded decode(const unsigned char* s, std::size_t n) {
    const unsigned char lead = s[0];
    const Utf8Lead rule = utf8_lead(lead);
    const std::size_t need = rule.length;
    if (need < 2) return {kReplacement, 1, false};
    char32_t cp = lead & (0xFF >> (need + 1));
    unsigned char lo = rule.second_lo;
    unsigned char hi = rule.second_hi;
    for (std::size_t k = 1; k < need; ++k) {
        if (k >= n || s[k] < lo || s[k] > hi) return {kReplacement, k, false};
        cp = (cp << 6) | (s[k] & 0x3F);
        lo = 0x80;
        hi = 0xBF;
    }
    return {cp, need, true};
}

}  // namespace

void append_quoted_name(std::string& out, std::string_view utf8_name) {
    const char* const data = utf8_name.data();
    const auto* s = reinterpret_cast<const unsigned char*>(data);
    const std::size_t n = utf8_name.size();
    out.reserve(out.size() + n + 2);
    out.push_back('"');
    std::size_t i = 0;
    while (i < n) {
        // Names are nearly always plain ASCII: copy whole runs at once.
        std::size_t run = i;
        while (run < n && plain_ascii(s[run])) ++run;
        out.append(data + i, run - i);
        i = run;
        if (i == n) break;

        const unsigned char b = s[i];
        if (b < 0x80) {
            switch (b) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\t': out += "\\t"; break;
                case '\r': out += "\\r"; break;
                case '\n': out += "\\n"; break;
                case '\0': out += "\\0"; break;
                default: append_escape(out, b); break;  // other C0 controls, DEL
            }
            ++i;
            continue;
        }

        const Decoded d = decode(s + i, n - i);
        if (needs_escape(d.cp)) append_escape(out, d.cp);
        else if (d.valid) out.append(data + i, d.length);
        else out += "\xEF\xBF\xBD";
        i += d.length;
    }
    out.push_back('"');
}

}  // namespace karvo
