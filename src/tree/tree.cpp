#include "tree/tree.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "support/error.hpp"

namespace lindorf {

namespace {

const Node& node_at(const Tree& tree, std::uint32_t index) {
    LINDORF_CHECK(index < tree.nodes.size(), "tree node " + std::to_string(index) +
                                                 " is missing from a tree of " +
                                                 std::to_string(tree.nodes.size()) + " nodes");
    return tree.nodes[index];
}

}  // namespace

void check_node_room(const Tree& tree, std::size_t added, std::size_t limit) {
    limit = std::min(limit, max_tree_nodes);
    LINDORF_CHECK(tree.nodes.size() <= limit && added <= limit - tree.nodes.size(),
                  "cannot grow a tree past " + std::to_string(limit) +
                      " nodes: its node positions would no longer fit in 32 bits");
}

std::uint32_t leaf_position(const Tree& tree, MatrixView rows, std::size_t r) {
    std::uint32_t index = 0;
    const Node* node = &node_at(tree, 0);
    while (!node->is_leaf) {
        LINDORF_CHECK(node->feature < rows.n_cols,
                      "index out of bounds: the len is " + std::to_string(rows.n_cols) +
                          " but the index is " + std::to_string(node->feature));
        index = goes_left(*node, rows.at(r, node->feature)) ? node->left : node->right;
        node = &node_at(tree, index);
    }
    return index;
}

Labels predict(MatrixView rows, const Tree& tree) {
    Labels out;
    out.reserve(rows.n_rows);
    for (std::size_t r = 0; r < rows.n_rows; ++r)
        out.push_back(tree.nodes[leaf_position(tree, rows, r)].prediction);
    return out;
}

std::vector<std::uint32_t> leaves_of(MatrixView rows, const Tree& tree) {
    std::vector<std::uint32_t> out;
    out.reserve(rows.n_rows);
    for (std::size_t r = 0; r < rows.n_rows; ++r) out.push_back(leaf_position(tree, rows, r));
    return out;
}

std::uint32_t depth(const Tree& tree) {
    // Explicit stack: a tree may be far deeper than a thread's stack allows recursion.
    std::uint32_t deepest = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pending{{0, 0}};
    while (!pending.empty()) {
        auto [index, level] = pending.back();
        pending.pop_back();
        const Node& node = node_at(tree, index);
        if (node.is_leaf) {
            deepest = std::max(deepest, level);
            continue;
        }
        pending.emplace_back(node.right, level + 1);
        pending.emplace_back(node.left, level + 1);
    }
    return deepest;
}

std::size_t leaf_count(const Tree& tree) {
    return static_cast<std::size_t>(
        std::count_if(tree.nodes.begin(), tree.nodes.end(), [](const Node& n) { return n.is_leaf; }));
}

}  // namespace lindorf
