// What a model says about rows: a tree's leaf labels and class shares, a forest's votes, and the
// leaves rows reach. Rows are split into blocks that the pool's threads share; every block writes
// only its own part of the result, so results never depend on the threads.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "model/model.hpp"
#include "support/dataset.hpp"
#include "support/parallel.hpp"

namespace lindorf {

// The label of the leaf each row reaches in `tree`.
Labels tree_labels(const Tree& tree, MatrixView rows, WorkerPool* pool);

// n_rows x n_classes: the weighted class shares of the training rows in each row's leaf.
std::vector<double> tree_shares(const Tree& tree, MatrixView rows, std::uint32_t n_classes,
                                WorkerPool* pool);

// n_rows x n_classes: how many trees vote for each class.
std::vector<std::uint32_t> forest_votes(std::span<const SharedTree> trees, MatrixView rows,
                                        std::uint32_t n_classes, WorkerPool* pool);

// n_rows x n_trees: the position of the leaf each row reaches in each tree.
std::vector<std::uint32_t> forest_leaves(std::span<const SharedTree> trees, MatrixView rows,
                                         WorkerPool* pool);

}  // namespace lindorf
