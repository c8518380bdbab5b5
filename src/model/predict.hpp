// What a model says about rows: a tree's leaf labels and class shares, a forest's votes and mean
// class shares, and the leaves rows reach. Rows are split into blocks that the pool's threads
// share; every block writes only its own part of the result, so results never depend on the
// threads.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "model/model.hpp"
#include "sparse/sparse_set.hpp"
#include "support/dataset.hpp"
#include "support/parallel.hpp"

namespace lindorf {

// Checks and converts every tree of the model for walking, once: the predictions of a model
// below then reuse them. A tree that does not fit the model's features is an internal failure.
void prepare_walks(Model& model, WorkerPool* pool = nullptr);

// The predictions below for the model's single tree, or its trees, with its prepared walks
// (made afresh when it has none).
Labels tree_labels(const Model& model, MatrixView rows, WorkerPool* pool);
std::vector<double> tree_shares(const Model& model, MatrixView rows, WorkerPool* pool);
std::vector<double> forest_shares(const Model& model, MatrixView rows, WorkerPool* pool);
std::vector<std::uint32_t> forest_votes(const Model& model, MatrixView rows, WorkerPool* pool);
std::vector<std::uint32_t> forest_leaves(const Model& model, MatrixView rows, WorkerPool* pool);
// n_rows x n_targets: a regression model's prediction (forest_values below).
std::vector<double> forest_values(const Model& model, MatrixView rows, WorkerPool* pool);

// The same for the rows of a sparse matrix, a block at a time laid out densely.
Labels tree_labels(const Model& model, const SparseRows& rows, WorkerPool* pool);
std::vector<double> tree_shares(const Model& model, const SparseRows& rows, WorkerPool* pool);
std::vector<double> forest_shares(const Model& model, const SparseRows& rows, WorkerPool* pool);
std::vector<std::uint32_t> forest_votes(const Model& model, const SparseRows& rows,
                                        WorkerPool* pool);
std::vector<std::uint32_t> forest_leaves(const Model& model, const SparseRows& rows,
                                         WorkerPool* pool);
std::vector<double> forest_values(const Model& model, const SparseRows& rows, WorkerPool* pool);

// The label of the leaf each row reaches in `tree`.
Labels tree_labels(const Tree& tree, MatrixView rows, WorkerPool* pool);

// n_rows x n_classes: the weighted class shares of the training rows in each row's leaf.
std::vector<double> tree_shares(const Tree& tree, MatrixView rows, std::uint32_t n_classes,
                                WorkerPool* pool);

// n_rows x n_classes: the mean over the trees of each row's leaf's class shares.
std::vector<double> forest_shares(std::span<const SharedTree> trees, MatrixView rows,
                                  std::uint32_t n_classes, WorkerPool* pool);

// n_rows x n_classes: how many trees vote for each class. With several outputs (their class
// counts given), each tree votes in every output: in the first for its leaf's label, in the
// others for the leaf's most heavily weighted class (the lowest on a tie).
std::vector<std::uint32_t> forest_votes(std::span<const SharedTree> trees, MatrixView rows,
                                        std::uint32_t n_classes, WorkerPool* pool,
                                        std::span<const std::uint32_t> output_classes = {});

// n_rows x n_targets: a regression model's prediction, the mean over the trees of the values of
// each row's leaf (added in tree order, then divided once by the tree count).
std::vector<double> forest_values(std::span<const SharedTree> trees, MatrixView rows,
                                  std::uint32_t n_targets, WorkerPool* pool);

// n_rows x n_trees: the position of the leaf each row reaches in each tree.
std::vector<std::uint32_t> forest_leaves(std::span<const SharedTree> trees, MatrixView rows,
                                         WorkerPool* pool);

}  // namespace lindorf
