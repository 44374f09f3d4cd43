// POSIX; Windows has mapped_file_windows.cpp.
#include "reader/mapped_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <fcntl.h>
#include <limits>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace karvo {

namespace {

// The system's text for the code (thread-safe, unlike strerror), then the code.
ParseError os_error(ErrorKind kind, int err) {
    return {std::system_category().message(err) + " (os error " + std::to_string(err) + ")", kind, err};
}

ParseError fixed_error(ErrorKind kind, const char* text) { return {text, kind, 0}; }

}  // namespace

MappedFile::MappedFile(MappedFile&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)),
      copied_(std::exchange(o.copied_, false)),
      bytes_(std::exchange(o.bytes_, nullptr)),
      size_(std::exchange(o.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& o) noexcept {
    if (this != &o) {
        release_view();
        close();
        fd_ = std::exchange(o.fd_, -1);
        bytes_ = std::exchange(o.bytes_, nullptr);
        size_ = std::exchange(o.size_, 0);
        copied_ = std::exchange(o.copied_, false);
    }
    return *this;
}

MappedFile::~MappedFile() {
    release_view();
    close();
}

void MappedFile::release_view() {
    if (bytes_ != nullptr && copied_) std::free(const_cast<unsigned char*>(bytes_));
    else if (bytes_ != nullptr) munmap(const_cast<unsigned char*>(bytes_), size_);
    bytes_ = nullptr;
    copied_ = false;
}

void MappedFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void MappedFile::advise_random() const {
    if (bytes_ != nullptr && !copied_) ::madvise(const_cast<unsigned char*>(bytes_), size_, MADV_RANDOM);
}

void MappedFile::advise_normal() const {
    if (bytes_ != nullptr && !copied_) ::madvise(const_cast<unsigned char*>(bytes_), size_, MADV_NORMAL);
}

namespace {

// Files up to this size are read, not mapped.
constexpr std::uint64_t kReadBelow = 64 << 10;

std::uint64_t page_size() {
    static const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    return page;
}

}  // namespace

void MappedFile::advise_will_need(std::uint64_t offset, std::uint64_t length) const {
    if (bytes_ == nullptr || copied_ || offset >= size_) return;
    const std::uint64_t first = offset / page_size() * page_size();
    const std::uint64_t end = std::min(size_, offset + length);
    ::madvise(const_cast<unsigned char*>(bytes_) + first, end - first, MADV_WILLNEED);
}

void MappedFile::release_pages(std::uint64_t offset, std::uint64_t end) const {
    end = std::min(end, size_) / page_size() * page_size();
    // From the page that holds `offset`: rounding up would keep that page
    // each time, and a walk of sparse touches (frame heads) would keep them all.
    const std::uint64_t first = offset / page_size() * page_size();
    if (bytes_ == nullptr || copied_ || first >= end) return;
    ::madvise(const_cast<unsigned char*>(bytes_) + first, end - first, MADV_DONTNEED);
}

Result<MappedFile> map_file(const std::string& native_path) {
    if (native_path.find('\0') != std::string::npos)
        return fixed_error(ErrorKind::OpenFailed, "path contains a NUL character");

    MappedFile file;
    // O_NONBLOCK keeps a FIFO from blocking the open; it changes nothing for
    // regular files. Nothing is created, truncated or locked.
    do {
        file.fd_ = ::open(native_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (file.fd_ < 0 && errno == EINTR);
    if (file.fd_ < 0) return os_error(ErrorKind::OpenFailed, errno);

    struct stat st;
    if (::fstat(file.fd_, &st) != 0) return os_error(ErrorKind::MapFailed, errno);
    if (S_ISDIR(st.st_mode)) return os_error(ErrorKind::MapFailed, EISDIR);
    if (!S_ISREG(st.st_mode)) return fixed_error(ErrorKind::MapFailed, "not a regular file");
    if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > std::numeric_limits<std::size_t>::max())
        return fixed_error(ErrorKind::MapFailed, "file size does not fit a signed 64-bit length");

    file.size_ = static_cast<std::uint64_t>(st.st_size);
    if (file.size_ == 0) return file;
    if (file.size_ <= kReadBelow) {
        // The bytes as they are now: a file cut meanwhile reads shorter.
        auto* copy = static_cast<unsigned char*>(std::malloc(file.size_));
        if (copy == nullptr) return out_of_memory("out of memory while reading the file");
        file.bytes_ = copy;
        file.copied_ = true;
        std::uint64_t got = 0;
        while (got < file.size_) {
            const ssize_t n = ::pread(file.fd_, copy + got, file.size_ - got, static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return os_error(ErrorKind::MapFailed, errno);
            if (n == 0) break;
            got += static_cast<std::uint64_t>(n);
        }
        file.size_ = got;
        return file;
    }
    void* view = ::mmap(nullptr, file.size_, PROT_READ, MAP_PRIVATE, file.fd_, 0);
    if (view == MAP_FAILED) {
        int err = errno;
        file.size_ = 0;
        return os_error(ErrorKind::MapFailed, err);
    }
    file.bytes_ = static_cast<const unsigned char*>(view);
    return file;
}

}  // namespace karvo
