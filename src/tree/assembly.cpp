#include "tree/assembly.hpp"

#include <string>
#include <vector>

#include "support/error.hpp"

namespace lindorf {

namespace {

// Appends a leaf's value vector from `from` to `to` and points the leaf's stats at the copy.
void move_values(Tree& to, NodeStats& stats, const Tree& from) {
    const std::size_t at = to.values.size();
    const std::span<const LeafValue> values =
        std::span<const LeafValue>(from.values).subspan(stats.values, stats.n_values);
    to.values.insert(to.values.end(), values.begin(), values.end());
    stats.values = static_cast<std::uint32_t>(at);
}

}  // namespace

void splice(Tree& tree, std::uint32_t at, const Tree& subtree, std::size_t node_limit) {
    // The subtree's root takes the placeholder's position; the rest is new.
    if (subtree.nodes.size() > 1) check_node_room(tree, subtree.nodes.size() - 1, node_limit);
    const bool stats = subtree.has_stats();
    LINDORF_CHECK(tree.has_stats() == stats, "cannot splice trees of which one has stats");
    // Each list entry stands for a training row and output of its own, so the offsets of most
    // trees fit; spliced parts are checked all the same.
    LINDORF_CHECK(subtree.values.size() <= 0xFFFFFFFFu - tree.values.size(),
                  "a tree's leaf values would no longer fit in 32-bit offsets");
    auto offset = static_cast<std::uint32_t>(tree.nodes.size());
    auto position = [&](std::uint32_t j) { return j == 0 ? at : offset + j - 1; };
    for (std::size_t j = 0; j < subtree.nodes.size(); ++j) {
        Node node = subtree.nodes[j];
        if (!node.is_leaf) {
            node.left = position(node.left);
            node.right = position(node.right);
        }
        if (j == 0)
            tree.nodes[at] = node;
        else
            tree.nodes.push_back(node);
        if (!stats) continue;
        NodeStats node_stats = subtree.stats[j];
        if (node_stats.n_values > 0) move_values(tree, node_stats, subtree);
        if (j == 0)
            tree.stats[at] = node_stats;
        else
            tree.stats.push_back(node_stats);
    }
}

Tree in_preorder(const Tree& tree) {
    struct Visit {
        std::uint32_t from;    // position in `tree`
        std::uint32_t parent;  // position of the parent in the result
        bool is_left;
    };
    Tree out;
    if (tree.nodes.empty()) return out;
    check_node_room(out, tree.nodes.size(), max_tree_nodes);
    const bool stats = tree.has_stats();
    out.nodes.reserve(tree.nodes.size());
    if (stats) out.stats.reserve(tree.nodes.size());
    // Leaves' values follow their leaves into preorder, so that the result does not show how
    // the growth was shared out either.
    out.values.reserve(tree.values.size());
    std::vector<Visit> pending{{0, 0, false}};
    while (!pending.empty()) {
        Visit visit = pending.back();
        pending.pop_back();
        auto index = static_cast<std::uint32_t>(out.nodes.size());
        const Node& node = tree.nodes[visit.from];
        out.nodes.push_back(node);
        if (stats) {
            NodeStats node_stats = tree.stats[visit.from];
            if (node_stats.n_values > 0) move_values(out, node_stats, tree);
            out.stats.push_back(node_stats);
        }
        if (index != 0)
            (visit.is_left ? out.nodes[visit.parent].left : out.nodes[visit.parent].right) = index;
        if (!node.is_leaf) {
            pending.push_back({node.right, index, false});
            pending.push_back({node.left, index, true});
        }
    }
    return out;
}

}  // namespace lindorf
