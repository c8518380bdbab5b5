// Training data as the estimators hand it over, and the choice of the path a tree grows on.
//
// A row's weight multiplies its counts. Whole-number weights of one output take the exact path,
// the learner's own single-precision arithmetic (a row of weight w weighs as w copies of it at
// consecutive positions would); any other weights, several outputs and the rules only the general
// path follows (random thresholds, learned NaN sides, monotonic constraints) take the general
// path (node_work.hpp). Rows of weight 0 take no part, in either.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "support/dataset.hpp"
#include "support/parallel.hpp"
#include "tree/grow.hpp"
#include "tree/grow_engine.hpp"
#include "tree/tree.hpp"

namespace lindorf {

struct WeightedData {
    MatrixView rows;
    // n_rows x n_outputs, row-major: each output's class index, below its class count.
    std::span<const Label> labels;
    std::span<const std::uint32_t> weights;  // whole numbers; none: 1 each
    std::uint32_t n_classes = 0;             // of the first output
    // Any finite non-negative weights, in place of `weights` when given.
    std::span<const double> real_weights = {};
    // With several outputs, the class count of each; empty: one output of n_classes.
    std::vector<std::uint32_t> output_classes = {};

    // Regression: n_rows x n_targets finite targets, row-major, in place of labels and classes.
    std::span<const double> targets = {};
    std::size_t n_targets = 0;

    bool regression() const { return n_targets > 0; }
    std::size_t n_outputs() const {
        return regression() ? n_targets : output_classes.empty() ? 1 : output_classes.size();
    }
    std::vector<std::uint32_t> classes_per_output() const {
        return output_classes.empty() ? std::vector<std::uint32_t>{n_classes} : output_classes;
    }
};

// Fails unless the labels, weights and classes fit the rows.
void check_weighted_data(const WeightedData& data);

// Whether the rules and the data's shape (not its weights) allow the exact path.
bool exact_rules(const WeightedData& data, const GrowRules& rules);

// The general path's working set of a training list: the rows the draws hold (count above 0)
// with their draw positions for the tie rules, each weighing row_weights[row] (a row of weight 0
// takes no part), turned into whole numbers of a power-of-two unit: the unit at which the total
// lies in [2^61, 2^62), each weight rounded to the nearest unit and a positive one to at least 1.
WorkingSet general_working_set(const WeightedData& data, const FeatureOrder& order,
                               const RowDraws& draws, std::span<const double> row_weights,
                               WorkerPool* pool);

// The same without sorted blocks, for random thresholds: nodes read their columns from `source`
// (every feature's values, best laid out by feature), which must outlive the set.
WorkingSet general_working_set(const WeightedData& data, SourceValues source,
                               const RowDraws& draws, std::span<const double> row_weights);

// Whether the rules grow a classifier of random thresholds, whose sets need no sorted blocks.
bool random_thresholds(const WeightedData& data, const GrowRules& rules);

// The tree of the weighted rows, on the path they call for.
Tree grow_weighted(const WeightedData& data, const GrowRules& rules, WorkerPool* pool = nullptr);

}  // namespace lindorf
