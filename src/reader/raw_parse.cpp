#include "reader/raw_parse.hpp"

#include <cmath>
#include <map>
#include <new>
#include <string_view>

#include "reader/mapped_file.hpp"
#include "reader/page_traffic.hpp"
#include "reader/raw_body.hpp"
#include "reader/raw_header.hpp"
#include "reader/raw_text.hpp"
#include "types/format.hpp"
#include "types/overflow.hpp"

namespace karvo {

namespace {

// The units of a variable's type: the types ngspice, Xyce and LTspice write.
std::string_view units_of(std::string_view type) {
    static constexpr std::pair<std::string_view, std::string_view> kUnits[] = {
        {"time", "s"},
        {"frequency", "Hz"},
        {"voltage", "V"},
        {"current", "A"},
        {"device_current", "A"},
        {"subckt_current", "A"},
        {"voltage-density", "V/sqrt(Hz)"},
        {"current-density", "A/sqrt(Hz)"},
        {"sqr-voltage-density", "V^2/Hz"},
        {"sqr-current-density", "A^2/Hz"},
        {"temperature", "C"},
        {"impedance", "Ohm"},
        {"admittance", "S"},
        {"power", "W"},
        {"decibel", "dB"},
    };
    for (const auto& [name, units] : kUnits)
        if (name == type) return units;
    return {};
}

// Each type's property list, made once and shared by its variables.
class TypeLists {
public:
    const SharedProperties& of(const std::string& type) {
        auto found = lists_.find(type);
        if (found != lists_.end()) return found->second;
        PropertyList list{Property{"type", PropertyValue{type}}};
        const std::string_view units = units_of(type);
        if (!units.empty()) list.push_back(Property{"units", PropertyValue{std::string(units)}});
        return lists_.emplace(type, share_properties(std::move(list))).first->second;
    }

private:
    std::map<std::string, SharedProperties, std::less<>> lists_;
};

bool is_operating_point(std::string_view plotname) {
    constexpr std::string_view kName = "operating point";
    if (plotname.size() < kName.size()) return false;
    for (std::size_t i = 0; i < kName.size(); ++i) {
        const char c = plotname[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kName[i]) return false;
    }
    return true;
}

bool is_ltspice(const RawHeader& header) {
    return header.utf16 || header.command.find("LTspice") != std::string::npos;
}

// How each variable is stored in a binary body. ngspice and Xyce write
// float64 words (pairs for complex plots). LTspice writes complex plots and
// "double" plots so too, but other real plots as float32 values with a
// float64 first variable (the time axis); a plot whose size fits only all
// float32 or all float64 values is read so.
std::vector<RawColumn::Source> binary_sources(const RawHeader& header, std::uint64_t left) {
    const std::size_t n = header.variables.size();
    using Source = RawColumn::Source;
    if (header.complex) return std::vector<Source>(n, Source::C128);
    if (header.doubles || !is_ltspice(header)) return std::vector<Source>(n, Source::F64);
    std::vector<Source> sources(n, Source::F32);
    sources[0] = Source::F64;
    std::uint64_t mixed = 0;
    if (!mul_overflows(header.points, 8 + 4 * (n - 1), mixed) && mixed != left && header.points != 0) {
        std::uint64_t all = 0;
        if (!mul_overflows(header.points, 4 * n, all) && all == left) sources[0] = Source::F32;
        else if (!mul_overflows(header.points, 8 * n, all) && all == left) sources.assign(n, Source::F64);
    }
    return sources;
}

// Whether a character can be part of a Values: body: digits, signs, points,
// commas, white space, and the letters of exponents, nan and inf(inity).
bool may_be_values_text(unsigned char c) {
    if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == ',' || is_raw_space(c)) return true;
    c = static_cast<unsigned char>(c | 0x20);
    return c == 'e' || c == 'n' || c == 'a' || c == 'i' || c == 'f' || c == 't' || c == 'y';
}

// A plot's text is UTF-16LE: its Values: body as one byte a character, up
// to the first character no body holds (a following plot's "Title:" stops
// it within a few characters, so that every plot is narrowed once).
std::string narrowed(const unsigned char* bytes, std::uint64_t len, std::uint64_t at) {
    std::string out;
    for (std::uint64_t p = at; p + 1 < len; p += 2) {
        if (bytes[p + 1] != 0 || !may_be_values_text(bytes[p])) break;
        out += static_cast<char>(bytes[p]);
    }
    return out;
}

// Where the next plot begins after `at`, or `len` when only white space
// (in the plot's encoding) is left.
std::uint64_t next_plot(const unsigned char* bytes, std::uint64_t len, std::uint64_t at, bool utf16) {
    if (utf16) {
        while (at + 1 < len && bytes[at + 1] == 0 && (is_raw_space(bytes[at]) || bytes[at] == 0)) at += 2;
        return at + 1 == len && (is_raw_space(bytes[at]) || bytes[at] == 0) ? len : at;
    }
    while (at < len && is_raw_space(bytes[at])) ++at;
    return at;
}

std::vector<std::uint64_t> run_starts_of(const SampleBuffer& sweep) {
    std::vector<std::uint64_t> starts;
    if (sweep.length() == 0) return starts;
    const double* s = sweep.data();
    starts.push_back(0);
    for (std::uint64_t i = 1; i < sweep.length(); ++i)
        if (s[i] == s[0]) starts.push_back(i);
    return starts;
}

class PlotReader {
public:
    PlotReader(const unsigned char* bytes, std::uint64_t len, ReadContext& ctx) : bytes_(bytes), len_(len), ctx_(ctx) {}

