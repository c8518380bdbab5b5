#include "io/strided.hpp"

#include <cstdint>
#include <cstring>

#include "support/error.hpp"

namespace lindorf {

namespace {

// Offsets are summed as integers before they touch the pointer, so only pointers to real
// elements are ever formed, whatever the signs of the strides.
const unsigned char* element(const void* base, std::ptrdiff_t offset) {
    return static_cast<const unsigned char*>(base) + offset;
}

// NumPy may hand over arrays at any byte address; only aligned ones can be read as floats.
template <class T>
bool is_aligned(const void* data) {
    return reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0;
}

bool is_c_contiguous(const StridedMatrix& m) {
    if (!is_aligned<float>(m.data)) return false;
    auto item = static_cast<std::ptrdiff_t>(sizeof(float));
    bool row_dense = m.n_cols <= 1 || m.col_stride == item;
    bool rows_adjacent =
        m.n_rows <= 1 || m.row_stride == static_cast<std::ptrdiff_t>(m.n_cols) * item;
    return row_dense && rows_adjacent;
}

}  // namespace

FeatureMatrix copy_strided_matrix(const StridedMatrix& source) {
    FeatureMatrix out;
    out.n_rows = source.n_rows;
    out.n_cols = source.n_cols;
    std::size_t count = 0;
    LINDORF_CHECK(!__builtin_mul_overflow(source.n_rows, source.n_cols, &count),
                  "a feature matrix of " + std::to_string(source.n_rows) + " x " +
                      std::to_string(source.n_cols) + " values does not fit in memory");
    if (count == 0) return out;
    if (is_c_contiguous(source)) {  // one pass, without zero-filling first
        const auto* first = static_cast<const float*>(source.data);
        out.values.assign(first, first + count);
        return out;
    }
    out.values.resize(count);
    float* target = out.values.data();
    for (std::size_t i = 0; i < source.n_rows; ++i) {
        std::ptrdiff_t row_offset = static_cast<std::ptrdiff_t>(i) * source.row_stride;
        for (std::size_t j = 0; j < source.n_cols; ++j) {
            std::ptrdiff_t offset = row_offset + static_cast<std::ptrdiff_t>(j) * source.col_stride;
            std::memcpy(target++, element(source.data, offset), sizeof(float));
        }
    }
    return out;
}

Labels copy_strided_vector(const StridedVector& source) {
    if (source.length == 0) return {};
    bool dense = source.length == 1 || source.stride == static_cast<std::ptrdiff_t>(sizeof(Label));
    if (dense && is_aligned<Label>(source.data)) {
        const auto* first = static_cast<const Label*>(source.data);
        return Labels(first, first + source.length);
    }
    Labels out(source.length);
    for (std::size_t i = 0; i < source.length; ++i) {
        std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(i) * source.stride;
        std::memcpy(&out[i], element(source.data, offset), sizeof(Label));
    }
    return out;
}

std::string x_shape_line(const FeatureMatrix& rows) {
    LINDORF_CHECK(rows.n_rows > 0, "index out of bounds: the len is 0 but the index is 0");
    return "Shape of x matrix (" + std::to_string(rows.n_rows) + ", " +
           std::to_string(rows.n_cols) + ")\n";
}

std::string y_shape_line(const Labels& labels) {
    return "Shape of y (" + std::to_string(labels.size()) + ",)\n";
}

}  // namespace lindorf
