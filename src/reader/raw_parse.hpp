// SPICE raw files (ngspice, Xyce, LTspice): one plot after another, each a
// text header and a binary or Values: body, read into what read_psf's
// assembly takes, one FileContents per plot.
//
// A plot of one point (an operating point) gives one value per variable,
// and so does a plot named "Operating Point" (values of several points are
// arrays); any other gives the first variable as its sweep and the others
// as its traces. A complex plot's sweep is the real part of its first variable.
// Every variable's properties are its type ("type": voltage, ...) with its
// units, and the fields after the type (grid=3, ...).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reader/read_file.hpp"

namespace karvo {

struct RawPlot {
    FileContents contents;
    // A plot flagged "stepped" (LTspice's .step): the first point of each
    // run, 0 first; a run starts where the sweep is back at its first
    // value (an operating point's every point is a run). Empty for other
    // plots.
    std::vector<std::uint64_t> run_starts;
};

// Never throws: a failed allocation is an OutOfMemory error. Malformed
// files give "line L: ..." or name a byte offset; from the second plot on,
// messages begin "plot K (from offset N): ".
Result<std::vector<RawPlot>> parse_raw(const unsigned char* bytes, std::uint64_t len, const ReadOptions& options = {});

// Touches no Python object: callers may run it without the interpreter lock.
Result<std::vector<RawPlot>> read_raw_file(const std::string& native_path, const ReadOptions& options = {});

}  // namespace karvo
