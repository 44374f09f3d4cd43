// Named String / Int / Float properties that follow the header and every declaration.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "types/byte_cursor.hpp"

namespace karvo {

// Alternatives in this order: String, Int (unsigned 32-bit), Float.
using PropertyValue = std::variant<std::string, std::uint32_t, double>;

struct Property {
    std::string name;
    PropertyValue value;
};

using PropertyList = std::vector<Property>;

Result<PropertyList> read_property_list(ByteCursor& cursor);

// Reads a property list and drops it; declarations carry lists nobody uses.
Status skip_property_list(ByteCursor& cursor);

}  // namespace karvo
