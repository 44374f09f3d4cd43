// libFuzzer target over the pure C++ reader. Every input must parse or end in
// a ParseError; the sanitizers report everything else, and the checks below
// abort on results that the extension could not turn into sane objects.
//
// Built three times by build.sh: as is, the input is the whole file; with
// KARVO_FUZZ_APPEND_FOOTER the input gets a valid footer appended, so that
// mutations are not all spent on the footer check and reach the sections;
// with KARVO_FUZZ_TEXT the input is PSF ASCII text for the text reader.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "reader/partial_body.hpp"
#include "reader/read_file.hpp"
#include "reader/sections.hpp"
#include "reader/signal_slots.hpp"
#include "reader/text_parse.hpp"
#include "reader/thread_pool.hpp"

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

// The reader under test, binary or text.
karvo::Result<karvo::ParseResult> parse(const unsigned char* bytes, std::uint64_t len,
                                        const karvo::ReadOptions& options = {}) {
#ifdef KARVO_FUZZ_TEXT
    return karvo::parse_psf_text(bytes, len, options);
#else
    return karvo::parse_psfbin(bytes, len, options);
#endif
}

// The lazy handle's road over the same bytes: the catalog without samples,
// then every other signal read again (a psfbin body with the catalog's
// counts, text by a parse that keeps only those). Both must agree with the
// whole read, bit for bit.
void check_partial_reads(const unsigned char* bytes, std::uint64_t len, const karvo::SignalCatalog& whole) {
    karvo::ReadOptions catalog_only;
    catalog_only.samples = false;
    auto parsed = parse(bytes, len, catalog_only);
    if (!parsed) {
        if (parsed.error().kind != karvo::ErrorKind::OutOfMemory) broken("the catalog fails where the whole read did not");
        return;
    }
    const karvo::ParseResult& result = parsed.value();
    std::vector<std::uint32_t> chosen;
    bool take = true;
    for (const auto& e : result.catalog.signals) {
        const karvo::SignalRecord* full = whole.signals.find(e.id);
        if (full == nullptr || full->points != e.record.points) broken("the catalog counts other points");
        if (e.record.data.samples.length() != 0) broken("the catalog keeps samples");
        if (take) chosen.push_back(e.id);
        take = !take;
    }
    std::sort(chosen.begin(), chosen.end());
    karvo::ReadOptions options;
    options.only = &chosen;
    std::vector<std::pair<std::uint32_t, const karvo::SampleBuffer*>> read;
    karvo::Result<karvo::ParseResult> again = karvo::ParseError{};
    std::optional<karvo::SignalSlots> slots;
    if (result.body.sampled()) {
        options.counted = true;
        karvo::ReadContext ctx(options);
        karvo::ByteCursor cursor(bytes, len);
        auto made = karvo::SignalSlots::make(result.catalog, ctx);
        if (!made) broken("indexing the declared signals failed");
        slots.emplace(std::move(made).value());
        karvo::Status walked = karvo::read_sampled_body(cursor, result.catalog, result.body, ctx, *slots);
        if (!walked) {
            if (walked.error().kind != karvo::ErrorKind::OutOfMemory) broken("a partial read fails where the whole read did not");
            return;
        }
        for (karvo::SignalSlot& slot : slots->all())
            if (slot.read) read.emplace_back(slot.id, &slot.samples);
    } else {
        again = parse(bytes, len, options);
        if (!again) {
            if (again.error().kind != karvo::ErrorKind::OutOfMemory) broken("a partial read fails where the whole read did not");
            return;
        }
        for (const auto& e : again.value().catalog.signals) {
            const bool wanted = std::binary_search(chosen.begin(), chosen.end(), e.id);
            if (!wanted && e.record.data.samples.length() != 0) broken("a partial read keeps samples not asked for");
            if (wanted) read.emplace_back(e.id, &e.record.data.samples);
        }
    }
    for (const auto& [id, mine] : read) {
        const karvo::SampleBuffer& theirs = whole.signals.find(id)->data.samples;
        if (mine->length() != theirs.length() ||
            (mine->length() != 0 && std::memcmp(mine->data(), theirs.data(), 8 * mine->length()) != 0))
            broken("a partial read gives other samples than the whole read");
    }
}

