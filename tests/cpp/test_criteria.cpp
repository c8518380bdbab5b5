#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "criteria/criteria.hpp"
#include "tree_testing.hpp"

namespace lindorf {
namespace {

using testing_support::bits;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

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
    const Case cases[] = {
        {{}, -0.0f},  // the negated empty sum
        {{7, 7, 7}, -0.0f},
        {{4294967295u}, -0.0f},
        {{0, 1}, 1.0f},
        {{0, 1, 2, 3}, 2.0f},
        {{4294967295u, 0, 4294967295u, 0}, 1.0f},
        {{0, 0, 0, 1}, entropy_in_order({0.75f, 0.25f})},  // about 0.8113
    };
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

}  // namespace
}  // namespace lindorf
