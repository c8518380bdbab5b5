// Regression trees: their training data's checks, working sets and growth. A row's weight
// multiplies it, as for classifiers (training.hpp); rows of weight 0 take no part.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "support/parallel.hpp"
#include "tree/training.hpp"

namespace lindorf {

// Fails unless the targets (finite) and weights fit the rows.
void check_regression_data(const WeightedData& data);

// Each output's rows in ascending target order (ties by row), n_outputs blocks of n_rows:
// computed once for a data set and filtered for each tree, as the feature order is. Only
// absolute error reads it.
std::vector<std::uint32_t> sort_targets(const WeightedData& data, WorkerPool* pool);

// The working set of one regression tree's training list: the rows the draws hold, each weighing
// row_weights[row] (a row of weight 0 takes no part). Equal weights are kept as one weight, and
// the search counts rows; other weights become whole numbers of a power-of-two unit, at which
// the total lies in [2^61, 2^62), each rounded to the nearest unit and a positive one to at
// least 1. `target_order` (sort_targets) is needed for absolute error only.
WorkingSet regression_working_set(const WeightedData& data, const FeatureOrder& order,
                                  std::span<const std::uint32_t> target_order,
                                  const RowDraws& draws, std::span<const double> row_weights,
                                  WorkerPool* pool);

// The regression tree of the weighted rows.
Tree grow_regression(const WeightedData& data, const GrowRules& rules, WorkerPool* pool = nullptr);

}  // namespace lindorf