#ifndef KARVO_FUZZ_TEXT
void check_error_kind(const karvo::ParseError& error) {
    if (error.message.empty()) broken("an empty error message");
    if (error.kind == karvo::ErrorKind::FileChanged) broken(error.message.c_str());
    if (error.kind != karvo::ErrorKind::Malformed && error.kind != karvo::ErrorKind::OutOfMemory)
        broken("a parse error of a kind that only files or callers give");
}

// The first `cut` bytes of the file, read as a file without its trailer (in
// memory of exactly that size, so that ASan sees a read past the cut). What
// it gives must be a prefix of the whole read (`whole`, when that read
// succeeded): no signal has more points, every sample read again from the
// cut file equals the whole read's, and reading on from the cut's last
// whole point over the whole file counts exactly the whole read's points.
void check_cut(const unsigned char* bytes, std::uint64_t len, std::uint64_t cut, const karvo::SignalCatalog* whole) {
    std::unique_ptr<unsigned char[]> copy(new unsigned char[cut == 0 ? 1 : cut]);
    if (cut != 0) std::memcpy(copy.get(), bytes, cut);
    karvo::ReadOptions catalog_only;
    catalog_only.samples = false;
    auto partial = karvo::parse_psfbin_partial(copy.get(), cut, catalog_only);
    if (!partial) return check_error_kind(partial.error());
    const karvo::ParseResult& result = partial.value().parsed;
    if (result.body.end > cut || result.body.start > result.body.end) broken("a cut file's points end past the cut");
    if (!result.body.sampled()) return;

    karvo::ReadOptions options;
    options.counted = true;
    karvo::ReadContext ctx(options);
    auto made = karvo::SignalSlots::make(result.catalog, ctx);
    if (!made) return;
    karvo::SignalSlots slots = std::move(made).value();
    karvo::ByteCursor cursor(copy.get(), cut);
    karvo::Status walked = karvo::read_sampled_body(cursor, result.catalog, result.body, ctx, slots);
    if (!walked) {
        if (walked.error().kind != karvo::ErrorKind::OutOfMemory) broken("a cut file's points fail to read again");
        return;
    }
    std::vector<std::uint32_t> ids;
    for (karvo::SignalSlot& slot : slots.all()) {
        ids.push_back(slot.id);
        if (whole == nullptr) continue;
        const karvo::SignalRecord* full = whole->signals.find(slot.id);
        if (full == nullptr) broken("a cut file declares a signal the whole one does not");
        const karvo::SampleBuffer& theirs = full->data.samples;
        if (slot.points > full->points || slot.samples.length() > theirs.length()) broken("a cut file holds more points");
        if (slot.samples.length() != 0 &&
            std::memcmp(slot.samples.data(), theirs.data(), 8 * slot.samples.length()) != 0)
            broken("a cut file's samples are not the first of the whole file's");
    }
    if (whole == nullptr || !karvo::has_psfbin_footer(bytes, len)) return;
    auto tail = karvo::read_body_tail(bytes, len, result.catalog, result.body, result.body.end, ids, {});
    if (!tail) {
        if (tail.error().kind != karvo::ErrorKind::OutOfMemory) broken("reading on fails where the whole read did not");
        return;
    }
    if (!tail.value().complete) broken("reading on to the trailer leaves the file incomplete");
    for (std::size_t i = 0; i < ids.size(); ++i)
        if (slots.all()[i].points + tail.value().added[i] != whole->signals.find(ids[i])->points)
            broken("a cut file and what follows it count other points than the whole file");
}

// Cuts anywhere: the trailer dropped, inside the body, at an offset the
// input's bytes choose.
void check_cuts(const unsigned char* bytes, std::uint64_t len, const karvo::ParseResult* whole) {
    std::uint64_t h = 1469598103934665603ULL;
    for (std::uint64_t i = 0; i < len && i < 64; ++i) h = (h ^ bytes[len - 1 - i]) * 1099511628211ULL;
    const karvo::SignalCatalog* catalog = whole != nullptr ? &whole->catalog : nullptr;
    if (len >= 12) check_cut(bytes, len, len - 12, catalog);
    if (len != 0) check_cut(bytes, len, h % len, catalog);
    if (whole != nullptr && whole->body.end > whole->body.start && whole->body.end <= len)
        check_cut(bytes, len, whole->body.start + (h >> 32) % (whole->body.end - whole->body.start), catalog);
}
#endif

