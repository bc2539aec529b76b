// Runs engine work with the interpreter lock released (on a free-threaded
// interpreter: with the thread detached). Nothing between construction and
// destruction may touch a Python object.
#pragma once

#include <Python.h>

#include <mutex>

namespace zelkor::py {

class ReleasedLock {
public:
    ReleasedLock() : state_(PyEval_SaveThread()) {}
    ~ReleasedLock() { PyEval_RestoreThread(state_); }
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

private:
    PyThreadState* state_;
};

// Locks m, waiting for it detached from the interpreter: a thread that holds
// m may need the interpreter meanwhile (a collection stops every attached
// thread), so waiting attached could deadlock.
inline std::unique_lock<std::mutex> lock_detached(std::mutex& m) {
    std::unique_lock<std::mutex> held(m, std::try_to_lock);
    if (!held.owns_lock()) {
        ReleasedLock released;
        held.lock();
    }
    return held;
}

// Calls f() without the lock and returns its result. If f throws, the lock
// is taken back before the exception leaves (the destructor runs first).
template <class F>
auto without_lock(F&& f) -> decltype(f()) {
    ReleasedLock released;
    return f();
}

}  // namespace zelkor::py
