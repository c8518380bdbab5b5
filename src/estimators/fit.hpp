// Fitting from the estimators' module. The learner runs on the shared threads with the
// interpreter lock released, while the calling thread waits in slices: between them it takes
// the lock, lets Python handle pending signals (a Ctrl-C raises KeyboardInterrupt, which stops
// the learner at its next node and is raised once every thread has let go) and reports
// progress. The learner's threads never touch a Python object.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "estimators/arrays.hpp"
#include "forest/chunk.hpp"
#include "model/model.hpp"

namespace lindorf::estimators {

// Labels are class indices, n_rows x n_outputs in row order, each below its output's class
// count; weights, when given, whole numbers or any finite non-negative numbers per row.
struct FitData {
    FeatureArray x;
    IndexArray y;
    std::optional<IndexArray> weights;
    std::optional<RealArray> real_weights;
    std::vector<std::uint32_t> output_classes;
    // Regression: the targets, in place of labels and classes (y then empty).
    std::optional<TargetArray> targets = std::nullopt;
};

// The same with a sparse matrix by columns: values[k] is stored at row rows[k], column f's
// values at starts[f] .. starts[f + 1] (canonical: no row twice in a column).
struct SparseFitData {
    ValueArray values;
    IndexArray rows;
    StartArray starts;
    std::size_t n_rows = 0;
    IndexArray y;
    std::optional<IndexArray> weights;
    std::optional<RealArray> real_weights;
    std::vector<std::uint32_t> output_classes;
    // Regression: the targets, in place of labels and classes (y then empty).
    std::optional<TargetArray> targets = std::nullopt;
};

Model fit_tree(const FitData& data, GrowRules rules, unsigned threads);
Model fit_tree(const SparseFitData& data, GrowRules rules, unsigned threads);

struct ForestFit {
    Model model;
    OutOfBag out_of_bag;  // empty without out-of-bag votes
};

// Trees first .. first + count - 1 of the forest that `rules` describe. `progress`, when given,
// is called now and then with the number of trees finished.
ForestFit fit_forest(const FitData& data, ForestRules rules, std::uint32_t first,
                     std::uint32_t count, unsigned threads, const std::optional<nb::callable>& progress);
ForestFit fit_forest(const SparseFitData& data, ForestRules rules, std::uint32_t first,
                     std::uint32_t count, unsigned threads, const std::optional<nb::callable>& progress);

// The out-of-bag votes of every tree of a forest fitted on `data` under `rules`.
OutOfBag out_of_bag_of_fit(const Model& model, const FitData& data, const ForestRules& rules,
                           unsigned threads);

// (sums, tree counts) of out-of-bag votes as NumPy arrays, n_rows x width and n_rows.
nb::object out_of_bag_arrays(OutOfBag&& votes, std::size_t n_rows, std::size_t width);
OutOfBag out_of_bag_of_fit(const Model& model, const SparseFitData& data, const ForestRules& rules,
                           unsigned threads);

}  // namespace lindorf::estimators
