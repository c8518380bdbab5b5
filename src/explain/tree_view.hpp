// What explanations and exports read of a grown tree: per node its test, the side NaN takes, its
// cover (the training weight that reached it) and impurity; per leaf its label and class
// weights. They read a tree only through these functions, so that what growth records about a
// node can change in one place.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "tree/tree.hpp"

namespace lindorf {

// Whether a row whose value is NaN takes the left branch of inner node `node`. lindorf's rule
// sends NaN right, like values equal to the threshold, unless the node learnt otherwise.
inline bool nan_goes_left(const Tree& tree, std::size_t node) {
    return tree.nodes[node].nan_left;
}

// Whether a row whose value of the node's feature is `value` takes the left branch, as
// prediction routes it.
inline bool goes_left(const Tree& tree, std::size_t node, float value) {
    return value < tree.nodes[node].threshold ||
           (std::isnan(value) && nan_goes_left(tree, node));
}

// The total weight of the training rows that reached the node; the tree must have stats.
inline double cover_at(const Tree& tree, std::size_t node) {
    return tree.stats[node].weight;
}

inline double impurity_at(const Tree& tree, std::size_t node) {
    return tree.stats[node].impurity;
}

// Calls visit(class, weight) for each class present in the leaf, by flat class index ascending.
template <class Visit>
void for_leaf_classes(const Tree& tree, std::size_t leaf, Visit&& visit) {
    for (const LeafValue& value : leaf_values(tree, leaf)) visit(value.index, value.value);
}

}  // namespace lindorf
