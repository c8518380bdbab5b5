// Votes, forest prediction, and forests grown from their samples on the pool.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <new>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "forest/bootstrap.hpp"
#include "forest/forest.hpp"
#include "forest/growth.hpp"
#include "forest/vote.hpp"
#include "support/error.hpp"
#include "tree/grow.hpp"
#include "tree_testing.hpp"

namespace lindorf {
namespace {

using testing_support::copy_sample;
using testing_support::Data;
using testing_support::failure_of;
using testing_support::leaf;
using testing_support::same_tree;
using testing_support::stump;

FeatureMatrix matrix(std::size_t n_cols, const std::vector<float>& values) {
    return FeatureMatrix{values.size() / n_cols, n_cols, values};
}

TEST(ForestPredict, NoTreesOrOneTree) {
    const FeatureMatrix rows = matrix(2, {0.0f, 9.0f, 0.5f, -1.0f, NAN, 0.0f, -3.0f, 0.0f});
    EXPECT_TRUE(Forest{}.predict(rows.view()).empty());
    EXPECT_TRUE(Forest{{leaf(1)}}.predict(MatrixView{nullptr, 0, 1}).empty());
    // Strictly below goes left; equal and NaN go right.
    EXPECT_EQ(Forest{{stump(0, 0.5f, 11, 22)}}.predict(rows.view()), (Labels{11, 22, 22, 11}));
    const Forest too_wide{{leaf(1), stump(3, 0.5f, 1, 2)}};
    EXPECT_THROW(too_wide.predict(rows.view()), InternalError);
}

TEST(ForestPredict, EachRowGetsItsMajorityWithTiesBrokenPerRowAndCall) {
    // Trees: x0 < 0.5 ? 1 : 2;  x1 < 0.5 ? 1 : 3;  always 2. For rows (x0, x1) the votes are
    // (0,0): 1 1 2 -> 1;  (1,0): 2 1 2 -> 2;  (1,1): 2 3 2 -> 2;  (0,1): 1 3 2, a three-way tie.
    const Forest forest{{stump(0, 0.5f, 1, 2), stump(1, 0.5f, 1, 3), leaf(2)}};
    // More rows than one block of votes, in a pattern that shifts against the block size.
    std::vector<float> values;
    Labels expected;
    for (std::size_t i = 0; i < 1000; ++i) {
        values.insert(values.end(), {i % 3 ? 1.0f : 0.0f, i % 3 == 2 ? 1.0f : 0.0f});
        expected.push_back(i % 3 ? 2 : 1);
    }
    for (std::size_t i = 0; i < 300; ++i) values.insert(values.end(), {0.0f, 1.0f});
    const Labels predicted = forest.predict(matrix(2, values).view());
    EXPECT_EQ(Labels(predicted.begin(), predicted.begin() + 1000), expected);
    EXPECT_EQ(std::set<Label>(predicted.begin() + 1000, predicted.end()),
              (std::set<Label>{1, 2, 3}));
    // A fixed choice among three tied labels survives 200 calls with probability 3^-199; mode()
    // of one vote list breaks ties afresh the same way, and gives 0 for no votes.
    const FeatureMatrix tie = matrix(2, {0.0f, 1.0f});
    std::set<Label> across_calls, modes;
    for (int call = 0; call < 200; ++call) {
        across_calls.insert(forest.predict(tie.view())[0]);
        modes.insert(mode(Labels{6, 4, 5, 6, 5, 4, 1}));
    }
    EXPECT_EQ(across_calls, (std::set<Label>{1, 2, 3}));
    EXPECT_EQ(modes, (std::set<Label>{4, 5, 6}));
    EXPECT_EQ(mode(Labels{}), 0u);
}

// Few distinct values per feature, so samples are full of ties and duplicates.
Data coarse_data(std::size_t n_rows, std::size_t n_cols, unsigned classes, std::uint32_t seed) {
    std::mt19937 gen(seed);
    Data data;
    data.matrix = {n_rows, n_cols, {}};
    for (std::size_t i = 0; i < n_rows * n_cols; ++i)
        data.matrix.values.push_back(0.5f * static_cast<float>(static_cast<int>(gen() % 7) - 3));
    for (std::size_t i = 0; i < n_rows; ++i) data.labels.push_back(gen() % classes);
    return data;
}

// Samples are recorded as the forest draws them, each into its tree's slot; earlier trees are
// held back so that later ones finish first, and the forest must still keep index order.
TEST(GrowForest, EveryTreeIsTheCopiedGrowthOfItsOwnBootstrapSampleInIndexOrder) {
    WorkerPool pool(3);
    for (std::uint32_t seed = 0; seed < 40; ++seed) {
        const std::size_t n_rows = seed == 0 ? 1 : 5 + seed * 2;
        const std::uint32_t max_depth = seed % 7, n_trees = 2 + seed % 5;
        const Data data = coarse_data(n_rows, 1 + seed % 4, 2 + seed % 3, seed);
        std::vector<std::vector<std::uint32_t>> samples(n_trees);
        const Forest forest =
            grow_forest_from(data.view(), data.labels, max_depth, n_trees, &pool, [&](std::size_t t) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2 * (n_trees - t)));
                return samples[t] = bootstrap_sample(n_rows);
            });
        ASSERT_EQ(forest.trees.size(), n_trees);
        for (std::size_t t = 0; t < n_trees; ++t) {
            EXPECT_EQ(samples[t].size(), n_rows);
            const Data copy = copy_sample(data.view(), data.labels, samples[t]);
            EXPECT_TRUE(same_tree(forest.trees[t], grow_tree_(copy.view(), copy.labels, max_depth)))
                << "seed " << seed << ", tree " << t;
        }
    }
}

TEST(GrowForest, NoTreesLookAtNothingAndAFailingTreeFailsTheForest) {
    // A view that cannot be read: an empty forest must come back without touching it.
    EXPECT_TRUE(grow_forest(MatrixView{nullptr, 1000, 8}, Labels{}, 3, 0).trees.empty());
    const std::vector<float> values(12, 1.0f);
    for (std::size_t n_rows : {0, 6}) {
        WorkerPool pool(2);
        const std::string message = failure_of([&] {
            grow_forest(MatrixView{values.data(), n_rows, 2}, Labels{}, 3, 4, &pool);
        });
        EXPECT_EQ(message.rfind("a tree of the forest failed", 0), 0u) << message;
    }
    // Exhausted memory stays what it is, so that the caller can tell it from a failure.
    WorkerPool pool(2);
    EXPECT_THROW(
        grow_forest_from(MatrixView{values.data(), 6, 2}, Labels(6, 0), 3, 4, &pool,
                         [](std::size_t) -> std::vector<std::uint32_t> { throw std::bad_alloc(); }),
        std::bad_alloc);
}

}  // namespace
}  // namespace lindorf
