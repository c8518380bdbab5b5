#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "splitting/partition.hpp"
#include "splitting/sort_columns.hpp"
#include "splitting/split_search.hpp"
#include "support/error.hpp"
#include "tree_testing.hpp"

namespace lindorf {
namespace {

using testing_support::bits;
using testing_support::make_data;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

struct SearchCase {
    const char* name;
    std::vector<std::vector<float>> rows;
    Labels labels;
    std::uint32_t feature;
    float threshold;
};

TEST(FindBestSplit, ChoosesTheHighestGainWithItsTieRules) {
    const SearchCase cases[] = {
        // Both features reach 1.0 (feature 1 at its first 6): the lower feature wins.
        {"tie between features", {{1, 5}, {2, 5}, {3, 6}, {4, 6}}, {0, 0, 1, 1}, 0, 3.0f},
        // Feature 0 peaks at 0.31 (thresholds 2 and 4); feature 1 separates at 6.
        {"second feature better", {{1, 5}, {2, 6}, {3, 5}, {4, 6}}, {0, 1, 0, 1}, 1, 6.0f},
        // Thresholds 2 and 4 tie (left [0] or right [1] pure, about 0.31): the earlier row's
        // value wins, here 4 (row 1) over 2 (row 3).
        {"earliest row of a tie", {{1}, {4}, {3}, {2}}, {0, 1, 0, 1}, 0, 4.0f},
        {"single row", {{3, 4}}, {1}, 0, 0.0f},
        {"all labels equal", {{1, 2}, {3, 4}, {5, 6}}, {9, 9, 9}, 0, 0.0f},
        {"no features", {{}, {}, {}}, {0, 1, 0}, 0, 0.0f},
        // Zero gain everywhere although the labels differ.
        {"no informative value", {{1}, {1}, {2}, {2}}, {0, 1, 0, 1}, 0, 0.0f},
        // NaN rows go right; NaN itself is never a useful threshold: 2 isolates the label 0.
        {"NaN values", {{nan}, {1}, {2}, {nan}}, {1, 0, 1, 1}, 0, 2.0f},
        {"infinities", {{-inf}, {inf}, {0}, {inf}}, {0, 1, 0, 1}, 0, inf},
        // Labels beyond the rows weigh in: with n = 4 the candidate 1 keeps everything right
        // and still scores 1.0, the only candidate there is.
        {"more labels than rows", {{1}, {1}}, {0, 0, 1, 1}, 0, 1.0f},
        // Rows beyond the labels are candidates that partition nothing: 3 (row 2) scores as
        // well as 5 (row 1), and the earlier row wins.
        {"fewer labels than rows", {{1}, {5}, {3}}, {1, 0}, 0, 5.0f},
    };
    for (const SearchCase& c : cases) {
        auto data = make_data(c.rows, c.labels);
        SplitChoice choice = find_best_split(data.view(), data.labels);
        EXPECT_EQ(choice.feature, c.feature) << c.name;
        EXPECT_EQ(bits(choice.threshold), bits(c.threshold)) << c.name;
    }
}

TEST(FindBestSplit, ThresholdIsTheEarliestRowsOwnZero) {
    // The winning candidate is "zero": -1 alone on the left. +0.0 and -0.0 form one candidate;
    // the threshold is the value of whichever row comes first, sign included.
    for (float first_zero : {0.0f, -0.0f}) {
        auto data = make_data({{first_zero}, {-1}, {-first_zero}, {1}}, {1, 0, 1, 1});
        SplitChoice choice = find_best_split(data.view(), data.labels);
        EXPECT_EQ(choice.feature, 0u);
        EXPECT_EQ(bits(choice.threshold), bits(first_zero));
    }
}

TEST(FindBestSplit, NaNWinsOnlyWhenSurplusLabelsMakeNothingLeftWorthIt) {
    // All-NaN feature: every candidate leaves the left side empty. With two surplus labels the
    // pairs' right side is pure while the whole list is not: a gain of 1.0 at NaN.
    auto data = make_data({{nan}, {nan}}, {0, 0, 1, 1});
    SplitChoice choice = find_best_split(data.view(), data.labels);
    EXPECT_EQ(choice.feature, 0u);
    EXPECT_TRUE(std::isnan(choice.threshold));
}

TEST(FindBestSplit, NoRowsIsAnInternalFailure) {
    auto data = make_data({}, {0, 1}, 2);
    EXPECT_THROW(find_best_split(data.view(), data.labels), InternalError);
}

TEST(Split, RoutesStrictlyBelowTheThresholdLeft) {
    struct Case {
        const char* name;
        std::vector<std::vector<float>> rows;
        std::uint32_t feature;
        float threshold;
        std::vector<std::uint32_t> left;
        std::vector<std::uint32_t> right;
    };
    const Case cases[] = {
        {"example", {{1, 5}, {2, 5}, {3, 6}, {4, 6}}, 0, 3.0f, {0, 1}, {2, 3}},
        {"second feature", {{1, 5}, {2, 6}, {3, 5}, {4, 6}}, 1, 6.0f, {0, 2}, {1, 3}},
        {"smallest value", {{2}, {1}, {3}}, 0, 1.0f, {}, {0, 1, 2}},
        {"equal goes right", {{2}, {1}, {2}}, 0, 2.0f, {1}, {0, 2}},
        {"NaN value", {{nan}, {1}, {5}}, 0, 3.0f, {1}, {0, 2}},
        {"NaN threshold", {{-inf}, {1}, {5}}, 0, nan, {}, {0, 1, 2}},
        {"minus zero", {{-0.0f}, {-1}, {0.0f}}, 0, 0.0f, {1}, {0, 2}},
        {"minus zero threshold", {{0.0f}, {-1}, {-0.0f}}, 0, -0.0f, {1}, {0, 2}},
    };
    for (const Case& c : cases) {
        Labels labels(c.rows.size(), 0);
        auto data = make_data(c.rows, labels);
        Partition parts = split(data.view(), data.labels, c.feature, c.threshold);
        EXPECT_EQ(parts.left, c.left) << c.name;
        EXPECT_EQ(parts.right, c.right) << c.name;
    }
}

TEST(Split, ChecksOnlyWhatItReads) {
    // Without rows nothing is read: no label and no feature.
    auto empty = make_data({}, {}, 1);
    Partition none = split(empty.view(), empty.labels, 5, 1.0f);
    EXPECT_TRUE(none.left.empty() && none.right.empty());
    // Surplus labels are ignored.
    auto data = make_data({{1}, {2}}, {0, 1, 2, 3});
    EXPECT_EQ(split(data.view(), data.labels, 0, 2.0f).left, std::vector<std::uint32_t>{0});
    EXPECT_THROW(split(data.view(), data.labels, 1, 2.0f), InternalError);
    auto short_labels = make_data({{1}, {2}, {3}}, {0, 1});
    EXPECT_THROW(split(short_labels.view(), short_labels.labels, 0, 2.0f), InternalError);
}

TEST(SortEntries, OrdersLikeLessThanWithNaNLastAndStableTies) {
    // Large enough for the radix passes, with every kind of value and many ties.
    const float kinds[] = {nan, inf, -inf, 0.0f, -0.0f, 1.5f, -1.5f, 3e-39f, -3e-39f, 2.0f};
    std::vector<Entry> entries;
    for (std::uint32_t r = 0; r < 1000; ++r) entries.push_back({kinds[(r * 7) % 10], r});
    std::vector<Entry> buffer(entries.size());
    std::vector<Entry> sorted = entries;
    sort_entries(sorted, buffer);
    ASSERT_EQ(sorted.size(), entries.size());
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        const Entry& a = sorted[i - 1];
        const Entry& b = sorted[i];
        bool a_nan = std::isnan(a.value);
        bool b_nan = std::isnan(b.value);
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
