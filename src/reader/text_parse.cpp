#include "reader/text_parse.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "reader/read_context.hpp"
#include "reader/sections.hpp"
#include "reader/text_lexer.hpp"
#include "types/format.hpp"
#include "types/overflow.hpp"

namespace karvo {

namespace {

using Tok = TextToken::Kind;

// Ordered by name: the names come from the file, and a tree cannot be fed
// names that pile into one bucket.
using TypeNames = std::map<std::string, TypeKind, std::less<>>;

// Where a datatype is read: a TYPE entry, a struct member, an array's element.
enum class TypeContext : std::uint8_t { Entry, Member, Element };

constexpr std::string_view kDatatypes =
    "a datatype (FLOAT DOUBLE, COMPLEX DOUBLE, INT BYTE, INT LONG, STRING *, ARRAY or STRUCT)";

// What may follow each section's entries; the sections come in this order.
constexpr std::string_view kAfterSection[] = {
    "a quoted name, TYPE, SWEEP, TRACE, VALUE or END",
    "a quoted name, SWEEP, TRACE, VALUE or END",
    "a quoted name, TRACE, VALUE or END",
    "a quoted name, VALUE or END",
    "a quoted name or END",
};

// One part of a swept point: a sweep, trace or group declared at its
// section's top level. Its name comes first, then one value per signal it
// holds: slots [first, last) of the point.
struct PointPart {
    std::string name;
    bool plain;  // no backslash or quote: the text must hold the name byte for byte
    bool sweep;
    std::size_t first;
    std::size_t last;
};

// A signal's place in each point.
struct Slot {
    SampleData::Kind kind;
    std::uint64_t words;    // float64 words per point
    SampleBuffer* samples;  // null when its samples are not read
};

bool is_plain(std::string_view name) { return name.find_first_of("\\\"") == std::string_view::npos; }

// A property or header integer kept as an int: digits (a sign allowed) of a
// value from -2^31 to 2^32 - 1. The binary form's PropInt is a signed 32-bit
// word; the text form printed unsigned values up to 2^32 - 1 as well, which
// stay ints. Any other number is a float.
bool as_property_int(std::string_view text, std::int64_t& out) {
    const bool plus = !text.empty() && text[0] == '+';
    if (plus) text.remove_prefix(1);
    const std::string_view digits = !plus && !text.empty() && text[0] == '-' ? text.substr(1) : text;
    if (digits.empty() || digits[0] < '0' || digits[0] > '9') return false;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), out, 10);
    return r.ec == std::errc() && r.ptr == text.data() + text.size() && out >= INT32_MIN && out <= UINT32_MAX;
}

