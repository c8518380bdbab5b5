// What the estimators' module tells about a fitted model beyond its predictions: node tables,
// per-node class vectors, decision paths and SHAP values. A leaf-value kind is named as the
// Python side names it: "shares" (a tree's leaf class shares, a soft vote) or "vote" (one vote
// for the leaf's label).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "estimators/arrays.hpp"
#include "model/model.hpp"

namespace lindorf::estimators {

// Tree i's node fields as a dict of NumPy arrays, named as scikit-learn's Tree names them.
nb::dict node_table_of(const Model& model, std::size_t i);
// Tree i's per-node class weights (kind "weights") or values ("shares", "vote"; "target", a
// regression tree's leaf values), n_nodes x n_classes (n_targets), an inner node's value the
// cover-weighted mean of its leaves'; or a regression tree's values as recorded ("recorded").
nb::ndarray<nb::numpy, double> node_values_of(const Model& model, std::size_t i,
                                              const std::string& kind);
// The classes present in node `node` of tree i and their weights.
nb::tuple node_class_weights_of(const Model& model, std::size_t i, std::size_t node);
// (indptr, indices) of the nodes each row passes in every tree, numbered across the trees.
nb::tuple decision_path_of(const Model& model, FeatureArray x, unsigned threads);
// n_rows x (n_features + 1) x n_classes SHAP values (the expected value last), computed with the
// lock released; Ctrl-C stops them with KeyboardInterrupt.
nb::ndarray<nb::numpy, double> contributions_of(const Model& model, FeatureArray x,
                                                const std::string& kind, unsigned threads);

}  // namespace lindorf::estimators
