// UTF-8 well-formedness (Unicode Table 3-7), reported the way Python's decoder does.
#pragma once

#include <cstddef>
#include <string>

namespace karvo {

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
