// Converting strided input into the learner's data, and the train/test cut.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

#include "io/holdout.hpp"
#include "io/strided.hpp"
#include "reference.hpp"
#include "tree_testing.hpp"

namespace lindorf {
namespace {

using reference::Rows;
using reference::rows_of;

constexpr std::ptrdiff_t F = sizeof(float);
constexpr std::ptrdiff_t L = sizeof(Label);

// The 2 x 3 matrix a[i][j] = 10 * i + j, stored in C order.
const float c_order[] = {0, 1, 2, 10, 11, 12};

// The layouts NumPy makes easily (orders, reversals, steps, broadcasts, no columns) are compared
// with their contiguous copies in test_input.py; these are the rest.
TEST(CopyStridedMatrix, YieldsTheLogicalContentsOfEveryLayout) {
    struct Case {
        const char* name;
        StridedMatrix view;
        Rows expected;
    };
    const Case cases[] = {
        {"both reversed", {c_order + 5, 2, 3, -3 * F, -F}, {{12, 11, 10}, {2, 1, 0}}},
        {"column broadcast", {c_order, 2, 4, 3 * F, 0}, {{0, 0, 0, 0}, {10, 10, 10, 10}}},
        {"no rows", {c_order, 0, 5, 5 * F, F}, {}},
    };
    for (const Case& c : cases) {
        FeatureMatrix m = copy_strided_matrix(c.view);
        EXPECT_EQ(m.n_rows, c.view.n_rows) << c.name;
        EXPECT_EQ(m.n_cols, c.view.n_cols) << c.name;
        EXPECT_EQ(rows_of(m.view()), c.expected) << c.name;
    }
}

TEST(CopyStrided, ReadsUnalignedDataAndOddStridesBitForBit) {
    // Values at byte offsets 1, 6, 11, 16: a 2 x 2 view with row stride 10, column stride 5.
    const float special[] = {-0.0f, std::bit_cast<float>(std::uint32_t{0x7fc01234}),
                             std::numeric_limits<float>::denorm_min(), -1.5f};
    unsigned char bytes[24] = {};
    for (int k = 0; k < 4; ++k) std::memcpy(bytes + 1 + 5 * k, &special[k], sizeof(float));
    FeatureMatrix odd = copy_strided_matrix({bytes + 1, 2, 2, 10, 5});
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(std::bit_cast<std::uint32_t>(odd.values[k]),
                  std::bit_cast<std::uint32_t>(special[k]))
            << "value " << k;
    // Dense data at an odd address, as np.frombuffer(..., offset=1) gives.
    alignas(float) unsigned char dense[1 + sizeof c_order] = {};
    std::memcpy(dense + 1, c_order, sizeof c_order);
    EXPECT_EQ(rows_of(copy_strided_matrix({dense + 1, 2, 3, 3 * F, F}).view()),
              (Rows{{0, 1, 2}, {10, 11, 12}}));
    Labels y = copy_strided_vector({dense + 1, 6, L});
    ASSERT_EQ(y.size(), 6u);
    EXPECT_EQ(std::memcmp(y.data(), c_order, sizeof c_order), 0);
    EXPECT_TRUE(copy_strided_vector({nullptr, 0, L}).empty());
}

TEST(TrainingRowCount, IsNineTenthsRoundedDown) {
    EXPECT_EQ(training_row_count(569), 512u);
    // The double nearest 0.9 exceeds it by about 2e-17: too little to reach the next whole
    // number for counts this small, so trunc(n * 0.9) is exactly 9n / 10 in integers.
    for (std::size_t n = 0; n <= 200000; ++n)
        ASSERT_EQ(training_row_count(n), 9 * n / 10) << n << " rows";
}

// Rows (i, -i) and labels 100 + i.
TEST(CutHoldout, TrainsOnTheFirstRowsAndHoldsOutTheRestAsViews) {
    struct Case {
        std::size_t rows, labels, train;
        Labels test_labels;
    };
    const Case cases[] = {
        {10, 10, 9, {109}},
        {10, 12, 9, {109, 110, 111}},  // surplus labels all go to the test side
        {10, 9, 9, {}},
        {1, 1, 0, {100}},
    };
    for (const Case& c : cases) {
        FeatureMatrix rows{c.rows, 2, {}};
        for (std::size_t i = 0; i < c.rows; ++i)
            rows.values.insert(rows.values.end(), {float(i), -float(i)});
        Labels labels(c.labels);
        std::iota(labels.begin(), labels.end(), Label{100});
        Holdout h = cut_holdout(rows.view(), labels);
        EXPECT_EQ(h.train_rows.data, rows.values.data());
        EXPECT_EQ(h.train_rows.n_rows, c.train);
        EXPECT_EQ(h.train_rows.n_cols, 2u);
        EXPECT_EQ(h.train_labels.data(), labels.data());
        EXPECT_EQ(h.train_labels.size(), c.train);
        ASSERT_EQ(h.test_rows.n_rows, c.rows - c.train);
        EXPECT_EQ(h.test_rows.at(0, 1), -float(c.train));
        EXPECT_EQ(Labels(h.test_labels.begin(), h.test_labels.end()), c.test_labels);
    }
}

}  // namespace
}  // namespace lindorf
