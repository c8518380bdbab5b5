// The learner's view of training data: one contiguous row-major block of single-precision
// features and a contiguous list of labels. Views are cheap to copy and never own memory, so the
// train/test cut and every tree of a forest share one copy of the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lindorf {

using Label = std::uint32_t;
using Labels = std::vector<Label>;

struct MatrixView {
    const float* data = nullptr;
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;

    std::span<const float> row(std::size_t i) const { return {data + i * n_cols, n_cols}; }
    float at(std::size_t r, std::size_t c) const { return data[r * n_cols + c]; }
    // Rows [begin, end), which must lie within the view.
    MatrixView rows(std::size_t begin, std::size_t end) const {
        return {data + begin * n_cols, end - begin, n_cols};
    }
};

struct FeatureMatrix {
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;
    std::vector<float> values;  // n_rows * n_cols, row-major

    MatrixView view() const { return {values.data(), n_rows, n_cols}; }
};

}  // namespace lindorf
