// Signals during long engine calls. Python runs signal handlers only on the
// main thread and only with the lock held; a call that keeps the lock
// released for seconds would hold Ctrl-C back that long. So the engine,
// working for the main thread, asks at its polls (interrupt.h) whether to
// stop; every CHECK_INTERVAL this re-takes the lock to run the handlers,
// and a handler that raises stops the call with its exception set.
//
// Other threads are never asked: handlers do not run there, and a thread
// that re-takes the lock during finalization may be ended on the spot.
#pragma once

#include <Python.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "interrupt.h"
#include "thread_end.h"

namespace zelkor::py {

inline std::atomic<unsigned long>& main_thread_ident() {
    static std::atomic<unsigned long> ident{0};
    return ident;
}

// Records the main interpreter's main thread (call with the lock held, from the
// module's execution step). A forked child's main thread is the one that
// forked, as the interpreter has it too.
inline bool note_main_thread() {
    // Handlers run only in the main interpreter; a sub-interpreter's main
    // thread may be any thread of the process.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) return true;
    PyObject* threading = PyImport_ImportModule("threading");
    if (!threading) return false;
    PyObject* main = PyObject_CallMethod(threading, "main_thread", nullptr);
    Py_DECREF(threading);
    if (!main) return false;
    PyObject* ident = PyObject_GetAttrString(main, "ident");
    Py_DECREF(main);
    if (!ident) return false;
    const unsigned long value = PyLong_AsUnsignedLong(ident);
    Py_DECREF(ident);
    if (PyErr_Occurred()) return false;
    main_thread_ident().store(value);
    static std::once_flag registered;
    std::call_once(registered, [] {
        pthread_atfork(nullptr, nullptr, [] { main_thread_ident().store(PyThread_get_thread_ident()); });
    });
    return true;
}

inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

class SignalPoll {
public:
    static constexpr auto CHECK_INTERVAL = std::chrono::milliseconds(40);

    // `stops` is the engine's stop_thread (null: nothing to poll).
    SignalPoll(PyThreadState* state, StopThread& (*stops)()) : state_(state) {
        if (!stops || PyThread_get_thread_ident() != main_thread_ident().load()) return;
        control_.check = &check;
        control_.ctx = this;
        scope_.enter(stops(), &control_, true);
    }
    SignalPoll(const SignalPoll&) = delete;
    SignalPoll& operator=(const SignalPoll&) = delete;

    // The thread state to re-attach with at the end.
    PyThreadState* thread_state() const { return state_; }

private:
    static bool check(void* ctx) {
        auto* self = static_cast<SignalPoll*>(ctx);
        const auto now = std::chrono::steady_clock::now();
        if (now < self->next_) return false;
        self->next_ = now + CHECK_INTERVAL;
        if (!python_objects_usable() || interpreter_finalizing()) return false;
        PyEval_RestoreThread(self->state_);
        const bool raised = PyErr_CheckSignals() < 0;
        self->state_ = PyEval_SaveThread();
        return raised;
    }

    PyThreadState* state_;
    StopControl control_;
    // The first poll checks at once: it comes only after POLL_BYTES of
    // work, and short calls are spared the clock.
    std::chrono::steady_clock::time_point next_{};
    StopScope scope_;
};

}  // namespace zelkor::py
