// Regression trees against the plain regression learner, node for node: structure, thresholds,
// values, weights, rows and impurities, on small random sets whose sums are exact, whatever the
// threads; and the forest's regression trees on their samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "forest/chunk.hpp"
#include "model/format.hpp"
#include "model/predict.hpp"
#include "model/prune.hpp"
#include "regression_reference.hpp"
#include "regression_testing.hpp"
#include "tree_testing.hpp"
#include "support/streams.hpp"
#include "tree/grow_engine.hpp"
#include "tree/node_columns.hpp"
#include "tree/regression_training.hpp"

namespace lindorf {
namespace {

using regression_testing::random_case;
using regression_testing::RegressionCase;

::testing::AssertionResult same_regression_tree(const Tree& actual,
                                                const std::vector<reference::RegressionNode>& expected,
                                                Loss loss) {
    if (actual.nodes.size() != expected.size() || !actual.has_stats())
        return ::testing::AssertionFailure()
               << "node counts differ: " << actual.nodes.size() << " vs " << expected.size();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Node& a = actual.nodes[i];
        const reference::RegressionNode& e = expected[i];
        const NodeStats& s = actual.stats[i];
        std::vector<double> values;
        for (const LeafValue& v : std::span<const LeafValue>(actual.values).subspan(s.values, s.n_values))
            values.push_back(v.value);
        const bool impurity_ok = loss == Loss::squared_error
                                     ? std::fabs(s.impurity - e.impurity) <= 1e-12 * e.impurity
                                     : s.impurity == e.impurity;
        if (a.is_leaf != e.leaf ||
            (!a.is_leaf && (a.feature != e.feature ||
                            std::bit_cast<std::uint32_t>(a.threshold) !=
                                std::bit_cast<std::uint32_t>(e.threshold) ||
                            a.left != e.left || a.right != e.right)) ||
            values != e.value || s.weight != e.weight || s.rows != e.rows || !impurity_ok)
            return ::testing::AssertionFailure()
                   << "node " << i << " differs: leaf " << a.is_leaf << "/" << e.leaf
                   << ", feature " << a.feature << "/" << e.feature << ", threshold "
                   << a.threshold << "/" << e.threshold << ", weight " << s.weight << "/"
                   << e.weight << ", impurity " << s.impurity << "/" << e.impurity;
    }
    return ::testing::AssertionSuccess();
}

TEST(RegressionGrowth, GrowsThePlainLearnersTreesWhateverTheThreads) {
    std::mt19937_64 rng(77);
    WorkerPool pool(2);
    const Loss losses[] = {Loss::squared_error, Loss::absolute_error, Loss::poisson};
    for (int round = 0; round < 1500; ++round) {
        const Loss loss = losses[round % 3];
        const RegressionCase c = random_case(rng, loss == Loss::poisson);
        reference::RegressionRules rules;
        rules.loss = loss;
        rules.max_depth = rng() % 4 == 0 ? static_cast<std::uint32_t>(rng() % 4) : 0xFFFFFFFFu;
        rules.min_split_rows = static_cast<std::uint32_t>(2 + rng() % 4);
        rules.min_leaf_rows = static_cast<std::uint32_t>(1 + rng() % 3);
        rules.min_leaf_weight = rng() % 3 == 0 ? 0.25 * static_cast<double>(rng() % 8) : 0.0;
        const std::vector<reference::RegressionNode> expected =
            reference::grow_regression(c.set, rules);
        if (expected.empty()) continue;
        const regression_testing::Flat flat = regression_testing::flatten(c);
        const WeightedData data{.rows = flat.matrix.view(), .labels = {}, .weights = {},
                                .real_weights = flat.weights, .targets = flat.targets,
                                .n_targets = c.n_outputs};
        GrowRules grow{.max_depth = rules.max_depth, .min_split = 0.0,
                       .min_leaf = rules.min_leaf_weight, .loss = loss, .record_stats = true,
                       .min_split_rows = rules.min_split_rows,
                       .min_leaf_rows = rules.min_leaf_rows};
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_TRUE(same_regression_tree(grow_regression(data, grow), expected, loss));
        // Shared with a second thread down to the smallest nodes.
        const FeatureOrder order = sort_features(data.rows, &pool, true);
        const std::vector<std::uint32_t> targets =
            loss == Loss::absolute_error ? sort_targets(data, &pool) : std::vector<std::uint32_t>{};
        WorkingSet set = regression_working_set(
            data, order, targets, draws_of_weights(std::vector<std::uint32_t>(c.set.rows.size(), 1)),
            flat.weights, &pool);
        ASSERT_TRUE(same_regression_tree(
            grow_working_set(set, grow, 0, &pool, GrowSettings{.parallel_min_entries = 2}), expected,
            loss));
    }
}

// A forest's trees are the plain learner's trees of their bootstrap samples, each row weighing
// its weight times its draws; its out-of-bag sums add the leaf values of the trees that did not
// draw the row; its predictions are the trees' mean; and the model survives its saved form.
TEST(RegressionForest, GrowsThePlainTreesOfItsSamplesAndKeepsThemThroughItsFormat) {
    std::mt19937_64 rng(5);
    WorkerPool pool(2);
    for (int round = 0; round < 60; ++round) {
        const Loss loss = static_cast<Loss>(round % 3);
        RegressionCase c = random_case(rng, loss == Loss::poisson);
        for (double& w : c.set.weights) w = w > 0.0 ? w : 0.5;
        const regression_testing::Flat flat = regression_testing::flatten(c);
        const WeightedData data{.rows = flat.matrix.view(), .labels = {}, .weights = {},
                                .real_weights = flat.weights, .targets = flat.targets,
                                .n_targets = c.n_outputs};
        ForestRules rules;
        rules.tree = GrowRules{.max_depth = 4, .min_split = 0.0, .min_leaf = 0.0, .loss = loss,
                               .record_stats = true, .min_split_rows = 2};
        rules.out_of_bag = true;
        rules.key = seed_key(static_cast<std::uint64_t>(round));
        SCOPED_TRACE("round " + std::to_string(round));
        const ForestChunk chunk = grow_forest_chunk(data, rules, 3, 4, &pool);
        Model model;
        model.n_features = static_cast<std::uint32_t>(flat.matrix.n_cols);
        model.n_targets = static_cast<std::uint32_t>(c.n_outputs);
        std::vector<double> oob(flat.targets.size(), 0.0);
        std::vector<std::uint32_t> oob_trees(c.set.rows.size(), 0);
        for (std::uint32_t t = 0; t < 4; ++t) {
            const RowDraws draws = bootstrap_draws(c.set.rows.size(), rules.key, 3 + t);
            // The drawn rows in the order of their first draw, which ties follow, each weighing
            // its weight times its draws.
            std::vector<std::size_t> drawn;
            for (std::size_t r = 0; r < draws.count.size(); ++r)
                if (draws.count[r] != 0) drawn.push_back(r);
            std::sort(drawn.begin(), drawn.end(),
                      [&](std::size_t a, std::size_t b) { return draws.first[a] < draws.first[b]; });
            reference::RegressionSet sample;
            for (std::size_t r : drawn) {
                sample.rows.push_back(c.set.rows[r]);
                sample.targets.push_back(c.set.targets[r]);
                sample.weights.push_back(c.set.weights[r] * draws.count[r]);
            }
            reference::RegressionRules plain;
            plain.loss = loss;
            plain.max_depth = 4;
            if (std::none_of(sample.weights.begin(), sample.weights.end(),
                             [](double w) { return w > 0.0; }))
                continue;
            ASSERT_TRUE(same_regression_tree(chunk.trees[t], reference::grow_regression(sample, plain),
                                             loss));
            model.trees.push_back(std::make_shared<const Tree>(chunk.trees[t]));
            const std::vector<double> values =
                forest_values({model.trees.end() - 1, model.trees.end()}, data.rows,
                              model.n_targets, nullptr);
            for (std::size_t r = 0; r < oob_trees.size(); ++r) {
                if (draws.count[r] != 0) continue;
                ++oob_trees[r];
                for (std::size_t o = 0; o < c.n_outputs; ++o)
                    oob[r * c.n_outputs + o] += values[r * c.n_outputs + o];
            }
        }
        if (model.trees.size() < 4) continue;
        EXPECT_EQ(chunk.out_of_bag.sums, oob);
        EXPECT_EQ(chunk.out_of_bag.trees, oob_trees);
        const DecodedModel decoded = decode_model(encode_model(model, "m"));
        ASSERT_EQ(decoded.model.n_targets, model.n_targets);
        for (std::size_t t = 0; t < 4; ++t)
            EXPECT_TRUE(testing_support::same_tree(*decoded.model.trees[t], *model.trees[t]));
        EXPECT_EQ(forest_values(decoded.model.trees, data.rows, model.n_targets, &pool),
                  forest_values(model.trees, data.rows, model.n_targets, nullptr));
    }
}

// Many features of which nodes search a few: nodes below a size, or from the root, sort their
// drawn features themselves, alone, on the pool and in a forest, and grow the trees of the sorted
// blocks bit for bit, on targets and weights whose sums round (so the order of equal values and
// of a node's rows must be the blocks' too), with ties, NaN and both zeros in the features.
TEST(RegressionGrowth, NodesThatSortTheirOwnFeaturesGrowTheBlocksTrees) {
    std::mt19937_64 rng(31);
    WorkerPool pool(2);
    int sorted_own = 0;
    for (int round = 0; round < 60; ++round) {
        auto below = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
        const std::size_t n_rows = 20 + below(600), n_cols = 16 + below(30);
        const std::size_t n_targets = round % 5 == 4 ? 2 : 1;
        const Loss loss = round % 3 == 2 ? Loss::poisson : Loss::squared_error;
        FeatureMatrix matrix{n_rows, n_cols, std::vector<float>(n_rows * n_cols)};
        const float few[] = {-0.0f, 0.0f, 1.0f, -1.0f, NAN};
        for (std::size_t f = 0; f < n_cols; ++f) {
            const bool coarse = f % 3 == 0;
            for (std::size_t r = 0; r < n_rows; ++r)
                matrix.values[r * n_cols + f] =
                    coarse ? few[below(5)] : std::normal_distribution<float>()(rng);
        }
        std::vector<double> targets(n_rows * n_targets), weights(n_rows, 1.0);
        for (double& y : targets) y = std::exp(std::normal_distribution<double>(0.0, 2.0)(rng));
        if (loss == Loss::squared_error)
            for (double& y : targets) y -= 3.0;
        if (round % 2)
            for (double& w : weights) w = below(8) == 0 ? 0.0 : 0.1 + 0.9 * (rng() % 1000) / 1000.0;
        const WeightedData data{.rows = matrix.view(), .labels = {}, .weights = {},
                                .real_weights = weights, .targets = targets,
                                .n_targets = n_targets};
        GrowRules rules{.max_depth = round % 4 ? 0xFFFFFFFFu : 5u, .min_split = 0.0,
                        .min_leaf = 0.0, .loss = loss,
                        .max_features = static_cast<std::uint32_t>(1 + below(3)),
                        .node_key = seed_key(round), .record_stats = true,
                        .min_leaf_rows = static_cast<std::uint32_t>(1 + below(3))};
        if (round % 4 == 1) rules.nan_side = NanSide::learned;
        if (round % 7 == 3) rules.splitter = Splitter::random;
        if (round % 6 == 5) rules.max_leaf_nodes = 12;
        sorted_own += sorts_on_demand(n_cols, rules.max_features, n_rows / 4);
        SCOPED_TRACE("round " + std::to_string(round));
        const FeatureOrder order = sort_features(data.rows, nullptr, true);
        const RowDraws every = draws_of_weights(std::vector<std::uint32_t>(n_rows, 1));
        WorkingSet blocks = regression_working_set(data, order, {}, every, weights, nullptr);
        const Tree expected = grow_working_set(blocks, rules, 0, nullptr);
        ASSERT_TRUE(testing_support::same_tree(grow_regression(data, rules), expected));
        const std::vector<float> by_feature = values_by_feature(data.rows, nullptr);
        WorkingSet own = regression_working_set(data, order, {}, every, weights, nullptr);
        own.source = round % 2 ? by_features(by_feature, n_rows) : by_rows(data.rows);
        ASSERT_TRUE(testing_support::same_tree(
            grow_working_set(own, rules, 0, &pool, GrowSettings{64 * below(4)}), expected));
        const ForestRules forest{rules, true, false, seed_key(200 + round)};
        const RowDraws draws = bootstrap_draws(n_rows, forest.key, 1);
        std::vector<double> drawn(n_rows);
        for (std::size_t r = 0; r < n_rows; ++r) drawn[r] = weights[r] * draws.count[r];
        if (std::none_of(drawn.begin(), drawn.end(), [](double w) { return w > 0.0; })) continue;
        GrowRules tree_rules = rules;
        tree_rules.node_key = node_key(forest.key, 1);
        WorkingSet sample = regression_working_set(data, order, {}, draws, drawn, nullptr);
        ASSERT_TRUE(testing_support::same_tree(grow_forest_chunk(data, forest, 1, 1, &pool).trees[0],
                                               grow_working_set(sample, tree_rules, 0, nullptr)));
    }
    EXPECT_GT(sorted_own, 40);
}

// Pruning makes inner nodes leaves that keep their own values (a median is no mean of its
// leaves'), and the kept inner nodes keep theirs.
TEST(RegressionPruning, NodesKeepTheirOwnValues) {
    std::mt19937_64 rng(9);
    for (int round = 0; round < 60; ++round) {
        const RegressionCase c = random_case(rng, false);
        const regression_testing::Flat flat = regression_testing::flatten(c);
        const WeightedData data{.rows = flat.matrix.view(), .labels = {}, .weights = {},
                                .real_weights = flat.weights, .targets = flat.targets,
                                .n_targets = c.n_outputs};
        if (std::none_of(flat.weights.begin(), flat.weights.end(), [](double w) { return w > 0; }))
            continue;
        const Tree tree = grow_regression(
            data, GrowRules{.min_split = 0.0, .min_leaf = 0.0, .loss = Loss::absolute_error,
                            .record_stats = true});
        const PruningPath path = pruning_path(tree);
        const Tree pruned_tree = pruned(tree, path.alphas[path.alphas.size() / 2]);
        const auto values = [](const Tree& t, std::size_t k) {
            std::vector<double> out;
            const NodeStats& s = t.stats[k];
            for (std::size_t v = s.values; v < s.values + s.n_values; ++v)
                out.push_back(t.values[v].value);
            return out;
        };
        // The pruned tree is the tree's top: walk both from the root together.
        std::vector<std::pair<std::uint32_t, std::uint32_t>> pending{{0, 0}};
        while (!pending.empty()) {
            const auto [i, j] = pending.back();
            pending.pop_back();
            ASSERT_EQ(values(pruned_tree, i), values(tree, j)) << "round " << round;
            const Node& node = pruned_tree.nodes[i];
            if (node.is_leaf) continue;
            pending.push_back({node.left, tree.nodes[j].left});
            pending.push_back({node.right, tree.nodes[j].right});
        }
    }
}

}  // namespace
}  // namespace lindorf
