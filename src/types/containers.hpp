// Container framing shared by all sections.
#pragma once

#include <cstdint>
#include <string_view>

#include "types/byte_cursor.hpp"

namespace karvo {

// Reads a Container (21) header; returns the absolute offset where its content ends.
Result<std::uint64_t> read_container(ByteCursor& cursor);
// Reads a SubContainer (22) header; returns its stored end offset unchanged.
Result<std::uint64_t> read_subcontainer(ByteCursor& cursor);
// Reads a ContainerIndex (19) chunk and skips its entries of `payload` + 4 bytes.
Status skip_container_index(ByteCursor& cursor, std::uint32_t payload);
// label: HEADER, TYPE, SWEEP, TRACE or VALUE.
Status check_container_end(const ByteCursor& cursor, std::string_view label, std::uint64_t end);

}  // namespace karvo
