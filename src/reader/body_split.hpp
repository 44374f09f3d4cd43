// A large body copied by several threads (thread_pool.hpp). The layout's
// cheap first pass has found where each part starts in the file and where
// each part's points go in every buffer; each part is then walked like a
// whole body of its own, by the same walk, with a CopyPoints that writes into
// the part's rooms. Nothing is copied twice and nothing merged: every part
// fills its own stretch of each buffer, and must fill it exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "reader/body_walk.hpp"
#include "reader/thread_pool.hpp"

namespace karvo {

// The parts of a body of `bytes` are at least this large; a part's rooms
// (one per declared signal) stay small beside the bytes it copies.
inline std::uint64_t part_bytes_for(std::uint64_t bytes, const SignalSlots& slots) {
    const std::uint64_t part = split_part_bytes(bytes);
    const std::uint64_t room_bytes = 64 * static_cast<std::uint64_t>(slots.size());
    return part == 0 || part >= room_bytes ? part : room_bytes;
}

// Copies the parts [bounds[i], bounds[i + 1]) of a body whose buffers are
// sized. `rooms(i, r)` sets part i's room of each slot that is read (r holds
// one per slot, in the order of SignalSlots::all()); `walk(i, cursor, copy,
// ctx)` walks part i from the cursor with the copying visitor. A part that
// ends elsewhere than its bound or leaves room unfilled fails as a changed
// file; a walk's own failure is returned as it is (the lowest part's). On
// success every slot read is filled.
template <typename Rooms, typename Walk>
Status copy_parts(ByteCursor& cursor, SignalSlots& slots, bool stream, const std::vector<std::uint64_t>& bounds,
                  ReadContext& ctx, Rooms&& rooms, Walk&& walk) {
    std::vector<SignalSlot>& all = slots.all();
    KARVO_TRY(run_parts(bounds.size() - 1, ctx, [&](std::size_t i, ReadContext& part_ctx) -> Status {
        std::vector<Room> room(all.size());
        rooms(i, room);
        ByteCursor c(cursor.data(), cursor.len());
        c.rewind_to(bounds[i]);
        Status walked;
        {
            CopyPoints copy(cursor.data(), stream, all.data(), room.data());
            walked = walk(i, c, copy, part_ctx);
        }
        if (!walked) return walked;
        if (c.pos() != bounds[i + 1]) return file_changed_error(bounds[i]);
        for (const Room& r : room)
            if (r.left != 0) return file_changed_error(bounds[i]);
        return {};
    }));
    for (SignalSlot& s : all) {
        if (!s.read) continue;
        s.out += s.left * s.words;
        s.left = 0;
    }
    cursor.rewind_to(bounds.back());
    return {};
}

}  // namespace karvo
