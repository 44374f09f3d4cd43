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
    // limits and callbacks apply, their selection does not. `partial`: a
    // psfbin file may lack its trailer (see parse_psfbin_partial). Never throws.
    static Result<std::shared_ptr<const PsfFile>> open(const std::string& native_path, const ReadOptions& options,
                                                       bool partial = false);

    const PropertyList& header() const { return parsed_->header; }
    const SignalCatalog& catalog() const { return parsed_->catalog; }
    // The declared sweeps, then the traces, in declaration order.
    const std::vector<const SignalRecord*>& signals() const { return signals_; }
    // The points of signals()[i] that a read gives.
    std::uint64_t points(std::size_t i) const { return points_[i]; }
    std::size_t sweep_count() const { return parsed_->catalog.sweep_ids.size(); }
    // What the parse at open had to tell (ParseResult::warnings); reads of
    // signals parse text again but tell nothing more.
    const std::vector<std::string>& warnings() const { return parsed_->warnings; }
    // Whether the whole file was read: false for a file without its trailer
    // (opened partial), whose points end with its last whole frame or sweep point.
    bool complete() const { return complete_; }

    // The samples of the signals at `chosen` (indices into signals(), in
    // increasing order): one record each, in that order. May run on several
    // threads at once. Never throws.
    Result<std::vector<SignalRecord>> read(const std::vector<std::size_t>& chosen, const ReadOptions& options) const;

    // The file as it stands now, for one opened partial and not complete:
    // the points appended since counted on from where this one's end (what
    // is known is not read again); null when it has not grown. This object
    // is not changed: reads that hold it go on. Never throws.
    Result<std::shared_ptr<const PsfFile>> refreshed(const ReadOptions& options) const;

private:
    std::string path_;
    MappedFile file_;
    // Shared with the objects refreshed from this one: the declarations do
    // not change as the body grows.
    std::shared_ptr<const ParseResult> parsed_;
    BodyLocation body_;                            // the body up to its whole points
    bool complete_ = true;
    bool counts_in_catalog_ = true;                // points_ are the catalog records' counts
    std::vector<std::uint32_t> ids_;               // sweep ids, then trace ids
    std::vector<const SignalRecord*> signals_;     // their records
    std::vector<std::uint64_t> points_;            // their points
};

}  // namespace karvo