bool looks_integral(std::string_view text) {
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

class TextParser {
public:
    TextParser(const unsigned char* bytes, std::uint64_t len, ReadContext& ctx, bool partial)
        : lex_(bytes, len), ctx_(ctx), partial_(partial) {}

    Result<ParseResult> parse();

private:
    ParseError error_at(std::uint64_t at, std::string_view what) const {
        return ParseError{format_message("{}: {}", lex_.where(at), what)};
    }
    // "expected {what}, got {the token at or after `at`}".
    ParseError expected(std::uint64_t at, std::string_view what) const {
        while (at < lex_.size() && is_text_space(lex_.bytes()[at])) ++at;
        if (at < lex_.size() && lex_.bytes()[at] == '"' && lex_.token_at(at).kind == Tok::Unterminated)
            return error_at(at, "unterminated string");
        return error_at(at, format_message("expected {}, got {}", what, lex_.describe(at)));
    }
    ParseError expected_here(std::string_view what) const { return expected(lex_.pos(), what); }

    bool at_word(std::string_view word) {
        const TextToken t = lex_.peek();
        return t.kind == Tok::Bare && t.text == word;
    }
    Status expect_byte(unsigned char c, std::string_view what) {
        if (!lex_.take_byte(c)) return expected_here(what);
        return {};
    }
    Result<std::string> quoted(std::string_view what);
    Result<std::uint64_t> count(std::string_view what);
    // After a name whose type should follow: the word GROUP (at `t`) and the
    // member count, within the nesting limit; the count.
    Result<std::uint64_t> group_head(const TextToken& t, std::uint64_t at, const std::string& name, unsigned depth);
    Status integer(std::int64_t& out);

    Result<PropertyValue> property_value();
    Status property_entries(PropertyList& out);
    Result<PropertyList> optional_properties();

    Status type_section();
    Result<TypeKind> datatype(std::string_view type_name, TypeContext context, std::string_view member);
    Result<const TypeKind*> type_named(std::uint64_t at, const std::string& name);

    Status declaration(DeclMode mode, unsigned depth, bool top);

    Status swept_values();
    Status grow(std::vector<Slot>& slots, std::uint64_t points, std::uint64_t& room, std::uint64_t start);
    bool take_name(const PointPart& part);
    bool take_sample(const Slot& slot, double* out);
    Status take_point(const std::vector<Slot>& slots, std::vector<double>& scratch);
    bool cut_off() const;

    Status value_entry(unsigned depth);
    Status packed_value(DataType type, DataType element, std::uint64_t length);

    Status tick();

    TextLexer lex_;
    ReadContext& ctx_;
    const bool partial_;
    bool cut_ = false;  // read partial: the text ended inside a point
    ParseResult result_;
    TypeNames types_;
    const std::string* last_type_name_ = nullptr;  // the last type looked up, and its entry
    const TypeKind* last_type_ = nullptr;
    std::uint32_t next_id_ = 0;
    std::vector<PointPart> parts_;  // the sweeps' parts, then the traces'
    std::string_view sample_expected_;  // set by take_sample when it fails
    std::uint64_t ticked_ = 0;
};

Result<std::string> TextParser::quoted(std::string_view what) {
    const TextToken t = lex_.peek();
    if (t.kind != Tok::Quoted) return expected(t.at, what);
    lex_.take(t);
    KARVO_ASSIGN(std::string text, decode_quoted(lex_, t));
    // Packed values and names keep 32-bit lengths, as the binary form does.
    if (text.size() > UINT32_MAX) return error_at(t.at, "string longer than 4 GiB");
    return text;
}

Result<std::uint64_t> TextParser::count(std::string_view what) {
    const TextToken t = lex_.peek();
    std::uint64_t n = 0;
    if (t.kind != Tok::Bare || !looks_integral(t.text) || t.text[0] == '-' || t.text[0] == '+')
        return expected(t.at, what);
    const auto r = std::from_chars(t.text.data(), t.text.data() + t.text.size(), n, 10);
    if (r.ec != std::errc()) return error_at(t.at, "count out of range");
    lex_.take(t);
    return n;
}

Result<std::uint64_t> TextParser::group_head(const TextToken& t, std::uint64_t at, const std::string& name,
                                             unsigned depth) {
    if (t.kind != Tok::Bare || t.text != "GROUP") return expected(t.at, "a quoted type name or GROUP");
    lex_.take(t);
    if (depth >= ctx_.options.max_nesting)
        return error_at(at, format_message("group '{}' is nested more than {} levels deep", name,
                                           ctx_.options.max_nesting));
    return count("a member count");
}

Status TextParser::integer(std::int64_t& out) {
    if (lex_.take_int(out)) return {};
    const TextToken t = lex_.peek();
    if (t.kind == Tok::Bare && looks_integral(t.text)) return error_at(t.at, "integer out of the range of 64 bits");
    return expected(t.at, "an integer");
}

// ------------------------------------------------------------------ properties

Result<PropertyValue> TextParser::property_value() {
    const TextToken t = lex_.peek();
    if (t.kind == Tok::Quoted) {
        KARVO_ASSIGN(std::string text, quoted(""));
        return PropertyValue{std::move(text)};
    }
    std::int64_t n = 0;
    if (t.kind == Tok::Bare && as_property_int(t.text, n)) {
        lex_.take(t);
        return PropertyValue{n};
    }
    // Any other number (beyond 32 bits too) is kept as a float.
    double v = 0;
    if (t.kind != Tok::Bare || !lex_.take_double(v)) return expected(t.at, "a number or a quoted string");
    return PropertyValue{v};
}

Status TextParser::property_entries(PropertyList& out) {
    while (lex_.peek().kind == Tok::Quoted) {
        KARVO_ASSIGN(std::string name, quoted(""));
        KARVO_ASSIGN(PropertyValue value, property_value());
        out.push_back(Property{std::move(name), std::move(value)});
        KARVO_TRY(tick());
    }
    return {};
}

Result<PropertyList> TextParser::optional_properties() {
    PropertyList list;
    if (!at_word("PROP")) return list;
    lex_.next();
    KARVO_TRY(expect_byte('(', "'(' after PROP"));
    KARVO_TRY(property_entries(list));
    KARVO_TRY(expect_byte(')', "a quoted name or ')'"));
    return list;
}

// ------------------------------------------------------------------ types

Status TextParser::type_section() {
    lex_.next();
    while (lex_.peek().kind == Tok::Quoted) {
        KARVO_ASSIGN(std::string name, quoted(""));
        KARVO_ASSIGN(TypeKind kind, datatype(name, TypeContext::Entry, {}));
        KARVO_ASSIGN(PropertyList properties, optional_properties());
        kind.properties = share_properties(std::move(properties));
        // A later definition of a name replaces the earlier, as a repeated id does.
        types_.insert_or_assign(std::move(name), std::move(kind));
        last_type_name_ = nullptr;
        KARVO_TRY(tick());
    }
    return {};
}

Result<TypeKind> TextParser::datatype(std::string_view type_name, TypeContext context, std::string_view member) {
    const TextToken t = lex_.peek();
    if (t.kind != Tok::Bare) return expected(t.at, kDatatypes);
    lex_.take(t);
    TypeKind kind;
    auto second_word = [&](std::string_view word, DataType type) -> Status {
        if (!at_word(word)) return expected_here(format_message("'{}'", word));
        lex_.next();
        kind.scalar = type;
        return {};
    };
    if (t.text == "FLOAT") {
        KARVO_TRY(second_word("DOUBLE", DataType::Float64));
    } else if (t.text == "COMPLEX") {
        KARVO_TRY(second_word("DOUBLE", DataType::Complex));
    } else if (t.text == "STRING") {
        KARVO_TRY(second_word("*", DataType::String));
    } else if (t.text == "INT") {
        if (at_word("BYTE")) {
            kind.scalar = DataType::Int8;
        } else if (at_word("LONG")) {
            kind.scalar = DataType::Int32;
        } else {
            return expected_here("'BYTE' or 'LONG'");
        }
        lex_.next();
    } else if (t.text == "ARRAY" || t.text == "STRUCT") {
        const bool array = t.text == "ARRAY";
        if (context == TypeContext::Element)
            return error_at(t.at, format_message("array type '{}' has unsupported element datatype {}", type_name,
                                                 array ? "Array" : "Struct"));
        if (!array && context == TypeContext::Member)
            return error_at(t.at, format_message("struct '{}' has a nested struct member '{}' (nested structs are "
                                                 "not supported)",
                                                 type_name, member));
        KARVO_TRY(expect_byte('(', "'('"));
        if (array) {
            if (at_word("*")) {
                lex_.next();
            } else {
                KARVO_ASSIGN(kind.length, count("an element count or '*'"));
                if (kind.length == kAnyLength) return error_at(t.at, "count out of range");
            }
            KARVO_TRY(expect_byte(')', "')'"));
            KARVO_ASSIGN(TypeKind element, datatype(type_name, TypeContext::Element, member));
            kind.scalar = DataType::Array;
            kind.element = element.scalar;
            return kind;
        }
        std::vector<MemberDef> members;
        while (lex_.peek().kind == Tok::Quoted) {
            KARVO_ASSIGN(std::string name, quoted(""));
            KARVO_ASSIGN(TypeKind m, datatype(type_name, TypeContext::Member, name));
            // A member's own properties are read and dropped, as in the binary form.
            KARVO_TRY(optional_properties());
            members.push_back(MemberDef{std::move(name), m.scalar, m.element, m.length});
            KARVO_TRY(tick());
        }
        KARVO_TRY(expect_byte(')', "a quoted member name or ')'"));
        if (members.empty())
            return error_at(t.at, format_message("struct '{}' has zero fields (empty structs unsupported)", type_name));
        kind.is_struct = true;
        kind.members = std::make_shared<const std::vector<MemberDef>>(std::move(members));
    } else {
        return expected(t.at, kDatatypes);
    }
    return kind;
}

Result<const TypeKind*> TextParser::type_named(std::uint64_t at, const std::string& name) {
    // Values of one type mostly follow one another.
    if (last_type_name_ != nullptr && *last_type_name_ == name) return last_type_;
    const auto found = types_.find(name);
    if (found == types_.end()) return error_at(at, format_message("unknown type '{}'", name));
    last_type_name_ = &found->first;
    last_type_ = &found->second;
    return last_type_;
}

// ------------------------------------------------------------------ declarations

Status TextParser::declaration(DeclMode mode, unsigned depth, bool top) {
    SignalCatalog& catalog = result_.catalog;
    std::vector<std::uint32_t>& ids = mode == DeclMode::Sweep ? catalog.sweep_ids : catalog.trace_ids;
    const std::uint64_t at = lex_.peek().at;
    KARVO_ASSIGN(std::string name, quoted("a quoted name"));
    if (next_id_ == UINT32_MAX) return error_at(at, "too many declarations");
    const std::uint32_t id = next_id_++;
    const TextToken t = lex_.peek();
    if (t.kind == Tok::Quoted) {
        KARVO_ASSIGN(std::string type_name, quoted(""));
        KARVO_ASSIGN(const TypeKind* type, type_named(t.at, type_name));
        Result<SampleData> data = sample_data_for(*type, name);
        if (!data) return error_at(at, data.error().message);
        KARVO_ASSIGN(PropertyList own, optional_properties());
        if (top) parts_.push_back(PointPart{name, is_plain(name), mode == DeclMode::Sweep, ids.size(), ids.size() + 1});
        KARVO_TRY(catalog.signals.insert_or_assign(
            id, SignalRecord{std::move(name), std::move(data).value(), type->properties, share_properties(std::move(own))},
            ctx_));
        ids.push_back(id);
        return tick();
    }
    KARVO_ASSIGN(std::uint64_t members, group_head(t, at, name, depth));
    const std::size_t first = ids.size();
    for (std::uint64_t i = 0; i < members; ++i) KARVO_TRY(declaration(mode, depth + 1, false));
    catalog.groups.insert_or_assign(id, GroupRecord{mode == DeclMode::Sweep, first, ids.size()});
    if (top) parts_.push_back(PointPart{name, is_plain(name), mode == DeclMode::Sweep, first, ids.size()});
    return {};
}

// ------------------------------------------------------------------ swept values

// Text tells no point count: the buffers are sized from the bytes left and
// the bytes each point took so far, with an eighth more, grown again if that
// falls short, and trimmed to their length at the end. Room never written
// is never touched, so it costs address space, not memory.
Status TextParser::grow(std::vector<Slot>& slots, std::uint64_t points, std::uint64_t& room, std::uint64_t start) {
    std::uint64_t more = 16;
    if (points != 0) {
        const std::uint64_t per_point = std::max<std::uint64_t>(1, (lex_.pos() - start) / points);
        const std::uint64_t estimate = (lex_.size() - lex_.pos()) / per_point;
        more += estimate + estimate / 8;
    }
    for (Slot& slot : slots) {
        std::uint64_t words = 0;
        if (slot.samples == nullptr) continue;
        if (mul_overflows(more, slot.words, words) || !slot.samples->reserve_more(words))
            return out_of_memory("out of memory while reading the file");
    }
    room += more;
    return {};
}

bool TextParser::take_name(const PointPart& part) {
    if (part.plain) return lex_.take_quoted_exactly(part.name);
    const TextToken t = lex_.peek();
    if (t.kind != Tok::Quoted) return false;
    Result<std::string> text = decode_quoted(lex_, t);
    if (!text || text.value() != part.name) return false;
    lex_.take(t);
    return true;
}

bool TextParser::take_sample(const Slot& slot, double* out) {
    if (slot.kind == SampleData::Kind::Float64) {
        sample_expected_ = "a number";
        return lex_.take_double(*out);
    }
    sample_expected_ = "'('";
    if (!lex_.take_byte('(')) return false;
    sample_expected_ = "a number";
    for (std::uint64_t w = 0; w < slot.words; ++w)
        if (!lex_.take_double(out[w])) return false;
    sample_expected_ = "')'";
    return lex_.take_byte(')');
}

Status TextParser::take_point(const std::vector<Slot>& slots, std::vector<double>& scratch) {
    for (const PointPart& part : parts_) {
        if (!take_name(part)) {
            lex_.skip_space();
            return expected_here(format_message("\"{}\"", part.name));
        }
        for (std::size_t s = part.first; s < part.last; ++s) {
            const Slot& slot = slots[s];
            double* out = slot.samples != nullptr ? slot.samples->append_slot(slot.words) : scratch.data();
            if (!take_sample(slot, out)) return expected_here(sample_expected_);
        }
    }
    return {};
}

// Whether a point that failed was cut off by the end of the text: its
// failing token runs to the end (or none is left).
bool TextParser::cut_off() const {
    std::uint64_t at = lex_.pos();
    while (at < lex_.size() && is_text_space(lex_.bytes()[at])) ++at;
    for (; at < lex_.size(); ++at)
        if (is_text_space(lex_.bytes()[at])) return false;
    return true;
}

Status TextParser::swept_values() {
    SignalCatalog& catalog = result_.catalog;
    std::vector<Slot> slots;
    std::vector<SignalRecord*> records;
    std::uint64_t widest = 0;
    for (const auto* ids : {&catalog.sweep_ids, &catalog.trace_ids}) {
        for (std::uint32_t id : *ids) {
            SignalRecord& record = *catalog.signals.find(id);
            const std::uint64_t words = record.data.point_words();
            slots.push_back(Slot{record.data.kind, words, ctx_.options.wants(id) ? &record.data.samples : nullptr});
            records.push_back(&record);
            widest = std::max(widest, words);
        }
    }
    // Parts of traces count their slots after the sweeps'.
    for (PointPart& part : parts_) {
        if (part.sweep) continue;
        part.first += catalog.sweep_ids.size();
        part.last += catalog.sweep_ids.size();
    }
    // Where the samples of signals that are not read go.
    std::vector<double> scratch(widest);

    const std::uint64_t start = lex_.pos();
    std::uint64_t points = 0;
    std::uint64_t room = 0;
    lex_.skip_space();
    while (lex_.pos() < lex_.size() && lex_.bytes()[lex_.pos()] == '"') {
        if (points == room) KARVO_TRY(grow(slots, points, room, start));
        Status took = take_point(slots, scratch);
        // A number at the very end may be cut short: the point is whole
        // once something follows it.
        const bool at_end = lex_.pos() == lex_.size() && lex_.bytes()[lex_.size() - 1] != ')';
        if (partial_ && ((took && at_end) || (!took && cut_off()))) {
            for (const Slot& slot : slots)
                if (slot.samples != nullptr) slot.samples->truncate(points * slot.words);
            cut_ = true;
            break;
        }
        KARVO_TRY(std::move(took));
        ++points;
        KARVO_TRY(tick());
        lex_.skip_space();
    }
    for (SignalRecord* record : records) {
        record->points = points;
        record->data.samples.shrink_to_fit();
    }
    return {};
}

// ------------------------------------------------------------------ non-swept values

Status TextParser::packed_value(DataType type, DataType element, std::uint64_t length) {
    PackedValues& values = result_.catalog.values;
    switch (type) {
        case DataType::Int8:
        case DataType::Int32: {
            std::int64_t v = 0;
            KARVO_TRY(integer(v));
            values.put_int(v);
            return {};
        }
        case DataType::Float64: {
            double v = 0;
            if (!lex_.take_double(v)) return expected_here("a number");
            values.put_float(v);
            return {};
        }
        case DataType::Complex: {
            double re = 0;
            double im = 0;
            KARVO_TRY(expect_byte('(', "'('"));
            if (!lex_.take_double(re) || !lex_.take_double(im)) return expected_here("a number");
            KARVO_TRY(expect_byte(')', "')'"));
            values.put_complex(re, im);
            return {};
        }
        case DataType::String: {
            KARVO_ASSIGN(std::string text, quoted("a quoted string"));
            values.put_string(text);
            return {};
        }
        case DataType::Array: {
            PackedValues::Kind kind = PackedValues::Kind::Int;
            PackedValues::kind_of(element, kind);
            lex_.skip_space();
            const std::uint64_t at = lex_.pos();
            KARVO_TRY(expect_byte('(', "'('"));
            const std::size_t slot = values.begin_array(kind);
            std::uint64_t n = 0;
            while (!lex_.take_byte(')')) {
                if (lex_.peek().kind == Tok::End) return expected_here("an element or ')'");
                KARVO_TRY(packed_value(element, DataType::None, kAnyLength));
                ++n;
            }
            if (length != kAnyLength && n != length)
                return error_at(at, format_message("expected an array of {} elements, got {}", length, n));
            values.end_array(slot, n);
            return {};
        }
        case DataType::Struct:
        case DataType::None: break;
    }
    return expected_here("a value");
}

Status TextParser::value_entry(unsigned depth) {
    PackedValues& values = result_.catalog.values;
    const std::uint64_t at = lex_.peek().at;
    KARVO_ASSIGN(std::string name, quoted("a quoted name"));
    const TextToken t = lex_.peek();
    if (t.kind == Tok::Quoted) {
        KARVO_ASSIGN(std::string type_name, quoted(""));
        KARVO_ASSIGN(const TypeKind* type, type_named(t.at, type_name));
        if (type->is_struct) {
            values.begin(name, PackedValues::Kind::Struct, &type->members, type->properties);
            KARVO_TRY(expect_byte('(', "'('"));
            for (const MemberDef& m : *type->members) KARVO_TRY(packed_value(m.type, m.element, m.length));
            KARVO_TRY(expect_byte(')', "')'"));
        } else {
            PackedValues::Kind kind = PackedValues::Kind::Int;
            PackedValues::kind_of(type->scalar, kind);
            values.begin(name, kind, nullptr, type->properties);
            KARVO_TRY(packed_value(type->scalar, type->element, type->length));
        }
        KARVO_ASSIGN(PropertyList own, optional_properties());
        values.end(std::move(own));
        return tick();
    }
    KARVO_ASSIGN(std::uint64_t members, group_head(t, at, name, depth));
    for (std::uint64_t i = 0; i < members; ++i) KARVO_TRY(value_entry(depth + 1));
    return {};
}

// ------------------------------------------------------------------ the file

Status TextParser::tick() {
    const std::uint64_t pos = lex_.pos();
    KARVO_TRY(ctx_.tick(pos - ticked_));
    ticked_ = pos;
    ctx_.passed(pos);
    return {};
}

Result<ParseResult> TextParser::parse() {
    if (!at_word("HEADER")) return expected_here("HEADER");
    lex_.next();
    KARVO_TRY(property_entries(result_.header));
    int stage = 0;
    if (at_word("TYPE")) {
        KARVO_TRY(type_section());
        stage = 1;
    }
    if (at_word("SWEEP")) {
        lex_.next();
        while (lex_.peek().kind == Tok::Quoted) KARVO_TRY(declaration(DeclMode::Sweep, 0, true));
        stage = 2;
    }
    if (at_word("TRACE")) {
        lex_.next();
        while (lex_.peek().kind == Tok::Quoted) KARVO_TRY(declaration(DeclMode::Trace, 0, true));
        stage = 3;
    }
    if (at_word("VALUE")) {
        lex_.next();
        // Files with sweeps hold points; the others named values.
        if (!result_.catalog.sweep_ids.empty()) {
            KARVO_TRY(swept_values());
        } else {
            while (lex_.peek().kind == Tok::Quoted) KARVO_TRY(value_entry(0));
        }
        stage = 4;
    }
    // A HEADER alone may end the text (the name maps of result folders do);
    // any other section is closed by END.
    const TextToken t = lex_.peek();
    if (t.kind == Tok::End && stage == 0) return std::move(result_);
    // Read partial, a text may end inside or after its VALUE section.
    if (partial_ && stage == 4 && (cut_ || (!at_word("END") && cut_off()))) {
        result_.complete = false;
        return std::move(result_);
    }
    if (!at_word("END")) return expected(t.at, kAfterSection[stage]);
    lex_.next();
    // Writers leave text after END (a variables_file that ends "END\n.s"):
    // what END closed is read, and the caller learns where the rest begins.
    const TextToken rest = lex_.peek();
    if (rest.kind != Tok::End)
        result_.warnings.push_back(format_message("{}: text after END ignored", lex_.where(rest.at)));
    return std::move(result_);
}

}  // namespace

bool looks_like_psf_text(const unsigned char* bytes, std::uint64_t len) {
    return len >= 6 && std::memcmp(bytes, "HEADER", 6) == 0 && (len == 6 || is_text_space(bytes[6]));
}

Result<ParseResult> parse_psf_text(const unsigned char* bytes, std::uint64_t len, const ReadOptions& options,
                                   bool partial) {
    try {
        ReadContext ctx(options);
        TextParser parser(bytes, len, ctx, partial);
        return parser.parse();
    } catch (const std::bad_alloc&) {
        return out_of_memory("out of memory while reading the file");
    }
}

}  // namespace karvo
