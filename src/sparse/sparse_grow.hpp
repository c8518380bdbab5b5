// Growing a tree from a sparse set (sparse_set.hpp): the tree the dense matrix grows under the
// same rules, node for node, at a cost that follows a node's rows and stored values instead of
// its rows times the features.
//
// A node keeps its rows (WorkingSet::node_rows, in ascending first position) and its stored
// values, one stretch of the set's, feature after feature and each feature's sorted by value; a
// split divides the rows and the stretch stably. To search a feature, the node lays out its
// stored values with its zeros in their place: one made-up row per class of the zero rows,
// weighing their count and placed at their earliest position, which the sweeps and their tie
// rules read as they would the zero rows themselves.
#pragma once

#include "sparse/sparse_set.hpp"
#include "support/parallel.hpp"
#include "tree/grow.hpp"
#include "tree/tree.hpp"

namespace lindorf {

Tree grow_sparse(SparseSet& set, const GrowRules& rules, WorkerPool* pool);

// The tree of rows of a sparse matrix with labels and weights as grow_tree (tree/grow.hpp) takes
// them: the tree grow_tree grows on the dense matrix.
Tree grow_tree(const SparseColumns& x, std::span<const Label> labels,
               std::span<const std::uint32_t> weights, const GrowRules& rules,
               WorkerPool* pool = nullptr);

}  // namespace lindorf
