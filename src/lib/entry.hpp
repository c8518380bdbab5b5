// The fixed scripts of the two training functions, run once their arguments are accepted: copy
// the arrays, cut off the last tenth of the rows, train on the rest, predict the held-out rows
// and print the report. Internal failures propagate as exceptions for the caller's guard.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace lindorf {

// `features` and `labels` are arrays accepted by accept_array.
void train_tree(PyObject* features, PyObject* labels, std::uint32_t max_depth);

void train_forest(PyObject* features, PyObject* labels, std::uint32_t max_depth,
                  std::uint32_t n_trees);

}  // namespace lindorf