#ifdef KARVO_FUZZ_TEXT
// The text cut at an offset the input's bytes choose, read partial: its
// points are the first of the whole text's (a point cut short is dropped).
void check_text_cut(const unsigned char* bytes, std::uint64_t len, const karvo::SignalCatalog& whole) {
    std::uint64_t h = 1469598103934665603ULL;
    for (std::uint64_t i = 0; i < len && i < 64; ++i) h = (h ^ bytes[len - 1 - i]) * 1099511628211ULL;
    const std::uint64_t cut = len == 0 ? 0 : h % len;
    std::unique_ptr<unsigned char[]> copy(new unsigned char[cut == 0 ? 1 : cut]);
    if (cut != 0) std::memcpy(copy.get(), bytes, cut);
    auto partial = karvo::parse_psf_text(copy.get(), cut, {}, /*partial=*/true);
    if (!partial) {
        if (partial.error().kind != karvo::ErrorKind::Malformed && partial.error().kind != karvo::ErrorKind::OutOfMemory)
            broken("a cut text fails with a kind that only files or callers give");
        return;
    }
    for (const auto& e : partial.value().catalog.signals) {
        const karvo::SignalRecord* full = whole.signals.find(e.id);
        const karvo::SampleBuffer& mine = e.record.data.samples;
        if (mine.length() == 0) continue;
        if (full == nullptr || mine.length() > full->data.samples.length() ||
            std::memcmp(mine.data(), full->data.samples.data(), 8 * mine.length()) != 0)
            broken("a cut text's samples are not the first of the whole text's");
    }
}
#endif

void run(const unsigned char* bytes, std::uint64_t len) {
    auto parsed = parse(bytes, len);
#ifdef KARVO_FUZZ_TEXT
    if (parsed) check_text_cut(bytes, len, parsed.value().catalog);
#else
    // Without its trailer, the input itself is a cut file.
    if (!karvo::has_psfbin_footer(bytes, len)) check_cut(bytes, len, len, nullptr);
    check_cuts(bytes, len, parsed ? &parsed.value() : nullptr);
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

    check_partial_reads(bytes, len, catalog);

    std::uint64_t text_bytes = 0;
    const std::uint64_t values = check_values(catalog.values, text_bytes);
    // Every value node consumed bytes of its own, and text (names included) is
    // copied once.
    if (values > len / kBytesPerNode + 1) broken("more value nodes than the file has room for");
    if (text_bytes > len) broken("more value text than the file has bytes");

    karvo::ReadOptions plain;
    karvo::ReadContext resolving(plain);
    std::size_t next = 0;
    auto sweeps_resolved = karvo::resolve_signals(catalog.sweep_ids, catalog.signals, resolving, next);
    if (!sweeps_resolved) return;
    auto traces_resolved = karvo::resolve_signals(catalog.trace_ids, catalog.signals, resolving, next);
    if (!traces_resolved) return;
    double sink = 0;
    std::uint64_t words = 0;
    for (const auto* r : sweeps_resolved.value()) words += check_signal(*r, sink);
    for (const auto* r : traces_resolved.value()) words += check_signal(*r, sink);
    // Each sample word is read from bytes of its own: no file yields more
    // samples than it holds.
    if (words > len / kBytesPerWord + 1) broken("more sample words than the file holds");
    volatile double keep = sink;
    (void)keep;

}

}  // namespace

// With KARVO_FUZZ_SPLIT set, every sampled body is split into its smallest
// parts and read by four threads (reader/thread_pool.hpp).
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::getenv("KARVO_FUZZ_SPLIT") != nullptr) {
        karvo::force_split(true);
        karvo::set_num_threads(4);
    }
    return 0;
}

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
