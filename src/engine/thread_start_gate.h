// Thread starts and fork, kept apart.
//
// Starting a thread may reuse the stack of a thread that has ended. The C
// library moves that stack to the in-use list and only then frees, one by
// one, the thread-local blocks the ended thread had made for dynamically
// loaded modules (this one among them). A fork in between gives the child
// that stack with blocks already freed, and the child frees them a second
// time when it starts threads of its own: its heap is corrupted (seen about
// once in two thousand forks of a parent whose threads ran batches).
//
// So every thread this module starts is started inside a ThreadStartGuard,
// which holds the gate shared, and a fork takes the gate alone. The gate is
// never held while waiting for any other lock, so its fork handler may run
// before or after any other.
#pragma once

#include <atomic>
#include <cstddef>

namespace zelkor {

// The threads of all the batches running in the process, their callers
// included (see BatchThreadsRunning). Here because a fork must reset it:
// the child has none of the threads it counts.
extern std::atomic<size_t> BATCH_THREADS_RUNNING;

class ThreadStartGuard {
public:
    ThreadStartGuard() noexcept;
    ~ThreadStartGuard();
    ThreadStartGuard(const ThreadStartGuard&) = delete;
    ThreadStartGuard& operator=(const ThreadStartGuard&) = delete;

private:
    bool held_;
};

}  // namespace zelkor
