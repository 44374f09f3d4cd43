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
    std::unordered_map<std::uint32_t, GroupSlots> groups;
    groups.reserve(catalog.groups.size());
    for (const auto& [id, group] : catalog.groups) {
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
        groups.emplace(id, std::move(g));
    }

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
            auto g = groups.find(id);
            if (g == groups.end())
                return ParseError{format_message("value record references unknown group {}", id)};
            const std::uint64_t width = g->second.words > UINT64_MAX / 8 ? UINT64_MAX : 8 * g->second.words;
            KARVO_TRY(cursor.skip(width));
            for (SignalSlot* member : g->second.members) ++member->points;
        } else {
            return ParseError{format_message(
                "expected DECLARATION (16) or GROUP_DECLARATION (17) at offset {}, got {}", at, kind)};
        }
    }
    const std::uint64_t stop = cursor.pos();

    KARVO_TRY(slots.size_buffers());

    const unsigned char* p = cursor.data() + start;
    const unsigned char* const last = cursor.data() + stop;
    while (p < last) {
        const std::uint32_t kind = load_be32(p);
        const std::uint32_t id = load_be32(p + 4);
        p += 8;
        if (kind == word(ChunkKind::Declaration)) {
            SignalSlot* slot = slots.find(id);
            copy_be_f64(slot->out, p, slot->words);
            slot->out += slot->words;
            p += 8 * slot->words;
        } else {
            for (SignalSlot* member : groups.find(id)->second.members) {
                copy_be_f64(member->out, p, member->words);
                member->out += member->words;
                p += 8 * member->words;
            }
        }
    }
    return {};
}

}  // namespace karvo
