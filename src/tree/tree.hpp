// A grown decision tree and the two walks over it: prediction and depth.
//
// A tree is one flat list of nodes (the root first) in which inner nodes name their children by
// position. The list owns every node, so destroying a tree never recurses, however deep it is,
// and a tree moves between threads as one vector.
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

struct Tree {
    std::vector<Node> nodes;  // nodes[0] is the root
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

// Edges on the longest path from the root to a leaf; a single leaf has depth 0.
std::uint32_t depth(const Tree& tree);

}  // namespace lindorf
