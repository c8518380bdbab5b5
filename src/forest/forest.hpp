// Random forests: trees grown on bootstrap samples of one shared training set, voting by majority.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "support/dataset.hpp"
#include "support/parallel.hpp"
#include "tree/tree.hpp"

namespace lindorf {

struct Forest {
    std::vector<Tree> trees;  // in spawn order

    // One label per row by majority vote of the trees (ties broken at random, afresh per call);
    // empty when there are no trees.
    Labels predict(MatrixView rows) const;
};

// n_trees trees, each grown on its own bootstrap sample of rows/labels. No trees: an empty forest,
// and the data are not looked at.
Forest grow_forest(MatrixView rows, std::span<const Label> labels, std::uint32_t max_depth,
                   std::uint32_t n_trees, WorkerPool* pool = nullptr);

// A label with the most votes; among tied labels the choice is random. An empty list gives 0.
Label mode(std::span<const Label> votes);

}  // namespace lindorf
