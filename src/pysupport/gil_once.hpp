// One-time initialisation of a process-wide object under the interpreter lock.
// A thread that finds another thread initialising releases the lock while it
// waits, because the initialising thread may need the lock (imports do).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace karvo {

class GilOnce {
public:
    // Runs init() (which returns false with a Python error set on failure)
    // unless a previous call succeeded. A failed attempt leaves nothing done,
    // so the next call tries again. Returns whether the object is ready.
    template <typename Init>
    bool run(Init&& init) {
        // Once done, a load: this runs for every object a read makes.
        if (done_flag_.load(std::memory_order_acquire)) return true;
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                if (state_ == State::Done) return true;
                if (state_ == State::Idle) {
                    state_ = State::Running;
                    owner_ = std::this_thread::get_id();
                    break;
                }
                if (owner_ == std::this_thread::get_id()) {
                    PyErr_SetString(PyExc_RuntimeError, "karvo: initialisation re-entered itself");
                    return false;
                }
            }
            PyThreadState* saved = PyEval_SaveThread();
            {
                std::unique_lock lock(mutex_);
                done_.wait(lock, [this] { return state_ != State::Running; });
            }
            PyEval_RestoreThread(saved);
        }
        bool ok = false;
        try {
            ok = init();
        } catch (...) {
            // A failed allocation inside init: the next call tries again.
            finish(false);
            throw;
        }
        finish(ok);
        return ok;
    }

private:
    void finish(bool ok) {
        {
            std::lock_guard lock(mutex_);
            state_ = ok ? State::Done : State::Idle;
            owner_ = std::thread::id();
            if (ok) done_flag_.store(true, std::memory_order_release);
        }
        done_.notify_all();
    }

    enum class State { Idle, Running, Done };
    std::mutex mutex_;
    std::condition_variable done_;
    State state_ = State::Idle;
    std::thread::id owner_;
    std::atomic<bool> done_flag_{false};
};

}  // namespace karvo
