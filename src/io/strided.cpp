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

// Element (i, j) of `source` read as a T, row after row. The caller has made sure that
// n_rows * n_cols fits in a size_t.
template <class T>
std::vector<T> copy_strided(const StridedMatrix& source) {
    std::size_t count = source.n_rows * source.n_cols;
    if (count == 0) return {};
    auto item = static_cast<std::ptrdiff_t>(sizeof(T));
    bool row_dense = source.n_cols <= 1 || source.col_stride == item;
    bool rows_adjacent = source.n_rows <= 1 ||
                         source.row_stride == static_cast<std::ptrdiff_t>(source.n_cols) * item;
    if (row_dense && rows_adjacent && is_aligned<T>(source.data)) {
        const auto* first = static_cast<const T*>(source.data);
        return std::vector<T>(first, first + count);  // one pass, without zero-filling first
    }
    std::vector<T> out(count);
    T* target = out.data();
    for (std::size_t i = 0; i < source.n_rows; ++i) {
        std::ptrdiff_t row_offset = static_cast<std::ptrdiff_t>(i) * source.row_stride;
        for (std::size_t j = 0; j < source.n_cols; ++j) {
            std::ptrdiff_t offset = row_offset + static_cast<std::ptrdiff_t>(j) * source.col_stride;
            std::memcpy(target++, element(source.data, offset), sizeof(T));
        }
    }
    return out;
}

}  // namespace

FeatureMatrix copy_strided_matrix(const StridedMatrix& source) {
    std::size_t count = 0;
    LINDORF_CHECK(!__builtin_mul_overflow(source.n_rows, source.n_cols, &count),
                  "a feature matrix of " + std::to_string(source.n_rows) + " x " +
                      std::to_string(source.n_cols) + " values does not fit in memory");
    return FeatureMatrix{
        .n_rows = source.n_rows,
        .n_cols = source.n_cols,
        .values = copy_strided<float>(source),
    };
}

// A vector is read as a matrix of one column.
Labels copy_strided_vector(const StridedVector& source) {
    return copy_strided<Label>({
        .data = source.data,
        .n_rows = source.length,
        .n_cols = 1,
        .row_stride = source.stride,
        .col_stride = 0,
    });
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
