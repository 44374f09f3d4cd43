// The text header of one plot of a SPICE raw file (ngspice, Xyce, LTspice):
// "Name: value" lines (Title, Date, Plotname, Flags, No. Variables, No.
// Points, Offset, Command, ...), the Variables block, and the line that
// opens the body (Binary: or Values:). LTspice writes the header in
// UTF-16LE; the others in ASCII.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reader/read_context.hpp"
#include "types/properties.hpp"
#include "types/result.hpp"

namespace karvo {

enum class RawBody : std::uint8_t { Binary, Values };

struct RawVariable {
    std::string name;
    std::string type;    // as written: voltage, current, time, frequency, ...
    PropertyList extra;  // what follows the type (grid=3, dims=...), in order
};

struct RawHeader {
    // Every "Name: value" line in file order, names as written: No.
    // Variables and No. Points as integers, Offset as a float, the rest as
    // text (a name given on several lines, as LTspice's Backannotation, keeps
    // its lines joined by newlines).
    PropertyList fields;
    std::string plotname;
    std::string command;
    bool complex = false;
    bool stepped = false;
    bool fastaccess = false;
    bool doubles = false;  // "double": LTspice writes every value as float64
    bool utf16 = false;    // the header is UTF-16LE
    std::uint64_t points = 0;
    std::vector<RawVariable> variables;
    RawBody body = RawBody::Binary;
    std::uint64_t body_start = 0;  // the first byte after the Binary: or Values: line
    std::uint64_t lines = 0;       // the header's lines, the Binary: or Values: line included
};

// Whether the plot's header starting at `at` is UTF-16LE: its second byte
// is 0 (or it begins with the UTF-16LE byte order mark).
bool raw_text_is_utf16(const unsigned char* bytes, std::uint64_t len, std::uint64_t at);

// The header of the plot whose first line starts at `at`. Malformed headers
// give "line L: ..." (lines counted from the plot's first, from 1).
Result<RawHeader> read_raw_header(const unsigned char* bytes, std::uint64_t len, std::uint64_t at,
                                  ReadContext& ctx);

}  // namespace karvo
