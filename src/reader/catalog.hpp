// What the SWEEP, TRACE and VALUE readers produce: declared signals with their
// samples, and non-swept values.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "reader/packed_values.hpp"
#include "reader/sample_buffer.hpp"
#include "reader/struct_members.hpp"
#include "types/chunks.hpp"
#include "types/properties.hpp"

namespace karvo {

// Maps keyed by ids from the file. Under the identity hash, ids that are all
// multiples of a table's bucket count share one bucket and every lookup walks
// them all: a 1 MB file of such declarations took seconds. Each id is mixed
// with a seed drawn once per process from the clock and the address-space
// layout, so no choice of ids collides on purpose.
inline const std::uint64_t kIdHashSeed = [] {
    static const int anchor = 0;
    auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return (now * 0x9E3779B97F4A7C15ULL) ^ reinterpret_cast<std::uintptr_t>(&anchor);
}();

struct IdHash {
    std::size_t operator()(std::uint32_t id) const noexcept {
        std::uint64_t x = (std::uint64_t{id} ^ kIdHashSeed) * 0xBF58476D1CE4E5B9ULL;
        return static_cast<std::size_t>(x ^ (x >> 31));
    }
};

template <typename T>
using IdMap = std::unordered_map<std::uint32_t, T, IdHash>;

// The list as shared, or null when it is empty.
inline SharedProperties share_properties(PropertyList&& list) {
    if (list.empty()) return nullptr;
    return std::make_shared<const PropertyList>(std::move(list));
}

// A type id (or, in text, a type name) stands for a scalar datatype, an array
// of scalars or a flat struct.
struct TypeKind {
    bool is_struct = false;
    DataType scalar = DataType::None;   // when !is_struct
    DataType element = DataType::None;  // when scalar is Array: the element datatype
    std::uint64_t length = kAnyLength;  // when scalar is Array: the declared element count
    StructMembers members;              // when is_struct; never empty
    SharedProperties properties;        // the definition's list, or null
};

using TypeTable = IdMap<TypeKind>;

struct SampleData {
    enum class Kind : std::uint8_t { Float64, Complex, Struct };
    Kind kind = Kind::Float64;
    StructMembers members;           // Struct only: the member names, all Float64
    std::uint64_t member_count = 0;  // Struct only
    SampleBuffer samples;

    // float64 words per point.
    std::uint64_t point_words() const {
        return kind == Kind::Float64 ? 1 : kind == Kind::Complex ? 2 : member_count;
    }
};

struct SignalRecord {
    std::string name;
    SampleData data;
    SharedProperties type_properties;  // of its type, or null
    SharedProperties properties;       // of its own declaration, or null
    std::uint64_t points = 0;          // counted, also when its samples are not read
};

// A group of the SWEEP or TRACE section. Its members, nested groups flattened,
// stand contiguously in sweep_ids or trace_ids: [first, last).
struct GroupRecord {
    bool in_sweeps = false;
    std::size_t first = 0;
    std::size_t last = 0;
};

struct SignalCatalog {
    std::vector<std::uint32_t> sweep_ids;
    std::vector<std::uint32_t> trace_ids;
    PackedValues values;
    IdMap<SignalRecord> signals;
    IdMap<GroupRecord> groups;
};

}  // namespace karvo
