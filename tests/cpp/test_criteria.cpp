#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "criteria/classes.hpp"
#include "criteria/criteria.hpp"
#include "tree_testing.hpp"

namespace lindorf {
namespace {

using testing_support::bits;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

// The platform's log2f, called at run time: the compiler would otherwise fold calls on constants
// with its own correctly rounded logarithm, which may differ in the last bit.
float (*volatile platform_log2f)(float) = log2f;

// -(sum of p*log2f(p)), the terms added in the order given: the definition, spelled out.
float entropy_in_order(std::vector<float> probabilities) {
    float sum = 0.0f;
    for (float p : probabilities) sum += p * platform_log2f(p);
    return -sum;
}

TEST(Entropy, KnownDistributions) {
    struct Case {
        Labels labels;
        double expected;
    };
    const Case cases[] = {
        {{0, 1}, 1.0},
        {{0, 1, 2, 3}, 2.0},
        {{4294967295u, 0, 4294967295u, 0}, 1.0},
        {{0, 0, 0, 1}, -(0.75 * std::log2(0.75) + 0.25 * std::log2(0.25))},  // about 0.8113
    };
    for (const Case& c : cases) EXPECT_NEAR(entropy(c.labels), c.expected, 1e-6);
    EXPECT_EQ(entropy(Labels{0, 0, 0, 1}), entropy_in_order({0.75f, 0.25f}));
}

TEST(Entropy, NothingToChooseBetweenIsMinusZero) {
    for (const Labels& labels : {Labels{}, Labels{7, 7, 7}, Labels{4294967295u}}) {
        float h = entropy(labels);
        EXPECT_EQ(h, 0.0f);
        EXPECT_TRUE(std::signbit(h)) << "entropy of " << labels.size() << " labels";
    }
}

TEST(Entropy, AddsTermsInAscendingLabelOrder) {
    // Counts 1, 3 and 5 of labels 2, 5 and 9, listed out of order. Summed in ascending label
    // order the result differs in its last bit from the descending sum, so the order shows.
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
        // only two pairs are partitioned, but both sides weigh by all four labels
        {{1, 2}, {0, 0, 1, 1}, 2.0f, 1.0f},
        // values beyond the labels are ignored: left [0], right [1] of n = 2
        {{1, 2, 3, 4}, {0, 1}, 2.0f, 1.0f},
    };
    for (const Case& c : cases) {
        float score = information_gain_criterion(c.values, c.labels, c.threshold);
        EXPECT_EQ(bits(score), bits(c.expected)) << "threshold " << c.threshold;
    }
}

TEST(InformationGain, NoLabelsScoreNaN) {
    EXPECT_TRUE(std::isnan(information_gain_criterion({}, {}, 1.0f)));
    EXPECT_TRUE(std::isnan(information_gain_criterion(std::vector<float>{1, 2}, {}, 2.0f)));
}

TEST(InformationGain, IsACriterion) {
    Criterion criterion = information_gain_criterion;
    EXPECT_EQ(criterion(std::vector<float>{1, 2, 3, 4}, Labels{0, 0, 1, 1}, 3.0f), 1.0f);
}

TEST(ClassIndex, NumbersLabelsInAscendingOrder) {
    // Narrow label ranges go through a table, wide ones through a search: both must agree.
    for (const Labels& labels :
         {Labels{7, 3, 7, 5, 3}, Labels{4294967295u, 3, 4294967295u, 5, 3}}) {
        ClassIndex index = index_classes(labels);
        ASSERT_EQ(index.labels.size(), 3u);
        EXPECT_EQ(index.labels[0], 3u);
        EXPECT_EQ(index.labels[1], 5u);
        EXPECT_EQ(index.labels[2], labels[0]);
        EXPECT_EQ(index.of, (std::vector<std::uint32_t>{2, 0, 2, 1, 0}));
    }
    EXPECT_TRUE(index_classes({}).labels.empty());
}

}  // namespace
}  // namespace lindorf
