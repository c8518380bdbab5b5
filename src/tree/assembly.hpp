// Putting a tree together from separately grown parts.
#pragma once

#include <cstdint>

#include "tree/tree.hpp"

namespace lindorf {

// Replaces the placeholder node `at` of `tree` by the root of `subtree` and appends the rest of
// the subtree, renumbering its child positions.
void splice(Tree& tree, std::uint32_t at, const Tree& subtree);

// The same tree with its nodes renumbered in preorder, left subtree before right. Growth order
// then no longer shows in the result.
Tree in_preorder(const Tree& tree);

}  // namespace lindorf
