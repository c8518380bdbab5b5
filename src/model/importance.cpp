#include "model/importance.hpp"

#include <algorithm>
#include <string>

#include "support/error.hpp"

namespace lindorf {

namespace {

// Sums in ascending feature order, as a sum over every feature would (its zeros add nothing).
void normalise(std::vector<FeatureImportance>& list) {
    double sum = 0.0;
    for (const FeatureImportance& entry : list) sum += entry.value;
    if (sum > 0.0)
        for (FeatureImportance& entry : list) entry.value /= sum;
}

double weighted_impurity(const Tree& tree, std::uint32_t node) {
    return static_cast<double>(tree.stats[node].weight) * tree.stats[node].impurity;
}

// The entry of `feature`, which the ascending list must hold.
FeatureImportance& entry_of(std::vector<FeatureImportance>& list, std::uint32_t feature) {
    return *std::lower_bound(
        list.begin(), list.end(), feature,
        [](const FeatureImportance& entry, std::uint32_t f) { return entry.feature < f; });
}

// The ascending, distinct features of the lists, each at 0.
std::vector<FeatureImportance> zeros_of(const std::vector<std::uint32_t>& features) {
    std::vector<std::uint32_t> sorted = features;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    std::vector<FeatureImportance> out;
    out.reserve(sorted.size());
    for (std::uint32_t f : sorted) out.push_back({f, 0.0});
    return out;
}

std::vector<double> dense(const std::vector<FeatureImportance>& list, std::size_t n_features) {
    std::vector<double> out(n_features, 0.0);
    for (const FeatureImportance& entry : list) out[entry.feature] = entry.value;
    return out;
}

}  // namespace

std::vector<FeatureImportance> tree_importance_list(const Tree& tree, std::size_t n_features) {
    LINDORF_CHECK(tree.has_stats(), "the tree has no node weights");
    std::vector<std::uint32_t> split_on;
    for (const Node& node : tree.nodes) {
        if (node.is_leaf) continue;
        LINDORF_CHECK(node.feature < n_features,
                      "feature " + std::to_string(node.feature) + " is beyond the " +
                          std::to_string(n_features) + " features");
        split_on.push_back(node.feature);
    }
    std::vector<FeatureImportance> out = zeros_of(split_on);
    for (std::uint32_t i = 0; i < tree.nodes.size(); ++i) {
        const Node& node = tree.nodes[i];
        if (node.is_leaf) continue;
        entry_of(out, node.feature).value += weighted_impurity(tree, i) -
                                             weighted_impurity(tree, node.left) -
                                             weighted_impurity(tree, node.right);
    }
    normalise(out);
    return out;
}

std::vector<FeatureImportance> forest_importance_list(std::span<const SharedTree> trees,
                                                      std::size_t n_features) {
    std::vector<std::vector<FeatureImportance>> own;
    std::vector<std::uint32_t> split_on;
    for (const SharedTree& tree : trees) {
        if (tree->nodes.size() < 2) continue;
        own.push_back(tree_importance_list(*tree, n_features));
        for (const FeatureImportance& entry : own.back()) split_on.push_back(entry.feature);
    }
    std::vector<FeatureImportance> out = zeros_of(split_on);
    if (own.empty()) return out;
    for (const std::vector<FeatureImportance>& list : own)  // in tree order, as the mean adds up
        for (const FeatureImportance& entry : list) entry_of(out, entry.feature).value += entry.value;
    for (FeatureImportance& entry : out) entry.value /= static_cast<double>(own.size());
    normalise(out);
    return out;
}

std::vector<double> tree_importances(const Tree& tree, std::size_t n_features) {
    return dense(tree_importance_list(tree, n_features), n_features);
}

std::vector<double> forest_importances(std::span<const SharedTree> trees, std::size_t n_features) {
    return dense(forest_importance_list(trees, n_features), n_features);
}

}  // namespace lindorf
