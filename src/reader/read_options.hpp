// How one read runs: which signals get their samples, the limits that bound
// hostile files, and how a long read learns that it should stop.
#pragma once

#include <cstdint>
#include <vector>

namespace karvo {

struct ReadOptions {
    // Whether sweeps and traces get their samples. Without, the points of
    // each signal are still counted (the catalog of a lazy handle).
    bool samples = true;
    // When not null: the declaration ids whose samples are read (sorted,
    // unique); every other signal is counted only.
    const std::vector<std::uint32_t>* only = nullptr;
    // Struct members and groups nest by recursion; deeper input is refused so
    // that a hostile file cannot exhaust the stack. Real files nest one or two.
    unsigned max_nesting = 256;
    // Asked now and then during a long read (a few times a second at most);
    // returning true ends the read with ErrorKind::Interrupted.
    bool (*interrupted)(void* context) = nullptr;
    void* interrupt_context = nullptr;
    // Called, where the reader knows them, with the ranges of the file that it
    // is about to read, so that the file's pages can be fetched ahead.
    void (*will_read)(void* context, std::uint64_t offset, std::uint64_t length) = nullptr;
    void* will_read_context = nullptr;
    // Called, where the reader knows it, with an offset before which it will
    // read nothing more (but for a message's line and column), so that the
    // pages of a large file it has passed need not stay resident.
    void (*done_before)(void* context, std::uint64_t offset) = nullptr;
    void* done_before_context = nullptr;

    bool wants(std::uint32_t id) const;
};

}  // namespace karvo
