// A fitted estimator's model: its trees and the shape of the data it was fitted on. Labels in
// the trees are class indices below n_classes; the estimator keeps what each index stands for.
// Trees are immutable once grown and may be shared: a forest and the single-tree estimators
// that show its trees hold the same trees.
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
    std::uint32_t n_classes = 0;
    std::vector<SharedTree> trees;  // in tree order
    // Each tree as predictions walk it (model/predict.hpp's prepare_walks), or empty: then
    // every prediction makes them afresh.
    std::vector<SharedWalk> walks = {};
};

}  // namespace lindorf
