// The split search of a regression tree: every value of every searched feature a candidate (or
// one random threshold per feature), each scored by the criterion's formula
// (criteria/regression.hpp) from running sums over the feature's sorted entries, in one pass;
// absolute error keeps the two sides' medians with median tracks instead of sums.
//
// Candidates and ties follow the classifiers' rules (split_search.hpp), except that a candidate
// need not score above anything: the best candidate that leaves at least the least rows and
// weight on each side wins, even when it lowers no impurity, as scikit-learn's regressors split.
// Within a feature equal scores go to the group whose earliest row comes first, the threshold
// being that row's value; between features the lower index wins. NaN values go right of every
// threshold, or, when learned, to the side that scores best: each threshold is scored with the
// node's NaN rows on the right first, then on the left, and "every number left, NaN right" is a
// candidate too (threshold +inf; with a value of +inf, the same rows as NaN left of the least
// value). Where a node has no NaN rows, a learned side sends NaN to the side of more rows.
#pragma once

#include <cstdint>
#include <span>

#include "splitting/regression_rows.hpp"
#include "splitting/scratch.hpp"
#include "splitting/working_set.hpp"
#include "support/parallel.hpp"

namespace lindorf {

struct RegressionRules {
    std::uint64_t min_leaf_units = 0;  // least weight on each side, in units (rows, if uniform)
    std::uint32_t min_leaf_rows = 1;   // least rows on each side (at least 1 in any case)
    bool learn_nan = false;
    std::span<const std::uint32_t> features;  // ascending; empty: every feature
    // Random thresholds: two draws per searched feature, in ascending feature order (the
    // threshold's and the NaN side's). Empty: every value is a candidate.
    std::span<const std::uint64_t> draws;
    // Monotonic constraints, one output only: per feature -1, 0 or 1, the value (mean or
    // median) may only fall, is free, or may only rise as the feature's value rises. A
    // constrained feature's candidate is taken only when both sides' values lie within
    // [lower, upper] and are ordered so. Empty: none.
    std::span<const std::int8_t> monotonic;
    double lower = -1.0 / 0.0;
    double upper = 1.0 / 0.0;
};

struct RegressionChoice {
    bool found = false;  // false: no candidate within the rules
    std::uint32_t feature = 0;
    float threshold = 0.0f;
    bool nan_left = false;
    double score = 0.0;
    // The sides' values (means as c + S / W, or medians) when the feature is constrained.
    double left_value = 0.0;
    double right_value = 0.0;
};

RegressionChoice regression_search(const WorkingSet& set, NodeRange range,
                                   const RegressionRows& rows, const RegressionNode& node,
                                   const RegressionRules& rules, ScratchSlots& scratch,
                                   WorkerPool* pool);

// The same over columns the node sorted itself, lined up with rules.features (not empty): each
// holds the node's rows in value order with NaN last, rows of equal values in ascending order,
// as the sorted blocks hold them.
RegressionChoice regression_search(const WorkingSet& set,
                                   std::span<const std::span<const Entry>> columns,
                                   const RegressionRows& rows, const RegressionNode& node,
                                   const RegressionRules& rules, ScratchSlots& scratch,
                                   WorkerPool* pool);

}  // namespace lindorf
