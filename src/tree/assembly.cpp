#include "tree/assembly.hpp"

#include <vector>

namespace lindorf {

void splice(Tree& tree, std::uint32_t at, const Tree& subtree, std::size_t node_limit) {
    // The subtree's root takes the placeholder's position; the rest is new.
    if (subtree.nodes.size() > 1) check_node_room(tree, subtree.nodes.size() - 1, node_limit);
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
    out.nodes.reserve(tree.nodes.size());
    std::vector<Visit> pending{{0, 0, false}};
    while (!pending.empty()) {
        Visit visit = pending.back();
        pending.pop_back();
        auto index = static_cast<std::uint32_t>(out.nodes.size());
        const Node& node = tree.nodes[visit.from];
        out.nodes.push_back(node);
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
