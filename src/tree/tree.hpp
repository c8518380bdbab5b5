// A grown decision tree and the walks over it: prediction, leaves and depth.
//
// A tree is one flat list of nodes (the root first) in which inner nodes name their children by
// position. The list owns every node, so destroying a tree never recurses, however deep it is,
// and a tree moves between threads as one vector. What growth learnt about each node (its
// weight, impurity and, for a leaf, its class counts) sits beside the nodes when the caller asked
// growth to record it, so that prediction walks only the small records it needs and callers that
// never read the record do not pay for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "support/dataset.hpp"

namespace lindorf {

struct Node {
    bool is_leaf = true;
    std::uint32_t feature = 0;     // inner nodes: the feature tested
    float threshold = 0.0f;        // inner nodes: values strictly below go left
    std::uint32_t prediction = 0;  // leaves: the label assigned
    std::uint32_t left = 0;        // inner nodes: positions of the children in Tree::nodes
    std::uint32_t right = 0;
};

// A class of the rows in a leaf and their total weight.
struct ClassCount {
    Label label = 0;
    std::uint32_t count = 0;  // never 0: a leaf lists only the classes it holds

    bool operator==(const ClassCount&) const = default;
};

struct NodeStats {
    std::uint32_t weight = 0;  // total weight of the training rows that reached the node
    float impurity = 0.0f;     // of those rows, by the impurity measure growth used
    // Leaves: their classes, ascending, are Tree::class_counts[counts, counts + n_counts). A leaf
    // lists only the classes present in it, so a tree's lists together hold at most one entry
    // per training row, however many classes there are.
    std::uint32_t counts = 0;
    std::uint32_t n_counts = 0;
};

struct Tree {
    std::vector<Node> nodes;  // nodes[0] is the root
    // Filled by growth that records node statistics; empty otherwise and in a hand-built tree.
    std::vector<NodeStats> stats;           // by node
    std::vector<ClassCount> class_counts;   // the leaves' class lists, one after another

    bool has_stats() const { return !nodes.empty() && stats.size() == nodes.size(); }
};

// The class list of the leaf at `node`; the tree must have stats and their lists must lie
// inside class_counts (growth and the model reader see to both).
inline std::span<const ClassCount> leaf_class_counts(const Tree& tree, std::size_t node) {
    const NodeStats& stats = tree.stats[node];
    return std::span<const ClassCount>(tree.class_counts).subspan(stats.counts, stats.n_counts);
}

// Positions are 32-bit, and the highest one stays free to mean "no node", so a tree holds at
// most this many nodes. Growth fails before any position could wrap.
constexpr std::size_t max_tree_nodes = 0xFFFFFFFFu;

// Fails growth that would take `tree` to more than `limit` nodes (max_tree_nodes, or a smaller
// limit that tests inject).
void check_node_room(const Tree& tree, std::size_t added, std::size_t limit);

// One label per row, in row order. A value goes left when it is strictly less than the
// threshold; equal values and NaN (value or threshold) go right. A row too short for a feature
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
