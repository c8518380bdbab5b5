// Feature importances: how much each feature's splits lowered the impurity, weighted by the rows
// they divided (a split's weight times its impurity, less each child's weight times impurity),
// summed over a tree's splits in double precision.
//
// Only the features some split tests can have any: the lists hold those, ascending, so that
// their cost follows the trees' nodes and not the feature count a model claims. The dense forms
// are the same numbers, bit for bit, with every other feature at 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "model/model.hpp"

namespace lindorf {

struct FeatureImportance {
    std::uint32_t feature = 0;
    double value = 0.0;
};

// One tree's total decrease per feature it splits on, normalised to sum 1 (left as they are
// when nothing decreased).
std::vector<FeatureImportance> tree_importance_list(const Tree& tree, std::size_t n_features);

// The mean of the importances of the trees that split at least once, normalised to sum 1; empty
// when none did.
std::vector<FeatureImportance> forest_importance_list(std::span<const SharedTree> trees,
                                                      std::size_t n_features);

std::vector<double> tree_importances(const Tree& tree, std::size_t n_features);
std::vector<double> forest_importances(std::span<const SharedTree> trees, std::size_t n_features);

}  // namespace lindorf
