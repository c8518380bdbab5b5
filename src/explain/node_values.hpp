// What each node of a tree holds and stands for, as dense per-node class vectors: the class
// weights of the training rows that reached it, and the value its leaves give a model's class
// shares (a single tree's or a soft vote's leaf shares, or a hard vote's one vote for the leaf's
// label). A forest's class shares are the mean of its trees' leaf values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "explain/tree_view.hpp"

namespace lindorf {

enum class LeafOutput : std::uint8_t {
    shares,  // the leaf's weighted class shares
    vote,    // 1 for the leaf's label, 0 for every other class
    target,  // a regression leaf's values, one per target, as recorded
};

// Fails unless the tree can be read by the explanations: it has its stats, every inner node's
// feature is below n_features and its children come after it inside the tree, and every leaf's
// label and classes are below n_classes.
void check_explainable(const Tree& tree, std::size_t n_features, std::uint32_t n_classes);

// Calls visit(class, value) for every class whose value in the leaf is not zero, classes
// ascending.
template <class Visit>
void for_leaf_value(const Tree& tree, std::size_t leaf, LeafOutput kind, Visit&& visit) {
    if (kind == LeafOutput::vote) {
        visit(tree.nodes[leaf].prediction, 1.0);
        return;
    }
    if (kind == LeafOutput::target) {
        for_leaf_classes(tree, leaf, visit);
        return;
    }
    const double cover = cover_at(tree, leaf);
    for_leaf_classes(tree, leaf, [&](std::uint32_t label, double weight) {
        visit(label, weight / cover);
    });
}

// n_nodes x n_targets, row-major: a regression tree's values of every node as growth recorded
// them (a node's own mean or median, inner nodes included).
std::vector<double> recorded_values(const Tree& tree, std::uint32_t n_targets);

// n_nodes x n_classes, row-major: a leaf's class weights, an inner node's the sum of its leaves'.
std::vector<double> class_weights(const Tree& tree, std::uint32_t n_classes);

// n_nodes x n_classes, row-major: a leaf's value, an inner node's the mean of the values of the
// leaves below it, each weighted by its cover. With shares that is the node's own class shares;
// with votes, the share of its training weight that lands in leaves of each label.
std::vector<double> node_values(const Tree& tree, std::uint32_t n_classes, LeafOutput kind);

// The class weights of the rows that reached `node` (the sum over the leaves below it), as
// (class, weight) pairs, classes ascending: what one node holds without a dense row per class.
std::vector<std::pair<std::uint32_t, double>> node_class_weights(const Tree& tree,
                                                                 std::size_t node);

}  // namespace lindorf
