#include "reader/thread_pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "types/process.hpp"

namespace karvo {

namespace {

// Bodies from this size on are split when more than one thread may work
// (measured: a 20 KB file gains nothing, and waking a thread costs tens of
// microseconds; from a few megabytes the second core pays).
constexpr std::uint64_t kSplitFrom = 4 << 20;
// Parts hold about this much: small enough that a thread slowed by the rest
// of the machine leaves little for the others to wait for, large enough that
// the per-part work (its write positions, a lock to ask for help) is noise.
constexpr std::uint64_t kPartBytes = 4 << 20;
// While the calling thread waits for the pool's threads, it looks at whether
// the read should stop this often.
constexpr auto kWaitSlice = std::chrono::milliseconds(50);

std::atomic<unsigned> g_threads{0};  // 0: not decided yet
std::atomic<bool> g_forced{false};

unsigned default_threads() {
    if (const char* env = std::getenv("KARVO_NUM_THREADS")) {
        char* end = nullptr;
        const unsigned long n = std::strtoul(env, &end, 10);
        if (end != env && *end == '\0' && n >= 1 && n <= 4096) return static_cast<unsigned>(n);
    }
    return usable_cores();
}

// One run_parts call: its parts, handed out in the order `order` gives, and
// who works on it.
struct Job {
    const std::function<Status(std::size_t, ReadContext&)>* part = nullptr;
    const ReadOptions* caller = nullptr;  // the read's options (its interrupt callback)
    std::size_t parts = 0;
    std::vector<std::size_t> order;  // the part handed out n-th
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> first_failed{std::numeric_limits<std::size_t>::max()};
    std::atomic<bool> interrupted{false};
    std::vector<std::unique_ptr<ParseError>> errors;  // by part; each written by the part's thread only
    // Under the pool's lock:
    unsigned helpers = 0;  // pool threads inside run_parts of this job
    std::condition_variable left;

    void failed(std::size_t i, ParseError error) {
        if (error.kind == ErrorKind::Interrupted && (interrupted.load() || i > first_failed.load())) {
            // Stopped by another part's fate, not by its own bytes.
        } else {
            errors[i] = std::make_unique<ParseError>(std::move(error));
        }
        if (errors[i] == nullptr) return;
        std::size_t seen = first_failed.load();
        while (i < seen && !first_failed.compare_exchange_weak(seen, i)) {
        }
    }
};

// The checks of one part: end it when the read is interrupted, or when a
// part before it failed (its own result no longer matters).
struct PartCheck {
    Job* job;
    std::size_t index;
    bool on_caller;

    static bool stop(void* self) {
        auto* c = static_cast<PartCheck*>(self);
        Job& job = *c->job;
        if (job.interrupted.load(std::memory_order_relaxed)) return true;
        if (c->index > job.first_failed.load(std::memory_order_relaxed)) return true;
        if (c->on_caller && job.caller->interrupted != nullptr &&
            job.caller->interrupted(job.caller->interrupt_context)) {
            job.interrupted.store(true);
            return true;
        }
        return false;
    }
};

// One thread's share of a job: its checks and context live across the parts
// it takes, so that the pacing of its asks spans small parts too.
class Worker {
public:
    Worker(Job& job, bool on_caller) : check_{&job, 0, on_caller}, options_(*job.caller), ctx_(prepared()) {}
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void run(std::size_t i) {
        check_.index = i;
        Status done = (*check_.job->part)(i, ctx_);
        if (!done) check_.job->failed(i, std::move(done).error());
    }

private:
    const ReadOptions& prepared() {
        options_.interrupted = PartCheck::stop;
        options_.interrupt_context = &check_;
        // On a pool thread the check is a look at two atomics.
        options_.interrupted_is_cheap = !check_.on_caller;
        // Pages are given back by the walk of one thread in order: parts leave them.
        options_.passed = nullptr;
        options_.passed_context = nullptr;
        return options_;
    }

