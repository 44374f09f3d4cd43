#include "reader/raw_body.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>

#include "reader/raw_text.hpp"
#include "reader/thread_pool.hpp"
#include "types/bswap_copy.hpp"
#include "types/format.hpp"

namespace karvo {

namespace {

// Rows are copied a block at a time, each block gathered variable by
// variable: every array is written in runs, while the block stays in the
// cache for the next variable.
constexpr std::uint64_t kBlockBytes = 64 << 10;
// Bodies from this size on are written with streaming stores: a run per
// variable and block fills whole lines of fifty arrays at once, which normal
// stores would first read into the cache.
constexpr std::uint64_t kStreamBytes = 8 << 20;

template <Store S>
inline void put_word(double* out, const unsigned char* in) {
    std::uint64_t w;
    std::memcpy(&w, in, 8);
#ifdef KARVO_STREAM_STORES
    if constexpr (S == Store::Stream) {
        KARVO_STREAM_SI64(reinterpret_cast<long long*>(out), static_cast<long long>(w));
        return;
    }
#endif
    std::memcpy(out, &w, 8);
}

// `count` values of one variable, `stride` bytes apart, from `in`, into
// `out` (already at the first point's place).
template <Store S>
void gather(const RawColumn& c, double* out, const unsigned char* in, std::uint64_t count, std::uint64_t stride) {
    switch (c.source) {
        case RawColumn::Source::F64:
            for (std::uint64_t k = 0; k < count; ++k) put_word<S>(out + k, in + k * stride);
            break;
        case RawColumn::Source::F32:
            for (std::uint64_t k = 0; k < count; ++k) {
                float f;
                std::memcpy(&f, in + k * stride, 4);
                out[k] = static_cast<double>(f);
            }
            break;
        case RawColumn::Source::C128:
            if (c.real_only) {
                for (std::uint64_t k = 0; k < count; ++k) put_word<S>(out + k, in + k * stride);
            } else {
                for (std::uint64_t k = 0; k < count; ++k) {
                    put_word<S>(out + 2 * k, in + k * stride);
                    put_word<S>(out + 2 * k + 1, in + k * stride + 8);
                }
            }
            break;
    }
}

std::uint64_t out_words(const RawColumn& c) { return c.source == RawColumn::Source::C128 && !c.real_only ? 2 : 1; }

// The points [first, last) of a body of rows.
template <Store S>
Status copy_row_range(const unsigned char* body, std::uint64_t first, std::uint64_t last,
                      const std::vector<RawColumn>& columns, const std::vector<std::uint64_t>& offsets,
                      std::uint64_t row, std::uint64_t block, ReadContext& ctx) {
    for (; first < last; first += block) {
        const std::uint64_t count = std::min(block, last - first);
        const unsigned char* rows = body + first * row;
        for (std::size_t j = 0; j < columns.size(); ++j)
            gather<S>(columns[j], columns[j].out + first * out_words(columns[j]), rows + offsets[j], count, row);
        KARVO_TRY(ctx.tick(count * row));
    }
    return {};
}

template <Store S>
Status copy_rows(const unsigned char* body, std::uint64_t points, const std::vector<RawColumn>& columns,
                 ReadContext& ctx) {
    const std::uint64_t row = raw_row_bytes(columns);
    std::vector<std::uint64_t> offsets;
    offsets.reserve(columns.size());
    for (std::uint64_t at = 0; const RawColumn& c : columns) {
        offsets.push_back(at);
        at += c.width();
    }
    const std::uint64_t block = std::max<std::uint64_t>(1, kBlockBytes / row);
    // Large bodies: parts of whole blocks, each on its own thread
    // (thread_pool.hpp); rows have one size, so each part's place in every
    // array follows from its first point.
    const std::uint64_t part_bytes = split_part_bytes(points * row);
    if (part_bytes != 0 && points > 1) {
        std::uint64_t per = (part_bytes + row - 1) / row;
        if (per > block) per = (per + block - 1) / block * block;  // whole blocks, as one thread copies them
        const std::uint64_t parts = (points + per - 1) / per;
        return run_parts(static_cast<std::size_t>(parts), ctx, [&](std::size_t i, ReadContext& part_ctx) -> Status {
            const std::uint64_t first = i * per, last = std::min(points, first + per);
            Status copied = copy_row_range<S>(body, first, last, columns, offsets, row, block, part_ctx);
            stream_fence();
            return copied;
        });
    }
    KARVO_TRY(copy_row_range<S>(body, 0, points, columns, offsets, row, block, ctx));
    stream_fence();
    return {};
}

Status copy_columns(const unsigned char* body, std::uint64_t points, const std::vector<RawColumn>& columns,
                    ReadContext& ctx) {
    for (const RawColumn& c : columns) {
        const std::uint64_t bytes = points * c.width();
        if (c.source == RawColumn::Source::F64 || (c.source == RawColumn::Source::C128 && !c.real_only)) {
            if (bytes != 0) std::memcpy(c.out, body, bytes);
        } else {
            gather<Store::Normal>(c, c.out, body, points, c.width());
        }
        body += bytes;
        KARVO_TRY(ctx.tick(bytes));
    }
    return {};
}

// The Values: text, token by token, with lines and columns for messages.
class ValuesText {
public:
    ValuesText(const unsigned char* text, std::uint64_t len, std::uint64_t at, std::uint64_t first_line)
        : text_(text), len_(len), start_(at), pos_(at), first_line_(first_line) {}

    std::uint64_t pos() const { return pos_; }

