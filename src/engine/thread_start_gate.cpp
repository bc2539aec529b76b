#include "thread_start_gate.h"

#include <pthread.h>

#include <cstring>

namespace zelkor {

std::atomic<size_t> BATCH_THREADS_RUNNING{0};

namespace {

// Where the C library offers it, a fork that waits for the gate holds new
// starts back instead of waiting for a moment without any.
#if defined(PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP)
#define ZELKOR_GATE_INITIALIZER PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP
#else
#define ZELKOR_GATE_INITIALIZER PTHREAD_RWLOCK_INITIALIZER
#endif

pthread_rwlock_t gate = ZELKOR_GATE_INITIALIZER;

void before_fork() { pthread_rwlock_wrlock(&gate); }

void after_fork_parent() { pthread_rwlock_unlock(&gate); }

// The lock knows its writer by thread id, and the child's one thread has a
// new one: the gate is made anew instead of unlocked.
void after_fork_child() {
    static const pthread_rwlock_t fresh = ZELKOR_GATE_INITIALIZER;
    std::memcpy(static_cast<void*>(&gate), &fresh, sizeof gate);
    // The forking thread is in no batch, and the others are gone.
    BATCH_THREADS_RUNNING.store(0, std::memory_order_relaxed);
}

// Registered while the module loads. (Not on first use: a fork while
// another thread was registering the handlers inside a guarded static would
// leave the child waiting for that static forever.)
[[maybe_unused]] const int registered =
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);

}  // namespace

ThreadStartGuard::ThreadStartGuard() noexcept : held_(pthread_rwlock_rdlock(&gate) == 0) {}

ThreadStartGuard::~ThreadStartGuard() {
    if (held_) pthread_rwlock_unlock(&gate);
}

}  // namespace zelkor
