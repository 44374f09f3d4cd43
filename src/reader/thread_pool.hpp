// The threads that decode one large body together. A body is cut into parts
// (whole frames, whole blocks of cycles) whose places in every sample buffer
// are known beforehand; the calling thread and the pool's threads take parts
// in turn, each writing its own stretch of the buffers.
//
// One pool serves the process. The setting (set_num_threads) bounds the
// threads working at once over all reads: a read's own thread counts, and
// the pool lends the rest, so two reads on two Python threads share the
// cores instead of each taking all of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "reader/read_context.hpp"

namespace karvo {

// Threads that may work at once: the setting, else KARVO_NUM_THREADS (a
// positive integer; anything else is ignored), else the cores this process
// may run on (its CPU affinity).
unsigned num_threads();
// 0 goes back to the default.
void set_num_threads(unsigned n);

// For tests and fuzzing: every sampled body is split, into the smallest parts
// its layout allows, whatever its size and the number of threads. Returns
// the previous state.
bool force_split(bool on);

// How a body of `bytes` is cut: 0 parts when it is read on the calling
// thread alone, else the bytes each part should hold at least.
std::uint64_t split_part_bytes(std::uint64_t bytes);

// Runs part(i, ctx) for every i below `parts`, on the calling thread and on
// the pool's threads. Each part gets a ReadContext of its own, whose checks
// end the part when the read is interrupted (asked on the calling thread
// only: the caller's callback may need the interpreter) or when an earlier
// part failed. Returns the failure of the lowest part that failed, or the
// interruption; parts after a failed one may not have run.
Status run_parts(std::size_t parts, ReadContext& ctx, const std::function<Status(std::size_t, ReadContext&)>& part);

}  // namespace karvo