    // The next token: up to white space, or up to a comma with `comma`.
    std::string_view token(bool comma) {
        while (pos_ < len_ && is_raw_space(text_[pos_])) ++pos_;
        const std::uint64_t from = pos_;
        std::uint64_t p = pos_;
        while (p < len_ && !is_raw_space(text_[p]) && !(comma && text_[p] == ',')) ++p;
        return {reinterpret_cast<const char*>(text_ + from), p - from};
    }
    void take(std::string_view token) {
        pos_ = static_cast<std::uint64_t>(reinterpret_cast<const unsigned char*>(token.data()) - text_) + token.size();
    }
    // A number that white space or the end follows (the PSF ASCII reader's
    // rounding and forms).
    bool take_number(double& out) {
        TextLexer lexer(text_ + pos_, len_ - pos_);
        if (!lexer.take_double(out)) return false;
        pos_ += lexer.pos();
        return true;
    }
    // The decimal digits of `index`, then white space or the end.
    bool take_index(std::uint64_t index) {
        while (pos_ < len_ && is_raw_space(text_[pos_])) ++pos_;
        const char* first = reinterpret_cast<const char*>(text_ + pos_);
        const char* last = reinterpret_cast<const char*>(text_ + len_);
        std::uint64_t n = 0;
        const auto r = std::from_chars(first, last, n, 10);
        if (r.ec != std::errc() || n != index || (r.ptr != last && !is_raw_space(static_cast<unsigned char>(*r.ptr))))
            return false;
        pos_ += static_cast<std::uint64_t>(r.ptr - first);
        return true;
    }
    bool take_comma() {
        if (pos_ < len_ && text_[pos_] == ',') {
            ++pos_;
            return true;
        }
        return false;
    }

    // "line L, column C: expected ..., got TOKEN" at the current token.
    ParseError expected(std::string_view what, std::string_view got) const {
        std::uint64_t at = pos_;
        while (at < len_ && is_raw_space(text_[at])) ++at;
        return expected_at(at, what, got);
    }
    // The same at the token `got`, which was taken.
    ParseError expected_instead(std::string_view what, std::string_view got) const {
        return expected_at(static_cast<std::uint64_t>(reinterpret_cast<const unsigned char*>(got.data()) - text_), what,
                           got);
    }

private:
    ParseError expected_at(std::uint64_t at, std::string_view what, std::string_view got) const {
        std::uint64_t line = first_line_;
        std::uint64_t line_start = start_;
        for (std::uint64_t i = start_; i < at; ++i) {
            if (text_[i] == '\n') {
                ++line;
                line_start = i + 1;
            }
        }
        std::uint64_t column = 1;
        for (std::uint64_t i = line_start; i < at; ++i) column += (text_[i] & 0xC0) != 0x80;
        const std::string shown = at >= len_ ? std::string("end of file") : quoted_for_message(got);
        return ParseError{format_message("line {}, column {}: expected {}, got {}", line, column, what, shown)};
    }

    const unsigned char* text_;
    std::uint64_t len_;
    std::uint64_t start_;
    std::uint64_t pos_;
    std::uint64_t first_line_;
};

}  // namespace

std::uint64_t raw_row_bytes(const std::vector<RawColumn>& columns) {
    std::uint64_t row = 0;
    for (const RawColumn& c : columns) row += c.width();
    return row;
}

Status copy_raw_binary(const unsigned char* body, std::uint64_t points, const std::vector<RawColumn>& columns,
                       bool fastaccess, ReadContext& ctx) {
    if (fastaccess) return copy_columns(body, points, columns, ctx);
    if (points * raw_row_bytes(columns) >= kStreamBytes) return copy_rows<Store::Stream>(body, points, columns, ctx);
    return copy_rows<Store::Normal>(body, points, columns, ctx);
}

Result<std::uint64_t> read_raw_values(const unsigned char* text, std::uint64_t len, std::uint64_t at,
                                      std::uint64_t points, const std::vector<RawColumn>& columns,
                                      std::uint64_t first_line, std::int64_t file_offset, ReadContext& ctx) {
    ValuesText values(text, len, at, first_line);
    std::uint64_t ticked = at;
    for (std::uint64_t p = 0; p < points; ++p) {
        if (!values.take_index(p)) {
            const std::string_view t = values.token(false);
            if (t.empty())
                return values.expected(format_message("point {} of the {} that No. Points gives", p, points), t);
            return values.expected(format_message("the index {} of the next point", p), t);
        }
        for (const RawColumn& c : columns) {
            double* out = c.out + p * out_words(c);
            if (c.source != RawColumn::Source::C128) {
                if (!values.take_number(out[0]))
                    return values.expected(format_message("a number for {} of point {}", quoted_for_message(c.name), p),
                                           values.token(false));
                continue;
            }
            std::string_view t = values.token(true);
            if (!parse_raw_double(t, out[0]))
                return values.expected(format_message("a number for {} of point {}", quoted_for_message(c.name), p), t);
            values.take(t);
            double im = 0;
            if (!values.take_comma())
                return values.expected_instead(format_message("a complex number 're,im' for {} of point {}",
                                                              quoted_for_message(c.name), p),
                                               t);
            t = values.token(true);
            if (!parse_raw_double(t, im))
                return values.expected(format_message("the imaginary part of {} of point {}", quoted_for_message(c.name), p),
                                       t);
            values.take(t);
            if (!c.real_only) out[1] = im;
        }
        KARVO_TRY(ctx.tick(values.pos() - ticked));
        ticked = values.pos();
        if (file_offset >= 0) ctx.passed(values.pos() + static_cast<std::uint64_t>(file_offset));
    }
    return values.pos();
}

}  // namespace karvo
