#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "forest/bootstrap.hpp"
#include "forest/forest.hpp"
#include "forest/growth.hpp"
#include "forest/vote.hpp"
#include "forked_child.hpp"
#include "support/error.hpp"
#include "tree/grow.hpp"

namespace lindorf {
namespace {

Tree leaf(Label label) {
    return Tree{{Node{.is_leaf = true, .prediction = label}}};
}

// Rows with value at `feature` below `threshold` get `below`, the others `above`.
Tree stump(std::uint32_t feature, float threshold, Label below, Label above) {
    return Tree{
        {Node{.is_leaf = false, .feature = feature, .threshold = threshold, .left = 1, .right = 2},
         Node{.is_leaf = true, .prediction = below}, Node{.is_leaf = true, .prediction = above}}};
}

TEST(Mode, PicksTheMostVotedLabel) {
    struct Case {
        std::vector<Label> votes;
        Label expected;
    };
    const Case cases[] = {
        {{1, 2, 1}, 1}, {{7, 7, 3, 3, 3}, 3},    {{42}, 42},
        {{}, 0},        {{9, 0, 0, 4, 9, 0}, 0}, {{4294967295u, 5, 4294967295u}, 4294967295u},
    };
    for (const Case& c : cases) {
        for (int call = 0; call < 20; ++call) EXPECT_EQ(mode(c.votes), c.expected);
    }
}

// The distinct results of `calls` calls of `choose`.
template <class Choose>
std::set<Label> outcomes(int calls, Choose choose) {
    std::set<Label> seen;
    for (int i = 0; i < calls; ++i) seen.insert(choose());
    return seen;
}

TEST(Mode, TiesAreBrokenBothWaysAcrossCalls) {
    // A fixed choice among k tied labels survives 200 calls with probability k (1/k)^200.
    const std::vector<Label> pair = {1, 2};
    EXPECT_EQ(outcomes(200, [&] { return mode(pair); }), (std::set<Label>{1, 2}));
    const std::vector<Label> three_way = {6, 4, 5, 6, 5, 4, 1};
    EXPECT_EQ(outcomes(200, [&] { return mode(three_way); }), (std::set<Label>{4, 5, 6}));
}

TEST(Majority, SameKeySameChoiceDifferentKeysBothChoices) {
    std::set<Label> seen;
    for (std::uint64_t key = 0; key < 64; ++key) {
        std::vector<Label> a = {3, 8};
        std::vector<Label> b = {8, 3};
        const Label chosen = majority(a, key);
        EXPECT_EQ(majority(b, key), chosen) << "the order of the votes must not matter";
        seen.insert(chosen);
    }
    EXPECT_EQ(seen, (std::set<Label>{3, 8}));
}

FeatureMatrix matrix(std::size_t n_cols, const std::vector<float>& values) {
    return FeatureMatrix{values.size() / n_cols, n_cols, values};
}

TEST(ForestPredict, EmptyForestOrNoRowsGiveNoLabels) {
    const FeatureMatrix rows = matrix(1, {0.0f, 1.0f, 2.0f});
    EXPECT_TRUE(Forest{}.predict(rows.view()).empty());
    const Forest forest{{leaf(1), stump(0, 0.5f, 1, 2)}};
    EXPECT_TRUE(forest.predict(MatrixView{nullptr, 0, 1}).empty());
}

TEST(ForestPredict, OneTreeGivesItsOwnPredictions) {
    const FeatureMatrix rows = matrix(2, {0.0f, 9.0f, 1.0f, 9.0f, 0.5f, -1.0f, -3.0f, 0.0f});
    const Forest forest{{stump(0, 0.5f, 11, 22)}};
    EXPECT_EQ(forest.predict(rows.view()), (Labels{11, 22, 22, 11}));
}

TEST(ForestPredict, EachRowGetsItsMajority) {
    // Trees: x0 < 0.5 ? 1 : 2;  x1 < 0.5 ? 1 : 3;  always 2. For rows (x0, x1) in {0, 1}^2 the
    // votes are (0,0): 1 1 2 -> 1;  (1,0): 2 1 2 -> 2;  (1,1): 2 3 2 -> 2; (0,1) would tie.
    const Forest forest{{stump(0, 0.5f, 1, 2), stump(1, 0.5f, 1, 3), leaf(2)}};
    struct Pattern {
        float x0, x1;
        Label majority;
    };
    const Pattern patterns[] = {{0.0f, 0.0f, 1}, {1.0f, 0.0f, 2}, {1.0f, 1.0f, 2}};
    // More rows than one block of votes, in a pattern that shifts against the block size.
    std::vector<float> values;
    Labels expected;
    for (std::size_t i = 0; i < 1000; ++i) {
        const Pattern& p = patterns[i % 3];
        values.insert(values.end(), {p.x0, p.x1});
        expected.push_back(p.majority);
    }
    const FeatureMatrix rows = matrix(2, values);
    EXPECT_EQ(forest.predict(rows.view()), expected);
}

TEST(ForestPredict, TiesDifferBetweenRowsAndCalls) {
    const Forest forest{{leaf(1), leaf(2)}};
    const FeatureMatrix rows = matrix(1, std::vector<float>(300, 0.0f));
    const Labels first = forest.predict(rows.view());
    ASSERT_EQ(first.size(), 300u);
    EXPECT_EQ(std::set<Label>(first.begin(), first.end()), (std::set<Label>{1, 2}));
    EXPECT_EQ(outcomes(200, [&] { return forest.predict(rows.view())[0]; }),
              (std::set<Label>{1, 2}));
}

TEST(ForestPredict, RowTooShortForATreeFails) {
    const Forest forest{{leaf(1), stump(3, 0.5f, 1, 2)}};
    const FeatureMatrix rows = matrix(2, {0.0f, 0.0f});
    EXPECT_THROW(forest.predict(rows.view()), InternalError);
}

TEST(GrowForest, NoTreesLooksAtNothing) {
    // A view that cannot be read: an empty forest must come back without touching it.
    const MatrixView unreadable{nullptr, 1000, 8};
    const std::vector<Label> no_labels;
    EXPECT_TRUE(grow_forest(unreadable, no_labels, 3, 0).trees.empty());
}

using test_support::in_forked_child;

std::uint64_t hash_sample(const std::vector<std::uint32_t>& sample) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (std::uint32_t index : sample) h = (h ^ index) * 0x100000001b3ULL;
    return h | 1;  // never 0, which stands for a failed child
}

// Structural equality: same shape, same tests, same leaf labels (thresholds compared bit for bit).
::testing::AssertionResult same_tree(const Tree& a, const Tree& b) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pending{{0, 0}};
    while (!pending.empty()) {
        auto [ia, ib] = pending.back();
        pending.pop_back();
        if (ia >= a.nodes.size() || ib >= b.nodes.size())
            return ::testing::AssertionFailure() << "missing node " << ia << " / " << ib;
        const Node& x = a.nodes[ia];
        const Node& y = b.nodes[ib];
        if (x.is_leaf != y.is_leaf)
            return ::testing::AssertionFailure() << "leaf against inner node at " << ia;
        if (x.is_leaf) {
            if (x.prediction != y.prediction)
                return ::testing::AssertionFailure() << "leaf " << ia << " predicts "
                                                     << x.prediction << " against " << y.prediction;
            continue;
        }
        if (x.feature != y.feature ||
            std::bit_cast<std::uint32_t>(x.threshold) != std::bit_cast<std::uint32_t>(y.threshold))
            return ::testing::AssertionFailure()
                   << "node " << ia << " tests feature " << x.feature << " < " << x.threshold
                   << " against feature " << y.feature << " < " << y.threshold;
        pending.emplace_back(x.left, y.left);
        pending.emplace_back(x.right, y.right);
    }
    return ::testing::AssertionSuccess();
}

