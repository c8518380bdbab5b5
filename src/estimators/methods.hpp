// What a fitted model answers, as the estimators' module binds it: predictions over NumPy rows
// (with the interpreter lock released), importances and shape facts, and joining models.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "estimators/arrays.hpp"
#include "model/model.hpp"

namespace lindorf::estimators {

nb::ndarray<nb::numpy, std::uint32_t> tree_labels_of(const Model& model, FeatureArray x,
                                                     unsigned threads);
nb::ndarray<nb::numpy, double> tree_shares_of(const Model& model, FeatureArray x,
                                              unsigned threads);
nb::ndarray<nb::numpy, std::uint32_t> votes_of(const Model& model, FeatureArray x,
                                               unsigned threads);
// n_rows x n_classes: the mean of the trees' leaf class shares.
nb::ndarray<nb::numpy, double> forest_shares_of(const Model& model, FeatureArray x,
                                                unsigned threads);
// n_rows x n_targets: a regression model's predictions, the mean of its trees' leaf values.
nb::ndarray<nb::numpy, double> values_of(const Model& model, FeatureArray x, unsigned threads);
nb::ndarray<nb::numpy, std::uint32_t> leaves_of_rows(const Model& model, FeatureArray x,
                                                     unsigned threads);
// Each row's predicted class from the leaves it reaches (LeafArray), without the rows x classes
// shares: for forests of many classes.
nb::ndarray<nb::numpy, std::uint32_t> top_classes_of(const Model& model, LeafArray leaves,
                                                     bool soft, unsigned threads);
nb::ndarray<nb::numpy, double> importances_of(const Model& model);
// The features some split tests, ascending, and their importances: all that are not 0, at a
// cost that does not grow with the model's feature count.
nb::tuple importance_list_of(const Model& model);
std::vector<std::uint32_t> depths_of(const Model& model);
std::vector<std::size_t> node_counts_of(const Model& model);
std::vector<std::size_t> leaf_counts_of(const Model& model);
// The one-tree model of tree i, sharing the tree.
Model tree_at(const Model& model, std::size_t i);
// The trees of every model, in order; the models must agree on features and classes.
Model join_models(std::vector<const Model*> parts);

}  // namespace lindorf::estimators
