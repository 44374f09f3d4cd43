// Read-only access to a whole file through a memory mapping.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace karvo {

struct FileError {
    enum class Kind { Open, Map };
    Kind kind;
    std::string reason;  // "{system text} (os error N)" or a fixed text
};

// Owns the descriptor and the view; releases what it still holds when destroyed.
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

    friend std::variant<MappedFile, FileError> map_file(const std::string& native_path);

private:
    int fd_ = -1;
    const unsigned char* bytes_ = nullptr;  // null for an empty file
    std::uint64_t size_ = 0;
};

// native_path: the bytes handed to the operating system. It may contain a NUL,
// which no file name can hold; that is reported as an open failure.
std::variant<MappedFile, FileError> map_file(const std::string& native_path);

}  // namespace karvo