// The copied sample: rows[sample[k]] and labels[sample[k]] in draw order.
struct CopiedSample {
    FeatureMatrix rows;
    Labels labels;
};

CopiedSample copy_sample(MatrixView rows, std::span<const Label> labels,
                         std::span<const std::uint32_t> sample) {
    CopiedSample copy{{sample.size(), rows.n_cols, {}}, {}};
    for (std::uint32_t index : sample) {
        std::span<const float> row = rows.row(index);
        copy.rows.values.insert(copy.rows.values.end(), row.begin(), row.end());
        copy.labels.push_back(labels[index]);
    }
    return copy;
}

Tree grow_on_copy(MatrixView rows, std::span<const Label> labels,
                  std::span<const std::uint32_t> sample, std::uint32_t max_depth) {
    CopiedSample copy = copy_sample(rows, labels, sample);
    return grow_tree_(copy.rows.view(), copy.labels, max_depth);
}

// Samples recorded as a forest draws them, each into its tree's slot.
struct RecordingDraw {
    std::size_t n_rows;
    std::vector<std::vector<std::uint32_t>> samples;
    SampleDraw draw() {
        return [this](std::size_t tree) { return samples[tree] = bootstrap_sample(n_rows); };
    }
};

TEST(GrowForest, TreesFollowTheirSamplesInIndexOrderWhateverFinishesFirst) {
    // Row i alone, drawn three times, has one distinct label: tree i is a leaf labelled 10 + i.
    // Earlier trees are held back so that later ones finish first.
    const std::uint32_t n = 8;
    std::vector<float> values(n * 2);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i % 5);
    const FeatureMatrix rows = matrix(2, values);
    Labels labels;
    for (Label i = 0; i < n; ++i) labels.push_back(10 + i);
    WorkerPool pool(4);
    const Forest forest = grow_forest_from(rows.view(), labels, 5, n, &pool, [&](std::size_t i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5 * (n - i)));
        return std::vector<std::uint32_t>(3, static_cast<std::uint32_t>(i));
    });
    ASSERT_EQ(forest.trees.size(), n);
    for (std::uint32_t i = 0; i < n; ++i) {
        ASSERT_EQ(forest.trees[i].nodes.size(), 1u) << "tree " << i;
        EXPECT_TRUE(forest.trees[i].nodes[0].is_leaf);
        EXPECT_EQ(forest.trees[i].nodes[0].prediction, 10 + i);
    }
}

