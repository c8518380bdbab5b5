// A grown decision tree and the walks over it: prediction, leaves and depth.
//
// A tree is one flat list of nodes (the root first) in which inner nodes name their children by
// position. The list owns every node, so destroying a tree never recurses, however deep it is,
// and a tree moves between threads as one vector. What growth learnt about each node (its
// weight, impurity and, for a leaf, its class counts) sits beside the nodes, so that prediction
// walks only the small records it needs.
#pragma once

#include <cstddef>
#include <cstdint>
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

struct NodeStats {
    std::uint32_t weight = 0;  // total weight of the training rows that reached the node
    float impurity = 0.0f;     // of those rows, by the impurity measure growth used
    std::uint32_t counts = 0;  // leaves: where their class counts start in Tree::class_counts
};

struct Tree {
    std::vector<Node> nodes;  // nodes[0] is the root
    // Filled by growth; empty in a hand-built tree.
    std::vector<NodeStats> stats;             // by node
    std::vector<Label> classes;               // the labels grown on, ascending
    std::vector<std::uint32_t> class_counts;  // classes.size() weighted counts per leaf

    bool has_stats() const { return !nodes.empty() && stats.size() == nodes.size(); }
};

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
