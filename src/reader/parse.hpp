// From the bytes of one file to its header and signal catalog.
#pragma once

#include <cstdint>

#include "reader/catalog.hpp"
#include "types/properties.hpp"

namespace karvo {

struct ParseResult {
    PropertyList header;
    SignalCatalog catalog;
};

Result<ParseResult> parse_psfbin(const unsigned char* bytes, std::uint64_t len);

}  // namespace karvo
