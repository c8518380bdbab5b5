// Regression: the median track against medians by sorting, and (below) the regression sweep and
// growth against the plain regression learner, on data whose sums are exact, so that every score
// must agree to the bit and every choice, ties included, must be the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "block_testing.hpp"
#include "criteria/classes.hpp"
#include "criteria/compensated.hpp"
#include "criteria/median_track.hpp"
#include "regression_reference.hpp"
#include "regression_testing.hpp"
#include "splitting/regression_sweep.hpp"
#include "splitting/regression_tally.hpp"
#include "splitting/squared_blocks.hpp"
#include "splitting/working_set.hpp"

namespace lindorf {
namespace {

std::uint32_t testing_bits(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

struct Ranked {
    std::vector<double> value, weighted;
    std::vector<std::uint64_t> units;
    double unit = 1.0;

    RankedTargets view() const { return {value, weighted, units, unit}; }
    double weight(std::size_t r) const { return (units.empty() ? 1.0 : units[r]) * unit; }
};

// Sorted multiples of 1/4 with many repeats; weights of 1 or of 1 to 5 (or of huge) units.
Ranked ranked_targets(std::mt19937_64& rng, std::size_t n, int weighting) {
    Ranked ranked;
    std::uniform_int_distribution<int> quarter(-12, 12);
    for (std::size_t r = 0; r < n; ++r) ranked.value.push_back(quarter(rng) / 4.0);
    std::sort(ranked.value.begin(), ranked.value.end());
    if (weighting > 0) {
        ranked.unit = weighting == 1 ? 0.5 : 0x1p-40;
        std::uniform_int_distribution<std::uint64_t> units(1, weighting == 1 ? 5 : 1u << 20);
        for (std::size_t r = 0; r < n; ++r) ranked.units.push_back(units(rng) << (weighting == 1 ? 0 : 30));
    }
    for (std::size_t r = 0; r < n; ++r) ranked.weighted.push_back(ranked.weight(r) * ranked.value[r]);
    return ranked;
}

::testing::AssertionResult tracks(const MedianTrack& track, const Ranked& ranked,
                                  const std::vector<bool>& members) {
    std::vector<std::pair<double, double>> items;
    for (std::size_t r = 0; r < members.size(); ++r)
        if (members[r]) items.emplace_back(ranked.value[r], ranked.weight(r));
    if (items.empty())
        return track.empty() && track.deviation() == 0.0
                   ? ::testing::AssertionSuccess()
                   : ::testing::AssertionFailure() << "an empty set is not empty";
    const double median = reference::weighted_median(items);
    const double deviation = reference::absolute_deviation(items);
    if (track.empty() || track.median() != median || track.deviation() != deviation)
        return ::testing::AssertionFailure()
               << items.size() << " members: median " << (track.empty() ? NAN : track.median())
               << " vs " << median << ", deviation " << track.deviation() << " vs " << deviation;
    return ::testing::AssertionSuccess();
}

// One set grows while its complement shrinks, as a sweep's two sides do; then one set takes
// rows in and out at random.
TEST(MedianTrack, FollowsTheSortedMedianOfGrowingShrinkingAndChangingSets) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = 1 + rng() % (round % 4 == 0 ? 300 : 40);
        const Ranked ranked = ranked_targets(rng, n, round % 3);
        std::vector<std::uint32_t> order(n);
        for (std::uint32_t r = 0; r < n; ++r) order[r] = r;
        std::shuffle(order.begin(), order.end(), rng);
        MedianTrack left, right;
        left.start_empty(ranked.view());
        right.start_full(ranked.view());
        std::vector<bool> in_left(n, false), in_right(n, true);
        ASSERT_TRUE(tracks(right, ranked, in_right)) << "round " << round << ", full";
        for (std::uint32_t r : order) {
            left.insert(r);
            right.erase(r);
            in_left[r] = true;
            in_right[r] = false;
            ASSERT_TRUE(tracks(left, ranked, in_left)) << "round " << round;
            ASSERT_TRUE(tracks(right, ranked, in_right)) << "round " << round;
        }
        for (int step = 0; step < 200; ++step) {
            const auto r = static_cast<std::uint32_t>(rng() % n);
            in_left[r] ? left.erase(r) : left.insert(r);
            in_left[r] = !in_left[r];
            ASSERT_TRUE(tracks(left, ranked, in_left)) << "round " << round << ", step " << step;
        }
    }
}

TEST(Sum2, CancelsWithoutLosingTheSmallTerms) {
    // Plain summation returns 4 here (1e17 + 3 rounds to 1e17).
    Sum2 sum;
    for (double x : {1e17, 3.0, -1e17, 4.0}) sum.add(x);
    EXPECT_EQ(sum.value(), 7.0);
    // Ten tenths less nine tenths, as a sweep takes one side from the whole: plain sums give
    // 0.09999999999999998.
    Sum2 ten, nine;
    for (int k = 0; k < 10; ++k) (k < 9 ? nine : ten).add(0.1), ten.add(k < 9 ? 0.1 : 0.0);
    EXPECT_EQ(ten.minus(nine), 0.1);
}

using regression_testing::random_case;
using regression_testing::RegressionCase;

// The fast learner's view of the case's rows of positive weight, in their order: a plain working
// set, targets, weights in units (a power of two at which they total in [2^61, 2^62)), and for
// absolute error every output's target order.
struct FastCase {
    WorkingSet set;
    RegressionRows rows;
    std::vector<std::size_t> kept;  // the case's row of each local row
};

FastCase fast_case(const RegressionCase& c, Loss loss) {
    FastCase fast;
    double total = 0.0, first = 0.0;
    bool equal = true;
    for (std::size_t r = 0; r < c.set.rows.size(); ++r) {
        const double w = c.set.weights[r];
        if (!(w > 0.0)) continue;
        fast.kept.push_back(r);
        if (first == 0.0) first = w;
        equal = equal && w == first;
        total += w;
    }
    const std::size_t n = fast.kept.size();
    const std::size_t n_cols = c.set.rows[0].size();
    FeatureMatrix matrix{n, n_cols, {}};
    for (std::size_t r : fast.kept)
        matrix.values.insert(matrix.values.end(), c.set.rows[r].begin(), c.set.rows[r].end());
    fast.set = working_set_of_rows(matrix.view(), index_classes(Labels(n, 0)), nullptr);
    RegressionRows& rows = fast.rows;
    rows.n_outputs = c.n_outputs;
    for (std::size_t r : fast.kept)
        rows.targets.insert(rows.targets.end(), c.set.targets[r].begin(), c.set.targets[r].end());
    if (equal) {
        rows.unit = first;
    } else {
        int exponent = 0;
        std::frexp(total, &exponent);
        rows.unit = std::ldexp(1.0, exponent - 62);
        for (std::size_t r : fast.kept)
            rows.units.push_back(static_cast<std::uint64_t>(c.set.weights[r] / rows.unit));
    }
    rows.pair_targets();
    if (loss == Loss::absolute_error) {
        for (std::size_t o = 0; o < c.n_outputs; ++o) {
            std::vector<std::uint32_t> order(n);
            for (std::uint32_t k = 0; k < n; ++k) order[k] = k;
            std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
                return rows.targets[a * c.n_outputs + o] < rows.targets[b * c.n_outputs + o];
            });
            rows.target_order.insert(rows.target_order.end(), order.begin(), order.end());
        }
    }
    return fast;
}

