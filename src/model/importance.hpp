// Feature importances: how much each feature's splits lowered the impurity, weighted by the rows
// they divided (a split's weight times its impurity, less each child's weight times impurity),
// summed over a tree's splits in double precision.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "model/model.hpp"

namespace lindorf {

// One tree's total decrease per feature, normalised to sum 1; all zeros when nothing decreased.
std::vector<double> tree_importances(const Tree& tree, std::size_t n_features);

// The mean of the importances of the trees that split at least once, normalised to sum 1; all
// zeros when none did.
std::vector<double> forest_importances(std::span<const SharedTree> trees, std::size_t n_features);

}  // namespace lindorf
