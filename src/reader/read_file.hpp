// The whole road from a path to what a read hands to its caller: the file
// mapped, parsed, its sweeps and traces taken out of the catalog in
// declaration order, and the mapping released.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reader/parse.hpp"
#include "reader/read_context.hpp"

namespace karvo {

struct FileContents {
    PropertyList header;
    SignalTable signals;                // the records, each named once below
    std::vector<SignalRecord*> sweeps;  // declaration order
    std::vector<SignalRecord*> traces;  // declaration order
    PackedValues values;
    std::vector<std::string> warnings;  // as ParseResult's
};

// Takes the records of `ids`, in order, out of `signals` (they stay in the
// table, marked taken); an id without a record (a repeated id, since each
// lookup takes its entry) is an error. Asks `ctx` between records whether
// to stop. `next`: where in the table the records are looked for first
// (see SignalTable::take_in_turn); start at 0 and pass it on to the next call.
Result<std::vector<SignalRecord*>> resolve_signals(const std::vector<std::uint32_t>& ids, SignalTable& signals,
                                                   ReadContext& ctx, std::size_t& next);

// Sweeps and traces resolved, the rest of the catalog dropped.
Result<FileContents> resolve_contents(ParseResult&& parsed, const ReadOptions& options = {});

// Touches no Python object: callers may run it without the interpreter lock.
// Never throws.
Result<FileContents> read_file(const std::string& native_path, const ReadOptions& options = {});

}  // namespace karvo