    Result<std::vector<RawPlot>> read() {
        std::vector<RawPlot> plots;
        std::uint64_t at = 0;
        do {
            Result<RawPlot> plot = read_plot(at);
            if (!plot) {
                ParseError error = std::move(plot).error();
                if (!plots.empty() && error.kind == ErrorKind::Malformed)
                    error.message = format_message("plot {} (from offset {}): {}",
                                                   static_cast<std::uint64_t>(plots.size() + 1), at, error.message);
                return error;
            }
            plots.push_back(std::move(plot).value());
        } while ((at = next_plot(bytes_, len_, at_end_, utf16_)) < len_);
        return plots;
    }

private:
    Result<RawPlot> read_plot(std::uint64_t at);
    Status read_body(const RawHeader& header, std::vector<RawColumn>& columns);

    const unsigned char* bytes_;
    std::uint64_t len_;
    ReadContext& ctx_;
    TypeLists types_;
    std::uint64_t at_end_ = 0;  // after the last plot's body
    bool utf16_ = false;        // the last plot's encoding
};

// Checked before any array is made, so that no array is sized from a count
// the file cannot hold. Values: each point takes at least its index and a
// separator, and each number a digit and a separator ("re,im" three and one).
Status check_body_size(const RawHeader& header, const std::vector<RawColumn>& columns, std::uint64_t left) {
    const std::uint64_t points = header.points;
    std::uint64_t need = 0;
    if (header.body == RawBody::Binary) {
        const std::uint64_t row = raw_row_bytes(columns);
        if (mul_overflows(points, row, need) || need > left)
            return ParseError{format_message("the binary body needs {} points of {} bytes from offset {}, but the "
                                             "file has {} bytes left (truncated, or No. Points larger than the body)",
                                             points, row, header.body_start, left)};
        return {};
    }
    const std::uint64_t chars = header.utf16 ? left / 2 : left;
    if (mul_overflows(points, 2 + columns.size() * (header.complex ? 4 : 2), need) || need > chars)
        return ParseError{format_message("line {}: No. Points gives {} points, more than the {} characters of the "
                                         "Values: body can hold",
                                         header.lines, points, chars)};
    return {};
}

Status PlotReader::read_body(const RawHeader& header, std::vector<RawColumn>& columns) {
    if (header.body == RawBody::Binary) {
        KARVO_TRY(copy_raw_binary(bytes_ + header.body_start, header.points, columns, header.fastaccess, ctx_));
        at_end_ = header.body_start + header.points * raw_row_bytes(columns);
        return {};
    }
    std::string text;
    const unsigned char* from = bytes_ + header.body_start;
    std::uint64_t size = len_ - header.body_start;
    if (header.utf16) {
        text = narrowed(bytes_, len_, header.body_start);
        from = reinterpret_cast<const unsigned char*>(text.data());
        size = text.size();
    }
    KARVO_ASSIGN(std::uint64_t end, read_raw_values(from, size, 0, header.points, columns, header.lines + 1,
                                                    header.utf16 ? -1 : static_cast<std::int64_t>(header.body_start),
                                                    ctx_));
    at_end_ = header.body_start + (header.utf16 ? 2 * end : end);
    return {};
}

Result<RawPlot> PlotReader::read_plot(std::uint64_t at) {
    KARVO_ASSIGN(RawHeader header, read_raw_header(bytes_, len_, at, ctx_));
    utf16_ = header.utf16;
    const std::uint64_t points = header.points;
    const std::size_t n = header.variables.size();
    // An operating point (one point, or a plot named so: LTspice writes one
    // point per step of a stepped .op) gives values, each an array when the
    // plot has several points.
    const bool values = points == 1 || (points != 0 && is_operating_point(header.plotname));
    const std::uint64_t left = len_ - header.body_start;

    const std::vector<RawColumn::Source> sources =
        header.body == RawBody::Binary ? binary_sources(header, left)
                                       : std::vector<RawColumn::Source>(n, header.complex ? RawColumn::Source::C128
                                                                                           : RawColumn::Source::F64);
    std::vector<RawColumn> columns(n);
    for (std::size_t j = 0; j < n; ++j) columns[j].source = sources[j];
    KARVO_TRY(check_body_size(header, columns, left));

    // The variables' buffers share one arena, as the signals of a psfbin read
    // do: one allocation, advised into huge pages when large, instead of a
    // mapping per variable faulted in 4 KB at a time.
    std::vector<SampleData> data(n);
    std::vector<std::size_t> offsets(n);
    SampleArena::Layout layout;
    for (std::size_t j = 0; j < n; ++j) {
        const bool whole_complex = header.complex && (j != 0 || values);
        data[j].kind = whole_complex ? SampleData::Kind::Complex : SampleData::Kind::Float64;
        const std::uint64_t words = points * (whole_complex ? 2 : 1);
        if (words != 0 && !layout.add(words, offsets[j])) return out_of_memory("out of memory while reading the file");
        columns[j].real_only = header.complex && !whole_complex;
        columns[j].name = header.variables[j].name;
    }
    SampleArena* arena = layout.bytes() != 0 ? SampleArena::make(layout.bytes()) : nullptr;
    if (layout.bytes() != 0 && arena == nullptr) return out_of_memory("out of memory while reading the file");
    for (std::size_t j = 0; j < n; ++j) {
        const std::uint64_t words = points * (data[j].kind == SampleData::Kind::Complex ? 2 : 1);
        if (words != 0) data[j].samples = SampleBuffer::in_arena(*arena, offsets[j], static_cast<std::size_t>(words));
        columns[j].out = data[j].samples.append_slot(static_cast<std::size_t>(words));
    }
    KARVO_TRY(read_body(header, columns));

    RawPlot plot;
    FileContents& contents = plot.contents;
    // LTspice marks some time points by the sign of their time: the time is
    // the value without its sign.
    if (!values && n != 0 && is_ltspice(header) && header.variables[0].type == "time") {
        double* t = data[0].samples.data();
        for (std::uint64_t i = 0; i < points; ++i) t[i] = std::fabs(t[i]);
    }
    if (header.stepped && !values) plot.run_starts = run_starts_of(data[0].samples);
    for (std::uint64_t i = 0; header.stepped && values && i < points; ++i) plot.run_starts.push_back(i);

    if (values) {
        // A value takes its name, about 32 bytes of head, and its numbers.
        std::uint64_t bytes = 0;
        for (const SampleData& d : data) bytes += 8 * d.samples.length() + 32;
        for (const RawVariable& v : header.variables) bytes += v.name.size();
        contents.values.reserve(bytes);
    }
    for (std::size_t j = 0; j < n; ++j) {
        RawVariable& v = header.variables[j];
        const SharedProperties& type = types_.of(v.type);
        if (values) {
            const bool complex = data[j].kind == SampleData::Kind::Complex;
            const PackedValues::Kind kind = complex ? PackedValues::Kind::Complex : PackedValues::Kind::Float;
            contents.values.begin(v.name, points == 1 ? kind : PackedValues::Kind::Array, nullptr, type);
            const std::size_t count_at = points == 1 ? 0 : contents.values.begin_array(kind);
            const double* w = data[j].samples.data();
            for (std::uint64_t i = 0; i < points; ++i) {
                if (complex) contents.values.put_complex(w[2 * i], w[2 * i + 1]);
                else contents.values.put_float(w[i]);
            }
            if (points != 1) contents.values.end_array(count_at, points);
            contents.values.end(std::move(v.extra));
            continue;
        }
        SignalRecord record{std::move(v.name), std::move(data[j]), type, share_properties(std::move(v.extra)), points};
        KARVO_TRY(contents.signals.insert_or_assign(static_cast<std::uint32_t>(j), std::move(record), ctx_));
    }
    // Pointers into the table once it is complete (the records do not move
    // with the table).
    for (std::size_t j = 0; !values && j < n; ++j) {
        SignalRecord* record = contents.signals.find(static_cast<std::uint32_t>(j));
        (j == 0 ? contents.sweeps : contents.traces).push_back(record);
    }
    contents.header = std::move(header.fields);
    return plot;
}

}  // namespace

Result<std::vector<RawPlot>> parse_raw(const unsigned char* bytes, std::uint64_t len, const ReadOptions& options) {
    try {
        ReadContext ctx(options);
        PlotReader reader(bytes, len, ctx);
        return reader.read();
    } catch (const std::bad_alloc&) {
        return out_of_memory("out of memory while reading the file");
    }
}

Result<std::vector<RawPlot>> read_raw_file(const std::string& native_path, const ReadOptions& options) {
    try {
        KARVO_ASSIGN(MappedFile file, map_file(native_path));
        // A Values: body's pages leave the process behind the parser, as a
        // PSF ASCII text's do.
        ReadOptions with_file = options;
        PageTraffic pages(file);
        pages.install(with_file, /*announce=*/false);
        KARVO_ASSIGN(std::vector<RawPlot> plots, parse_raw(file.bytes(), file.size(), with_file));
        file.release_view();
        return plots;
    } catch (const std::bad_alloc&) {
        return out_of_memory("out of memory while reading the file");
    }
}

}  // namespace karvo
