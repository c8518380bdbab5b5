// A fitted estimator's model: its trees and the shape of the data it was fitted on. Labels in
// the trees are class indices below the first output's class count, and leaf values are indexed
// by flat class index (the classes of every output numbered one after another); the estimator
// keeps what each index stands for. Trees are immutable once grown and may be shared: a forest
// and the single-tree estimators that show its trees hold the same trees.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "model/walk.hpp"
#include "tree/tree.hpp"

namespace lindorf {

using SharedTree = std::shared_ptr<const Tree>;

struct Model {
    std::uint32_t n_features = 0;
    std::uint32_t n_classes = 0;  // over every output
    // The class count of each output, adding up to n_classes; empty means one output.
    std::vector<std::uint32_t> output_classes = {};
    std::vector<SharedTree> trees = {};  // in tree order
    // Each tree as predictions walk it (model/predict.hpp's prepare_walks), or empty: then
    // every prediction makes them afresh.
    std::vector<SharedWalk> walks = {};
    // Regression: the number of targets, whose values every node holds (by output); 0 for a
    // classifier.
    std::uint32_t n_targets = 0;
    // The format version the model was read from (0: grown in this process). Files of version 1
    // do not record how many rows reached a node, nor an inner node's label.
    std::uint32_t read_version = 0;

    bool regression() const { return n_targets > 0; }
    // The length of a node's dense value vector: one value per target, or one per flat class.
    std::uint32_t value_width() const { return regression() ? n_targets : n_classes; }
    std::size_t n_outputs() const {
        return regression() ? n_targets : output_classes.empty() ? 1 : output_classes.size();
    }
    std::vector<std::uint32_t> classes_per_output() const {
        return output_classes.empty() ? std::vector<std::uint32_t>{n_classes} : output_classes;
    }
};

}  // namespace lindorf
