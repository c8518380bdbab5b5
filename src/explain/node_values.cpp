#include "explain/node_values.hpp"

#include <algorithm>
#include <map>
#include <span>
#include <string>

#include "support/error.hpp"

namespace lindorf {

namespace {

// Sums each leaf's vectors into every inner node above it: children come after their parent, so
// one pass from the last node back reaches every child before its parent.
void sum_into_parents(const Tree& tree, std::vector<double>& rows, std::size_t width) {
    for (std::size_t i = tree.nodes.size(); i-- > 0;) {
        const Node& node = tree.nodes[i];
        if (node.is_leaf) continue;
        double* out = rows.data() + i * width;
        const double* left = rows.data() + std::size_t{node.left} * width;
        const double* right = rows.data() + std::size_t{node.right} * width;
        for (std::size_t k = 0; k < width; ++k) out[k] = left[k] + right[k];
    }
}

}  // namespace

void check_explainable(const Tree& tree, std::size_t n_features, std::uint32_t n_classes) {
    LINDORF_CHECK(!tree.nodes.empty(), "the tree has no nodes");
    LINDORF_CHECK(tree.has_stats(), "the tree has no node weights");
    const std::size_t n = tree.nodes.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Node& node = tree.nodes[i];
        if (!node.is_leaf) {
            LINDORF_CHECK(node.feature < n_features, "a node tests feature " +
                                                         std::to_string(node.feature) +
                                                         " of " + std::to_string(n_features));
            LINDORF_CHECK(node.left > i && node.left < n && node.right > i && node.right < n,
                          "a node's children do not follow it in the tree");
            continue;
        }
        LINDORF_CHECK(node.prediction < n_classes, "a leaf's label is not a class index");
        const NodeStats& stats = tree.stats[i];
        LINDORF_CHECK(std::uint64_t{stats.values} + stats.n_values <= tree.values.size(),
                      "a leaf's values are missing");
        for_leaf_classes(tree, i, [&](std::uint32_t label, double) {
            LINDORF_CHECK(label < n_classes, "a leaf's class is not a class index");
        });
    }
}

std::vector<double> recorded_values(const Tree& tree, std::uint32_t n_targets) {
    std::vector<double> out(tree.nodes.size() * n_targets, 0.0);
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        const NodeStats& stats = tree.stats[i];
        LINDORF_CHECK(std::uint64_t{stats.values} + stats.n_values <= tree.values.size(),
                      "a node's values are missing");
        for (const LeafValue& value :
             std::span<const LeafValue>(tree.values).subspan(stats.values, stats.n_values)) {
            LINDORF_CHECK(value.index < n_targets, "a node's value is of no target");
            out[i * n_targets + value.index] = value.value;
        }
    }
    return out;
}

std::vector<double> class_weights(const Tree& tree, std::uint32_t n_classes) {
    std::vector<double> out(tree.nodes.size() * n_classes, 0.0);
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        if (!tree.nodes[i].is_leaf) continue;
        for_leaf_classes(tree, i, [&](std::uint32_t label, double weight) {
            out[i * n_classes + label] = weight;
        });
    }
    sum_into_parents(tree, out, n_classes);
    return out;
}

std::vector<double> node_values(const Tree& tree, std::uint32_t n_classes, LeafOutput kind) {
    // Each leaf's value times its cover, and its cover in the last column: summed upwards, each
    // inner node's row divided by its last column is the weighted mean.
    const std::size_t width = std::size_t{n_classes} + 1;
    std::vector<double> sums(tree.nodes.size() * width, 0.0);
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        if (!tree.nodes[i].is_leaf) continue;
        const double cover = cover_at(tree, i);
        for_leaf_value(tree, i, kind, [&](std::uint32_t label, double value) {
            sums[i * width + label] = value * cover;
        });
        sums[i * width + n_classes] = cover;
    }
    sum_into_parents(tree, sums, width);
    std::vector<double> out(tree.nodes.size() * n_classes, 0.0);
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        double* row = out.data() + i * n_classes;
        if (tree.nodes[i].is_leaf) {
            for_leaf_value(tree, i, kind, [&](std::uint32_t label, double value) {
                row[label] = value;
            });
            continue;
        }
        const double cover = sums[i * width + n_classes];
        if (cover > 0.0)
            for (std::size_t k = 0; k < n_classes; ++k) row[k] = sums[i * width + k] / cover;
    }
    return out;
}

std::vector<std::pair<std::uint32_t, double>> node_class_weights(const Tree& tree,
                                                                 std::size_t node) {
    LINDORF_CHECK(node < tree.nodes.size(), "no node " + std::to_string(node) + " in the tree");
    std::map<std::uint32_t, double> sums;
    std::vector<std::size_t> pending{node};
    while (!pending.empty()) {
        const std::size_t i = pending.back();
        pending.pop_back();
        const Node& at = tree.nodes[i];
        if (!at.is_leaf) {
            pending.push_back(at.right);
            pending.push_back(at.left);
            continue;
        }
        for_leaf_classes(tree, i, [&](std::uint32_t label, double weight) {
            sums[label] += weight;
        });
    }
    return {sums.begin(), sums.end()};
}

}  // namespace lindorf
