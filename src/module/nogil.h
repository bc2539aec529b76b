// Runs engine work with the interpreter lock released (on a free-threaded
// interpreter: with the thread detached). Nothing between the release and
// the re-acquire may touch a Python object.
#pragma once

#include <Python.h>
#include <pthread.h>

#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "interrupt.h"
#include "signal_poll.h"
#include "thread_end.h"

namespace zelkor::py {

// Re-takes the lock. During finalization this may end the thread (see
// thread_end.h): the unwind then runs the watch's destructor, which marks
// the interpreter as ending for the frames above.
inline void reattach(PyThreadState* state) {
    struct EndWatch {
        bool returned = false;
        ~EndWatch() {
            if (!returned) interpreter_ending().store(true, std::memory_order_relaxed);
        }
    } watch;
    PyEval_RestoreThread(state);
    watch.returned = true;
}

// Calls f() without the lock and returns its result. What f throws is
// thrown again once the lock is back: the lock is never re-taken while an
// exception unwinds (an end of the thread then would abort the process).
// On the main thread a call on `input_bytes` of text (POLL_BYTES or more:
// shorter work never polls) stops when a signal handler raises (see
// signal_poll.h), and Interrupted is thrown with the handler's exception
// set. `stops` is the engine's stop_thread; the default is the engine
// linked with this module.
template <class F>
auto without_lock(F&& f, size_t input_bytes = 0, StopThread& (*stops)() = &stop_thread)
    -> decltype(f()) {
    using R = decltype(f());
    std::conditional_t<std::is_void_v<R>, bool, std::optional<R>> result{};
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    {
        SignalPoll poll(state, input_bytes >= POLL_BYTES ? stops : nullptr);
        try {
            if constexpr (std::is_void_v<R>)
                f();
            else
                result.emplace(f());
        } catch (...) {
            if (thread_ending()) throw;
            failure = std::current_exception();
        }
        state = poll.thread_state();
    }
    reattach(state);
    if (failure) std::rethrow_exception(failure);
    if constexpr (!std::is_void_v<R>) return std::move(*result);
}

// Registers, when the module is loaded, a fork handler that gives the
// child M unlocked: another thread of the parent may hold it at the fork,
// and the child has no such thread to ever unlock it.
template <std::mutex& M>
struct FreshInChild {
    FreshInChild() {
        pthread_atfork(nullptr, nullptr, [] { new (&M) std::mutex; });
    }
};

// Locks m, waiting for it detached from the interpreter: a thread that holds
// m may need the interpreter meanwhile (a collection stops every attached
// thread), so waiting attached could deadlock.
inline std::unique_lock<std::mutex> lock_detached(std::mutex& m) {
    std::unique_lock<std::mutex> held(m, std::try_to_lock);
    if (!held.owns_lock()) without_lock([&] { held.lock(); }, 0, nullptr);
    return held;
}

}  // namespace zelkor::py
