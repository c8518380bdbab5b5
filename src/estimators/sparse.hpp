// The estimators' module for scipy's sparse matrices: fits from a matrix by columns and
// predictions of one by rows, never laid out densely as a whole. The Python side hands over the
// stored values (float32), their rows or features (uint32) and the starts of each column or row
// (uint64), canonical (sorted, no duplicates).
#pragma once

#include <nanobind/nanobind.h>

namespace lindorf::estimators {

// Adds fit_tree_sparse, fit_forest_sparse and tree_labels_sparse, tree_shares_sparse,
// votes_sparse and leaves_sparse (which take the model first) to the module.
void define_sparse(nanobind::module_& m);

}  // namespace lindorf::estimators
