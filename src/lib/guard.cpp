#include "lib/guard.hpp"

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "support/error.hpp"
#include "support/output.hpp"

namespace lindorf {

namespace {

// Created on first use and kept for the life of the interpreter, so that every failure raises
// the same type. Derived from BaseException: an internal failure is not an ordinary error that
// `except Exception` should swallow and carry on from.
PyObject* panic_type_object = nullptr;

PyObject* panic_type() {
    if (panic_type_object == nullptr) {
        panic_type_object = PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "An internal failure of the lindorf learner; the message says what went wrong.",
            PyExc_BaseException, nullptr);
    }
    return panic_type_object;
}

void raise_panic(const char* message) {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the creation error stands in for the panic
    PyObject* text =
        PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace");
    if (text == nullptr) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

// InternalError writes its own diagnostic where it is raised; other exceptions come from the
// standard library and are reported here, where they are caught. The line is formatted without
// allocating (memory may be what ran out) and written in one piece so that it stays whole; a
// failure to report cannot itself be reported.
void report_foreign_failure(const char* what) {
    char line[1024];
    int length = std::snprintf(line, sizeof line, "lindorf: internal failure: %s\n", what);
    if (length < 0) return;
    std::size_t size = static_cast<std::size_t>(length);
    if (size >= sizeof line) {  // cut short, but still one whole line
        size = sizeof line - 1;
        line[size - 1] = '\n';
    }
    write_fully(2, std::string_view(line, size));
}

}  // namespace

void forget_panic_type() noexcept {
    panic_type_object = nullptr;
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const InternalError& error) {
        raise_panic(error.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        report_foreign_failure(error.what());
        raise_panic(error.what());
    } catch (...) {
        report_foreign_failure("unknown exception");
        raise_panic("unknown exception");
    }
}

}  // namespace lindorf
