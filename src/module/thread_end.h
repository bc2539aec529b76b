// The end of a thread by the interpreter. On CPython 3.10-3.13 a thread
// that re-takes the interpreter lock while the interpreter finalizes is
// ended with pthread_exit, which unwinds the thread's stack like an
// exception. That unwind must reach the thread's start: a noexcept frame on
// the way, or a catch (...) that keeps it, aborts the process. The unwind
// carries no exception object to name in a handler, so reattach (nogil.h),
// where a call re-takes the lock, marks it, and every catch (...) on the way
// asks thread_ending() and throws it on.
#pragma once

#include <atomic>

namespace zelkor::py {

// Set once the interpreter has ended a thread of this process inside one of
// our calls: the interpreter is going away, and the frames that unwind must
// leave Python objects alone (dropping a reference without the lock races
// the finalizing thread). The references they held are left to the exit.
inline std::atomic<bool>& interpreter_ending() {
    static std::atomic<bool> ending{false};
    return ending;
}

inline bool python_objects_usable() { return !interpreter_ending().load(std::memory_order_relaxed); }

// In a catch (...): whether what was caught may be the interpreter ending
// this thread, which must go on to the thread's start. Once the
// interpreter ends threads the process is on its way out, and only
// exceptions of no known type reach such a handler.
inline bool thread_ending() { return !python_objects_usable(); }

}  // namespace zelkor::py
