// Read-only access to a whole file through a memory mapping.
#pragma once

#include <cstdint>
#include <string>

#include "types/result.hpp"

namespace karvo {

// Owns the descriptor and the view; releases what it still holds when destroyed.
// A small file is read into memory of its own instead (one read costs less
// than a mapping, its page faults and its removal); a large one is mapped.
class MappedFile {
public:
    MappedFile() = default;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    MappedFile(MappedFile&& o) noexcept;
    MappedFile& operator=(MappedFile&& o) noexcept;
    ~MappedFile();

    const unsigned char* bytes() const { return bytes_; }
    std::uint64_t size() const { return size_; }

    void release_view();
    void close();

    // Hints for reads that touch a few ranges of a large file: no read-ahead
    // around each touched page, and the ranges that will be read fetched in
    // the background. Failures are ignored: they only cost speed.
    void advise_random() const;
    void advise_normal() const;
    void advise_will_need(std::uint64_t offset, std::uint64_t length) const;
    // The pages from the one holding `offset` up to the last whole one before
    // `end` leave the process: they count no more as its memory, and are read
    // again (from the page cache) when touched. The file's data is not changed.
    void release_pages(std::uint64_t offset, std::uint64_t end) const;

    friend Result<MappedFile> map_file(const std::string& native_path);

private:
#ifdef _WIN32
    void* handle_ = nullptr;  // the file's HANDLE (mapped_file_windows.cpp)
#else
    int fd_ = -1;
    bool copied_ = false;  // bytes_ is memory of its own, not a view
#endif
    const unsigned char* bytes_ = nullptr;  // null for an empty file
    std::uint64_t size_ = 0;
};

// native_path: the bytes handed to the operating system (on Windows, UTF-8
// whose lone surrogates are kept, as Python's "surrogatepass" writes them,
// made UTF-16 there). It may contain a NUL, which no file name can hold; that
// is reported as an open failure. Failures
// are ErrorKind::OpenFailed or MapFailed, their message the reason alone
// ("{system text} (os error N)" or a fixed text).
Result<MappedFile> map_file(const std::string& native_path);

}  // namespace karvo
