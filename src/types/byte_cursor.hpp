// Read position over the whole mapped file. Every bounds test is done in 64-bit
// arithmetic that cannot wrap, so a hostile length word cannot move the cursor
// outside the file.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "types/platform.hpp"
#include "types/result.hpp"

namespace karvo {

inline std::uint32_t load_be32(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return bswap32(v);
}
inline std::uint16_t load_be16(const unsigned char* p) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return bswap16(v);
}
inline std::uint64_t load_be64_bits(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return bswap64(v);
}
inline double load_be_f64(const unsigned char* p) {
    std::uint64_t bits = load_be64_bits(p);
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

enum class ChunkKind : std::uint32_t;

// Failure builders live out of line: they are cold.
ParseError need_error(std::uint64_t n, std::uint64_t pos, std::uint64_t len);
ParseError skip_error(std::uint64_t n, std::uint64_t pos, std::uint64_t len);
// Readers that walk a body twice find other bytes the second time: another
// process wrote the file while it was read.
ParseError file_changed_error(std::uint64_t pos);

class ByteCursor {
public:
    ByteCursor(const unsigned char* bytes, std::uint64_t len) : bytes_(bytes), len_(len) {}

    std::uint64_t pos() const { return pos_; }
    std::uint64_t len() const { return len_; }
    std::uint64_t remaining() const { return len_ - pos_; }
    const unsigned char* data() const { return bytes_; }
    // Only for rewinding to a position the cursor has already passed.
    void rewind_to(std::uint64_t pos) { pos_ = pos; }

    bool has(std::uint64_t n) const { return n <= len_ - pos_; }

    Result<const unsigned char*> need(std::uint64_t n) {
        if (!has(n)) return need_error(n, pos_, len_);
        const unsigned char* p = bytes_ + pos_;
        pos_ += n;
        return p;
    }
    Status skip(std::uint64_t n) {
        if (!has(n)) return skip_error(n, pos_, len_);
        pos_ += n;
        return {};
    }
    Result<std::uint16_t> read_u16() {
        if (!has(2)) return need_error(2, pos_, len_);
        std::uint16_t v = load_be16(bytes_ + pos_);
        pos_ += 2;
        return v;
    }
    Result<std::uint32_t> read_u32() {
        if (!has(4)) return need_error(4, pos_, len_);
        std::uint32_t v = load_be32(bytes_ + pos_);
        pos_ += 4;
        return v;
    }
    Result<double> read_f64() {
        if (!has(8)) return need_error(8, pos_, len_);
        double v = load_be_f64(bytes_ + pos_);
        pos_ += 8;
        return v;
    }
    // Look-ahead for "which chunk comes next": absence is reported as false,
    // never as an error, because every caller treats a short file as "not it".
    bool peek_u32(std::uint32_t& word) const {
        if (!has(4)) return false;
        word = load_be32(bytes_ + pos_);
        return true;
    }
    bool next_word_is(std::uint32_t word) const {
        std::uint32_t w;
        return peek_u32(w) && w == word;
    }

    // A length-prefixed UTF-8 string, padded to a word; the view is into the file.
    Result<std::string_view> read_string_view();
    Result<std::string> read_string();
    Status expect_chunk(ChunkKind kind);

private:
    const unsigned char* bytes_;
    std::uint64_t len_;
    std::uint64_t pos_ = 0;
};

}  // namespace karvo
