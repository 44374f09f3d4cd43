#include "reader/read_file.hpp"

#include <new>

#include "reader/mapped_file.hpp"
#include "reader/page_traffic.hpp"
#include "reader/read_context.hpp"
#include "types/format.hpp"

namespace karvo {

Result<std::vector<SignalRecord*>> resolve_signals(const std::vector<std::uint32_t>& ids, SignalTable& signals,
                                                   ReadContext& ctx, std::size_t& next) {
    std::vector<SignalRecord*> records;
    records.reserve(ids.size());
    for (std::uint32_t id : ids) {
        SignalRecord* record = signals.take_in_turn(id, next);
        if (record == nullptr)
            return ParseError{format_message("internal: missing declaration {} during assembly", id)};
        records.push_back(record);
        KARVO_TRY(ctx.tick(sizeof(SignalTable::Entry)));
    }
    return records;
}

Result<FileContents> resolve_contents(ParseResult&& parsed, const ReadOptions& options) {
    SignalCatalog& catalog = parsed.catalog;
    ReadContext ctx(options);
    FileContents contents;
    // Sweeps are declared before traces: the traces' records follow the sweeps'.
    std::size_t next = 0;
    KARVO_ASSIGN(contents.sweeps, resolve_signals(catalog.sweep_ids, catalog.signals, ctx, next));
    KARVO_ASSIGN(contents.traces, resolve_signals(catalog.trace_ids, catalog.signals, ctx, next));
    // The records stay where they are: the pointers move with the table.
    contents.signals = std::move(catalog.signals);
    contents.header = std::move(parsed.header);
    contents.values = std::move(catalog.values);
    contents.warnings = std::move(parsed.warnings);
    return contents;
}

Result<FileContents> read_file(const std::string& native_path, const ReadOptions& options) {
    try {
        KARVO_ASSIGN(MappedFile file, map_file(native_path));
        // A text's pages leave the process behind the parser: its memory
        // stays near the arrays'. (A psfbin body's pages cost little more
        // than its arrays, and giving them back costs a good part of a fast
        // copy's time: they stay until the mapping goes.)
        ReadOptions with_file = options;
        PageTraffic pages(file);
        if (is_psf_text(file.bytes(), file.size())) pages.install(with_file, /*announce=*/false);
        KARVO_ASSIGN(ParseResult parsed, parse_psf(file.bytes(), file.size(), with_file));
        // Nothing refers to the file's bytes from here on.
        file.release_view();
        return resolve_contents(std::move(parsed), options);
    } catch (const std::bad_alloc&) {
        return out_of_memory("out of memory while reading the file");
    }
}

}  // namespace karvo
