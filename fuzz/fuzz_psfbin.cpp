// libFuzzer target over the pure C++ reader. Every input must parse or end in
// a ParseError; the sanitizers report everything else, and the checks below
// abort on results that the extension could not turn into sane objects.
//
// Built three times by build.sh: as is, the input is the whole file; with
// KARVO_FUZZ_APPEND_FOOTER the input gets a valid footer appended, so that
// mutations are not all spent on the footer check and reach the sections;
// with KARVO_FUZZ_TEXT the input is PSF ASCII text for the text reader.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "reader/read_file.hpp"
#include "reader/text_parse.hpp"

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "karvo fuzz: broken result: %s\n", what);
    std::abort();
}

// Reads every sample word (so ASan sees any out-of-bounds buffer) and checks the
// shape that make_array relies on. Returns the number of sample words.
std::uint64_t check_signal(const karvo::SignalRecord& record, double& sink) {
    const karvo::SampleData& data = record.data;
    const std::uint64_t words = data.point_words();
    if (words == 0) broken("a signal with zero words per point");
    if (data.kind == karvo::SampleData::Kind::Struct) {
        if (!data.members || data.members->empty()) broken("a struct signal without members");
        if (data.members->size() != data.member_count) broken("struct member count disagrees with its names");
        for (const karvo::MemberDef& m : *data.members)
            if (m.type != karvo::DataType::Float64) broken("a swept struct member that is not Float64");
    }
    const karvo::SampleBuffer& samples = data.samples;
    if (samples.length() > samples.capacity()) broken("sample buffer longer than its storage");
    if (samples.length() % words != 0) broken("sample buffer is not a whole number of points");
    if (samples.length() != 0 && samples.data() == nullptr) broken("samples without storage");
    for (std::size_t i = 0; i < samples.length(); ++i) sink += samples.data()[i];
    return samples.length();
}

// Walks the non-swept values as the Python layer does; returns the number of
// value nodes (values and struct members).
std::uint64_t check_values(karvo::PackedValues& values, std::uint64_t& text_bytes) {
    using Kind = karvo::PackedValues::Kind;
    karvo::PackedValues::Reader reader(values);
    std::uint64_t nodes = 0;
    auto take_scalar = [&](Kind kind, auto& self) -> void {
        switch (kind) {
            case Kind::Int: reader.take_int(); break;
            case Kind::Float: reader.take_float(); break;
            case Kind::Complex:
                reader.take_float();
                reader.take_float();
                break;
            case Kind::String: text_bytes += reader.take_string().size(); break;
            case Kind::Array: {
                const auto array = reader.take_array_head();
                if (array.element == Kind::Array || array.element == Kind::Struct) broken("an array of arrays or structs");
                for (std::uint64_t i = 0; i < array.count; ++i) {
                    self(array.element, self);
                    ++nodes;
                }
                break;
            }
            case Kind::Struct: broken("a nested struct value");
        }
    };
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (reader.at_end()) broken("fewer packed values than counted");
        const karvo::PackedValues::Reader::Head head = reader.head();
        text_bytes += head.name.size();
        ++nodes;
        if (head.kind != Kind::Struct) {
            take_scalar(head.kind, take_scalar);
        } else {
            if (head.members == nullptr || head.members->empty()) broken("a struct value without members");
            for (const karvo::MemberDef& m : *head.members) {
                Kind kind;
                if (!karvo::PackedValues::kind_of(m.type, kind)) broken("a struct value member that holds no value");
                take_scalar(kind, take_scalar);
                ++nodes;
            }
        }
        if (const karvo::PropertyList* own = reader.take_own_properties()) {
            if (own->empty()) broken("an empty property list kept for a value");
            for (const karvo::Property& p : *own) text_bytes += p.name.size();
        }
    }
    if (!reader.at_end()) broken("packed values left over after the last value");
    return nodes;
}

