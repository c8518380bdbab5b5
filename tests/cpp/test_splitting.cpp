// Scoring candidate splits, choosing the best one, and routing rows by it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "criteria/criteria.hpp"
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

// Called through a pointer so the compiler cannot fold calls on constants with its own log2.
float (*volatile platform_log2f)(float) = log2f;

// -(sum of p * log2f(p)), the terms added in the order given.
float entropy_in_order(std::vector<float> probabilities) {
    float sum = 0.0f;
    for (float p : probabilities) sum += p * platform_log2f(p);
    return -sum;
}

TEST(Entropy, KnownDistributions) {
    struct Case {
        Labels labels;
        float expected;
    };
    const Case cases[] = {{{}, -0.0f},
                          {{7, 7, 7}, -0.0f},
                          {{4294967295u}, -0.0f},
                          {{0, 1}, 1.0f},
                          {{0, 1, 2, 3}, 2.0f},
                          {{4294967295u, 0, 4294967295u, 0}, 1.0f},
                          {{0, 0, 0, 1}, entropy_in_order({0.75f, 0.25f})}};
    for (const Case& c : cases)
        EXPECT_EQ(bits(entropy(c.labels)), bits(c.expected)) << c.labels.size() << " labels";
    EXPECT_NEAR(entropy(Labels{0, 0, 0, 1}), -(0.75 * std::log2(0.75) + 0.25 * std::log2(0.25)),
                1e-6);
}

TEST(Entropy, AddsTermsInAscendingLabelOrder) {
    // Counts 1, 3 and 5 of labels 2, 5 and 9, listed out of order; the two sums differ in
    // their last bit, so the order shows.
    Labels labels{9, 5, 9, 2, 9, 5, 9, 5, 9};
    float ascending = entropy_in_order({1.0f / 9.0f, 3.0f / 9.0f, 5.0f / 9.0f});
    float descending = entropy_in_order({5.0f / 9.0f, 3.0f / 9.0f, 1.0f / 9.0f});
    ASSERT_NE(bits(ascending), bits(descending));
    EXPECT_EQ(bits(entropy(labels)), bits(ascending));
}

TEST(InformationGain, PartitionsStrictlyBelowTheThreshold) {
    const float h_third = entropy_in_order({1.0f / 3.0f, 2.0f / 3.0f});
    const float h_quarter = entropy_in_order({0.75f, 0.25f});
    struct Case {
        std::vector<float> values;
        Labels labels;
        float threshold;
        float expected;
    };
    const Case cases[] = {
        // left [0, 0], right [1, 1]
        {{1, 2, 3, 4}, {0, 0, 1, 1}, 3.0f, 1.0f},
        // nothing is below the smallest value, nor below NaN: all right, no gain
        {{1, 2, 3, 4}, {0, 0, 1, 1}, 1.0f, 0.0f},
        {{1, 2, 3, 4}, {0, 0, 1, 1}, nan, 0.0f},
        // the value equal to the threshold goes right: left [0], right [0, 1, 1]
        {{1, 2, 3, 4}, {0, 0, 1, 1}, 2.0f, (1.0f - 0.25f * -0.0f) - 0.75f * h_third},
        // NaN values go right: left [1], right [0, 1, 1]
        {{nan, 2, 3, 4}, {0, 1, 1, 1}, 3.0f, (h_quarter - 0.25f * -0.0f) - 0.75f * h_third},
        // -0.0 is not below 0.0: left [0], right [1, 1, 0]
        {{-1, -0.0f, 0.0f, 5}, {0, 1, 1, 0}, 0.0f, (1.0f - 0.25f * -0.0f) - 0.75f * h_third},
        // two pairs are partitioned, but both sides weigh by all four labels
        {{1, 2}, {0, 0, 1, 1}, 2.0f, 1.0f},
        // values beyond the labels are ignored: left [0], right [1] of n = 2
        {{1, 2, 3, 4}, {0, 1}, 2.0f, 1.0f},
    };
    for (const Case& c : cases) {
        float score = information_gain_criterion(c.values, c.labels, c.threshold);
        EXPECT_EQ(bits(score), bits(c.expected)) << "threshold " << c.threshold;
    }
    EXPECT_TRUE(std::isnan(information_gain_criterion({}, {}, 1.0f)));
    EXPECT_TRUE(std::isnan(information_gain_criterion(std::vector<float>{1, 2}, {}, 2.0f)));
}

TEST(FindBestSplit, ChoosesTheHighestGainWithItsTieRules) {
    struct Case {
        const char* name;
        std::vector<std::vector<float>> rows;
        Labels labels;
        std::uint32_t feature;
        float threshold;
    };
    const Case cases[] = {
        // Both features reach 1.0 (feature 1 at its first 6): the lower feature wins.
        {"tie between features", {{1, 5}, {2, 5}, {3, 6}, {4, 6}}, {0, 0, 1, 1}, 0, 3.0f},
        {"second feature better", {{1, 5}, {2, 6}, {3, 5}, {4, 6}}, {0, 1, 0, 1}, 1, 6.0f},
        // Thresholds 2 and 4 tie at about 0.31: the earlier row's value wins.
        {"earliest row of a tie", {{1}, {4}, {3}, {2}}, {0, 1, 0, 1}, 0, 4.0f},
        // +0.0 and -0.0 are one candidate; the threshold is the earliest row's, sign included.
        {"zero first", {{0.0f}, {-1}, {-0.0f}, {1}}, {1, 0, 1, 1}, 0, 0.0f},
        {"minus zero first", {{-0.0f}, {-1}, {0.0f}, {1}}, {1, 0, 1, 1}, 0, -0.0f},
        // Nothing scores above 0: feature 0 at 0.0.
        {"no features", {{}, {}, {}}, {0, 1, 0}, 0, 0.0f},
        {"no informative value", {{1}, {1}, {2}, {2}}, {0, 1, 0, 1}, 0, 0.0f},
        // NaN rows go right; 2 isolates the label 0.
        {"NaN values", {{nan}, {1}, {2}, {nan}}, {1, 0, 1, 1}, 0, 2.0f},
        // Every candidate leaves the left empty, yet with two surplus labels the pairs' right
        // side is purer than the whole list: NaN scores 1.0 and wins.
        {"all NaN, surplus labels", {{nan}, {nan}}, {0, 0, 1, 1}, 0, nan},
        {"more labels than rows", {{1}, {1}}, {0, 0, 1, 1}, 0, 1.0f},
        // Row 2 pairs with no label: 3 scores as well as 5, and the earlier row wins.
        {"fewer labels than rows", {{1}, {5}, {3}}, {1, 0}, 0, 5.0f},
    };
    for (const Case& c : cases) {
        auto data = make_data(c.rows, c.labels);
        SplitChoice choice = find_best_split(data.view(), data.labels);
        EXPECT_EQ(choice.feature, c.feature) << c.name;
        EXPECT_EQ(bits(choice.threshold), bits(c.threshold)) << c.name;
    }
    auto no_rows = make_data({}, {0, 1}, 2);
    EXPECT_THROW(find_best_split(no_rows.view(), no_rows.labels), InternalError);
}

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
