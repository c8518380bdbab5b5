// A grown decision tree and the walks over it: prediction, leaves and depth.
//
// A tree is one flat list of nodes (the root first) in which inner nodes name their children by
// position. The list owns every node, so destroying a tree never recurses, however deep it is,
// and a tree moves between threads as one vector. What growth learnt about each node (its
// weight, impurity and rows and, for a leaf, its value vector) sits beside the nodes when the
// caller asked growth to record it, so that prediction walks only the small records it needs and
// callers that never read the record do not pay for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "support/dataset.hpp"

namespace lindorf {

struct Node {
    bool is_leaf = true;
    bool nan_left = false;         // inner nodes: NaN values go left (by default they go right)
    std::uint32_t feature = 0;     // inner nodes: the feature tested
    float threshold = 0.0f;        // inner nodes: values strictly below go left
    // The label a leaf assigns. Growth that records node statistics gives inner nodes the label
    // they would assign as leaves, which pruning makes them.
    std::uint32_t prediction = 0;
    std::uint32_t left = 0;        // inner nodes: positions of the children in Tree::nodes
    std::uint32_t right = 0;
};

// Whether a value at the node's feature goes to the left child.
inline bool goes_left(const Node& node, float value) {
    return value < node.threshold || (node.nan_left && value != value);
}

// One entry of a leaf's value vector. A classifier's leaf lists the weight of its training rows
// of each class present in it, by flat class index (the classes of every output numbered one
// after another); a class it does not list has none. Class shares are value / NodeStats::weight
// for every output.
struct LeafValue {
    std::uint32_t index = 0;
    double value = 0.0;  // never 0 in a classifier's leaf

    bool operator==(const LeafValue&) const = default;
};

struct NodeStats {
    double weight = 0.0;    // total weight of the training rows that reached the node
    double impurity = 0.0;  // of those rows, in double precision (criteria/impurity.hpp)
    std::uint32_t rows = 0;  // how many training rows (of positive weight) reached it; 0: unknown
    // Leaves: their value vector is Tree::values[values, values + n_values), indices ascending.
    // A leaf lists only the classes present in it, so a tree's lists together hold at most one
    // entry per training row and output, however many classes there are.
    std::uint32_t values = 0;
    std::uint32_t n_values = 0;
};

struct Tree {
    std::vector<Node> nodes;  // nodes[0] is the root
    // Filled by growth that records node statistics; empty otherwise and in a hand-built tree.
    std::vector<NodeStats> stats;   // by node
    std::vector<LeafValue> values;  // the leaves' value vectors, one after another

    bool has_stats() const { return !nodes.empty() && stats.size() == nodes.size(); }
};

// The value vector of the leaf at `node`; the tree must have stats and their lists must lie
// inside `values` (growth and the model reader see to both).
inline std::span<const LeafValue> leaf_values(const Tree& tree, std::size_t node) {
    const NodeStats& stats = tree.stats[node];
    return std::span<const LeafValue>(tree.values).subspan(stats.values, stats.n_values);
}

// Positions are 32-bit, and the highest one stays free to mean "no node", so a tree holds at
// most this many nodes. Growth fails before any position could wrap.
constexpr std::size_t max_tree_nodes = 0xFFFFFFFFu;

// Fails growth that would take `tree` to more than `limit` nodes (max_tree_nodes, or a smaller
// limit that tests inject).
void check_node_room(const Tree& tree, std::size_t added, std::size_t limit);

// One label per row, in row order. A value goes left when it is strictly less than the
// threshold; equal values and NaN (value or threshold) go right, except that NaN values go left
// at nodes marked nan_left. A row too short for a feature
// it meets is an internal failure; an empty row list never looks at the tree.
Labels predict(MatrixView rows, const Tree& tree);

// The position of the leaf that row r reaches, routed as predict routes it.
std::uint32_t leaf_position(const Tree& tree, MatrixView rows, std::size_t r);

// The position of the leaf each row reaches.
std::vector<std::uint32_t> leaves_of(MatrixView rows, const Tree& tree);

// Edges on the longest path from the root to a leaf; a single leaf has depth 0.
std::uint32_t depth(const Tree& tree);

std::size_t leaf_count(const Tree& tree);

}  // namespace lindorf