TEST(GrowForest, DrawOrderDecidesTiesAsInACopiedSample) {
    // Two identical rows labelled 5 and 3. Sample [0, 1, 1, 0] copies to labels 5 3 3 5, where
    // the tie goes to the label whose last occurrence is latest: 5; sample [1, 0, 0, 1] gives 3.
    // (At depth limit 0 both roots are leaves.)
    const FeatureMatrix rows = matrix(1, {1.0f, 1.0f});
    const Labels labels = {5, 3};
    const std::vector<std::vector<std::uint32_t>> samples = {{0, 1, 1, 0}, {1, 0, 0, 1}};
    const Forest forest = grow_forest_from(rows.view(), labels, 0, 2, nullptr,
                                           [&](std::size_t i) { return samples[i]; });
    ASSERT_EQ(forest.trees.size(), 2u);
    EXPECT_TRUE(same_tree(forest.trees[0], leaf(5)));
    EXPECT_TRUE(same_tree(forest.trees[1], leaf(3)));
}

TEST(GrowForest, SampleInDrawOrderGrowsTheCopiedTree) {
    // Sample [1, 2, 0] of rows [2], [0], [1] labelled 0, 0, 1 copies to rows [0], [1], [2] with
    // labels 0, 1, 0. At depth limit 1 the root splits feature 0 at 1: the left side [0] is a
    // leaf 0; the right side has labels 1, 0 and becomes a leaf at the limit, the tie going to
    // the later 0.
    const FeatureMatrix rows = matrix(1, {2.0f, 0.0f, 1.0f});
    const Labels labels = {0, 0, 1};
    const Forest forest = grow_forest_from(rows.view(), labels, 1, 1, nullptr, [](std::size_t) {
        return std::vector<std::uint32_t>{1, 2, 0};
    });
    ASSERT_EQ(forest.trees.size(), 1u);
    EXPECT_TRUE(same_tree(forest.trees[0], stump(0, 1.0f, 0, 0)));
}

// A data set with few distinct values per feature, so samples are full of ties and duplicates.
struct Dataset {
    FeatureMatrix rows;
    Labels labels;
};

Dataset coarse_dataset(std::size_t n_rows, std::size_t n_cols, unsigned classes,
                       std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> value(-3, 3);
    std::uniform_int_distribution<Label> label(0, classes - 1);
    Dataset data{{n_rows, n_cols, {}}, {}};
    for (std::size_t i = 0; i < n_rows * n_cols; ++i)
        data.rows.values.push_back(0.5f * static_cast<float>(value(gen)));
    for (std::size_t i = 0; i < n_rows; ++i) data.labels.push_back(label(gen));
    return data;
}

TEST(GrowForest, EveryTreeIsTheCopiedGrowthOfItsOwnBootstrapSample) {
    struct Case {
        std::size_t rows, cols;
        unsigned classes;
        std::uint32_t max_depth, trees;
    };
    const Case cases[] = {
        {40, 3, 2, 4, 6}, {60, 2, 3, 10, 5}, {25, 1, 2, 2, 8}, {80, 4, 4, 0, 4}, {1, 2, 2, 5, 3},
    };
    WorkerPool pool(3);
    for (const Case& c : cases) {
        const Dataset data = coarse_dataset(c.rows, c.cols, c.classes, c.rows * 31 + c.cols);
        RecordingDraw recorder{c.rows, std::vector<std::vector<std::uint32_t>>(c.trees)};
        const Forest forest = grow_forest_from(data.rows.view(), data.labels, c.max_depth, c.trees,
                                               &pool, recorder.draw());
        ASSERT_EQ(forest.trees.size(), c.trees);
        for (std::size_t t = 0; t < c.trees; ++t) {
            const std::vector<std::uint32_t>& sample = recorder.samples[t];
            EXPECT_EQ(sample.size(), c.rows);
            EXPECT_TRUE(same_tree(forest.trees[t],
                                  grow_on_copy(data.rows.view(), data.labels, sample, c.max_depth)))
                << c.rows << " rows, tree " << t;
            if (c.max_depth == 0) {
                EXPECT_EQ(depth(forest.trees[t]), 0u);
            }
        }
    }
}

