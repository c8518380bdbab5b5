// Binding the arguments of a vectorcall (positional array plus a tuple of keyword names) to the
// parameters of a module function, and converting them, with the interpreter's own wording for
// every mistake.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "io/numpy_input.hpp"

namespace lindorf {

// All parameters are positional-or-keyword and required.
struct Signature {
    const char* function;
    std::span<const char* const> parameters;  // at most max_parameters
};

inline constexpr std::size_t max_parameters = 4;

// Borrowed references, in parameter order.
struct BoundArguments {
    std::array<PyObject*, max_parameters> values{};
};

// Empty with a TypeError set when the call does not fit the signature.
std::optional<BoundArguments> bind_arguments(const Signature& signature, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames);

// The accepted array (borrowed), or null with the error set. A TypeError names the argument.
PyObject* array_argument(PyObject* value, const char* name, ArraySpec spec);

// Any object with an integer value in 0..4294967295, through the index protocol. Empty with the
// error set otherwise; a TypeError names the argument, an OverflowError does not.
std::optional<std::uint32_t> u32_argument(PyObject* value, const char* name);

}  // namespace lindorf
