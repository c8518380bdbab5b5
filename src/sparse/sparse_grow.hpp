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

#include <cstddef>

#include "sparse/sparse_set.hpp"
#include "support/parallel.hpp"
#include "tree/grow.hpp"
#include "tree/training.hpp"
#include "tree/tree.hpp"

namespace lindorf {

// Training data as tree/training.hpp's WeightedData holds it, with a sparse matrix of rows.
struct SparseWeightedData {
    SparseColumns x;
    std::span<const Label> labels;  // n_rows x n_outputs, row-major
    std::span<const std::uint32_t> weights;  // whole numbers; none: 1 each
    std::uint32_t n_classes = 0;             // of the first output
    std::span<const double> real_weights = {};
    std::vector<std::uint32_t> output_classes = {};
    // Regression: n_rows x n_targets targets in place of labels and classes.
    std::span<const double> targets = {};
    std::size_t n_targets = 0;

    // The same data over other rows (the matrix laid out densely).
    WeightedData with_rows(MatrixView rows) const {
        WeightedData out{rows, labels, weights, n_classes, real_weights, output_classes};
        out.targets = targets;
        out.n_targets = n_targets;
        return out;
    }
    // The data without rows, for what reads only its labels, weights and classes.
    WeightedData without_rows() const { return with_rows({nullptr, x.n_rows, x.n_cols}); }
};

// Whether growth from the stored values follows `rules` and the data's weights: classes (not
// regression targets), the exact path's rules and whole-number weights, without a leaf limit or a least decrease, and with more than
// one row per side only where every row weighs 1 (no weights, and not `drawn` by a bootstrap).
// Other trees grow from the matrix laid out densely.
bool sparse_growth_follows(const SparseWeightedData& data, const GrowRules& rules,
                           bool drawn = false);

// A node lays out and searches its features in groups of at most about this many entries (one
// feature's at least): near the root, laying them out all at once would take as much memory
// again as the set's stored values.
inline constexpr std::size_t sparse_group_entries = std::size_t{1} << 16;

Tree grow_sparse(SparseSet& set, const GrowRules& rules, WorkerPool* pool,
                 std::size_t group_entries = sparse_group_entries);

// The tree of rows of a sparse matrix with labels and weights as grow_tree (tree/grow.hpp) takes
// them: the tree grow_tree grows on the dense matrix.
Tree grow_tree(const SparseColumns& x, std::span<const Label> labels,
               std::span<const std::uint32_t> weights, const GrowRules& rules,
               WorkerPool* pool = nullptr);

// The tree grow_weighted (tree/training.hpp) grows on the dense matrix: from the stored values
// where sparse_growth_follows, from the matrix laid out densely otherwise.
Tree grow_weighted(const SparseWeightedData& data, const GrowRules& rules,
                   WorkerPool* pool = nullptr);

}  // namespace lindorf
