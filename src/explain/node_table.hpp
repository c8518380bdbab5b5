// A tree as one array per node field, in scikit-learn's conventions (children -1 and feature -2
// at leaves), for readers outside the learner: the public node table, exports and conversions.
// Thresholds keep lindorf's rule: a row goes left when its value is strictly less.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "explain/node_values.hpp"
#include "support/dataset.hpp"
#include "support/parallel.hpp"
#include "model/model.hpp"

namespace lindorf {

inline constexpr std::int64_t no_child = -1;
inline constexpr std::int64_t no_feature = -2;

struct NodeTable {
    std::vector<std::int64_t> children_left;
    std::vector<std::int64_t> children_right;
    std::vector<std::int64_t> feature;
    std::vector<float> threshold;  // leaves: -2, as scikit-learn's
    std::vector<std::uint8_t> missing_go_to_left;
    std::vector<double> weighted_n_node_samples;
    std::vector<double> impurity;
    std::vector<std::int64_t> depth;  // edges from the root
    std::vector<std::int64_t> label;  // leaves: the class they predict; inner nodes: -1
};

// The table of a tree that check_explainable accepts.
NodeTable node_table(const Tree& tree);

// The nodes every row passes, root to leaf, in every tree in turn: row r's are
// indices[indptr[r] .. indptr[r + 1]), numbered across the trees (tree t's node i is i plus the
// node counts of the trees before it), as scikit-learn's decision_path numbers them.
struct DecisionPaths {
    std::vector<std::int64_t> indptr;  // n_rows + 1
    std::vector<std::int64_t> indices;
};

DecisionPaths decision_paths(std::span<const SharedTree> trees, MatrixView rows,
                             WorkerPool* pool);

}  // namespace lindorf
