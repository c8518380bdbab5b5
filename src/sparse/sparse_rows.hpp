// Reading rows of a sparse matrix a block at a time: a block's stored values laid out densely in
// a buffer that is all zeros between uses, so that walks and votes read them as dense rows while
// no more than one block per thread is ever dense.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sparse/sparse_set.hpp"
#include "support/dataset.hpp"

namespace lindorf {

// Rows [begin, end) of x densely, in `zeros`, which must hold zeros only (it is resized as
// needed). clear() puts the zeros back.
MatrixView dense_rows(const SparseRows& x, std::size_t begin, std::size_t end,
                      std::vector<float>& zeros);
void clear_rows(const SparseRows& x, std::size_t begin, std::size_t end, std::vector<float>& zeros);

// How many rows of a matrix with n_cols features a dense block may hold: about 1 MiB.
std::size_t dense_block_rows(std::size_t n_cols);

// The same matrix by rows, with its own arrays.
struct OwnedSparseRows {
    std::vector<float> values;
    std::vector<std::uint32_t> cols;
    std::vector<std::uint64_t> starts;
    SparseRows view(std::size_t n_rows, std::size_t n_cols) const {
        return {n_rows, n_cols, values, cols, starts};
    }
};

OwnedSparseRows rows_of_columns(const SparseColumns& x);

// The whole matrix laid out densely, a stored value v as 0.0 + v (a stored -0.0 is 0.0).
FeatureMatrix dense_matrix(const SparseColumns& x);

}  // namespace lindorf
