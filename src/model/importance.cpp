#include "model/importance.hpp"

#include <string>

#include "support/error.hpp"

namespace lindorf {

namespace {

void normalise(std::vector<double>& values) {
    double sum = 0.0;
    for (double v : values) sum += v;
    if (sum > 0.0)
        for (double& v : values) v /= sum;
}

double weighted_impurity(const Tree& tree, std::uint32_t node) {
    return static_cast<double>(tree.stats[node].weight) * tree.stats[node].impurity;
}

}  // namespace

std::vector<double> tree_importances(const Tree& tree, std::size_t n_features) {
    LINDORF_CHECK(tree.has_stats(), "the tree has no node weights");
    std::vector<double> out(n_features, 0.0);
    for (std::uint32_t i = 0; i < tree.nodes.size(); ++i) {
        const Node& node = tree.nodes[i];
        if (node.is_leaf) continue;
        LINDORF_CHECK(node.feature < n_features,
                      "feature " + std::to_string(node.feature) + " is beyond the " +
                          std::to_string(n_features) + " features");
        out[node.feature] += weighted_impurity(tree, i) - weighted_impurity(tree, node.left) -
                             weighted_impurity(tree, node.right);
    }
    normalise(out);
    return out;
}

std::vector<double> forest_importances(std::span<const SharedTree> trees, std::size_t n_features) {
    std::vector<double> out(n_features, 0.0);
    std::size_t splitting = 0;
    for (const SharedTree& tree : trees) {
        if (tree->nodes.size() < 2) continue;
        std::vector<double> own = tree_importances(*tree, n_features);
        for (std::size_t f = 0; f < n_features; ++f) out[f] += own[f];
        ++splitting;
    }
    if (splitting == 0) return out;
    for (double& v : out) v /= static_cast<double>(splitting);
    normalise(out);
    return out;
}

}  // namespace lindorf
