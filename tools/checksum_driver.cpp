// Reads psfbin files (and SPICE raw files, by their .raw suffix) with the C++
// reader alone and prints what each holds, as lines that builds for
// different processors and systems must print alike:
//
//   file PATH
//   plot runs [START...]                    (a raw file: each plot, then its lines as below)
//   error KIND MESSAGE                      (a file that does not read)
//   header COUNT FNV                        (its properties, names and values)
//   sweep|trace NAME POINTS WORDS FNV       (FNV-1a over the float64 samples)
//   value NAME KIND FNV                     (non-swept values, struct members included)
//
// Paths come from standard input as UTF-8, one a line, so that names outside
// the system's code page reach Windows too. tests/test_portability.py builds
// it for several targets and compares the outputs.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "reader/raw_parse.hpp"
#include "reader/read_file.hpp"

namespace {

class Fnv1a {
public:
    void add(const void* data, std::size_t n) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < n; ++i) hash_ = (hash_ ^ p[i]) * 0x100000001B3ULL;
    }
    void add(std::string_view text) {
        const std::uint64_t n = text.size();
        add(&n, sizeof n);
        add(text.data(), text.size());
    }
    template <typename T>
    void add_scalar(T v) {
        static_assert(std::is_arithmetic_v<T>);
        add(&v, sizeof v);
    }
    std::uint64_t value() const { return hash_; }

private:
    std::uint64_t hash_ = 0xCBF29CE484222325ULL;
};

const char* kind_name(karvo::ErrorKind kind) {
    switch (kind) {
        case karvo::ErrorKind::Malformed: return "malformed";
        case karvo::ErrorKind::FileChanged: return "changed";
        case karvo::ErrorKind::OutOfMemory: return "memory";
        case karvo::ErrorKind::OpenFailed: return "open";
        case karvo::ErrorKind::MapFailed: return "map";
        case karvo::ErrorKind::Interrupted: return "interrupted";
    }
    return "?";
}

void print_properties(const karvo::PropertyList& list) {
    Fnv1a h;
    for (const karvo::Property& p : list) {
        h.add(p.name);
        h.add_scalar(static_cast<std::uint64_t>(p.value.index()));
        std::visit(
            [&](const auto& v) {
                if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string>) h.add(v);
                else h.add_scalar(v);
            },
            p.value);
    }
    std::printf("header %" PRIu64 " %016" PRIx64 "\n", static_cast<std::uint64_t>(list.size()), h.value());
}

void print_signal(const char* kind, const karvo::SignalRecord& record) {
    Fnv1a h;
    const karvo::SampleBuffer& samples = record.data.samples;
    h.add(samples.data(), samples.length() * sizeof(double));
    std::printf("%s %s %" PRIu64 " %" PRIu64 " %016" PRIx64 "\n", kind, record.name.c_str(), record.points,
                record.data.point_words(), h.value());
}

// A kind this walk does not know ends the walk over the file's values (its
// payload's size is unknown here): "value NAME KIND ?" says so.
void print_values(karvo::PackedValues& values) {
    using Kind = karvo::PackedValues::Kind;
    karvo::PackedValues::Reader reader(values);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const karvo::PackedValues::Reader::Head head = reader.head();
        Fnv1a h;
        const auto take = [&](Kind kind, auto& self) -> bool {
            switch (kind) {
                case Kind::Int: h.add_scalar(reader.take_int()); return true;
                case Kind::Float: h.add_scalar(reader.take_float()); return true;
                case Kind::Complex:
                    h.add_scalar(reader.take_float());
                    h.add_scalar(reader.take_float());
                    return true;
                case Kind::String: h.add(reader.take_string()); return true;
                case Kind::Array: {
                    const auto array = reader.take_array_head();
                    h.add_scalar(static_cast<std::uint64_t>(array.count));
                    for (std::uint64_t k = 0; k < array.count; ++k)
                        if (!self(array.element, self)) return false;
                    return true;
                }
                default: return false;
            }
        };
        bool known = true;
        if (head.kind != Kind::Struct) {
            known = take(head.kind, take);
        } else {
            for (const karvo::MemberDef& m : *head.members) {
                Kind kind = Kind::Int;
                karvo::PackedValues::kind_of(m.type, kind);
                h.add(m.name);
                known = known && take(kind, take);
            }
        }
        const int kind = static_cast<int>(head.kind);
        const int length = static_cast<int>(head.name.size());
        if (!known) {
            std::printf("value %.*s %d ?\n", length, head.name.data(), kind);
            return;
        }
        if (const karvo::PropertyList* own = reader.take_own_properties())
            h.add_scalar(static_cast<std::uint64_t>(own->size()));
        std::printf("value %.*s %d %016" PRIx64 "\n", length, head.name.data(), kind, h.value());
    }
}

void print_contents(karvo::FileContents& contents) {
    print_properties(contents.header);
    for (const karvo::SignalRecord* r : contents.sweeps) print_signal("sweep", *r);
    for (const karvo::SignalRecord* r : contents.traces) print_signal("trace", *r);
    print_values(contents.values);
}

bool is_raw(const std::string& path) { return path.size() > 4 && path.compare(path.size() - 4, 4, ".raw") == 0; }

}  // namespace

int main() {
    std::string path;
    while (std::getline(std::cin, path)) {
        if (!path.empty() && path.back() == '\r') path.pop_back();
        std::printf("file %s\n", path.c_str());
        if (is_raw(path)) {
            auto plots = karvo::read_raw_file(path);
            if (!plots) {
                std::printf("error %s %s\n", kind_name(plots.error().kind), plots.error().message.c_str());
                continue;
            }
            for (karvo::RawPlot& plot : plots.value()) {
                std::printf("plot runs");
                for (std::uint64_t start : plot.run_starts) std::printf(" %" PRIu64, start);
                std::printf("\n");
                print_contents(plot.contents);
            }
            continue;
        }
        auto read = karvo::read_file(path);
        if (!read) {
            std::printf("error %s %s\n", kind_name(read.error().kind), read.error().message.c_str());
            continue;
        }
        print_contents(read.value());
    }
    return 0;
}
