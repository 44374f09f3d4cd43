// What a read does with the pages of its mapped file as it goes through
// them.
#pragma once

#include <cstdint>

#include "reader/mapped_file.hpp"
#include "reader/read_options.hpp"

namespace karvo {

// The file's pages as a read goes through them: those it has passed leave
// the process (a read of 2 signals of a 1 GB file holds the 2 arrays, not the
// file), and the ranges it announces are fetched ahead, a few at a time.
class PageTraffic {
public:
    // `step`: the bytes a walk passes before their pages go, at one call
    // each time (calls cost tens of microseconds; pages held, memory).
    explicit PageTraffic(const MappedFile& file, std::uint64_t step = 8 << 20) : file_(file), step_(step) {}

    void install(ReadOptions& options, bool announce) {
        options.passed = [](void* self, std::uint64_t offset) { static_cast<PageTraffic*>(self)->passed(offset); };
        options.passed_context = this;
        if (announce) {
            options.will_read = [](void* self, std::uint64_t offset, std::uint64_t length) {
                static_cast<PageTraffic*>(self)->will_read(offset, length);
            };
            options.will_read_context = this;
        }
    }
    ~PageTraffic() { flush(); }

private:
    static constexpr std::uint64_t kMergeGap = 64 << 10;

    void passed(std::uint64_t offset) {
        if (offset < released_) released_ = 0;  // a new walk from the start
        if (offset - released_ < step_) return;
        file_.release_pages(released_, offset);
        released_ = offset;
    }
    // Neighbouring ranges go out as one request.
    void will_read(std::uint64_t offset, std::uint64_t length) {
        if (pending_length_ != 0 && offset >= pending_ && offset - (pending_ + pending_length_) <= kMergeGap) {
            pending_length_ = offset + length - pending_;
            return;
        }
        flush();
        pending_ = offset;
        pending_length_ = length;
    }
    void flush() {
        if (pending_length_ != 0) file_.advise_will_need(pending_, pending_length_);
        pending_length_ = 0;
    }

    const MappedFile& file_;
    const std::uint64_t step_;
    std::uint64_t released_ = 0;
    std::uint64_t pending_ = 0;
    std::uint64_t pending_length_ = 0;
};

}  // namespace karvo
