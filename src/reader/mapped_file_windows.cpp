// Windows; POSIX has mapped_file.cpp. The same behaviour and messages, with
// Win32 error codes and texts: the Python layer passes those codes as
// OSError's winerror, from which Python picks errno and the subclass.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// PrefetchVirtualMemory is declared from Windows 8 on; Python 3.9 needs 8.1.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0602
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0602
#endif
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>

#include "reader/mapped_file.hpp"
#include "types/utf8.hpp"

namespace karvo {

namespace {

// The system's text for a Win32 error code, trimmed as Python trims it for
// OSError.strerror (no trailing dot or line break). std::system_category()
// does not give it everywhere: libc++ answers with its errno texts.
std::string windows_text(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD n = FormatMessageW(flags, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                             reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    while (n > 0 && (buffer[n - 1] <= L' ' || buffer[n - 1] == L'.')) --n;
    std::string text;
    if (n > 0) {
        const int length = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
        text.resize(static_cast<std::size_t>(std::max(length, 0)));
        WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(n), text.data(), length, nullptr, nullptr);
    }
    if (buffer != nullptr) LocalFree(buffer);
    if (text.empty()) {
        char fallback[32];
        std::snprintf(fallback, sizeof fallback, "Windows Error 0x%lx", static_cast<unsigned long>(code));
        text = fallback;
    }
    return text;
}

ParseError os_error(ErrorKind kind, DWORD code) {
    return {windows_text(code) + " (os error " + std::to_string(code) + ")", kind, static_cast<int>(code)};
}

ParseError fixed_error(ErrorKind kind, const char* text) { return {text, kind, 0}; }

// The path as Windows takes it. Python hands over a str's UTF-8 with its lone
// surrogates kept ("surrogatepass": ED A0..BF xx), since Windows file names
// are sequences of UTF-16 units that need not pair; each becomes its unit
// again, so every name that Python can open opens here too. False for bytes
// that are no such UTF-8.
bool to_utf16(const std::string& path, std::wstring& out) {
    out.clear();
    out.reserve(path.size());
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(path[k]); };
    for (std::size_t i = 0; i < path.size();) {
        Utf8Lead lead = utf8_lead(byte(i));
        if (byte(i) == 0xED) lead.second_hi = 0xBF;  // surrogates D800..DFFF
        if (lead.length == 0 || lead.length > path.size() - i) return false;
        char32_t cp = static_cast<char32_t>(lead.length == 1 ? byte(i) : byte(i) & (0x7Fu >> lead.length));
        for (std::size_t k = 1; k < lead.length; ++k) {
            const unsigned char c = byte(i + k);
            if (c < (k == 1 ? lead.second_lo : 0x80) || c > (k == 1 ? lead.second_hi : 0xBF)) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp >= 0x10000) {
            out += static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<wchar_t>(cp);
        }
        i += lead.length;
    }
    return true;
}

}  // namespace

MappedFile::MappedFile(MappedFile&& o) noexcept
    : handle_(std::exchange(o.handle_, nullptr)),
      bytes_(std::exchange(o.bytes_, nullptr)),
      size_(std::exchange(o.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& o) noexcept {
    if (this != &o) {
        release_view();
        close();
        handle_ = std::exchange(o.handle_, nullptr);
        bytes_ = std::exchange(o.bytes_, nullptr);
        size_ = std::exchange(o.size_, 0);
    }
    return *this;
}

MappedFile::~MappedFile() {
    release_view();
    close();
}

void MappedFile::release_view() {
    if (bytes_ != nullptr) UnmapViewOfFile(bytes_);
    bytes_ = nullptr;
}

void MappedFile::close() {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = nullptr;
}

// Windows has no hint against read-ahead around touched pages of a view.
void MappedFile::advise_random() const {}
void MappedFile::advise_normal() const {}

namespace {

std::uint64_t page_size() {
    static const std::uint64_t page = [] {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return static_cast<std::uint64_t>(info.dwPageSize);
    }();
    return page;
}

}  // namespace

void MappedFile::advise_will_need(std::uint64_t offset, std::uint64_t length) const {
    if (bytes_ == nullptr || offset >= size_) return;
    const std::uint64_t first = offset / page_size() * page_size();
    const std::uint64_t end = std::min(size_, offset + length);
    WIN32_MEMORY_RANGE_ENTRY range{const_cast<unsigned char*>(bytes_) + first, static_cast<SIZE_T>(end - first)};
    PrefetchVirtualMemory(GetCurrentProcess(), 1, &range, 0);
}

Result<MappedFile> map_file(const std::string& native_path) {
    if (native_path.find('\0') != std::string::npos)
        return fixed_error(ErrorKind::OpenFailed, "path contains a NUL character");
    std::wstring wide;
    if (!to_utf16(native_path, wide)) return fixed_error(ErrorKind::OpenFailed, "path is not UTF-8");

    MappedFile file;
    // Other processes may go on reading, writing, renaming or deleting the
    // file; nothing is created or locked. A folder fails to open with "Access
    // is denied" (PermissionError), as Python's open() fails on one.
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return os_error(ErrorKind::OpenFailed, GetLastError());
    file.handle_ = handle;

    // Devices (NUL, CON) and pipes are character or pipe files, not disk files.
    if (GetFileType(handle) != FILE_TYPE_DISK) return fixed_error(ErrorKind::MapFailed, "not a regular file");
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle, &size)) return os_error(ErrorKind::MapFailed, GetLastError());
    if (size.QuadPart < 0 ||
        static_cast<std::uint64_t>(size.QuadPart) > std::numeric_limits<std::size_t>::max())
        return fixed_error(ErrorKind::MapFailed, "file size does not fit a signed 64-bit length");

    file.size_ = static_cast<std::uint64_t>(size.QuadPart);
    // Windows maps no empty file.
    if (file.size_ == 0) return file;
    // The section is made at the size just read, so that bytes appended
    // meanwhile are not read, as on POSIX. While the view exists Windows
    // refuses to truncate the file (ERROR_USER_MAPPED_FILE), so a shrinking
    // file cannot take pages from under the reader.
    HANDLE section = CreateFileMappingW(handle, nullptr, PAGE_READONLY, static_cast<DWORD>(file.size_ >> 32),
                                        static_cast<DWORD>(file.size_), nullptr);
    if (section == nullptr) {
        const DWORD err = GetLastError();
        file.size_ = 0;
        return os_error(ErrorKind::MapFailed, err);
    }
    void* view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(file.size_));
    const DWORD err = view == nullptr ? GetLastError() : 0;
    CloseHandle(section);  // the view keeps the section
    if (view == nullptr) {
        file.size_ = 0;
        return os_error(ErrorKind::MapFailed, err);
    }
    file.bytes_ = static_cast<const unsigned char*>(view);
    return file;
}

// Unlocking pages that are not locked takes them out of the process's working
// set (the call then fails with ERROR_NOT_LOCKED); they stay in the file cache.
void MappedFile::release_pages(std::uint64_t offset, std::uint64_t end) const {
    end = std::min(end, size_) / page_size() * page_size();
    // From the page that holds `offset`: rounding up would keep that page
    // each time, and a walk of sparse touches (frame heads) would keep them all.
    const std::uint64_t first = offset / page_size() * page_size();
    if (bytes_ == nullptr || first >= end) return;
    VirtualUnlock(const_cast<unsigned char*>(bytes_) + first, static_cast<SIZE_T>(end - first));
}

}  // namespace karvo
