// An open file whose declarations are known and whose samples are read on
// demand, a few signals at a time: the file stays mapped, the catalog
// (names, kinds, point counts, properties) is parsed once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "reader/mapped_file.hpp"
#include "reader/parse.hpp"

namespace karvo {

class PsfFile {
public:
    // Maps the file and reads everything but the samples; the options'
    // limits and callbacks apply, their selection does not. Never throws.
    static Result<std::shared_ptr<const PsfFile>> open(const std::string& native_path, const ReadOptions& options);

    const PropertyList& header() const { return parsed_.header; }
    const SignalCatalog& catalog() const { return parsed_.catalog; }
    // The declared sweeps, then the traces, in declaration order.
    const std::vector<const SignalRecord*>& signals() const { return signals_; }
    std::size_t sweep_count() const { return parsed_.catalog.sweep_ids.size(); }
    // What the parse at open had to tell (ParseResult::warnings); reads of
    // signals parse text again but tell nothing more.
    const std::vector<std::string>& warnings() const { return parsed_.warnings; }

    // The samples of the signals at `chosen` (indices into signals(), in
    // increasing order): one record each, in that order. May run on several
    // threads at once. Never throws.
    Result<std::vector<SignalRecord>> read(const std::vector<std::size_t>& chosen, const ReadOptions& options) const;

private:
    MappedFile file_;
    ParseResult parsed_;
    std::vector<std::uint32_t> ids_;               // sweep ids, then trace ids
    std::vector<const SignalRecord*> signals_;     // their records
};

}  // namespace karvo
