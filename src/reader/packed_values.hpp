// Non-swept values, packed one after another in file order into byte chunks.
// Operating-point files hold hundreds of thousands of values, nearly all
// structs of numbers: an allocation per value and member took several times
// the file's size, and stood beside the Python objects made from it. Packed,
// they take about the file's size, and a chunk can be freed as soon as its
// values have become objects.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "reader/struct_members.hpp"
#include "types/properties.hpp"

namespace karvo {

// Property lists of type definitions are shared by every signal and value of
// that type: a file may declare tens of thousands of traces of one type.
using SharedProperties = std::shared_ptr<const PropertyList>;

class PackedValues {
public:
    enum class Kind : std::uint8_t { Int, Float, Complex, String, Struct, Array };

    // The kind a value of this datatype is kept as (an array's elements take
    // their own kind); false for the datatypes that hold no value.
    static bool kind_of(DataType type, Kind& kind) {
        switch (type) {
            case DataType::Int8:
            case DataType::Int32: kind = Kind::Int; return true;
            case DataType::Float64: kind = Kind::Float; return true;
            case DataType::Complex: kind = Kind::Complex; return true;
            case DataType::String: kind = Kind::String; return true;
            case DataType::Array: kind = Kind::Array; return true;
            default: return false;
        }
    }

    // Writing. A value is its head, then its payload: one scalar, an array,
    // or for a struct one per member in member order, each put as its
    // member's kind; then its own properties (end). `type_properties` are its
    // type's. An array is begin_array, its elements, then end_array with
    // their count.
    void begin(std::string_view name, Kind kind, const StructMembers* members = nullptr,
               const SharedProperties& type_properties = nullptr) {
        // A value starts a new chunk once the last is full, and then stays in it.
        if (chunks_.empty() || chunks_.back().size() >= kChunkBytes) {
            chunks_.emplace_back();
            chunks_.back().reserve(kChunkBytes + kChunkSlack);
        }
        put_u32(static_cast<std::uint32_t>(name.size()));
        chunks_.back().push_back(static_cast<unsigned char>(kind));
        if (kind == Kind::Struct) put_u32(shared_index(structs_, struct_indices_, *members));
        put_u32(type_properties ? shared_index(shared_lists_, shared_list_indices_, type_properties) : kNoList);
        put_bytes(name.data(), name.size());
        ++count_;
    }
    void end(PropertyList&& own) {
        if (own.empty()) return put_u32(kNoList);
        if (own_lists_.size() == kNoList) throw std::bad_alloc();
        put_u32(static_cast<std::uint32_t>(own_lists_.size()));
        own_lists_.push_back(std::move(own));
    }
    void put_int(std::int64_t v) { put_bytes(&v, 8); }
    void put_float(double v) { put_bytes(&v, 8); }
    void put_complex(double re, double im) {
        put_bytes(&re, 8);
        put_bytes(&im, 8);
    }
    // Strings are at most 2^32 - 1 bytes long in the file.
    void put_string(std::string_view text) {
        put_u32(static_cast<std::uint32_t>(text.size()));
        put_bytes(text.data(), text.size());
    }

    // Where the count of the array begun here goes: text files give it only
    // after the last element.
    std::size_t begin_array(Kind element) {
        chunks_.back().push_back(static_cast<unsigned char>(element));
        const std::size_t at = chunks_.back().size();
        put_bytes(&kZeroCount, 8);
        return at;
    }
    void end_array(std::size_t at, std::uint64_t count) { std::memcpy(chunks_.back().data() + at, &count, 8); }

    std::size_t size() const { return count_; }

    // Starts the first chunk with room for `bytes` instead of a megabyte:
    // a file of many short lists of values (a raw file of operating points)
    // would otherwise take a megabyte per list. It grows as values come.
    void reserve(std::size_t bytes) {
        if (!chunks_.empty()) return;
        chunks_.emplace_back();
        chunks_.back().reserve(bytes);
    }

    // Walks the values in the order they were written, taking each part of a
    // value in the order it was put. A reader may free each chunk once it
    // has moved on to the next.
    class Reader {
    public:
        explicit Reader(const PackedValues& values) : values_(values) {}
        // A reader that frees each chunk once it has moved on to the next.
        Reader(PackedValues& values, bool free_read_chunks)
            : values_(values), owner_(free_read_chunks ? &values : nullptr) {}

