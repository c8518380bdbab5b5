#include "sparse/sparse_rows.hpp"

#include <algorithm>

namespace lindorf {

MatrixView dense_rows(const SparseRows& x, std::size_t begin, std::size_t end,
                      std::vector<float>& zeros) {
    if (zeros.size() < (end - begin) * x.n_cols) zeros.resize((end - begin) * x.n_cols, 0.0f);
    for (std::size_t r = begin; r < end; ++r) {
        float* row = zeros.data() + (r - begin) * x.n_cols;
        for (std::uint64_t k = x.starts[r]; k < x.starts[r + 1]; ++k) row[x.cols[k]] = x.values[k];
    }
    return {zeros.data(), end - begin, x.n_cols};
}

void clear_rows(const SparseRows& x, std::size_t begin, std::size_t end,
                std::vector<float>& zeros) {
    for (std::size_t r = begin; r < end; ++r) {
        float* row = zeros.data() + (r - begin) * x.n_cols;
        for (std::uint64_t k = x.starts[r]; k < x.starts[r + 1]; ++k) row[x.cols[k]] = 0.0f;
    }
}

std::size_t dense_block_rows(std::size_t n_cols) {
    return std::clamp<std::size_t>((std::size_t{1} << 18) / std::max<std::size_t>(n_cols, 1), 16,
                                   4096);
}

OwnedSparseRows rows_of_columns(const SparseColumns& x) {
    OwnedSparseRows out;
    out.starts.assign(x.n_rows + 1, 0);
    for (std::uint32_t row : x.rows) ++out.starts[row + 1];
    for (std::size_t r = 0; r < x.n_rows; ++r) out.starts[r + 1] += out.starts[r];
    out.values.resize(x.values.size());
    out.cols.resize(x.values.size());
    std::vector<std::uint64_t> next(out.starts.begin(), out.starts.end() - 1);
    // Features in ascending order: each row's features come out ascending.
    for (std::size_t f = 0; f < x.n_cols; ++f)
        for (std::uint64_t k = x.starts[f]; k < x.starts[f + 1]; ++k) {
            const std::uint64_t at = next[x.rows[k]]++;
            out.values[at] = x.values[k];
            out.cols[at] = static_cast<std::uint32_t>(f);
        }
    return out;
}

FeatureMatrix dense_matrix(const SparseColumns& x) {
    FeatureMatrix out{x.n_rows, x.n_cols, std::vector<float>(x.n_rows * x.n_cols, 0.0f)};
    for (std::size_t f = 0; f < x.n_cols; ++f)
        for (std::uint64_t k = x.starts[f]; k < x.starts[f + 1]; ++k)
            out.values[x.rows[k] * x.n_cols + f] = 0.0f + x.values[k];
    return out;
}

}  // namespace lindorf
