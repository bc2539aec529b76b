// The end of a thread by the interpreter. On CPython 3.10-3.13 a thread
// that re-takes the interpreter lock while the interpreter finalizes is
// ended with pthread_exit, which unwinds the thread's stack like an
// exception. That unwind must reach the thread's start: a noexcept frame on
// the way, or a catch (...) that keeps it, aborts the process.
#pragma once

#include <atomic>

#if defined(__GLIBCXX__) || defined(__GLIBCPP__)
#include <cxxabi.h>
#define ZELKOR_UNWINDS_ENDED_THREADS 1
// Put first among the handlers of a try block that may see the unwind.
#define ZELKOR_PASS_THREAD_END \
    catch (abi::__forced_unwind&) { throw; }
// The same where the lock is re-taken, marking the interpreter as ending.
#define ZELKOR_PASS_THREAD_END_MARKED                                                   \
    catch (abi::__forced_unwind&) {                                                     \
        ::zelkor::py::interpreter_ending().store(true, std::memory_order_relaxed);      \
        throw;                                                                          \
    }
#else
#define ZELKOR_PASS_THREAD_END
#define ZELKOR_PASS_THREAD_END_MARKED
#endif

// For a function with one of those handlers. A forced unwind carries no
// exception object, so the handler's reference is bound to null; that is
// how the runtime delivers it, not a fault of ours, and the undefined
// behaviour sanitizer's null check would stop the process there.
#if defined(__GNUC__) || defined(__clang__)
#define ZELKOR_SEES_THREAD_END __attribute__((no_sanitize("null")))
#else
#define ZELKOR_SEES_THREAD_END
#endif

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

}  // namespace zelkor::py
