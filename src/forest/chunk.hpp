// The estimators' forests: every tree's training list and feature draws come from streams keyed
// by the fit's key and the tree's index (support/streams.hpp), so tree i of a forest is the same
// tree whichever call grows it, on however many threads, in whatever order. A call grows any
// range of tree indices: whole forests and chunks of one forest grown apart are the same trees.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "sparse/sparse_set.hpp"
#include "support/dataset.hpp"
#include "support/parallel.hpp"
#include "support/random.hpp"
#include "tree/grow.hpp"
#include "tree/grow_engine.hpp"
#include "tree/tree.hpp"

namespace lindorf {

// Rows with labels that are class indices below n_classes, and a whole-number weight per row
// (none: 1 each). A row of weight w stands for w copies of itself at consecutive positions.
struct WeightedData {
    MatrixView rows;
    std::span<const Label> labels;
    std::span<const std::uint32_t> weights;
    std::uint32_t n_classes = 0;
};

// The same with a sparse matrix of rows.
struct SparseWeightedData {
    SparseColumns x;
    std::span<const Label> labels;
    std::span<const std::uint32_t> weights;
    std::uint32_t n_classes = 0;
};

struct ForestRules {
    GrowRules tree;          // node_key is set for each tree from `key`
    bool bootstrap = true;   // false: every tree sees every row with its weight
    bool out_of_bag = false; // count out-of-bag votes
    ChaChaKey key{};
};

struct ForestChunk {
    std::vector<Tree> trees;  // in tree order
    // n_rows x n_classes: for each row, the votes of the trees that did not draw it, by class.
    std::vector<std::uint32_t> oob_votes;
};

// The bootstrap sample of tree `tree`: sample_size(total weight) draws, each uniform over the
// copies that the weights stand for and mapped back to its row, so that weighted rows draw
// exactly what their repeated copies would. No weights: one copy of each of n_rows rows.
RowDraws bootstrap_draws(std::size_t n_rows, std::span<const std::uint32_t> weights,
                         const ChaChaKey& key, std::uint32_t tree);

// Grows trees first .. first + count - 1. `trees_done`, when given, is incremented as each tree
// is finished, from whichever thread finished it.
ForestChunk grow_forest_chunk(const WeightedData& data, const ForestRules& rules,
                              std::uint32_t first, std::uint32_t count, WorkerPool* pool,
                              std::atomic<std::uint32_t>* trees_done = nullptr);
// The trees grow_forest_chunk grows on the dense matrix, grown from the stored values alone.
ForestChunk grow_forest_chunk(const SparseWeightedData& data, const ForestRules& rules,
                              std::uint32_t first, std::uint32_t count, WorkerPool* pool,
                              std::atomic<std::uint32_t>* trees_done = nullptr);

}  // namespace lindorf
