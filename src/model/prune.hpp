// Minimal cost-complexity pruning, with scikit-learn's definitions and arithmetic.
//
// A node's cost is r = weight * impurity / root weight; a branch's, the sum of its leaves'. The
// weakest link is the inner node of least effective alpha (r_node - r_branch) / (leaves - 1),
// the lowest position on a tie; pruning it makes it a leaf. Repeated until only the root is
// left, that gives the pruning path: each alpha and the total cost of the tree's leaves then.
// Pruning by ccp_alpha prunes weakest links while their alpha is at most ccp_alpha. The sums are
// formed in scikit-learn's order (leaves in position order, each added to its ancestors; then
// each pruned branch's change added to its ancestors), so a tree with the same nodes gives the
// same alphas to the last bit.
#pragma once

#include <vector>

#include "tree/tree.hpp"

namespace lindorf {

struct PruningPath {
    std::vector<double> alphas;      // ascending, the first 0
    std::vector<double> impurities;  // the total cost of the leaves at each alpha
};

// The tree must have node statistics.
PruningPath pruning_path(const Tree& tree);

// The tree pruned at `alpha`: a pruned node becomes a leaf with its own label and statistics
// and the sum of its leaves' values. Nodes keep their preorder.
Tree pruned(const Tree& tree, double alpha);

}  // namespace lindorf
