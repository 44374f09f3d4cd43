// Errors travel as values: every reader operation returns its result or a ParseError.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>

namespace karvo {

// What went wrong, so that the Python layer picks the exception in one place.
enum class ErrorKind : std::uint8_t {
    Malformed,    // the bytes are not a file this reader reads (ValueError)
    FileChanged,  // two passes over the same bytes disagreed (ValueError)
    OutOfMemory,  // an allocation failed (MemoryError)
    OpenFailed,   // the file could not be opened (OSError)
    MapFailed,    // the open file could not be sized or mapped (OSError)
    Interrupted,  // the caller asked the read to stop (its own exception)
};

// One complete, owned message. The first error ends the read.
struct ParseError {
    std::string message;
    ErrorKind kind = ErrorKind::Malformed;
    int os_code = 0;  // OpenFailed / MapFailed: the system's error code, 0 for a fixed text
};

inline ParseError out_of_memory(std::string message) { return {std::move(message), ErrorKind::OutOfMemory}; }

// Success costs what its value costs: the error, rare, lives on the heap, so
// that a Status is one pointer and a Result little more than its value
// (readers return one for every word they read).
template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(ParseError error) : v_(std::in_place_index<1>, std::make_unique<ParseError>(std::move(error))) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    ParseError& error() & { return *std::get<1>(v_); }
    ParseError&& error() && { return std::move(*std::get<1>(v_)); }

private:
    std::variant<T, std::unique_ptr<ParseError>> v_;
};

// Result of an operation that yields nothing on success.
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(ParseError error) : error_(std::make_unique<ParseError>(std::move(error))) {}

    bool ok() const { return error_ == nullptr; }
    explicit operator bool() const { return ok(); }
    ParseError& error() & { return *error_; }
    ParseError&& error() && { return std::move(*error_); }

private:
    std::unique_ptr<ParseError> error_;
};

// Propagation helpers: keep the call sites short without exceptions.
#define KARVO_TRY(expr)                                  \
    do {                                                 \
        if (auto karvo_status_ = (expr); !karvo_status_) \
            return std::move(karvo_status_).error();     \
    } while (0)

#define KARVO_CONCAT_INNER(a, b) a##b
#define KARVO_CONCAT(a, b) KARVO_CONCAT_INNER(a, b)
#define KARVO_ASSIGN_IMPL(tmp, lhs, expr)    \
    auto tmp = (expr);                       \
    if (!tmp) return std::move(tmp).error(); \
    lhs = std::move(tmp).value()
#define KARVO_ASSIGN(lhs, expr) KARVO_ASSIGN_IMPL(KARVO_CONCAT(karvo_r_, __LINE__), lhs, expr)

}  // namespace karvo
