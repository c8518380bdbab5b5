// Routing rows by a split, and sorting column entries. Scores and the choice of split are
// checked against the plain learner in test_differential.cpp.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "splitting/partition.hpp"
#include "splitting/sort_columns.hpp"
#include "splitting/split_search.hpp"
#include "tree_testing.hpp"

namespace lindorf {
namespace {

using testing_support::bits;
using testing_support::make_data;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

TEST(Split, RoutesStrictlyBelowTheThresholdLeft) {
    struct Case {
        const char* name;
        std::vector<std::vector<float>> rows;
        std::uint32_t feature;
        float threshold;
        std::vector<std::uint32_t> left, right;
    };
    const Case cases[] = {
        {"example", {{1, 5}, {2, 5}, {3, 6}, {4, 6}}, 0, 3.0f, {0, 1}, {2, 3}},
        {"second feature", {{1, 5}, {2, 6}, {3, 5}, {4, 6}}, 1, 6.0f, {0, 2}, {1, 3}},
        {"equal goes right", {{2}, {1}, {2}}, 0, 2.0f, {1}, {0, 2}},
        {"NaN value", {{nan}, {1}, {5}}, 0, 3.0f, {1}, {0, 2}},
        {"NaN threshold", {{-inf}, {1}, {5}}, 0, nan, {}, {0, 1, 2}},
        {"minus zero", {{-0.0f}, {-1}, {0.0f}}, 0, 0.0f, {1}, {0, 2}},
        {"minus zero threshold", {{0.0f}, {-1}, {-0.0f}}, 0, -0.0f, {1}, {0, 2}},
    };
    for (const Case& c : cases) {
        auto data = make_data(c.rows, Labels(c.rows.size() + 1, 0));  // surplus label ignored
        Partition parts = split(data.view(), data.labels, c.feature, c.threshold);
        EXPECT_EQ(parts.left, c.left) << c.name;
        EXPECT_EQ(parts.right, c.right) << c.name;
    }
}

TEST(Split, ChecksOnlyWhatItReads) {
    auto empty = make_data({}, {}, 1);  // without rows nothing is read, not even the feature
    Partition none = split(empty.view(), empty.labels, 5, 1.0f);
    EXPECT_TRUE(none.left.empty() && none.right.empty());
    auto data = make_data({{1}, {2}}, {0, 1});
    EXPECT_THROW(split(data.view(), data.labels, 1, 2.0f), InternalError);
    auto short_labels = make_data({{1}, {2}, {3}}, {0, 1});
    EXPECT_THROW(split(short_labels.view(), short_labels.labels, 0, 2.0f), InternalError);
    // The search, unlike the split, cannot answer for no rows.
    EXPECT_THROW(find_best_split(empty.view(), empty.labels), InternalError);
}

// The one candidate that random pairings of rows and labels hardly ever make win: every row NaN,
// so every threshold leaves the left side empty, yet with two surplus labels the pairs' right
// side is purer than the whole list and the search takes NaN, which gains 1.0.
TEST(FindBestSplit, TakesACandidateThatLeavesTheLeftEmptyWhenSurplusLabelsMakeItGain) {
    auto data = make_data({{nan}, {nan}}, {0, 0, 1, 1});
    SplitChoice choice = find_best_split(data.view(), data.labels);
    EXPECT_EQ(choice.feature, 0u);
    EXPECT_TRUE(std::isnan(choice.threshold));
}

TEST(SortEntries, OrdersLikeLessThanWithNaNLastAndStableTies) {
    // Large enough for the radix passes, with every kind of value and many ties.
    const float kinds[] = {nan, inf, -inf, 0.0f, -0.0f, 1.5f, -1.5f, 3e-39f, -3e-39f, 2.0f};
    std::vector<Entry> sorted;
    for (std::uint32_t r = 0; r < 1000; ++r) sorted.push_back({kinds[(r * 7) % 10], r});
    sort_entries(sorted);
    ASSERT_EQ(sorted.size(), 1000u);
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        const Entry& a = sorted[i - 1];
        const Entry& b = sorted[i];
        const bool a_nan = std::isnan(a.value), b_nan = std::isnan(b.value);
        ASSERT_FALSE(a_nan && !b_nan) << "NaN before a number at " << i;
        if ((a_nan && b_nan) || a.value == b.value) {
            ASSERT_LT(a.row, b.row) << "equal values out of row order at " << i;
        } else if (!b_nan) {
            ASSERT_LT(a.value, b.value) << "values out of order at " << i;
        }
        ASSERT_EQ(bits(b.value), bits(kinds[(b.row * 7) % 10])) << "entry lost its value";
    }
}

}  // namespace
}  // namespace lindorf
