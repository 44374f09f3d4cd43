// What the SWEEP, TRACE and VALUE readers produce: declared signals with their
// samples, and non-swept values.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "reader/packed_values.hpp"
#include "reader/read_context.hpp"
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
    // Adds `id` at `position` unless present; returns its position. A full
    // table doubles.
    Result<std::uint32_t> insert(std::uint32_t id, std::uint32_t position, ReadContext& ctx) {
        if (2 * (size_ + 1) > positions_.size())
            KARVO_TRY(rehash(positions_.empty() ? 64 : 2 * positions_.size(), ctx));
        return place(id, position);
    }
    // Room for `n` ids in all without growing.
    Status reserve(std::size_t n, ReadContext& ctx) {
        std::size_t capacity = 64;
        while (capacity < 2 * n) capacity *= 2;
        if (capacity > positions_.size()) KARVO_TRY(rehash(capacity, ctx));
        return {};
    }
    static constexpr std::uint32_t kNone = UINT32_MAX;

private:
    std::uint32_t place(std::uint32_t id, std::uint32_t position) {
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

    // Places every id again in a table of `capacity` slots: for millions of
    // ids that is a long stretch, so `ctx` is asked between slices of it
    // whether to stop.
    Status rehash(std::size_t capacity, ReadContext& ctx) {
        static constexpr std::size_t kSlice = 4096;
        std::unique_ptr<std::uint32_t[]> ids = std::move(ids_);
        std::vector<std::uint32_t> positions = std::move(positions_);
        // Only slots with a position hold an id: the ids need no filling.
        ids_.reset(new std::uint32_t[capacity]);
        KARVO_TRY(fill_in_slices(positions_, capacity, kNone, ctx));
        mask_ = capacity - 1;
        size_ = 0;
        for (std::size_t i = 0; i < positions.size(); ++i) {
            if (positions[i] != kNone) place(ids[i], positions[i]);
            // Each id lands on a line of its own.
            if (i % kSlice == kSlice - 1) KARVO_TRY(ctx.tick(kSlice * 64));
        }
        return {};
    }

    std::unique_ptr<std::uint32_t[]> ids_;
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
//
// The entries stay where they are made, in blocks of a few thousand: a file
// may declare millions, and a doubling array would move hundreds of
// megabytes at once, with no look at whether to stop.
class SignalTable {
public:
    struct Entry {
        std::uint32_t id;
        bool taken;
        SignalRecord record;
    };

    Status insert_or_assign(std::uint32_t id, SignalRecord&& record, ReadContext& ctx) {
        KARVO_ASSIGN(SignalRecord * made, declare(id, ctx));
        *made = std::move(record);
        return {};
    }
    // The record of `id`, empty, to be filled in place: a new entry, or the
    // earlier declaration's entry emptied where it stands.
    Result<SignalRecord*> declare(std::uint32_t id, ReadContext& ctx) {
        const auto next = static_cast<std::uint32_t>(size_);
        KARVO_ASSIGN(std::uint32_t at, index_.insert(id, next, ctx));
        if (at != next) {
            entry(at).taken = false;
            entry(at).record = SignalRecord();
            return &entry(at).record;
        }
        if (blocks_.empty() || blocks_.back().size() == kBlock) {
            blocks_.emplace_back();
            // The first block grows as a small file needs; the others are whole.
            if (blocks_.size() > 1) blocks_.back().reserve(kBlock);
        }
        Entry& made = blocks_.back().emplace_back();
        made.id = id;
        made.taken = false;
        ++size_;
        lowest_ = id < lowest_ ? id : lowest_;
        highest_ = id > highest_ ? id : highest_;
        KARVO_TRY(ctx.tick(sizeof(Entry)));
        return &made.record;
    }
    // Room in the id index for `n` more records (the entries of whole
    // blocks never move), and in the first block up to a whole block: a
    // small file's entries, grown one at a time, were moved as it doubled
    // (a read of a dc sweep of 1432 signals took 6.1 million instructions,
    // now 5.0).
    Status reserve_more(std::size_t n, ReadContext& ctx) {
        if (blocks_.size() <= 1) {
            if (blocks_.empty()) blocks_.emplace_back();
            blocks_.back().reserve(std::min(size_ + n, kBlock));
        }
        return index_.reserve(size_ + n, ctx);
    }
    SignalRecord* find(std::uint32_t id) {
        const std::uint32_t at = index_.find(id);
        return at == IdIndex::kNone ? nullptr : &entry(at).record;
    }
    const SignalRecord* find(std::uint32_t id) const {
        const std::uint32_t at = index_.find(id);
        return at == IdIndex::kNone ? nullptr : &blocks_[at / kBlock][at % kBlock].record;
    }
    // Marks the record of `id` taken and returns it; null when there is
    // none, or it was taken before.
    SignalRecord* take(std::uint32_t id) {
        const std::uint32_t at = index_.find(id);
        if (at == IdIndex::kNone || entry(at).taken) return nullptr;
        entry(at).taken = true;
        return &entry(at).record;
    }
    // The same, for callers that take the records in about the order they
    // were declared: `next` is where the last one taken stood, plus one.
    // The entry there is looked at before the id index, whose lookups land
    // anywhere in memory.
    SignalRecord* take_in_turn(std::uint32_t id, std::size_t& next) {
        if (next < size_) {
            Entry& e = entry(static_cast<std::uint32_t>(next));
            // Ids stand once in the entries: a declaration again takes the first one's place.
            if (e.id == id && !e.taken) {
                e.taken = true;
                ++next;
                return &e.record;
            }
        }
        const std::uint32_t at = index_.find(id);
        if (at == IdIndex::kNone || entry(at).taken) return nullptr;
        entry(at).taken = true;
        next = std::size_t{at} + 1;
        return &entry(at).record;
    }
    std::size_t size() const { return size_; }
    // The lowest and the highest id declared (when any is).
    std::uint32_t lowest_id() const { return lowest_; }
    std::uint32_t highest_id() const { return highest_; }

    // Frees the last block of entries (kBlock of them at most); false when
    // none was left. A caller that frees a table of millions of records this
    // way can look at Ctrl-C between blocks.
    bool release_block() {
        index_ = IdIndex();  // no id is found from here on
        if (blocks_.empty()) return false;
        size_ -= blocks_.back().size();
        blocks_.pop_back();
        return true;
    }
    static constexpr std::size_t kBlock = 4096;

    // The entries in declaration order.
    template <typename Blocks, typename Value>
    class Iterator {
    public:
        Iterator(Blocks* blocks, std::size_t at) : blocks_(blocks), at_(at) {}
        Value& operator*() const { return (*blocks_)[at_ / kBlock][at_ % kBlock]; }
        Value* operator->() const { return &**this; }
        Iterator& operator++() {
            ++at_;
            return *this;
        }
        Iterator operator++(int) {
            Iterator was = *this;
            ++at_;
            return was;
        }
        bool operator==(const Iterator& o) const { return at_ == o.at_; }
        bool operator!=(const Iterator& o) const { return at_ != o.at_; }

    private:
        Blocks* blocks_;
        std::size_t at_;
    };
    using Blocks = std::vector<std::vector<Entry>>;
    Iterator<Blocks, Entry> begin() { return {&blocks_, 0}; }
    Iterator<Blocks, Entry> end() { return {&blocks_, size_}; }
    Iterator<const Blocks, const Entry> begin() const { return {&blocks_, 0}; }
    Iterator<const Blocks, const Entry> end() const { return {&blocks_, size_}; }

private:
    Entry& entry(std::uint32_t at) { return blocks_[at / kBlock][at % kBlock]; }

    Blocks blocks_;
    std::size_t size_ = 0;
    std::uint32_t lowest_ = UINT32_MAX;
    std::uint32_t highest_ = 0;
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
