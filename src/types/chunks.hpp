// The chunk-kind and datatype vocabulary shared by every section reader.
#pragma once

#include <cstdint>
#include <string_view>

#include "types/result.hpp"

namespace karvo {

enum class ChunkKind : std::uint32_t {
    SectionHeader = 0,
    SectionType = 1,
    SectionSweep = 2,
    SectionTrace = 3,
    SectionValue = 4,
    SectionEnd = 15,
    Declaration = 16,
    GroupDeclaration = 17,
    StructEnd = 18,
    ContainerIndex = 19,
    ContainerPadding = 20,
    Container = 21,
    SubContainer = 22,
    PropString = 33,
    PropInt = 34,
    PropFloat = 35,
};

constexpr std::uint32_t word(ChunkKind k) { return static_cast<std::uint32_t>(k); }

// Whether a word starts a property (of a property list).
constexpr bool is_property_kind(std::uint32_t w) {
    return w == word(ChunkKind::PropString) || w == word(ChunkKind::PropInt) || w == word(ChunkKind::PropFloat);
}

// The name that messages print for a kind ("Container", "StructEnd", ...).
std::string_view chunk_name(ChunkKind kind);

enum class DataType : std::uint8_t { None, Int8, String, Array, Int32, Float64, Complex, Struct };

Result<DataType> datatype_from_tag(std::uint32_t tag);
std::string_view datatype_name(DataType type);

}  // namespace karvo
