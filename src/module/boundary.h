// Method boundary: no C++ exception may unwind into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "interrupt.h"
#include "thread_end.h"

namespace zelkor::py {

// The full name of the exception class for internal failures; each
// extension module that links this boundary defines its own.
extern const char PANIC_EXCEPTION_NAME[];

// A new reference to the exception class for internal failures, derived
// from BaseException: one per interpreter, made by the first module
// execution there and found again by later ones. Null with an exception set
// on failure.
PyObject* panic_exception();

// Sets the current interpreter's panic exception with `message`
// (SystemError before the module has made it).
void raise_panic(const char* message);

// A stopped engine call: the signal handler's exception is normally set
// already; a call is never failed without one.
inline void interrupted() {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
}

// Runs a method body. std::bad_alloc becomes MemoryError, an interrupted
// engine call the exception the signal handler set, every other C++
// exception the panic exception with its message.
//
// Not noexcept, and the thread-ending unwind passes through: on CPython
// 3.10-3.13 a thread that re-takes the interpreter during finalization is
// ended by an unwind that must reach the thread's start.
template <class F>
PyObject* guarded(F&& body) {
    try {
        return body();
    } catch (const Interrupted&) {
        interrupted();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        if (thread_ending()) throw;
        raise_panic("unknown internal failure");
    }
    return nullptr;
}

// The same for slots that report failure with -1.
template <class F>
int guarded_int(F&& body) {
    try {
        return body();
    } catch (const Interrupted&) {
        interrupted();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        if (thread_ending()) throw;
        raise_panic("unknown internal failure");
    }
    return -1;
}

}  // namespace zelkor::py
