// UTF-8 well-formedness (Unicode Table 3-7), reported the way Python's decoder does.
#pragma once

#include <cstddef>
#include <string>

namespace karvo {

// What a lead byte allows: the sequence's length (0 for a byte that cannot
// lead) and the range of its second byte, which excludes overlong forms,
// surrogates and code points past U+10FFFF. Later bytes are 80..BF.
struct Utf8Lead {
    std::size_t length;
    unsigned char second_lo;
    unsigned char second_hi;
};

constexpr Utf8Lead utf8_lead(unsigned char b) {
    using u8 = unsigned char;
    if (b < 0x80) return {1, 0x80, 0xBF};
    if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
    if (b >= 0xE0 && b <= 0xEF) return {3, u8(b == 0xE0 ? 0xA0 : 0x80), u8(b == 0xED ? 0x9F : 0xBF)};
    if (b >= 0xF0 && b <= 0xF4) return {4, u8(b == 0xF0 ? 0x90 : 0x80), u8(b == 0xF4 ? 0x8F : 0xBF)};
    return {0, 0, 0};
}

struct Utf8Check {
    enum class Verdict { Valid, Invalid, Incomplete };
    Verdict verdict = Verdict::Valid;
    std::size_t index = 0;   // first byte of the offending sequence
    std::size_t length = 0;  // Invalid only: 1, 2 or 3
};

Utf8Check check_utf8(const unsigned char* s, std::size_t n);

// "invalid utf-8 sequence of {} bytes from index {}" or
// "incomplete utf-8 byte sequence from index {}".
std::string describe_utf8_failure(const Utf8Check& check);

}  // namespace karvo
