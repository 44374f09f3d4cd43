// Named String / Int / Float properties that follow the header and every declaration.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "types/byte_cursor.hpp"

namespace karvo {

// Alternatives in this order: String, Int, Float. A PropInt is a signed
// 32-bit word (a harmonic of -7 is stored as 0xFFFFFFF9); the text form may
// also hold integers up to 2^32 - 1 (see text_parse.cpp).
using PropertyValue = std::variant<std::string, std::int64_t, double>;

struct Property {
    std::string name;
    PropertyValue value;
};

using PropertyList = std::vector<Property>;

Result<PropertyList> read_property_list(ByteCursor& cursor);

// Reads a property list and drops it; declarations carry lists nobody uses.
Status skip_property_list(ByteCursor& cursor);

}  // namespace karvo
