// Runs one piece of work per text on up to `threads` worker threads, the
// calling thread being one of them: starting one thread fewer, and keeping
// the caller busy instead of asleep in a join, measured 1.3-1.5 times faster
// for two threads (median of 30-40 rounds, tools/ab-engine.sh).
//
// Workers claim texts one at a time from a shared counter, so uneven text
// lengths balance themselves. A thread that cannot be started is no failure:
// the threads that did start, the caller at least, drain the counter.
// Nothing thrown inside a worker may leave its thread (that would end the
// process): failures are caught there, every thread is joined, and only then
// is the call failed. How the threads are started, and how many the address
// space has room for, is worker_threads.h.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>
#include <vector>

#include "interrupt.h"
#include "pcache.h"
#include "tokenizer.h"
#include "worker_threads.h"

namespace zelkor {

// Most threads one call starts, whatever it asks for: the work is bound by
// the processors, and one call must not try to start thousands of threads.
inline constexpr size_t MAX_BATCH_THREADS = 256;

// With the default thread count, text per worker. Starting a thread and
// joining it costs about 20 us on a quiet 2-core VM, more on a busy one,
// while 64 KiB of text takes 60-180 us on one thread: less than this per
// worker, and two threads are no faster than one.
inline constexpr size_t BYTES_PER_WORKER = size_t(64) << 10;

// The thread count for a batch of `texts`: an explicit request as it is; for
// the default (0), one worker per BYTES_PER_WORKER of text, at most one per
// processor.
inline size_t batch_threads(const std::vector<std::string_view>& texts, size_t threads) {
    if (threads) return threads;
    size_t bytes = 0;
    for (std::string_view s : texts) bytes += s.size();
    const size_t by_work = bytes / BYTES_PER_WORKER;
    if (by_work < 2) return 1;  // no need to ask the system for its processors
    return std::min(by_work, available_parallelism());
}

// Counts a batch's threads in BATCH_THREADS_RUNNING while it runs, and
// tells whether its caller may wait for its workers without sleeping: only
// while the batches together have no more threads than there are
// processors. A caller that polls on a busy machine takes a processor that
// a worker of its own or of another batch could use.
class BatchThreadsRunning {
public:
    explicit BatchThreadsRunning(size_t threads) : threads_(threads) {
        const size_t processors = available_parallelism();
        may_poll_ = BATCH_THREADS_RUNNING.fetch_add(threads) + threads <= processors;
    }
    ~BatchThreadsRunning() { BATCH_THREADS_RUNNING.fetch_sub(threads_); }
    BatchThreadsRunning(const BatchThreadsRunning&) = delete;
    BatchThreadsRunning& operator=(const BatchThreadsRunning&) = delete;
    bool may_poll() const { return may_poll_; }

private:
    size_t threads_;
    bool may_poll_;
};

// make_state() builds what a worker keeps across its texts;
// process(state, i, workers) handles text i with `tok`. `threads` 0 means one
// worker per processor; the count never exceeds n or MAX_BATCH_THREADS.
template <class MakeState, class Process>
void run_batch(const Tokenizer& tok, size_t n, size_t threads, MakeState&& make_state,
               Process&& process) {
    if (n == 0) return;
    const size_t requested = threads ? threads : available_parallelism();
    size_t t = std::min({n, requested, MAX_BATCH_THREADS});
    if (t >= 2) t = 1 + threads_room_allows(t - 1);
    const uint32_t workers = uint32_t(t);

    if (t < 2) {
        auto state = make_state();
        for (size_t i = 0; i < n; ++i) process(state, i, uint32_t(1));  // polls inside
        return;
    }

    // The calling thread is one of the workers: it keeps its table for `tok`
    // if that is within a worker's share, and gives up the others.
    prepare_worker_thread(tok.id, workers);
    const BatchThreadsRunning running(t);

    std::atomic<size_t> next{0};
    std::atomic<size_t> failures{0};
    std::atomic<size_t> non_memory_failures{0};
    // Stop: the calling thread's control reaches every worker; a stopped
    // batch ends at the workers' next poll and throws Interrupted here.
    BatchStop stop;
    auto worker = [&]() noexcept {
        try {
            auto state = make_state();
            for (;;) {
                if (stop.stopped()) break;
                const size_t i = next.fetch_add(1);
                if (i >= n) break;
                process(state, i, workers);
            }
        } catch (const Interrupted&) {
            // Not a failure: the flag is set, the others stop too.
        } catch (const std::bad_alloc&) {
            failures.fetch_add(1);
        } catch (...) {
            failures.fetch_add(1);
            non_memory_failures.fetch_add(1);
        }
    };
    auto started_worker = [&]() noexcept {
        stop.worker_began();
        prepare_worker_thread(tok.id, workers);
        const StopScope scope = stop.enter_worker();
        worker();
        stop.worker_done();
    };

    // Threads that cannot be started leave their share to those that did.
    WorkerThreads<MAX_BATCH_THREADS - 1> pool;
    const size_t started = pool.start(t - 1, started_worker);
    worker();
    stop.wait(started, running.may_poll());
    pool.join(running.may_poll());

    if (stop.stopped()) throw Interrupted{};
    if (failures.load() != 0) {
        if (non_memory_failures.load() == 0) throw std::bad_alloc();
        throw BatchError("a scoped thread panicked");
    }
}

}  // namespace zelkor