TEST(GrowForest, CountBasedGrowthMatchesCopiedGrowthOnBootstrapSamples) {
    WorkerPool pool(2);
    for (std::uint32_t seed = 0; seed < 60; ++seed) {
        const std::size_t n_rows = 5 + seed % 37;
        const Dataset data = coarse_dataset(n_rows, 1 + seed % 4, 2 + seed % 3, seed);
        const FeatureOrder order = sort_features(data.rows.view(), &pool);
        const std::uint32_t max_depth = seed % 7;
        const std::vector<std::uint32_t> sample = bootstrap_sample(n_rows);
        EXPECT_TRUE(same_tree(
            grow_tree_on_sample(data.rows.view(), data.labels, order, sample, max_depth, &pool),
            grow_on_copy(data.rows.view(), data.labels, sample, max_depth)))
            << "seed " << seed;
    }
}

TEST(GrowForest, OneTreePerRequest) {
    const Dataset data = coarse_dataset(30, 2, 2, 7);
    for (std::uint32_t n_trees : {1u, 2u, 5u}) {
        WorkerPool pool(2);
        const Forest forest = grow_forest(data.rows.view(), data.labels, 0, n_trees, &pool);
        EXPECT_EQ(forest.trees.size(), n_trees);
        for (const Tree& tree : forest.trees) EXPECT_EQ(depth(tree), 0u);
    }
}

TEST(GrowForest, RowsWithoutFeaturesGrowLeaves) {
    // Empty rows of one class: every sample has one distinct label.
    const std::vector<Label> one_class(5, 4);
    const Forest forest = grow_forest(MatrixView{nullptr, 5, 0}, one_class, 3, 3);
    ASSERT_EQ(forest.trees.size(), 3u);
    for (const Tree& tree : forest.trees) EXPECT_TRUE(same_tree(tree, leaf(4)));
    // With two classes there is nothing to split on, so each tree is still a single leaf.
    const std::vector<Label> two_classes = {1, 2, 1, 2, 1, 2};
    for (const Tree& tree : grow_forest(MatrixView{nullptr, 6, 0}, two_classes, 3, 8).trees)
        EXPECT_EQ(depth(tree), 0u);
}

TEST(GrowForest, FailingTreeFailsTheForest) {
    struct Case {
        const char* what;
        std::size_t n_rows;
        std::size_t n_labels;
    };
    const Case cases[] = {
        {"no rows", 0, 0},
        {"no labels for any row", 6, 0},
    };
    for (const Case& c : cases) {
        const std::vector<float> values(c.n_rows * 2, 1.0f);
        const std::vector<Label> labels(c.n_labels, 1);
        WorkerPool pool(2);
        try {
            grow_forest(MatrixView{values.data(), c.n_rows, 2}, labels, 3, 4, &pool);
            ADD_FAILURE() << c.what << ": the forest grew";
        } catch (const InternalError& error) {
            EXPECT_EQ(std::string(error.what()).rfind("a tree of the forest failed", 0), 0u)
                << c.what << ": " << error.what();
        }
    }
}

TEST(GrowForest, ForkedChildGrowsAgainAndDrawsItsOwnSamples) {
    const Dataset data = coarse_dataset(200, 3, 2, 11);
    {
        WorkerPool pool(2);
        grow_forest(data.rows.view(), data.labels, 4, 4, &pool);
    }
    // A stalled child is killed by its alarm, which the parent sees as a failed exit.
    const std::uint64_t child_hash = in_forked_child([&] {
        ::alarm(30);
        WorkerPool pool(2);
        const Forest forest = grow_forest(data.rows.view(), data.labels, 4, 4, &pool);
        return forest.trees.size() == 4 ? hash_sample(bootstrap_sample(1000)) : 0;
    });
    EXPECT_NE(child_hash, 0u);
    EXPECT_NE(child_hash, hash_sample(bootstrap_sample(1000)));
}

}  // namespace
}  // namespace lindorf
