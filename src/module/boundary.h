// Method boundary: no C++ exception may unwind into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

namespace zelkor::py {

// The process-wide exception class for internal failures, derived from
// BaseException. Created by the module's execution step; null before.
PyObject* panic_exception();
// Creates it if needed, as `qualified_name` (the class of the module that
// creates it). Call with the creation lock held (see module.cpp).
bool ensure_panic_exception(const char* qualified_name);

// Sets the panic exception with `message`.
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