const Loss losses[] = {Loss::squared_error, Loss::absolute_error, Loss::poisson};

// The root's tally and best split against the plain learner's, on thousands of cases, NaN sides
// learned or not, every value a candidate or one random threshold per feature: values,
// impurities and scores to the bit where the sums are exact (all but the impurities of squared
// error, whose centring on the mean rounds, and of Poisson, whose terms are logarithms), and the
// same candidate, ties included.
TEST(RegressionSearch, ChoosesThePlainLearnersSplitOnEveryCase) {
    std::mt19937_64 rng(2024);
    for (int round = 0; round < 3000; ++round) {
        const Loss loss = losses[round % 3];
        // Now and then hundreds of rows, so that sweeps that go in blocks cross blocks.
        const RegressionCase c = random_case(rng, loss == Loss::poisson, round % 7 == 0 ? 1200 : 40);
        const FastCase fast = fast_case(c, loss);
        if (fast.kept.empty()) continue;
        reference::RegressionRules rules;
        rules.loss = loss;
        rules.min_leaf_rows = static_cast<std::uint32_t>(1 + rng() % 3);
        rules.min_leaf_weight = rng() % 3 == 0 ? 0.25 * static_cast<double>(rng() % 8) : 0.0;
        rules.learn_nan = rng() % 2 == 0;
        std::vector<std::uint64_t> draws;
        if (rng() % 4 == 0)
            for (std::size_t k = 0; k < 2 * c.set.rows[0].size(); ++k) draws.push_back(rng());
        if (c.n_outputs == 1 && rng() % 3 == 0) {
            for (std::size_t f = 0; f < c.set.rows[0].size(); ++f)
                rules.monotonic.push_back(static_cast<std::int8_t>(static_cast<int>(rng() % 3) - 1));
            if (rng() % 2 == 0) rules.lower = -4.0, rules.upper = 4.0;
        }
        SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(fast.kept.size()) +
                     " rows");
        RegressionRows rows = fast.rows;
        RegressionTally tally(loss);
        const RegressionNode& node = tally.take(fast.set, rows, {0, fast.set.n_rows});
        ASSERT_EQ(node.value, reference::node_value(c.set, fast.kept, loss));
        const double impurity = reference::node_impurity(c.set, fast.kept, loss);
        if (loss != Loss::absolute_error)
            ASSERT_NEAR(node.impurity, impurity, 1e-12 * impurity);
        else
            ASSERT_EQ(node.impurity, impurity);
        RegressionRules fast_rules;
        fast_rules.min_leaf_rows = rules.min_leaf_rows;
        fast_rules.learn_nan = rules.learn_nan;
        fast_rules.draws = draws;
        fast_rules.monotonic = rules.monotonic;
        fast_rules.lower = rules.lower;
        fast_rules.upper = rules.upper;
        const double unit = rows.uniform() ? c.set.weights[fast.kept[0]] : rows.unit;
        fast_rules.min_leaf_units = static_cast<std::uint64_t>(std::ceil(rules.min_leaf_weight / unit));
        ScratchSlots scratch(1);
        const RegressionChoice choice =
            regression_search(fast.set, {0, fast.set.n_rows}, rows, node, fast_rules, scratch,
                              nullptr);
        const reference::RegressionSplit expected =
            reference::best_regression_split(c.set, fast.kept, rules, {}, draws);
        ASSERT_EQ(choice.found, expected.found);
        if (!expected.found) continue;
        EXPECT_EQ(choice.feature, expected.feature);
        EXPECT_EQ(testing_bits(choice.threshold), testing_bits(expected.threshold));
        EXPECT_EQ(choice.nan_left, expected.nan_left);
        EXPECT_EQ(choice.score, expected.score);
    }
}