        bool at_end() {
            next_chunk_if_done();
            return p_ == end_;
        }

        struct Head {
            std::string_view name;
            Kind kind;
            const std::vector<MemberDef>* members;  // Struct only
            const SharedProperties* type_properties;  // or null
        };
        Head head() {
            next_chunk_if_done();
            Head h{};
            const std::uint32_t length = take_u32();
            h.kind = static_cast<Kind>(*p_++);
            h.members = h.kind == Kind::Struct ? values_.structs_[take_u32()].get() : nullptr;
            const std::uint32_t list = take_u32();
            h.type_properties = list == kNoList ? nullptr : &values_.shared_lists_[list];
            h.name = take_text(length);
            return h;
        }
        // After the payload: the value's own properties, or null.
        const PropertyList* take_own_properties() {
            const std::uint32_t list = take_u32();
            return list == kNoList ? nullptr : &values_.own_lists_[list];
        }
        struct ArrayHead {
            Kind element;
            std::uint64_t count;
        };
        ArrayHead take_array_head() {
            ArrayHead a{};
            a.element = static_cast<Kind>(*p_++);
            a.count = take<std::uint64_t>();
            return a;
        }
        std::int64_t take_int() { return take<std::int64_t>(); }
        double take_float() { return take<double>(); }
        std::string_view take_string() { return take_text(take_u32()); }

    private:
        // Values never straddle chunks (see begin): at a value's start only.
        void next_chunk_if_done() {
            while (p_ == end_ && next_ < values_.chunks_.size()) {
                if (owner_ != nullptr && next_ != 0) owner_->chunks_[next_ - 1] = std::vector<unsigned char>();
                const std::vector<unsigned char>& chunk = values_.chunks_[next_++];
                p_ = chunk.data();
                end_ = p_ + chunk.size();
            }
        }
        template <typename T>
        T take() {
            T v;
            std::memcpy(&v, p_, sizeof v);
            p_ += sizeof v;
            return v;
        }
        std::uint32_t take_u32() { return take<std::uint32_t>(); }
        std::string_view take_text(std::uint32_t length) {
            std::string_view text(reinterpret_cast<const char*>(p_), length);
            p_ += length;
            return text;
        }

        const PackedValues& values_;
        PackedValues* const owner_ = nullptr;
        std::size_t next_ = 0;  // index of the chunk after the one being read
        const unsigned char* p_ = nullptr;
        const unsigned char* end_ = nullptr;
    };

private:
    // About a megabyte per chunk, with room for the value that crosses it.
    static constexpr std::size_t kChunkBytes = 1 << 20;
    static constexpr std::size_t kChunkSlack = 64 << 10;

    void put_bytes(const void* p, std::size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        chunks_.back().insert(chunks_.back().end(), b, b + n);
    }

    void put_u32(std::uint32_t v) { put_bytes(&v, 4); }

    static constexpr std::uint32_t kNoList = UINT32_MAX;
    static constexpr std::uint64_t kZeroCount = 0;

    // Values of one type share its member list and its properties; most
    // files use a few types. Each shared object is kept once, by index.
    template <typename Shared>
    static std::uint32_t shared_index(std::vector<Shared>& table, std::unordered_map<const void*, std::uint32_t>& at,
                                      const Shared& shared) {
        if (!table.empty() && table.back() == shared) return static_cast<std::uint32_t>(table.size() - 1);
        if (table.size() >= kNoList) throw std::bad_alloc();
        auto [it, added] = at.try_emplace(shared.get(), static_cast<std::uint32_t>(table.size()));
        if (added) table.push_back(shared);
        return it->second;
    }

    std::vector<std::vector<unsigned char>> chunks_;
    std::size_t count_ = 0;
    std::vector<StructMembers> structs_;
    std::unordered_map<const void*, std::uint32_t> struct_indices_;
    std::vector<SharedProperties> shared_lists_;
    std::unordered_map<const void*, std::uint32_t> shared_list_indices_;
    std::vector<PropertyList> own_lists_;
};

}  // namespace karvo
