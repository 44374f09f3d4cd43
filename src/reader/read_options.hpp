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
    // The catalog's point counts are known (a reopened body): the walk only
    // copies, sizing every buffer from them, and fails as a changed file
    // when the body holds other points now.
    bool counted = false;
    // Struct members and groups nest by recursion; deeper input is refused so
    // that a hostile file cannot exhaust the stack. Real files nest one or two.
    unsigned max_nesting = 256;
    // Asked now and then during a long read (a few times a second at most);
    // returning true ends the read with ErrorKind::Interrupted.
    bool (*interrupted)(void* context) = nullptr;
    void* interrupt_context = nullptr;
    // The callback only reads a flag: it is asked after every megabyte of
    // work, without the pause between asks (the parts of a split body).
    bool interrupted_is_cheap = false;
    // Called, where the reader knows them, with the ranges of the file that it
    // is about to read, so that the file's pages can be fetched ahead.
    void (*will_read)(void* context, std::uint64_t offset, std::uint64_t length) = nullptr;
    void* will_read_context = nullptr;
    // Called as a walk moves on: it will not come back to the bytes before
    // `offset` (until a later walk starts again from an earlier offset), so
    // their pages can leave the process.
    void (*passed)(void* context, std::uint64_t offset) = nullptr;
    void* passed_context = nullptr;

    bool wants(std::uint32_t id) const;
};

}  // namespace karvo
