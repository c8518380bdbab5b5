// Copying strided views: every layout NumPy can hand over must yield the logical contents.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "io/strided.hpp"
#include "support/error.hpp"

namespace lindorf {
namespace {

using Rows = std::vector<std::vector<float>>;

Rows rows_of(const FeatureMatrix& m) {
    Rows out(m.n_rows);
    for (std::size_t i = 0; i < m.n_rows; ++i) {
        out[i].assign(m.values.begin() + static_cast<std::ptrdiff_t>(i * m.n_cols),
                      m.values.begin() + static_cast<std::ptrdiff_t>((i + 1) * m.n_cols));
    }
    return out;
}

constexpr std::ptrdiff_t F = sizeof(float);

// The 2 x 3 matrix a[i][j] = 10 * i + j, stored in C order and in Fortran order.
const float c_order[] = {0, 1, 2, 10, 11, 12};
const float f_order[] = {0, 10, 1, 11, 2, 12};

struct MatrixCase {
    const char* name;
    StridedMatrix view;
    Rows expected;
};

class StridedMatrixTest : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(StridedMatrixTest, YieldsLogicalContents) {
    const MatrixCase& c = GetParam();
    FeatureMatrix m = copy_strided_matrix(c.view);
    EXPECT_EQ(m.n_rows, c.view.n_rows);
    EXPECT_EQ(m.n_cols, c.view.n_cols);
    EXPECT_EQ(m.values.size(), m.n_rows * m.n_cols);
    EXPECT_EQ(rows_of(m), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, StridedMatrixTest,
    ::testing::Values(
        MatrixCase{"c_order", {c_order, 2, 3, 3 * F, F}, {{0, 1, 2}, {10, 11, 12}}},
        MatrixCase{"fortran_order", {f_order, 2, 3, F, 2 * F}, {{0, 1, 2}, {10, 11, 12}}},
        // a.T: row j of the result is column j of a.
        MatrixCase{"transposed", {c_order, 3, 2, F, 3 * F}, {{0, 10}, {1, 11}, {2, 12}}},
        MatrixCase{"transposed_fortran", {f_order, 3, 2, 2 * F, F}, {{0, 10}, {1, 11}, {2, 12}}},
        // a[::-1] starts at the last row and walks back.
        MatrixCase{"reversed_rows", {c_order + 3, 2, 3, -3 * F, F}, {{10, 11, 12}, {0, 1, 2}}},
        MatrixCase{"reversed_cols", {c_order + 2, 2, 3, 3 * F, -F}, {{2, 1, 0}, {12, 11, 10}}},
        MatrixCase{"reversed_both", {c_order + 5, 2, 3, -3 * F, -F}, {{12, 11, 10}, {2, 1, 0}}},
        MatrixCase{"every_other_col", {c_order, 2, 2, 3 * F, 2 * F}, {{0, 2}, {10, 12}}},
        MatrixCase{"middle_col", {c_order + 1, 2, 1, 3 * F, F}, {{1}, {11}}},
        MatrixCase{"last_row", {c_order + 3, 1, 3, 3 * F, F}, {{10, 11, 12}}},
        // broadcast_to(a[1], (3, 3)) and broadcast_to(a[:, :1], (2, 4)).
        MatrixCase{"zero_row_stride",
                   {c_order + 3, 3, 3, 0, F},
                   {{10, 11, 12}, {10, 11, 12}, {10, 11, 12}}},
        MatrixCase{"zero_col_stride", {c_order, 2, 4, 3 * F, 0}, {{0, 0, 0, 0}, {10, 10, 10, 10}}},
        MatrixCase{"scalar_broadcast", {c_order + 4, 2, 2, 0, 0}, {{11, 11}, {11, 11}}},
        MatrixCase{"no_columns", {c_order, 4, 0, 0, F}, {{}, {}, {}, {}}},
        MatrixCase{"no_rows", {c_order, 0, 5, 5 * F, F}, {}},
        MatrixCase{"nothing_at_all", {nullptr, 0, 0, 0, 0}, {}}),
    [](const ::testing::TestParamInfo<MatrixCase>& info) { return std::string(info.param.name); });

TEST(StridedMatrix, ReadsStridesThatAreNotMultiplesOfTheElementSize) {
    // Floats 1.5, 2.5, 3.5, 4.5 at byte offsets 1, 6, 11, 16: a 2 x 2 view with row stride 10
    // and column stride 5, as a hand-built view over a byte buffer could describe.
    unsigned char bytes[24] = {};
    const float values[] = {1.5f, 2.5f, 3.5f, 4.5f};
    for (int k = 0; k < 4; ++k) std::memcpy(bytes + 1 + 5 * k, &values[k], sizeof(float));
    FeatureMatrix m = copy_strided_matrix({bytes + 1, 2, 2, 10, 5});
    EXPECT_EQ(rows_of(m), (Rows{{1.5f, 2.5f}, {3.5f, 4.5f}}));
}

TEST(StridedMatrix, ReadsDenseDataAtAnUnalignedAddress) {
    // np.frombuffer(..., offset=1) gives C-ordered arrays at odd addresses.
    alignas(float) unsigned char bytes[1 + 6 * sizeof(float)] = {};
    std::memcpy(bytes + 1, c_order, sizeof c_order);
    FeatureMatrix m = copy_strided_matrix({bytes + 1, 2, 3, 3 * F, F});
    EXPECT_EQ(rows_of(m), (Rows{{0, 1, 2}, {10, 11, 12}}));
    Labels y = copy_strided_vector({bytes + 1, 6, sizeof(Label)});
    EXPECT_EQ(y.size(), 6u);
    EXPECT_EQ(std::memcmp(y.data(), c_order, sizeof c_order), 0);
}

TEST(StridedMatrix, CopiesSpecialValuesBitForBit) {
    const float special[] = {std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(),
                             -0.0f,
                             std::bit_cast<float>(std::uint32_t{0x7fc01234}),  // NaN with payload
                             std::numeric_limits<float>::denorm_min(),
                             0.0f};
    // Read transposed, so the element-by-element path does the copying.
    FeatureMatrix m = copy_strided_matrix({special, 3, 2, F, 3 * F});
    const int order[] = {0, 3, 1, 4, 2, 5};
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(m.values[k]),
                  std::bit_cast<std::uint32_t>(special[order[k]]))
            << "position " << k;
    }
}

struct VectorCase {
    const char* name;
    StridedVector view;
    Labels expected;
};

const Label labels[] = {7, 0, 1, 4000000000u, 3};

class StridedVectorTest : public ::testing::TestWithParam<VectorCase> {};

TEST_P(StridedVectorTest, YieldsLogicalContents) {
    EXPECT_EQ(copy_strided_vector(GetParam().view), GetParam().expected);
}

constexpr std::ptrdiff_t L = sizeof(Label);

INSTANTIATE_TEST_SUITE_P(
    Layouts, StridedVectorTest,
    ::testing::Values(VectorCase{"contiguous", {labels, 5, L}, {7, 0, 1, 4000000000u, 3}},
                      VectorCase{"reversed", {labels + 4, 5, -L}, {3, 4000000000u, 1, 0, 7}},
                      VectorCase{"every_other", {labels, 3, 2 * L}, {7, 1, 3}},
                      VectorCase{"reversed_every_other", {labels + 3, 2, -2 * L}, {4000000000u, 0}},
                      VectorCase{"broadcast", {labels + 2, 4, 0}, {1, 1, 1, 1}},
                      VectorCase{"single", {labels + 3, 1, 12345}, {4000000000u}},
                      VectorCase{"empty", {nullptr, 0, L}, {}}),
    [](const ::testing::TestParamInfo<VectorCase>& info) { return std::string(info.param.name); });

TEST(ShapeLines, NameRowsAndColumnsInDecimal) {
    FeatureMatrix three_by_two{3, 2, std::vector<float>(6)};
    EXPECT_EQ(x_shape_line(three_by_two), "Shape of x matrix (3, 2)\n");
    FeatureMatrix no_columns{4, 0, {}};
    EXPECT_EQ(x_shape_line(no_columns), "Shape of x matrix (4, 0)\n");
    FeatureMatrix tall{1234567, 0, {}};
    EXPECT_EQ(x_shape_line(tall), "Shape of x matrix (1234567, 0)\n");
    EXPECT_EQ(y_shape_line(Labels{1, 0, 1}), "Shape of y (3,)\n");
    EXPECT_EQ(y_shape_line(Labels{}), "Shape of y (0,)\n");
}

TEST(ShapeLines, MatrixWithoutRowsHasNoFirstRowToMeasure) {
    FeatureMatrix no_rows{0, 5, {}};
    try {
        (void)x_shape_line(no_rows);
        FAIL() << "expected an internal failure";
    } catch (const InternalError& error) {
        EXPECT_STREQ(error.what(), "index out of bounds: the len is 0 but the index is 0");
    }
}

}  // namespace
}  // namespace lindorf
