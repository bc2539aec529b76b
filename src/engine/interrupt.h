// Stopping a long engine call from outside. The caller of an operation may
// install a StopControl on its thread; the encode loops then poll it every
// POLL_BYTES of input, and the batch workers share it. A poll that finds the
// call stopped throws Interrupted, which unwinds to the caller: the
// operation's results are dropped, and every cache stays whole (a poll
// never falls inside the handling of one pre-token).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace zelkor {

struct Interrupted {};

// Input bytes between two polls of one thread: some 20 ms of work at the
// slowest encode speeds (a few MB/s, on long words of random letters), and
// rare enough at the usual ones to cost nothing measurable.
inline constexpr size_t POLL_BYTES = size_t(64) << 10;

struct StopControl {
    std::atomic<bool> stop{false};
    // Asked by the installing thread at its polls; true stops the call.
    bool (*check)(void* ctx) = nullptr;
    void* ctx = nullptr;

    bool stopped() const { return stop.load(std::memory_order_relaxed); }
};

// The number of threads that have a control installed, process-wide:
// while there are none, accounting for a text costs one load.
extern std::atomic<uint32_t> STOP_SCOPES;

// What one thread knows of the call it works for.
struct StopThread {
    StopControl* control = nullptr;
    bool owner = false;           // runs control->check at its polls
    size_t credit = POLL_BYTES;   // bytes until the next poll
    std::atomic<uint32_t>* scopes = &STOP_SCOPES;  // of the engine this record belongs to
};

// This thread's record in the engine. The binding modules that link no
// engine of their own reach it through a pointer to this function.
StopThread& stop_thread();

// Makes `c` the control of thread `t` for the scope; an `owner` also runs
// its check. Nests: the previous control comes back at the end. A scope
// made empty does nothing until enter().
class StopScope {
public:
    StopScope() = default;
    StopScope(StopThread& t, StopControl* c, bool owner) { enter(t, c, owner); }
    ~StopScope() {
        if (!t_) return;
        if (t_->control) t_->scopes->fetch_sub(1, std::memory_order_relaxed);
        t_->control = prev_;
        t_->owner = prev_owner_;
    }
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

    // Once, on an empty scope.
    void enter(StopThread& t, StopControl* c, bool owner) {
        t_ = &t;
        prev_ = t.control;
        prev_owner_ = t.owner;
        t.control = c;
        t.owner = owner && c && c->check;
        t.credit = POLL_BYTES;
        if (c) t.scopes->fetch_add(1, std::memory_order_relaxed);
    }

private:
    StopThread* t_ = nullptr;
    StopControl* prev_ = nullptr;
    bool prev_owner_ = false;
};

// Throws Interrupted if the current call is to stop (asking the check on
// the owning thread).
void poll_stop();

void pass_bytes_slow(size_t n);

// Accounts for n bytes about to be encoded, and polls once POLL_BYTES have
// passed since the last poll of this thread.
inline void pass_bytes(size_t n) {
    if (STOP_SCOPES.load(std::memory_order_relaxed) != 0) pass_bytes_slow(n);
}

// The shared side of one batch: workers on other threads install the
// control of the calling thread, and the caller waits for them while it
// keeps polling, so a stop is seen while the last long texts still run.
class BatchStop {
public:
    BatchStop() : control_(stop_thread().control) {}
    bool stopped() const { return control_ && control_->stopped(); }
    StopScope enter_worker() const { return StopScope(stop_thread(), control_, false); }
    // A worker thread runs (called first thing on the worker).
    void worker_began() { begun_.fetch_add(1, std::memory_order_release); }
    // A worker thread is done (called last thing on the worker).
    void worker_done();
    // Waits until `workers` worker threads are done; the caller polls on.
    // With `may_poll`, it first waits a while without sleeping.
    void wait(size_t workers, bool may_poll = false);

private:
    // Waits for the workers without sleeping while that is likely to be
    // short; true when they are done.
    bool spin_wait(size_t workers) const;

    StopControl* control_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::atomic<size_t> begun_{0};
    std::atomic<size_t> finished_{0};  // raised under mutex_, read without it too
};

}  // namespace zelkor
