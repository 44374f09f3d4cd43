#include "reader/sections.hpp"
#include "reader/signal_slots.hpp"
#include "types/chunks.hpp"
#include "types/format.hpp"

namespace karvo {

namespace {

// A group record carries one point of each member, back to back.
struct GroupSlots {
    std::vector<SignalSlot*> members;
    std::uint64_t words = 0;  // float64 words per record
};

}  // namespace

Status read_grouped_swept_body(ByteCursor& cursor, SignalCatalog& catalog, std::uint64_t content_end) {
    SignalSlots slots(catalog);
    // A group's member list is made when a record first names it: nested groups
    // repeat their members at every level, so lists for all declared groups
    // could take a hundred times the file's size. A record that names a group
    // covers at least 8 bytes per member, so used lists stay within the file.
    IdMap<GroupSlots> groups;
    auto group_slots = [&](std::uint32_t id) -> const GroupSlots* {
        auto made = groups.find(id);
        if (made != groups.end()) return &made->second;
        auto declared = catalog.groups.find(id);
        if (declared == catalog.groups.end()) return nullptr;
        const GroupRecord& group = declared->second;
        const auto& ids = group.in_sweeps ? catalog.sweep_ids : catalog.trace_ids;
        GroupSlots g;
        g.members.reserve(group.last - group.first);
        for (std::size_t i = group.first; i < group.last; ++i) {
            // Every listed id has a record: declarations insert before they list.
            SignalSlot* slot = slots.find(ids[i]);
            g.members.push_back(slot);
            // Saturates instead of wrapping: an absurd width then fails as a short file.
            if (__builtin_add_overflow(g.words, slot->words, &g.words)) g.words = UINT64_MAX / 8;
        }
        return &groups.emplace(id, std::move(g)).first->second;
    };

    const std::uint64_t start = cursor.pos();
    while (cursor.pos() < content_end) {
        const std::uint64_t at = cursor.pos();
        KARVO_ASSIGN(std::uint32_t kind, cursor.read_u32());
        KARVO_ASSIGN(std::uint32_t id, cursor.read_u32());
        if (kind == word(ChunkKind::Declaration)) {
            SignalSlot* slot = slots.find(id);
            if (slot == nullptr)
                return ParseError{format_message("value record references unknown declaration {}", id)};
            KARVO_TRY(cursor.skip(8 * slot->words));
            ++slot->points;
        } else if (kind == word(ChunkKind::GroupDeclaration)) {
            const GroupSlots* g = group_slots(id);
            if (g == nullptr)
                return ParseError{format_message("value record references unknown group {}", id)};
            const std::uint64_t width = g->words > UINT64_MAX / 8 ? UINT64_MAX : 8 * g->words;
            KARVO_TRY(cursor.skip(width));
            for (SignalSlot* member : g->members) ++member->points;
        } else {
            return ParseError{format_message(
                "expected DECLARATION (16) or GROUP_DECLARATION (17) at offset {}, got {}", at, kind)};
        }
    }
    const std::uint64_t stop = cursor.pos();

    KARVO_TRY(slots.size_buffers());

    // The filling pass reads the records again: another process writing the
    // file in between can change them, so each must still fit what was counted.
    const unsigned char* const data = cursor.data();
    const unsigned char* p = data + start;
    const unsigned char* const last = data + stop;
    while (p < last) {
        const auto at = static_cast<std::uint64_t>(p - data);
        if (last - p < 8) return file_changed_error(at);
        const std::uint32_t kind = load_be32(p);
        const std::uint32_t id = load_be32(p + 4);
        p += 8;
        const auto left = static_cast<std::uint64_t>(last - p) / 8;
        if (kind == word(ChunkKind::Declaration)) {
            SignalSlot* slot = slots.find(id);
            if (slot == nullptr || !slot->has_room() || slot->words > left) return file_changed_error(at);
            copy_be_f64(slot->out, p, slot->words);
            slot->out += slot->words;
            p += 8 * slot->words;
        } else {
            auto g = groups.find(id);
            if (kind != word(ChunkKind::GroupDeclaration) || g == groups.end() || g->second.words > left)
                return file_changed_error(at);
            for (SignalSlot* member : g->second.members) {
                if (!member->has_room()) return file_changed_error(at);
                copy_be_f64(member->out, p, member->words);
                member->out += member->words;
                p += 8 * member->words;
            }
        }
    }
    if (!slots.all_filled()) return file_changed_error(start);
    return {};
}

}  // namespace karvo
