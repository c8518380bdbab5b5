// A deliberately plain regression learner for differential tests: every candidate of every
// feature scored from scratch by the documented formulas (criteria/regression.hpp) over copied
// lists, sums in long double (exact on the tests' data, whose targets and weights are multiples
// of a power of two), medians by sorting, recursive growth. It shares no code with the fast
// learner; on such data both compute every score to the same bits, so they choose the same
// splits, ties included.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "criteria/regression.hpp"

namespace reference {

struct RegressionSet {
    std::vector<std::vector<float>> rows;
    std::vector<std::vector<double>> targets;  // by row, one value per output
    std::vector<double> weights;               // by row; rows of weight 0 take no part
};

struct RegressionRules {
    lindorf::Loss loss = lindorf::Loss::squared_error;
    std::uint32_t max_depth = 0xFFFFFFFFu;
    std::uint32_t min_split_rows = 2;
    std::uint32_t min_leaf_rows = 1;
    double min_leaf_weight = 0.0;
    bool learn_nan = false;  // NaN values go to the side that scores best (else right)
    // One output only: per feature -1, 0 or 1 (criteria as regression_sweep.hpp), the values'
    // bounds.
    std::vector<std::int8_t> monotonic;
    double lower = -1.0 / 0.0;
    double upper = 1.0 / 0.0;
};

// scikit-learn's weighted median of (target, weight) pairs, by sorting (see
// criteria/median_track.hpp), and the weighted sum of absolute deviations from it.
double weighted_median(std::vector<std::pair<double, double>> items);
double absolute_deviation(const std::vector<std::pair<double, double>>& items);

// What a node predicts: the mean or the weighted median of each output.
std::vector<double> node_value(const RegressionSet& set, const std::vector<std::size_t>& rows,
                               lindorf::Loss loss);
double node_impurity(const RegressionSet& set, const std::vector<std::size_t>& rows,
                     lindorf::Loss loss);

struct RegressionSplit {
    bool found = false;
    std::uint32_t feature = 0;
    float threshold = 0.0f;
    bool nan_left = false;
    double score = 0.0;
};

// The first candidate, in feature order and then in the order of the earliest row of its group,
// to reach the highest score; rows go left when their value is strictly below the candidate's
// (NaN right, unless learned). `features` (empty: all) are searched; with `draws` (two per
// searched feature), each feature's one random candidate instead.
RegressionSplit best_regression_split(const RegressionSet& set,
                                      const std::vector<std::size_t>& rows,
                                      const RegressionRules& rules,
                                      const std::vector<std::uint32_t>& features = {},
                                      const std::vector<std::uint64_t>& draws = {});

struct RegressionNode {
    bool leaf = true;
    std::uint32_t feature = 0;
    float threshold = 0.0f;
    bool nan_left = false;
    std::uint32_t left = 0, right = 0;
    std::vector<double> value;
    double weight = 0.0;
    double impurity = 0.0;
    std::uint32_t rows = 0;
};

// Nodes in preorder, as the fast learner numbers them.
std::vector<RegressionNode> grow_regression(const RegressionSet& set,
                                            const RegressionRules& rules);

}  // namespace reference
