// The members of a struct type, as declared in the TYPE section.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "types/chunks.hpp"

namespace karvo {

// An array type's element count when it is declared `*` (any).
inline constexpr std::uint64_t kAnyLength = UINT64_MAX;

struct MemberDef {
    std::string name;
    DataType type;
    DataType element = DataType::None;  // an array member's element datatype
    std::uint64_t length = kAnyLength;  // an array member's declared element count
};

// A struct's members are shared, not copied, by every declaration and value
// that uses the struct: a small file may use one wide struct many times.
using StructMembers = std::shared_ptr<const std::vector<MemberDef>>;

}  // namespace karvo
