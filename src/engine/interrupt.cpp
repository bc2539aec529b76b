#include "interrupt.h"

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

void BatchStop::worker_done() {
    std::lock_guard<std::mutex> held(mutex_);
    ++done_;
    cv_.notify_one();
}

void BatchStop::wait(size_t workers) {
    std::unique_lock<std::mutex> held(mutex_);
    while (done_ < workers) {
        cv_.wait_for(held, std::chrono::milliseconds(20));
        if (done_ >= workers || !control_ || control_->stopped()) continue;
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
