#include "types/chunks.hpp"

#include "types/format.hpp"

namespace karvo {

std::string_view chunk_name(ChunkKind kind) {
    switch (kind) {
        case ChunkKind::SectionHeader: return "SectionHeader";
        case ChunkKind::SectionType: return "SectionType";
        case ChunkKind::SectionSweep: return "SectionSweep";
        case ChunkKind::SectionTrace: return "SectionTrace";
        case ChunkKind::SectionValue: return "SectionValue";
        case ChunkKind::SectionEnd: return "SectionEnd";
        case ChunkKind::Declaration: return "Declaration";
        case ChunkKind::GroupDeclaration: return "GroupDeclaration";
        case ChunkKind::StructEnd: return "StructEnd";
        case ChunkKind::ContainerIndex: return "ContainerIndex";
        case ChunkKind::ContainerPadding: return "ContainerPadding";
        case ChunkKind::Container: return "Container";
        case ChunkKind::SubContainer: return "SubContainer";
        case ChunkKind::PropString: return "PropString";
        case ChunkKind::PropInt: return "PropInt";
        case ChunkKind::PropFloat: return "PropFloat";
    }
    return "?";
}

Result<DataType> datatype_from_tag(std::uint32_t tag) {
    switch (tag) {
        case 0: return DataType::None;
        case 1: return DataType::Int8;
        case 2: return DataType::String;
        case 3: return DataType::Array;
        case 5: return DataType::Int32;
        case 11: return DataType::Float64;
        case 12: return DataType::Complex;
        case 16: return DataType::Struct;
        default: return ParseError{format_message("unknown datatype tag {}", tag)};
    }
}

std::string_view datatype_name(DataType type) {
    switch (type) {
        case DataType::None: return "None";
        case DataType::Int8: return "Int8";
        case DataType::String: return "String";
        case DataType::Array: return "Array";
        case DataType::Int32: return "Int32";
        case DataType::Float64: return "Float64";
        case DataType::Complex: return "Complex";
        case DataType::Struct: return "Struct";
    }
    return "?";
}

}  // namespace karvo
