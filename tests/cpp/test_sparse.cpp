// Sparse matrices against their dense copies: trees grown from the stored values alone must be
// the trees of the dense matrix, node for node with their statistics, and predictions of sparse
// rows the predictions of the dense ones.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "forest/chunk.hpp"
#include "model/predict.hpp"
#include "sparse/sparse_grow.hpp"
#include "sparse/sparse_rows.hpp"
#include "support/streams.hpp"
#include "tree/grow.hpp"
#include "tree/grow_engine.hpp"
#include "tree_testing.hpp"

namespace lindorf {
namespace {

using testing_support::same_tree;

// A matrix stored both ways, with what makes sparse reading hard: values below and above zero,
// NaN, stored zeros of both signs, repeated values, rows with nothing stored.
struct Both {
    FeatureMatrix dense;
    std::vector<float> values;
    std::vector<std::uint32_t> rows;
    std::vector<std::uint64_t> starts{0};
    Labels labels;
    std::vector<std::uint32_t> weights;

    SparseColumns columns() const { return {dense.n_rows, dense.n_cols, values, rows, starts}; }
};

Both random_matrix(std::mt19937_64& rng, std::size_t n_rows, std::size_t n_cols,
                   std::uint32_t n_classes, double density) {
    auto below = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    Both m{{n_rows, n_cols, std::vector<float>(n_rows * n_cols, 0.0f)}, {}, {}, {0}, {}, {}};
    const float kinds[] = {-2.0f, -0.5f, 0.25f, 1.0f, 3.0f, NAN, -0.0f, 0.0f};
    for (std::size_t f = 0; f < n_cols; ++f) {
        for (std::size_t r = 0; r < n_rows; ++r) {
            if (std::uniform_real_distribution<double>(0, 1)(rng) >= density) continue;
            const float v = below(3) == 0 ? kinds[below(8)] : static_cast<float>(below(9)) - 3.0f;
            m.dense.values[r * n_cols + f] = 0.0f + v;  // as scipy lays stored values out
            m.values.push_back(v);
            m.rows.push_back(static_cast<std::uint32_t>(r));
        }
        m.starts.push_back(m.values.size());
    }
    for (std::size_t r = 0; r < n_rows; ++r) {
        const float v = m.dense.values[r * n_cols];
        m.labels.push_back(static_cast<Label>((v > 0.5f) + (below(4) == 0 ? below(n_classes) : 0)) %
                           n_classes);
        m.weights.push_back(static_cast<std::uint32_t>(below(3)));
    }
    m.weights[below(n_rows)] = 1;
    return m;
}

// Rounds past 60 take rules that growth from stored values does not follow: those trees grow from
// the matrix laid out densely, and must still be the dense matrix's.
TEST(Sparse, TreesOfStoredValuesAreTheTreesOfTheDenseMatrix) {
    std::mt19937_64 rng(41);
    WorkerPool pool(2);
    const std::vector<double> real_weights{0.5, 0.0, 2.25, 1.0, 0.125};
    // Zero rows of one class on a side are one entry there, which must still count as all its rows.
    Both pure{{20, 1, std::vector<float>(20, 0.0f)}, {}, {}, {0}, Labels(20, 0), {}};
    for (std::uint32_t r = 10; r < 20; ++r) {
        pure.dense.values[r] = 1.0f;
        pure.values.push_back(1.0f);
        pure.rows.push_back(r);
        pure.labels[r] = 1;
    }
    pure.starts.push_back(10);
    const GrowRules two_rows{.record_stats = true, .min_leaf_rows = 2};
    const SparseWeightedData split_zeros{pure.columns(), pure.labels, {}, 2};
    ASSERT_TRUE(sparse_growth_follows(split_zeros, two_rows));
    const Tree divided = grow_weighted(split_zeros, two_rows);
    EXPECT_EQ(divided.nodes.size(), 3u);
    EXPECT_TRUE(
        same_tree(divided, grow_weighted(split_zeros.with_rows(pure.dense.view()), two_rows)));
    for (int round = 0; round < 72; ++round) {
        const double density = round % 3 == 0 ? 0.6 : 0.08;
        const std::uint32_t n_classes = round % 10 == 9 ? 600 : 2 + round % 3;
        const std::size_t n_rows = round % 10 == 9 ? 1500 : 20 + 13 * (round % 60);
        const Both m = random_matrix(rng, n_rows, 2 + round % 25, n_classes, density);
        const bool follows = round < 60;
        GrowRules rules{.max_depth = round % 4 ? unlimited_depth : 3u,
                        .min_split = 2.0 + round % 3,
                        .min_leaf = 1.0 + (round % 5 == 0),
                        .impurity = round % 2 ? Impurity::entropy : Impurity::gini,
                        .max_features = static_cast<std::uint32_t>(round % 3),
                        .node_key = seed_key(round),
                        .record_stats = true,
                        .min_split_rows = round % 4 == 1 ? 5u : 0u,
                        // Rows per side beyond one only where every row weighs 1.
                        .min_leaf_rows = static_cast<std::uint32_t>(
                            round % 2 ? round % 7 == 3 : round % 6 / 2),
                        .min_leaf_fraction = round % 6 == 2 ? 0.05 : 0.0};
        std::vector<double> reals;
        if (!follows) {
            rules.splitter = round % 4 == 0 ? Splitter::random : Splitter::best;
            rules.nan_side = round % 4 == 1 ? NanSide::learned : NanSide::right;
            rules.max_leaf_nodes = round % 4 == 2 ? 6 : 0;
            rules.min_leaf_rows = round % 4 == 3 ? 2 : 0;
            if (round % 3 == 0)
                for (std::size_t r = 0; r < n_rows; ++r) reals.push_back(real_weights[r % 5]);
        }
        const auto weights = round % 2 && reals.empty() ? std::span<const std::uint32_t>(m.weights)
                                                        : std::span<const std::uint32_t>{};
        const SparseWeightedData sparse{m.columns(), m.labels, weights, n_classes, reals};
        ASSERT_EQ(sparse_growth_follows(sparse, rules), follows) << "round " << round;
        const Tree dense = grow_weighted(sparse.with_rows(m.dense.view()), rules, nullptr);
        WorkerPool* sharing = round % 3 ? &pool : nullptr;
        ASSERT_TRUE(same_tree(grow_weighted(sparse, rules, sharing), dense)) << "round " << round;
        if (!follows) continue;
        // Nodes searched a few features at a time, as the largest are.
        const std::vector<std::uint32_t> ones(n_rows, 1);
        SparseSet set = sparse_set_of_matrix(
            m.columns(), m.labels, draws_of_weights(weights.empty() ? ones : weights), sharing);
        ASSERT_TRUE(same_tree(grow_sparse(set, rules, sharing, 1 + round % 40), dense))
            << "round " << round;
    }
}

// Forest trees and their out-of-bag votes, and every prediction of sparse rows (laid out densely a
// block at a time), against the dense matrix.
TEST(Sparse, ForestsAndPredictionsOfStoredValuesAreThoseOfTheDenseMatrix) {
    std::mt19937_64 rng(43);
    WorkerPool pool(2);
    for (int round = 0; round < 12; ++round) {
        const std::uint32_t n_classes = 2 + round % 3;
        const std::size_t n_cols = 3 + round % 40;
        const Both m = random_matrix(rng, 40 + 19 * round, n_cols, n_classes, 0.1);
        // The last rounds weigh each tree's sample by class, which only a dense layout follows.
        const ForestRules rules{.tree = GrowRules{.min_split = 2,
                                                  .max_features =
                                                      static_cast<std::uint32_t>(round % 4),
                                                  .record_stats = true},
                                .bootstrap = round % 4 != 0,
                                .out_of_bag = round % 4 != 0,
                                .key = seed_key(round),
                                .balanced_subsample = round >= 10,
                                .voting = round % 2 ? Voting::soft : Voting::hard};
        const ForestChunk dense = grow_forest_chunk(
            WeightedData{m.dense.view(), m.labels, m.weights, n_classes}, rules, 1, 4, &pool);
        const ForestChunk sparse = grow_forest_chunk(
            SparseWeightedData{m.columns(), m.labels, m.weights, n_classes}, rules, 1, 4, &pool);
        ASSERT_EQ(sparse.out_of_bag.sums, dense.out_of_bag.sums) << round;
        ASSERT_EQ(sparse.out_of_bag.trees, dense.out_of_bag.trees) << round;
        Model model{static_cast<std::uint32_t>(n_cols), n_classes, {}};
        for (std::size_t t = 0; t < 4; ++t) {
            ASSERT_TRUE(same_tree(sparse.trees[t], dense.trees[t])) << round << "/" << t;
            model.trees.push_back(std::make_shared<const Tree>(dense.trees[t]));
        }
        prepare_walks(model);
        const Both asked = random_matrix(rng, 300 + round, n_cols, n_classes, 0.2);
        const OwnedSparseRows by_rows = rows_of_columns(asked.columns());
        const SparseRows rows = by_rows.view(asked.dense.n_rows, n_cols);
        check_sparse(rows);
        EXPECT_EQ(forest_votes(model, rows, &pool),
                  forest_votes(model, asked.dense.view(), nullptr));
        EXPECT_EQ(forest_leaves(model, rows, nullptr),
                  forest_leaves(model, asked.dense.view(), &pool));
        EXPECT_EQ(forest_shares(model, rows, nullptr),
                  forest_shares(model, asked.dense.view(), &pool));
        const Model one{.n_features = model.n_features, .n_classes = n_classes,
                        .trees = {model.trees[0]}, .walks = {model.walks[0]}};
        EXPECT_EQ(tree_labels(one, rows, &pool), tree_labels(one, asked.dense.view(), nullptr));
        EXPECT_EQ(tree_shares(one, rows, nullptr), tree_shares(one, asked.dense.view(), &pool));
    }
}

}  // namespace
}  // namespace lindorf
