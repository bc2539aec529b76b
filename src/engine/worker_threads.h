// The threads a batch starts beside its calling thread: no more of them
// than the process's address space has room for, and ready for the
// allocations that the C library cannot survive failing.
//
// Under an address-space limit (RLIMIT_AS, or RLIMIT_DATA, which thread
// stacks count against too) thread stacks used the limit up; each thread
// then allocates its thread-local blocks on first use, and when that
// allocation fails the C library ends the process. A reserve that thread
// starts leave free keeps the process alive.
#pragma once

#include <pthread.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "thread_start_gate.h"

namespace zelkor {

// Stack of a worker thread: the process's default. (Smaller stacks would
// leave more of a limited address space. The C library keeps more of them
// for reuse, so they made the fork race of thread_start_gate.h more
// frequent; with the gate, 1 MiB stacks came through as clean.)
size_t worker_stack_bytes();

// Of `wanted` more threads, how many the address-space limits of the
// process leave room for while keeping a reserve free for what the started
// threads and the caller still allocate. Without a limit, `wanted`.
size_t threads_room_allows(size_t wanted);

// Joins `thread`; with `may_poll`, polling for up to some tens of
// microseconds before it sleeps in pthread_join.
void join_soon(pthread_t thread, bool may_poll) noexcept;

// Readies the calling thread to be one of `workers` workers of a batch for
// tokenizer `owner`: parks its caches (park_thread_caches) and makes the
// allocations that the C library ends the process for failing while the
// reserve is still there: the thread-local blocks of this module and of the
// C++ runtime, which a thread allocates on its first use of each, and the
// records of thread-local destructors. Left to first use, the runtime's
// block would be allocated by the first out-of-memory exception, just when
// memory has run out.
void prepare_worker_thread(uint64_t owner, uint32_t workers);

// Up to N threads that run one function; all of them are joined by join()
// or at destruction.
template <size_t N>
class WorkerThreads {
public:
    WorkerThreads() = default;
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;
    ~WorkerThreads() { join(); }

    // Starts up to `count` threads (at most N) that each call f(), which
    // must not throw and must outlive them. Stops at the first thread the
    // system refuses; returns how many run.
    template <class F>
    size_t start(size_t count, F& f) noexcept {
        if (count > N) count = N;
        while (started_ < count) {
            const ThreadStartGuard no_fork;
            if (pthread_create(&ids_[started_], nullptr, &call<F>, &f) != 0) break;
            ++started_;
        }
        return started_;
    }

    // A thread that has finished its work ends within microseconds; waiting
    // for that asleep would cost a wake-up of the caller, so where the
    // processors are not all busy (`may_poll`) the join polls for a while
    // first.
    void join(bool may_poll = false) noexcept {
        for (size_t i = 0; i < started_; ++i) join_soon(ids_[i], may_poll);
        started_ = 0;
    }

private:
    template <class F>
    static void* call(void* f) {
        (*static_cast<F*>(f))();
        return nullptr;
    }

    std::array<pthread_t, N> ids_;
    size_t started_ = 0;
};

}  // namespace zelkor
