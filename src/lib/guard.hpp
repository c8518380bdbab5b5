// The boundary between the interpreter and the learner. Every entry point runs its body inside
// `guarded`, so that no C++ exception ever unwinds into the interpreter: internal failures reach
// the caller as pyo3_runtime.PanicException, exhausted memory as MemoryError.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "support/thread_state.hpp"

namespace lindorf {

// Sets the Python exception for the C++ exception being handled. Only valid inside a catch block.
void raise_current_exception() noexcept;

// Drops the PanicException type of a finalised interpreter (without releasing it: its
// interpreter is gone), so that the next interpreter creates its own.
void forget_panic_type() noexcept;

// Runs body(), which returns a new reference or null with a Python error set; a C++ exception
// becomes the matching Python error and a null result. The calling thread's exception record is
// made to exist first (see support/thread_state.hpp): when there is no memory for it, the call
// raises MemoryError without a single C++ throw.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    if (!prepare_thread_state()) return PyErr_NoMemory();
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace lindorf
