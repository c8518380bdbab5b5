// Putting a tree together from separately grown parts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tree/tree.hpp"

namespace lindorf {

// Replaces the placeholder node `at` of `tree` by the root of `subtree` and appends the rest of
// the subtree, renumbering its child positions. A result of more than `node_limit` nodes is an
// internal failure, raised before anything changes.
void splice(Tree& tree, std::uint32_t at, const Tree& subtree,
            std::size_t node_limit = max_tree_nodes);

// The same tree with its nodes renumbered in preorder, left subtree before right. Growth order
// then no longer shows in the result.
Tree in_preorder(const Tree& tree);

}  // namespace lindorf
