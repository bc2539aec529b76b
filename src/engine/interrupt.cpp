#include "interrupt.h"

#include "cpu_relax.h"

#include <chrono>

namespace zelkor {

std::atomic<uint32_t> STOP_SCOPES{0};

StopThread& stop_thread() {
    thread_local StopThread t;
    return t;
}

void poll_stop() {
    StopThread& t = stop_thread();
    StopControl* c = t.control;
    if (!c) return;
    if (t.owner && !c->stopped() && c->check(c->ctx)) c->stop.store(true, std::memory_order_relaxed);
    if (c->stopped()) throw Interrupted{};
}

void pass_bytes_slow(size_t n) {
    StopThread& t = stop_thread();
    if (!t.control) return;
    if (n < t.credit) {
        t.credit -= n;
        return;
    }
    t.credit = POLL_BYTES;
    poll_stop();
}

// A caller that sees the count may return without the mutex: it joins every
// worker before this object goes.
void BatchStop::worker_done() {
    std::lock_guard<std::mutex> held(mutex_);
    finished_.fetch_add(1, std::memory_order_release);
    cv_.notify_one();
}

// A caller asleep in the wait takes some 20 us to wake on a virtual machine
// whose processor went idle meanwhile, a sixth of a 128 KB batch, while the
// workers mostly finish within microseconds of the caller. So the caller
// spins first: while every worker runs, up to SPIN_RUNNING; while one has
// not begun, only up to SPIN_UNBEGUN, since a thread queued on the caller's
// own processor runs only once the caller sleeps. (A busy caller also makes
// the system place the next call's threads on the other processors, where
// they begin at once, instead of beside it half of the time.)
bool BatchStop::spin_wait(size_t workers) const {
    using Clock = std::chrono::steady_clock;
    constexpr auto SPIN_UNBEGUN = std::chrono::microseconds(40);
    constexpr auto SPIN_RUNNING = std::chrono::microseconds(300);
    const Clock::time_point start = Clock::now();
    for (unsigned i = 0;; ++i) {
        if (finished_.load(std::memory_order_acquire) >= workers) return true;
        if ((i & 15) == 15) {
            const auto spent = Clock::now() - start;
            if (spent > SPIN_RUNNING) return false;
            if (spent > SPIN_UNBEGUN && begun_.load(std::memory_order_acquire) < workers) return false;
            if (stopped()) return false;
        }
        cpu_relax();
    }
}

void BatchStop::wait(size_t workers, bool may_poll) {
    if (workers == 0 || (may_poll && spin_wait(workers))) return;
    std::unique_lock<std::mutex> held(mutex_);
    auto done = [&] { return finished_.load(std::memory_order_acquire) >= workers; };
    while (!done()) {
        cv_.wait_for(held, std::chrono::milliseconds(20));
        if (done() || !control_ || control_->stopped()) continue;
        held.unlock();
        try {
            poll_stop();
        } catch (const Interrupted&) {
            // The workers see the flag at their next poll; wait for them.
        }
        held.lock();
    }
}

}  // namespace zelkor
