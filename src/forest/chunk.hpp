// The estimators' forests: every tree's training list and feature draws come from streams keyed
// by the fit's key and the tree's index (support/streams.hpp), so tree i of a forest is the same
// tree whichever call grows it, on however many threads, in whatever order. A call grows any
// range of tree indices: whole forests and chunks of one forest grown apart are the same trees.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "sparse/sparse_grow.hpp"
#include "support/dataset.hpp"
#include "support/parallel.hpp"
#include "support/random.hpp"
#include "tree/grow.hpp"
#include "tree/grow_engine.hpp"
#include "tree/training.hpp"
#include "tree/tree.hpp"

namespace lindorf {

// A forest's trees vote with their leaves' class shares (soft), or each with its leaf's label.
enum class Voting { soft, hard };

struct ForestRules {
    GrowRules tree;          // node_key is set for each tree from `key`
    bool bootstrap = true;   // false: every tree sees every row with its weight
    bool out_of_bag = false; // sum out-of-bag votes
    ChaChaKey key{};
    std::uint32_t draws = 0;  // rows drawn per bootstrap sample; 0: sample_size(n_rows)
    // Each tree multiplies its rows' weights by its sample's balanced class weights (for each
    // output, draws / (classes drawn * draws of the row's class), the outputs' multiplied).
    bool balanced_subsample = false;
    Voting voting = Voting::hard;  // of out-of-bag votes
};

// For each row, what the trees that did not draw it say: their votes summed by flat class
// (n_rows x n_classes), or a regression forest's leaf values summed by output (n_rows x
// n_targets), and how many they are.
struct OutOfBag {
    std::vector<double> sums;
    std::vector<std::uint32_t> trees;
};

struct ForestChunk {
    std::vector<Tree> trees;  // in tree order
    OutOfBag out_of_bag;      // empty without out-of-bag votes
};

// The bootstrap sample of tree `tree`: `draws` rows (0: sample_size(n_rows)), each uniform over
// the n_rows rows, whatever their weights: a row's weight in the tree is its weight times the
// times it was drawn.
RowDraws bootstrap_draws(std::size_t n_rows, const ChaChaKey& key, std::uint32_t tree,
                         std::uint32_t draws = 0);

// The rows of tree `tree`'s bootstrap sample, in draw order, repeats included.
std::vector<std::uint32_t> bootstrap_rows(std::size_t n_rows, const ChaChaKey& key,
                                          std::uint32_t tree, std::uint32_t draws = 0);

// The out-of-bag votes of trees first, first + 1, ... (grown under `rules` on `data`).
OutOfBag out_of_bag_votes(const WeightedData& data, std::span<const Tree* const> trees,
                          const ForestRules& rules, std::uint32_t first, WorkerPool* pool);
// The same for a sparse matrix of rows, laid out densely a block at a time.
OutOfBag out_of_bag_votes(const SparseWeightedData& data, std::span<const Tree* const> trees,
                          const ForestRules& rules, std::uint32_t first, WorkerPool* pool);

// Grows trees first .. first + count - 1. `trees_done`, when given, is incremented as each tree
// is finished, from whichever thread finished it.
ForestChunk grow_forest_chunk(const WeightedData& data, const ForestRules& rules,
                              std::uint32_t first, std::uint32_t count, WorkerPool* pool,
                              std::atomic<std::uint32_t>* trees_done = nullptr);
// The trees grow_forest_chunk grows on the dense matrix: from the stored values alone when every
// tree's growth follows them (sparse/sparse_grow.hpp), from the matrix laid out densely
// otherwise.
ForestChunk grow_forest_chunk(const SparseWeightedData& data, const ForestRules& rules,
                              std::uint32_t first, std::uint32_t count, WorkerPool* pool,
                              std::atomic<std::uint32_t>* trees_done = nullptr);

}  // namespace lindorf
