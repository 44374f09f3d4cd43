#include "types/utf8.hpp"

#include <cstdint>
#include <cstring>

#include "types/format.hpp"

namespace karvo {

namespace {

bool is_cont(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

Utf8Check check_utf8(const unsigned char* s, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        // ASCII runs dominate real names: skip eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, s + i, 8);
            if (w & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        unsigned char b = s[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        const Utf8Lead lead = utf8_lead(b);
        const std::size_t need = lead.length;
        if (need == 0) return {Utf8Check::Verdict::Invalid, i, 1};
        if (i + 1 >= n) return {Utf8Check::Verdict::Incomplete, i, 0};
        if (s[i + 1] < lead.second_lo || s[i + 1] > lead.second_hi) return {Utf8Check::Verdict::Invalid, i, 1};
        for (std::size_t k = 2; k < need; ++k) {
            if (i + k >= n) return {Utf8Check::Verdict::Incomplete, i, 0};
            if (!is_cont(s[i + k])) return {Utf8Check::Verdict::Invalid, i, k};
        }
        i += need;
    }
    return {};
}

std::string describe_utf8_failure(const Utf8Check& check) {
    if (check.verdict == Utf8Check::Verdict::Incomplete)
        return format_message("incomplete utf-8 byte sequence from index {}",
                              static_cast<std::uint64_t>(check.index));
    return format_message("invalid utf-8 sequence of {} bytes from index {}",
                          static_cast<std::uint64_t>(check.length),
                          static_cast<std::uint64_t>(check.index));
}

}  // namespace karvo