// A block's scores at every vector width against one candidate at a time: the same scores to the
// bit (weights of up to 2^62 units, converted without a conversion instruction), the same best,
// and whether one candidate alone reaches it; ties are made on purpose by repeating a candidate.
TEST(SquaredBlocks, EveryWidthScoresAsOneCandidateAtATime) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> part(-1e6, 1e6);
    for (int round = 0; round < 600; ++round) {
        const bool uniform = round % 2 == 0;
        const std::size_t n = 1 + rng() % SquaredBlock::size, b = rng() % 5000;
        SquaredTotals totals;
        totals.total = {std::nearbyint(part(rng)), part(rng) * 1e-9};
        totals.units = static_cast<std::int64_t>((rng() >> 2) | 1);
        totals.unit = std::ldexp(1.0, -static_cast<int>(rng() % 70));
        totals.all_rows = static_cast<double>(b + n + rng() % 3);
        totals.fewest = static_cast<double>(1 + rng() % 3);
        totals.most_left = totals.all_rows - totals.fewest;
        SquaredBlock block;
        for (std::size_t j = 0; j < SquaredBlock::room; ++j) {
            const std::size_t from = j > 0 && rng() % 8 == 0 ? rng() % j : j;  // a repeat
            block.high[j] = from < j ? block.high[from] : std::nearbyint(part(rng));
            block.low[j] = from < j ? block.low[from] : part(rng) * 1e-9;
            block.left_units[j] = from < j ? block.left_units[from]
                                           : static_cast<std::int64_t>(
                                                 rng() % static_cast<std::uint64_t>(totals.units));
            block.ends[j] = j < n && rng() % 4 != 0 ? -1 : 0;
        }
        std::vector<double> expected(n, BlockTop::none);
        for (std::size_t j = 0; j < n; ++j) {
            const std::int64_t left = block.left_units[j];
            const double wl = uniform ? static_cast<double>(b + j + 1)
                                      : units_value(static_cast<std::uint64_t>(left)) * totals.unit;
            const double wr = uniform ? totals.all_rows - wl
                                      : units_value(static_cast<std::uint64_t>(totals.units - left)) *
                                            totals.unit;
            if (block.ends[j] == 0 || (uniform && !(wl >= totals.fewest && wl <= totals.most_left)))
                continue;
            const double lv = block.high[j] + block.low[j];
            const double rv = (totals.total.high - block.high[j]) + (totals.total.low - block.low[j]);
            expected[j] = (lv * lv * wr + rv * rv * wl) / (wl * wr);
        }
        for (const bool wide : {false, true}) {
            SCOPED_TRACE("round " + std::to_string(round) + (wide ? ", widest" : ", narrowest"));
            SquaredBlock scored = block;
            const BlockTop found = wide ? squared_scores(scored, b, n, totals, uniform)
                                        : squared_scores_narrow(scored, b, n, totals, uniform);
            block_testing::expect_block(scored.score, expected, found);
        }
    }
}

}  // namespace
}  // namespace lindorf
