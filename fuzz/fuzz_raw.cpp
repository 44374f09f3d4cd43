// libFuzzer target over the SPICE raw reader alone (parse_raw). Every input
// must give its plots or end in a ParseError; the sanitizers report
// everything else, and the checks below abort on plots that the extension
// could not turn into sane objects.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "reader/raw_parse.hpp"
#include "reader/thread_pool.hpp"

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "karvo fuzz: broken raw result: %s\n", what);
    std::abort();
}

// Reads every sample word (so ASan sees any out-of-bounds buffer); returns
// their number.
std::uint64_t check_signal(const karvo::SignalRecord* record, std::uint64_t points, double& sink) {
    if (record == nullptr) broken("a null signal record");
    const karvo::SampleData& data = record->data;
    if (data.kind == karvo::SampleData::Kind::Struct) broken("a raw signal of structs");
    const karvo::SampleBuffer& samples = data.samples;
    if (record->points != points) broken("a signal counts other points than its plot");
    if (samples.length() != points * data.point_words()) broken("samples are not the plot's points");
    if (samples.length() > samples.capacity()) broken("sample buffer longer than its storage");
    if (samples.length() != 0 && samples.data() == nullptr) broken("samples without storage");
    for (std::size_t i = 0; i < samples.length(); ++i) sink += samples.data()[i];
    return samples.length();
}

// Walks the values as the Python layer does; returns their numbers.
std::uint64_t check_values(const karvo::PackedValues& values, double& sink) {
    using Kind = karvo::PackedValues::Kind;
    karvo::PackedValues::Reader reader(values);
    std::uint64_t words = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (reader.at_end()) broken("fewer packed values than counted");
        const karvo::PackedValues::Reader::Head head = reader.head();
        Kind kind = head.kind;
        std::uint64_t count = 1;
        if (kind == Kind::Array) {
            const auto array = reader.take_array_head();
            kind = array.element;
            count = array.count;
            if (count < 2) broken("an operating point's array of fewer than two points");
        }
        if (kind != Kind::Float && kind != Kind::Complex) broken("a raw value that is neither float nor complex");
        for (std::uint64_t k = 0; k < count; ++k) {
            sink += reader.take_float();
            if (kind == Kind::Complex) sink += reader.take_float();
        }
        words += count;
        reader.take_own_properties();
    }
    if (!reader.at_end()) broken("packed values left over after the last value");
    return words;
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
    auto parsed = karvo::parse_raw(data, size);
    if (!parsed) {
        const karvo::ParseError& error = parsed.error();
        if (error.message.empty()) broken("an empty error message");
        if (error.kind != karvo::ErrorKind::Malformed && error.kind != karvo::ErrorKind::OutOfMemory)
            broken("a parse error of a kind that only files or callers give");
        return 0;
    }
    double sink = 0;
    std::uint64_t words = 0;
    for (const karvo::RawPlot& plot : parsed.value()) {
        const karvo::FileContents& contents = plot.contents;
        if (contents.sweeps.size() > 1) broken("a plot with more than one sweep");
        if (contents.signals.size() == 0 && contents.values.size() == 0) broken("a plot with neither signals nor values");
        if (contents.sweeps.empty() && !contents.traces.empty()) broken("traces without a sweep");
        const std::uint64_t points = contents.sweeps.empty() ? 0 : contents.sweeps[0]->points;
        for (const auto* r : contents.sweeps) words += check_signal(r, points, sink);
        for (const auto* r : contents.traces) words += check_signal(r, points, sink);
        words += check_values(contents.values, sink);
        if (contents.sweeps.size() + contents.traces.size() != contents.signals.size())
            broken("signals that are neither sweep nor trace");
        if (!plot.run_starts.empty() && plot.run_starts[0] != 0) broken("a first run that does not start at 0");
        for (std::size_t i = 1; i < plot.run_starts.size(); ++i)
            if (plot.run_starts[i] <= plot.run_starts[i - 1] || plot.run_starts[i] >= points)
                broken("run starts out of order or beyond the points");
    }
    // Every sample word is read from a byte or more of its own (a float32
    // from four, a number of text from a digit and a separator).
    if (words > size + 1) broken("more sample words than the file has bytes");
    volatile double keep = sink;
    (void)keep;
    return 0;
}
