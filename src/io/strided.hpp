// Copying NumPy-style strided memory into the learner's own contiguous data. An array's elements
// sit at base + i * stride0 + j * stride1 (strides in bytes, possibly negative or zero), so one
// routine serves C and Fortran order, transposes, slices, reversed and broadcast views alike.
#pragma once

#include <cstddef>
#include <string>

#include "support/dataset.hpp"

namespace lindorf {

// A two-dimensional float32 array as NumPy describes it; `data` points at element (0, 0).
struct StridedMatrix {
    const void* data = nullptr;
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;
    std::ptrdiff_t row_stride = 0;  // bytes from (i, j) to (i + 1, j)
    std::ptrdiff_t col_stride = 0;  // bytes from (i, j) to (i, j + 1)
};

// A one-dimensional uint32 array; `data` points at element 0.
struct StridedVector {
    const void* data = nullptr;
    std::size_t length = 0;
    std::ptrdiff_t stride = 0;
};

// Element (i, j) of the result is element (i, j) of the array. Elements are read bytewise, so
// strides need not be multiples of the element size.
FeatureMatrix copy_strided_matrix(const StridedMatrix& source);

Labels copy_strided_vector(const StridedVector& source);

// "Shape of x matrix (R, C)\n". The column count is that of the first row, so a matrix without
// rows has none to report and is an internal failure.
std::string x_shape_line(const FeatureMatrix& rows);

// "Shape of y (N,)\n".
std::string y_shape_line(const Labels& labels);

}  // namespace lindorf
