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

// Id to position, for the tables that every declaration goes into: open
// addressing in two flat arrays, no allocation per id.
class IdIndex {
public:
    // The position of `id`, or kNone.
    std::uint32_t find(std::uint32_t id) const {
        if (size_ == 0) return kNone;
        for (std::size_t at = IdHash{}(id) & mask_;; at = (at + 1) & mask_) {
            if (positions_[at] == kNone) return kNone;
            if (ids_[at] == id) return positions_[at];
        }
    }
    // Room for `n` ids in all without growing.
    void reserve(std::size_t n) {
        std::size_t capacity = 64;
        while (capacity < 2 * n) capacity *= 2;
        if (capacity > positions_.size()) rehash(capacity);
    }
    // Adds `id` at `position` unless present; returns its position.
    std::uint32_t insert(std::uint32_t id, std::uint32_t position) {
        if (2 * (size_ + 1) > positions_.size()) grow();
        for (std::size_t at = IdHash{}(id) & mask_;; at = (at + 1) & mask_) {
            if (positions_[at] == kNone) {
                ids_[at] = id;
                positions_[at] = position;
                ++size_;
                return position;
            }
            if (ids_[at] == id) return positions_[at];
        }
    }
    static constexpr std::uint32_t kNone = UINT32_MAX;

private:
    void grow() { rehash(positions_.empty() ? 64 : 2 * positions_.size()); }
    void rehash(std::size_t capacity) {
        std::vector<std::uint32_t> ids = std::move(ids_), positions = std::move(positions_);
        ids_.assign(capacity, 0);
        positions_.assign(capacity, kNone);
        mask_ = capacity - 1;
        size_ = 0;
        for (std::size_t i = 0; i < positions.size(); ++i)
            if (positions[i] != kNone) insert(ids[i], positions[i]);
    }

    std::vector<std::uint32_t> ids_;
    std::vector<std::uint32_t> positions_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

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

// The declared sweeps and traces by id, in declaration order. A later
// declaration of an id replaces the earlier one (in its place). Records are
// taken out once each, in the order the caller needs them.
class SignalTable {
public:
    struct Entry {
        std::uint32_t id;
        bool taken;
        SignalRecord record;
    };

    void insert_or_assign(std::uint32_t id, SignalRecord&& record) { declare(id) = std::move(record); }
    // The record of `id`, empty: a new entry, or the earlier declaration's
    // entry emptied in its place.
    SignalRecord& declare(std::uint32_t id) {
        const auto next = static_cast<std::uint32_t>(entries_.size());
        const std::uint32_t at = index_.insert(id, next);
        if (at == next) {
            Entry& made = entries_.emplace_back();
            made.id = id;
            return made.record;
        }
        entries_[at].taken = false;
        entries_[at].record = SignalRecord();
        return entries_[at].record;
    }
    // Room for `n` more records without moving the others.
    void reserve_more(std::size_t n) {
        entries_.reserve(entries_.size() + n);
        index_.reserve(entries_.size() + n);
    }
    SignalRecord* find(std::uint32_t id) {
        const std::uint32_t at = index_.find(id);
        return at == IdIndex::kNone ? nullptr : &entries_[at].record;
    }
    const SignalRecord* find(std::uint32_t id) const {
        const std::uint32_t at = index_.find(id);
        return at == IdIndex::kNone ? nullptr : &entries_[at].record;
    }
    // Marks the record of `id` taken and returns it; null when there is
    // none, or it was taken before.
    SignalRecord* take(std::uint32_t id) {
        const std::uint32_t at = index_.find(id);
        if (at == IdIndex::kNone || entries_[at].taken) return nullptr;
        entries_[at].taken = true;
        return &entries_[at].record;
    }
    std::size_t size() const { return entries_.size(); }
    std::vector<Entry>::iterator begin() { return entries_.begin(); }
    std::vector<Entry>::iterator end() { return entries_.end(); }
    std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
    std::vector<Entry>::const_iterator end() const { return entries_.end(); }

private:
    std::vector<Entry> entries_;
    IdIndex index_;
};

// A group of the SWEEP or TRACE section. Its members, nested groups flattened,
// stand contiguously in sweep_ids or trace_ids: [first, last).
struct GroupRecord {
    bool in_sweeps = false;
    std::size_t first = 0;
    std::size_t last = 0;
};

// The VALUE layout chosen by the file's first word.
enum class ValueLayout : std::uint8_t { Empty, Swept, Windowed, NonSwept, GroupedSwept };

// Where a file's sampled body (swept, grouped swept or windowed) lies: its
// first byte and the end of its content, so that it can be read again.
struct BodyLocation {
    ValueLayout layout = ValueLayout::Empty;
    std::uint64_t start = 0;
    std::uint64_t end = 0;

    bool sampled() const {
        return layout == ValueLayout::Swept || layout == ValueLayout::GroupedSwept ||
               layout == ValueLayout::Windowed;
    }
};

struct SignalCatalog {
    std::vector<std::uint32_t> sweep_ids;
    std::vector<std::uint32_t> trace_ids;
    PackedValues values;
    SignalTable signals;
    IdMap<GroupRecord> groups;
};

}  // namespace karvo
