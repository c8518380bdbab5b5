// The estimators' module for scipy's sparse matrices: fits from a matrix by columns and
// predictions of one by rows. Predictions never lay the matrix out densely as a whole, nor do
// fits whose rules growth from stored values follows (sparse/sparse_grow.hpp); other fits grow
// from the matrix laid out densely. The Python side hands over the
// stored values (float32), their rows or features (uint32) and the starts of each column or row
// (uint64), canonical (sorted, no duplicates).
#pragma once

#include <nanobind/nanobind.h>

namespace lindorf::estimators {

// Adds fit_tree_sparse, fit_forest_sparse and out_of_bag_sparse (which takes the model first),
// their regression versions (fit_regression_tree_sparse, fit_regression_forest_sparse,
// regression_out_of_bag_sparse), and tree_labels_sparse, tree_shares_sparse, votes_sparse,
// shares_sparse, leaves_sparse and values_sparse (which take the model first) to the module.
void define_sparse(nanobind::module_& m);

}  // namespace lindorf::estimators
