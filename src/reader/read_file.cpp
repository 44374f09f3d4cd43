#include "reader/read_file.hpp"

#include <new>

#include "reader/mapped_file.hpp"
#include "types/format.hpp"

namespace karvo {

Result<std::vector<SignalRecord>> resolve_signals(const std::vector<std::uint32_t>& ids,
                                                  IdMap<SignalRecord>& signals) {
    std::vector<SignalRecord> records;
    records.reserve(ids.size());
    for (std::uint32_t id : ids) {
        auto node = signals.extract(id);
        if (node.empty())
            return ParseError{format_message("internal: missing declaration {} during assembly", id)};
        records.push_back(std::move(node.mapped()));
    }
    return records;
}

Result<FileContents> resolve_contents(ParseResult&& parsed) {
    SignalCatalog& catalog = parsed.catalog;
    FileContents contents;
    KARVO_ASSIGN(contents.sweeps, resolve_signals(catalog.sweep_ids, catalog.signals));
    KARVO_ASSIGN(contents.traces, resolve_signals(catalog.trace_ids, catalog.signals));
    contents.header = std::move(parsed.header);
    contents.values = std::move(catalog.values);
    return contents;
}

Result<FileContents> read_file(const std::string& native_path, const ReadOptions& options) {
    try {
        KARVO_ASSIGN(MappedFile file, map_file(native_path));
        ReadOptions with_file = options;
        with_file.done_before = [](void* context, std::uint64_t offset) {
            static_cast<const MappedFile*>(context)->advise_done_before(offset);
        };
        with_file.done_before_context = &file;
        KARVO_ASSIGN(ParseResult parsed, parse_psf(file.bytes(), file.size(), with_file));
        // Nothing refers to the file's bytes from here on.
        file.release_view();
        return resolve_contents(std::move(parsed));
    } catch (const std::bad_alloc&) {
        return out_of_memory("out of memory while reading the file");
    }
}

}  // namespace karvo
