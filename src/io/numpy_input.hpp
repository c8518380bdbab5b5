// Accepting NumPy arrays as training input and copying them into the learner's own data. Only
// the extension module includes this header: it is the one place that speaks NumPy's C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "support/dataset.hpp"

namespace lindorf {

// What an argument must be: its number of dimensions and NumPy element type number.
struct ArraySpec {
    int n_dims;
    int type_num;
};

// x_py: two-dimensional float32; y_py: one-dimensional uint32.
ArraySpec feature_array_spec();
ArraySpec label_array_spec();

// Returns `object` (borrowed) when it is a NumPy array (or subclass) with the wanted number of
// dimensions and an equivalent element type, or null with a TypeError set. Nothing is ever cast.
// The first acceptance in the process fetches NumPy's C API; failing to is an internal failure,
// tried again by the next call.
PyObject* accept_array(PyObject* object, ArraySpec spec);

// Drops the C API table fetched in a finalised interpreter; the next acceptance fetches it anew.
void forget_numpy_api() noexcept;

// Copy an accepted array and print its shape line to standard output. A feature array without
// rows, or an array that no longer passes acceptance (changed in place since), is an internal
// failure and prints nothing.
FeatureMatrix numpy_to_x(PyObject* features);
Labels numpy_to_y(PyObject* labels);

}  // namespace lindorf
