#include "reader/psf_file.hpp"

#include <algorithm>
#include <new>

#include "reader/page_traffic.hpp"
#include "reader/partial_body.hpp"
#include "reader/read_context.hpp"
#include "reader/sections.hpp"
#include "reader/signal_slots.hpp"
#include "reader/text_parse.hpp"
#include "types/format.hpp"

namespace karvo {

namespace {

// The declaration of a chosen signal with its read samples.
SignalRecord with_samples(const SignalRecord& declared, SampleBuffer&& samples, std::uint64_t points) {
    SignalRecord record;
    record.name = declared.name;
    record.data.kind = declared.data.kind;
    record.data.members = declared.data.members;
    record.data.member_count = declared.data.member_count;
    record.data.samples = std::move(samples);
    record.type_properties = declared.type_properties;
    record.properties = declared.properties;
    record.points = points;
    return record;
}

}  // namespace

Result<std::shared_ptr<const PsfFile>> PsfFile::open(const std::string& native_path, const ReadOptions& options,
                                                     bool partial) {
    try {
        auto file = std::make_shared<PsfFile>();
        file->path_ = native_path;
        KARVO_ASSIGN(file->file_, map_file(native_path));
        ReadOptions catalog_only = options;
        catalog_only.samples = false;
        catalog_only.only = nullptr;
        // The catalog needs a few words of each frame or record: no read-ahead.
        file->file_.advise_random();
        {
            PageTraffic pages(file->file_, 1 << 20);
            pages.install(catalog_only, /*announce=*/false);
            const unsigned char* bytes = file->file_.bytes();
            const std::uint64_t size = file->file_.size();
            if (partial && is_psf_text(bytes, size)) {
                KARVO_ASSIGN(ParseResult read, parse_psf_text(bytes, size, catalog_only, /*partial=*/true));
                file->complete_ = read.complete;
                file->parsed_ = std::make_shared<const ParseResult>(std::move(read));
            } else if (partial) {
                KARVO_ASSIGN(PartialParse read, parse_psfbin_partial(bytes, size, catalog_only));
                file->complete_ = read.complete;
                file->parsed_ = std::make_shared<const ParseResult>(std::move(read.parsed));
            } else {
                KARVO_ASSIGN(ParseResult read, parse_psf(bytes, size, catalog_only));
                file->parsed_ = std::make_shared<const ParseResult>(std::move(read));
            }
        }
        file->file_.advise_normal();
        file->body_ = file->parsed_->body;
        const SignalCatalog& catalog = file->parsed_->catalog;
        file->ids_ = catalog.sweep_ids;
        file->ids_.insert(file->ids_.end(), catalog.trace_ids.begin(), catalog.trace_ids.end());
        // Each id stands for one record, as a whole read would take them:
        // a repeated id fails here as it would there.
        ReadContext ctx(catalog_only);
        IdIndex seen;
        file->signals_.reserve(file->ids_.size());
        file->points_.reserve(file->ids_.size());
        for (std::uint32_t id : file->ids_) {
            const SignalRecord* record = catalog.signals.find(id);
            const auto next = static_cast<std::uint32_t>(file->signals_.size());
            KARVO_ASSIGN(std::uint32_t at, seen.insert(id, next, ctx));
            if (record == nullptr || at != next)
                return ParseError{format_message("internal: missing declaration {} during assembly", id)};
            file->signals_.push_back(record);
            file->points_.push_back(record->points);
            KARVO_TRY(ctx.tick(sizeof(SignalTable::Entry)));
        }
        return std::shared_ptr<const PsfFile>(std::move(file));
    } catch (const std::bad_alloc&) {
        return out_of_memory("out of memory while reading the file");
    }
}

Result<std::vector<SignalRecord>> PsfFile::read(const std::vector<std::size_t>& chosen,
                                                const ReadOptions& options) const {
    try {
        std::vector<std::uint32_t> only;
        ReadOptions selected = options;
        selected.samples = true;
        selected.only = &only;
        selected.counted = counts_in_catalog_;
        ReadContext ctx(selected);
        only.reserve(chosen.size());
        for (std::size_t i : chosen) {
            only.push_back(ids_[i]);
            KARVO_TRY(ctx.tick(sizeof(std::uint32_t)));
        }
        // Ids nearly always grow in declaration order: no sort then.
        if (!std::is_sorted(only.begin(), only.end())) std::sort(only.begin(), only.end());

        std::vector<SignalRecord> records;
        records.reserve(chosen.size());
        const BodyLocation& body = body_;
        if (chosen.empty()) return records;
        if (!body.sampled()) {
            // Text: parsed again, keeping the chosen signals' samples.
            PageTraffic pages(file_);
            pages.install(selected, /*announce=*/false);
            selected.counted = false;
            KARVO_ASSIGN(ParseResult again, complete_ ? parse_psf(file_.bytes(), file_.size(), selected)
                                                      : parse_psf_text(file_.bytes(), file_.size(), selected, true));
            for (std::size_t i : chosen) {
                SignalRecord* record = again.catalog.signals.find(ids_[i]);
                if (record == nullptr || record->points != points_[i]) return file_changed_error(0);
                records.push_back(with_samples(*signals_[i], std::move(record->data.samples), record->points));
                KARVO_TRY(ctx.tick(sizeof(SignalRecord)));
            }
            return records;
        }
        // Windowed frames keep each signal's points together: a read of some
        // signals asks the kernel for their ranges only.
        const bool some_frames = body.layout == ValueLayout::Windowed && chosen.size() < ids_.size();
        // A read of some frames touches few pages per megabyte: they go soon.
        PageTraffic pages(file_, some_frames ? 1 << 20 : 8 << 20);
        pages.install(selected, some_frames);
        if (some_frames) file_.advise_random();
        ByteCursor cursor(file_.bytes(), file_.size());
        KARVO_ASSIGN(SignalSlots slots, SignalSlots::make(parsed_->catalog, ctx));
        Status walked = read_sampled_body(cursor, parsed_->catalog, body, ctx, slots);
        if (some_frames) file_.advise_normal();
        if (!walked) {
            // The catalog's walk went through these bytes without fault.
            if (walked.error().kind != ErrorKind::Malformed) return std::move(walked).error();
            return file_changed_error(cursor.pos());
        }
        if (cursor.pos() != body.end) return file_changed_error(body.start);
        for (std::size_t i : chosen) {
            SignalSlot* slot = slots.find(ids_[i]);
            // Counted by this walk (a refreshed file): as many as the file had.
            if (slot->points != points_[i]) return file_changed_error(body.start);
            records.push_back(with_samples(*signals_[i], std::move(slot->samples), slot->points));
            KARVO_TRY(ctx.tick(sizeof(SignalRecord)));
        }
        KARVO_TRY(slots.release(ctx));
        return records;
    } catch (const std::bad_alloc&) {
        return out_of_memory("out of memory while reading the file");
    }
}

Result<std::shared_ptr<const PsfFile>> PsfFile::refreshed(const ReadOptions& options) const {
    try {
        if (complete_) return std::shared_ptr<const PsfFile>();
        // Text tells no offsets to read on from: it is read again.
        if (!body_.sampled()) return open(path_, options, /*partial=*/true);
        KARVO_ASSIGN(MappedFile now, map_file(path_));
        // A file that shrank is another file now (a new run writes it).
        if (now.size() < body_.end) return file_changed_error(now.size());
        if (now.size() == file_.size()) return std::shared_ptr<const PsfFile>();
        KARVO_ASSIGN(BodyTail tail,
                     read_body_tail(now.bytes(), now.size(), parsed_->catalog, body_, body_.end, ids_, options));
        auto file = std::make_shared<PsfFile>();
        file->path_ = path_;
        file->file_ = std::move(now);
        file->parsed_ = parsed_;
        file->body_ = BodyLocation{body_.layout, body_.start, tail.end};
        file->complete_ = tail.complete;
        file->counts_in_catalog_ = false;
        file->ids_ = ids_;
        file->signals_ = signals_;
        file->points_ = points_;
        for (std::size_t i = 0; i < file->points_.size(); ++i) file->points_[i] += tail.added[i];
        return std::shared_ptr<const PsfFile>(std::move(file));
    } catch (const std::bad_alloc&) {
        return out_of_memory("out of memory while reading the file");
    }
}

}  // namespace karvo
