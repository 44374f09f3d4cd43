// The state of one read that every section reader shares: its options, and
// the pacing of the calls that ask whether to stop.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "reader/read_options.hpp"
#include "types/result.hpp"

namespace karvo {

inline bool ReadOptions::wants(std::uint32_t id) const {
    if (!samples) return false;
    return only == nullptr || std::binary_search(only->begin(), only->end(), id);
}

class ReadContext {
public:
    explicit ReadContext(const ReadOptions& options) : options(options) {}

    const ReadOptions& options;

    // Counts `work` bytes (or items) done. Every megabyte of work the clock
    // is read, and at most every 50 ms the caller is asked whether to stop:
    // asking may mean waiting for the interpreter, which must stay rare.
    // (Called per signal and per record: the rare part stays out of line.)
    Status tick(std::uint64_t work) {
        if (options.interrupted == nullptr) return {};
        work_ += work;
        if (work_ < kWorkBetweenClockReads) return {};
        return ask();
    }

    void passed(std::uint64_t offset) const {
        if (options.passed != nullptr) options.passed(options.passed_context, offset);
    }

private:
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((noinline))
#endif
    Status ask() {
        work_ = 0;
        if (options.interrupted_is_cheap) {
            if (options.interrupted(options.interrupt_context))
                return ParseError{"interrupted", ErrorKind::Interrupted};
            return {};
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ask_ < kTimeBetweenAsks) return {};
        last_ask_ = now;
        if (options.interrupted(options.interrupt_context)) return ParseError{"interrupted", ErrorKind::Interrupted};
        return {};
    }

    static constexpr std::uint64_t kWorkBetweenClockReads = 1 << 20;
    static constexpr auto kTimeBetweenAsks = std::chrono::milliseconds(50);
    std::uint64_t work_ = 0;
    // A read passes through several contexts (parse, resolve, ...): each may
    // ask at its first clock read, so that the wait does not start over.
    std::chrono::steady_clock::time_point last_ask_ = std::chrono::steady_clock::now() - kTimeBetweenAsks;
};

// Makes `v` hold `n` copies of `value`, a slice at a time with a look at
// `ctx` between: the index of millions of signals is tens of megabytes of
// fresh memory, whose first touch is slow.
template <typename T>
Status fill_in_slices(std::vector<T>& v, std::size_t n, const T& value, ReadContext& ctx) {
    constexpr std::size_t kSlice = std::size_t{1} << 16;
    v.clear();
    v.reserve(n);
    while (v.size() < n) {
        const std::size_t more = std::min(kSlice, n - v.size());
        v.insert(v.end(), more, value);
        KARVO_TRY(ctx.tick(more * sizeof(T)));
    }
    return {};
}

}  // namespace karvo
