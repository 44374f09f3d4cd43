// Message building. Only called on failure paths: the success path never formats.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace karvo {

inline void append_piece(std::string& out, std::string_view s) { out.append(s); }
inline void append_piece(std::string& out, const std::string& s) { out.append(s); }
inline void append_piece(std::string& out, const char* s) { out.append(s); }
inline void append_piece(std::string& out, std::uint64_t n) { out.append(std::to_string(n)); }
inline void append_piece(std::string& out, std::uint32_t n) { out.append(std::to_string(n)); }
inline void append_piece(std::string& out, std::uint16_t n) { out.append(std::to_string(n)); }
inline void append_piece(std::string& out, int n) { out.append(std::to_string(n)); }

// Fills each "{}" of the template with the next argument, in order.
template <typename... Args>
std::string format_message(std::string_view tmpl, const Args&... args) {
    std::string out;
    out.reserve(tmpl.size() + 32);
    auto fill_next = [&](const auto& arg) {
        auto at = tmpl.find("{}");
        if (at == std::string_view::npos) return;
        out.append(tmpl.substr(0, at));
        append_piece(out, arg);
        tmpl.remove_prefix(at + 2);
    };
    (fill_next(args), ...);
    out.append(tmpl);
    return out;
}

}  // namespace karvo