    PartCheck check_;
    ReadOptions options_;
    ReadContext ctx_;
};

// Takes parts of `job` until none is left, it failed, or (on a pool thread)
// the pool has more threads at work than the setting allows.
class Pool {
public:
    // Work the calling thread does itself, with help when threads are free.
    Status run(Job& job) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++busy_;
            recruit(job);
        }
        Worker self(job, /*on_caller=*/true);
        for (std::size_t i; take(job, i);) {
            self.run(i);
            if (job.next.load() < job.parts && busy_.load() < num_threads()) {
                std::lock_guard<std::mutex> lock(mutex_);
                recruit(job);
            }
        }
        std::unique_lock<std::mutex> lock(mutex_);
        // Help not yet begun is no longer wanted.
        const auto before = queue_.size();
        queue_.erase(std::remove(queue_.begin(), queue_.end(), &job), queue_.end());
        const auto dropped = static_cast<unsigned>(before - queue_.size());
        busy_ -= dropped;
        idle_ += dropped;  // the threads kept for it wait for other work
        while (job.helpers != 0) {
            if (job.left.wait_for(lock, kWaitSlice) == std::cv_status::timeout && !job.interrupted.load() &&
                job.caller->interrupted != nullptr) {
                lock.unlock();
                if (job.caller->interrupted(job.caller->interrupt_context)) job.interrupted.store(true);
                lock.lock();
            }
        }
        --busy_;
        lock.unlock();
        if (job.interrupted.load()) return ParseError{"interrupted", ErrorKind::Interrupted};
        const std::size_t failed = job.first_failed.load();
        if (failed < job.parts && job.errors[failed] != nullptr) return std::move(*job.errors[failed]);
        return {};
    }

private:
    // The next part to run, while the read goes on: parts after one that
    // failed are passed over, those before it still run (the earliest
    // failure is the one reported).
    static bool take(Job& job, std::size_t& i) {
        while (!job.interrupted.load(std::memory_order_relaxed)) {
            const std::size_t n = job.next.fetch_add(1);
            if (n >= job.parts) return false;
            i = job.order[n];
            if (i < job.first_failed.load(std::memory_order_relaxed)) return true;
        }
        return false;
    }

    // Asks free threads to help with `job` (the lock held).
    void recruit(Job& job) {
        const unsigned limit = num_threads();
        const auto waiting = static_cast<std::size_t>(std::count(queue_.begin(), queue_.end(), &job));
        const std::size_t left = job.parts - std::min(job.parts, job.next.load());
        // The calling thread takes a part too.
        std::size_t want = left > 1 ? left - 1 : 0;
        want = want > job.helpers + waiting ? want - job.helpers - waiting : 0;
        const unsigned current = busy_.load();
        want = std::min<std::size_t>(want, current < limit ? limit - current : 0);
        for (std::size_t k = 0; k < want; ++k) {
            if (idle_ == 0) {
                // A thread that cannot be started leaves the work to the others.
                try {
                    std::thread([this] { serve(); }).detach();
                } catch (...) {
                    break;
                }
                ++idle_;
            }
            --idle_;
            queue_.push_back(&job);
            ++busy_;
            wake_.notify_one();
        }
    }

    void serve() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return !queue_.empty(); });
            Job& job = *queue_.front();
            queue_.pop_front();
            ++job.helpers;
            lock.unlock();
            {
                Worker helper(job, /*on_caller=*/false);
                for (std::size_t i; take(job, i);) {
                    helper.run(i);
                    // Another read has started: give it the core back.
                    if (busy_.load() > num_threads()) break;
                }
            }
            lock.lock();
            --busy_;
            ++idle_;
            if (--job.helpers == 0) job.left.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job*> queue_;      // help asked for and not yet begun, one entry per thread
    std::atomic<unsigned> busy_{0};  // threads at work or asked to be: callers, helpers, queued help
    unsigned idle_ = 0;           // pool threads waiting for work
};

// The process's pool. A child made by fork has none of its parent's threads:
// it makes a pool of its own (the parent's stays, unused: its lock may have
// been held at the fork). Pools are never destroyed, since their threads
// outlive every static object.
Pool& pool() {
    static std::mutex made;
    static Pool* current = nullptr;
    static long owner = 0;
    std::lock_guard<std::mutex> lock(made);
    const long pid = process_id();
    if (current == nullptr || owner != pid) {
        current = new Pool;
        owner = pid;
    }
    return *current;
}

}  // namespace

unsigned num_threads() {
    unsigned n = g_threads.load();
    if (n == 0) {
        n = default_threads();
        g_threads.store(n);
    }
    return n;
}

void set_num_threads(unsigned n) { g_threads.store(n == 0 ? default_threads() : n); }

bool force_split(bool on) { return g_forced.exchange(on); }

std::uint64_t split_part_bytes(std::uint64_t bytes) {
    if (g_forced.load()) return 1;
    if (bytes < kSplitFrom || num_threads() < 2) return 0;
    return kPartBytes;
}

Status run_parts(std::size_t parts, ReadContext& ctx, const std::function<Status(std::size_t, ReadContext&)>& part) {
    Job job;
    job.part = &part;
    job.caller = &ctx.options;
    job.parts = parts;
    job.errors.resize(parts);
    // The parts are handed out from as many stretches of the body as threads
    // may work, in turn (0, k, 2k, ..., then 1, k + 1, ...): threads at work
    // at once write far apart in every buffer. Neighbouring parts share the
    // pages of each buffer at their seam, and two threads faulting in the
    // same fresh page wait for each other.
    const std::size_t lanes = std::max<std::size_t>(1, std::min<std::size_t>(num_threads(), parts));
    const std::size_t per = (parts + lanes - 1) / lanes;
    job.order.reserve(parts);
    for (std::size_t j = 0; j < per; ++j)
        for (std::size_t lane = 0; lane < lanes; ++lane)
            if (lane * per + j < parts) job.order.push_back(lane * per + j);
    return pool().run(job);
}

}  // namespace karvo