#ifdef KARVO_FUZZ_TEXT
// Every value node, sample word and string takes at least a character and a
// separator of the text.
constexpr std::uint64_t kBytesPerNode = 2;
constexpr std::uint64_t kBytesPerWord = 2;
#else
constexpr std::uint64_t kBytesPerNode = 4;
constexpr std::uint64_t kBytesPerWord = 8;
#endif

void run(const unsigned char* bytes, std::uint64_t len) {
#ifdef KARVO_FUZZ_TEXT
    auto parsed = karvo::parse_psf_text(bytes, len);
#else
    auto parsed = karvo::parse_psfbin(bytes, len);
#endif
    if (!parsed) {
        const karvo::ParseError& error = parsed.error();
        if (error.message.empty()) broken("an empty error message");
        // The input cannot change under the reader here: passes that disagree
        // about the same bytes are a reader bug.
        if (error.kind == karvo::ErrorKind::FileChanged) broken(error.message.c_str());
        if (error.kind != karvo::ErrorKind::Malformed && error.kind != karvo::ErrorKind::OutOfMemory)
            broken("a parse error of a kind that only files or callers give");
        return;
    }
    karvo::ParseResult& result = parsed.value();
    karvo::SignalCatalog& catalog = result.catalog;

    std::uint64_t text_bytes = 0;
    const std::uint64_t values = check_values(catalog.values, text_bytes);
    // Every value node consumed bytes of its own, and text (names included) is
    // copied once.
    if (values > len / kBytesPerNode + 1) broken("more value nodes than the file has room for");
    if (text_bytes > len) broken("more value text than the file has bytes");

    auto sweeps_resolved = karvo::resolve_signals(catalog.sweep_ids, catalog.signals);
    if (!sweeps_resolved) return;
    auto traces_resolved = karvo::resolve_signals(catalog.trace_ids, catalog.signals);
    if (!traces_resolved) return;
    const std::vector<karvo::SignalRecord>& sweeps = sweeps_resolved.value();
    const std::vector<karvo::SignalRecord>& traces = traces_resolved.value();

    double sink = 0;
    std::uint64_t words = 0;
    for (const auto& r : sweeps) words += check_signal(r, sink);
    for (const auto& r : traces) words += check_signal(r, sink);
    // Each sample word is read from bytes of its own: no file yields more
    // samples than it holds.
    if (words > len / kBytesPerWord + 1) broken("more sample words than the file holds");
    volatile double keep = sink;
    (void)keep;

#ifdef KARVO_FUZZ_TEXT
    // A catalog-only read counts the same points and keeps no samples.
    karvo::ReadOptions catalog_only;
    catalog_only.samples = false;
    auto counted = karvo::parse_psf_text(bytes, len, catalog_only);
    if (!counted) broken("a catalog-only read failed where the full read did not");
    karvo::SignalCatalog& counted_catalog = counted.value().catalog;
    std::size_t k = 0;
    for (const auto* ids : {&counted_catalog.sweep_ids, &counted_catalog.trace_ids}) {
        for (std::uint32_t id : *ids) {
            const karvo::SignalRecord& r = counted_catalog.signals.at(id);
            const karvo::SignalRecord& full = k < sweeps.size() ? sweeps[k] : traces[k - sweeps.size()];
            if (r.points != full.points) broken("a catalog-only read counted other points");
            if (r.data.samples.length() != 0) broken("a catalog-only read kept samples");
            if (full.data.samples.length() != full.points * full.data.point_words())
                broken("samples and counted points disagree");
            ++k;
        }
    }
#endif
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
#ifdef KARVO_FUZZ_APPEND_FOOTER
    // An allocation of exactly the file's size, so ASan catches a read past its end.
    const std::size_t len = size + 12;
    std::unique_ptr<unsigned char[]> file(new unsigned char[len]);
    if (size != 0) std::memcpy(file.get(), data, size);
    std::memcpy(file.get() + size, "Clarissa\0\0\0\0", 12);
    run(file.get(), len);
#else
    run(data, size);
#endif
    return 0;
}
