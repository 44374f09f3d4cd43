#include "types/utf8.hpp"

#include <cstdint>
#include <cstring>

#include "types/format.hpp"

namespace karvo {

namespace {

bool is_cont(unsigned char b) { return (b & 0xC0) == 0x80; }

// Allowed range of the second byte after a lead byte (Table 3-7).
void second_byte_range(unsigned char lead, unsigned char& lo, unsigned char& hi) {
    lo = 0x80;
    hi = 0xBF;
    if (lead == 0xE0) lo = 0xA0;
    else if (lead == 0xED) hi = 0x9F;
    else if (lead == 0xF0) lo = 0x90;
    else if (lead == 0xF4) hi = 0x8F;
}

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
        std::size_t need;
        if (b >= 0xC2 && b <= 0xDF) need = 2;
        else if (b >= 0xE0 && b <= 0xEF) need = 3;
        else if (b >= 0xF0 && b <= 0xF4) need = 4;
        else return {Utf8Check::Verdict::Invalid, i, 1};

        unsigned char lo, hi;
        second_byte_range(b, lo, hi);
        if (i + 1 >= n) return {Utf8Check::Verdict::Incomplete, i, 0};
        if (s[i + 1] < lo || s[i + 1] > hi) return {Utf8Check::Verdict::Invalid, i, 1};
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
