// Method boundary: no C++ exception may unwind into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

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

// Runs a method body. std::bad_alloc becomes MemoryError, every other C++
// exception the panic exception with its message.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return nullptr;
}

// The same for slots that report failure with -1.
template <class F>
int guarded_int(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return -1;
}

}  // namespace zelkor::py
