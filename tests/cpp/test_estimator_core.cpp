// The learner parts behind the estimators: keyed streams, weighted rows, forest chunks and their
// out-of-bag votes, leaf class counts, importances, the saved model format. Most checks are
// differential: a weighted list against its repeated rows, a chunked forest against the whole
// one, node statistics against the training rows routed through the tree. Saved models must
// come back whole, and damaged or altered bytes be refused with FormatError, never read out of
// bounds (the sanitizer build checks that part).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "criteria/criteria.hpp"
#include "forest/chunk.hpp"
#include "model/format.hpp"
#include "model/importance.hpp"
#include "model/predict.hpp"
#include "reference.hpp"
#include "support/streams.hpp"
#include "tree/feature_draw.hpp"
#include "tree/grow.hpp"
#include "tree/grow_engine.hpp"
#include "tree/node_columns.hpp"
#include "tree/training.hpp"
#include "tree_testing.hpp"

namespace lindorf {
namespace {

using testing_support::bits;
using testing_support::failure_of;
using testing_support::Data;
using testing_support::make_data;
using testing_support::same_tree;

// Rows with a few repeated values and NaN, labels 0 .. n_classes - 1, weights 0 .. 3.
struct WeightedRows {
    Data data;
    std::vector<std::uint32_t> weights;

    // Each row repeated by its weight, in place.
    Data repeated() const {
        std::vector<std::uint32_t> copies;
        for (std::uint32_t r = 0; r < data.matrix.n_rows; ++r)
            copies.insert(copies.end(), weights[r], r);
        return testing_support::copy_sample(data.view(), data.labels, copies);
    }
    WeightedData weighted(std::uint32_t n_classes) const {
        return {data.view(), data.labels, weights, n_classes};
    }
};

WeightedRows random_rows(std::mt19937_64& rng, std::size_t n_rows, std::size_t n_cols,
                         std::uint32_t n_classes) {
    auto below = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    WeightedRows out{{{n_rows, n_cols, std::vector<float>(n_rows * n_cols)}, Labels(n_rows)},
                     std::vector<std::uint32_t>(n_rows)};
    for (float& v : out.data.matrix.values)
        v = below(12) == 0 ? NAN : static_cast<float>(below(7)) * 0.5f;
    for (std::size_t r = 0; r < n_rows; ++r) {
        out.data.labels[r] = static_cast<Label>((below(3) == 0 ? below(n_classes) : 0) +
                                                (out.data.matrix.values[r * n_cols] > 1.5f)) %
                             n_classes;
        out.weights[r] = static_cast<std::uint32_t>(below(4));
    }
    out.weights[below(n_rows)] = 2;  // never all zero
    return out;
}

const GrowRules rule_table[] = {
    GrowRules{.record_stats = true},
    GrowRules{.max_depth = 3, .min_split = 7, .record_stats = true},
    GrowRules{.min_leaf = 3, .impurity = Impurity::gini, .record_stats = true},
    GrowRules{.min_split = 2, .max_features = 2, .node_key = seed_key(11), .record_stats = true},
    GrowRules{.min_leaf = 2, .impurity = Impurity::gini, .max_features = 1,
              .node_key = seed_key(12), .record_stats = true},
};

// Each node's training rows found by routing the weighted rows through the tree: a node's weight,
// rows, impurity and a leaf's values (exactly the classes present, ascending) follow from them.
::testing::AssertionResult stats_of_routed_rows(const Tree& tree, const WeightedRows& rows,
                                                Impurity impurity) {
    std::vector<std::vector<Label>> reached(tree.nodes.size());
    std::vector<std::uint32_t> distinct(tree.nodes.size(), 0);
    for (std::size_t r = 0; r < rows.data.matrix.n_rows; ++r) {
        for (std::uint32_t at = 0;;) {
            reached[at].insert(reached[at].end(), rows.weights[r], rows.data.labels[r]);
            distinct[at] += rows.weights[r] > 0;
            const Node& node = tree.nodes[at];
            if (node.is_leaf) break;
            at = goes_left(node, rows.data.view().at(r, node.feature)) ? node.left : node.right;
        }
    }
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        const NodeStats& stats = tree.stats[i];
        const double expected_impurity =
            reference::recorded_impurity(reached[i], impurity == Impurity::gini);
        if (stats.weight != static_cast<double>(reached[i].size()) || stats.rows != distinct[i] ||
            std::abs(stats.impurity - expected_impurity) > 1e-12)
            return ::testing::AssertionFailure() << "node " << i << " weight, rows or impurity";
        if (!tree.nodes[i].is_leaf) continue;
        std::map<Label, double> present;
        for (Label label : reached[i]) present[label] += 1.0;
        std::vector<LeafValue> expected;
        for (auto [label, count] : present) expected.push_back({label, count});
        if (!std::ranges::equal(leaf_values(tree, i), expected))
            return ::testing::AssertionFailure() << "leaf " << i << " values";
    }
    return ::testing::AssertionSuccess();
}

TEST(KeyedStreams, NonceZeroIsTheCoreGeneratorAndEveryPurposeHasItsOwnStream) {
    const ChaChaKey key = seed_key(0x0123456789abcdefULL);
    ChaChaRng core(key, KeySource{});
    KeyedStream zero(key, 0, 0);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(zero.next_u64(), core.next_u64()) << i;
    std::map<std::uint64_t, std::string> first_outputs;
    auto note = [&](KeyedStream stream, std::string name) {
        EXPECT_TRUE(first_outputs.emplace(stream.next_u64(), name).second) << name;
    };
    for (std::uint32_t tree = 0; tree < 3; ++tree) {
        note(sample_stream(key, tree), "sample " + std::to_string(tree));
        note(sample_stream(seed_key(tree), 0), "seed " + std::to_string(tree));
        for (std::uint64_t path : {std::uint64_t{0}, child_path(0, 0, 0.5f, false, true),
                                   child_path(0, 0, 0.5f, false, false)})
            note(node_stream(node_key(key, tree), path),
                 "node " + std::to_string(tree) + "/" + std::to_string(path));
    }
    EXPECT_EQ(sample_stream(key, 2).next_u64(), sample_stream(key, 2).next_u64());
    // The layout a seed's forest depends on, so that the same seed grows the same forest in
    // every build: the key is the seed's bytes, each purpose has its nonce, and a node key is
    // block 0 of its own stream.
    for (std::size_t i = 0; i < key.size(); ++i)
        ASSERT_EQ(key[i], i < 8 ? (0x0123456789abcdefULL >> (8 * i)) & 0xff : 0) << i;
    EXPECT_EQ(sample_stream(key, 5).next_u64(), KeyedStream(key, 5, 0).next_u64());
    KeyedStream words(key, 5, 1);
    ChaChaKey derived{};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::uint64_t two_words = words.next_u64();
        for (std::size_t b = 0; b < 8; ++b) derived[8 * i + b] = (two_words >> (8 * b)) & 0xff;
    }
    EXPECT_EQ(node_key(key, 5), derived);
    EXPECT_EQ(node_stream(derived, std::uint64_t{3} << 32 | 7).next_u64(),
              KeyedStream(derived, 7, 3).next_u64());
    // A key laid out once gives every node the same stream, past its first two blocks too.
    const NodeStreams laid_out(derived);
    for (std::uint64_t path : {std::uint64_t{0}, std::uint64_t{3} << 32 | 7, ~std::uint64_t{0}}) {
        KeyedStream once = laid_out.at(path), each = node_stream(derived, path);
        for (int i = 0; i < 40; ++i) ASSERT_EQ(once.next_u64(), each.next_u64()) << path << " " << i;
    }
}

TEST(WeightedRows, GrowTheTreeOfTheirRowsRepeatedInPlace) {
    std::mt19937_64 rng(5);
    WorkerPool pool(2);
    for (int round = 0; round < 300; ++round) {
        const WeightedRows rows = random_rows(rng, 5 + round % 40, 1 + round % 4, 2 + round % 3);
        const Data copies = rows.repeated();
        for (const GrowRules& rules : rule_table) {
            Tree expected = grow_tree(copies.view(), copies.labels, {}, rules);
            Tree weighted = grow_tree(rows.data.view(), rows.data.labels, rows.weights, rules);
            ASSERT_TRUE(same_tree(weighted, expected)) << "round " << round;
            ASSERT_TRUE(stats_of_routed_rows(weighted, rows, rules.impurity)) << "round " << round;
            // Shared with the pool from nodes of a few entries on: large nodes split on it,
            // smaller subtrees grown side by side and spliced in.
            WorkingSet set = working_set_of_draws(rows.data.view(), rows.data.labels,
                                                  sort_features(rows.data.view()),
                                                  draws_of_weights(rows.weights), &pool);
            Tree shared = grow_working_set(set, rules, 0, &pool, GrowSettings{8 + static_cast<std::size_t>(round % 30)});
            ASSERT_TRUE(same_tree(shared, expected)) << round;
        }
    }
}

// Trees 2 .. 7 of a forest, whole and one by one. Each is the plain growth of its training list:
// with bootstrap, its draws in order with each drawn row repeated by its weight (a row weighs its
// weight times its draws), without, the rows repeated in place. Out-of-bag votes (with bootstrap
// samples) are each tree's votes, or leaf shares, for the rows its draws left out.
TEST(ForestChunks, MatchTheWholeForestAndThePlainGrowthOfTheirWeightedDrawsAndVoteOutOfBag) {
    std::mt19937_64 rng(7);
    WorkerPool pool(2);
    std::size_t left_out = 0;
    for (int round = 0; round < 40; ++round) {
        const std::size_t n_rows = 10 + 2 * round;
        const WeightedRows rows = random_rows(rng, n_rows, 3, 3);
        const bool bootstrap = round % 5 != 0;
        ForestRules rules{rule_table[round % 5], bootstrap, bootstrap, seed_key(round)};
        rules.voting = round % 2 == 0 ? Voting::hard : Voting::soft;
        ForestChunk whole = grow_forest_chunk(rows.weighted(3), rules, 2, 6, &pool);
        ForestRules no_oob = rules;
        no_oob.out_of_bag = false;
        for (std::uint32_t first : {2u, 4u, 7u}) {
            ForestChunk part = grow_forest_chunk(rows.weighted(3), no_oob, first, 1, nullptr);
            ASSERT_TRUE(same_tree(part.trees[0], whole.trees[first - 2])) << round << "/" << first;
        }
        OutOfBag expected{std::vector<double>(bootstrap ? n_rows * 3 : 0, 0.0),
                          std::vector<std::uint32_t>(bootstrap ? n_rows : 0, 0)};
        for (std::uint32_t t = 0; t < 6; ++t) {
            GrowRules plain = rules.tree;
            plain.record_stats = false;
            plain.node_key = node_key(rules.key, 2 + t);
            std::vector<std::uint32_t> list;
            KeyedStream stream = sample_stream(rules.key, 2 + t);
            for (std::size_t k = 0; k < n_rows; ++k) {
                const auto row = bootstrap ? draw_below(stream, draw_range(n_rows)) : k;
                list.insert(list.end(), rows.weights[row], static_cast<std::uint32_t>(row));
            }
            const Data copy = testing_support::copy_sample(rows.data.view(), rows.data.labels, list);
            ASSERT_TRUE(same_tree(whole.trees[t], grow_tree(copy.view(), copy.labels, {}, plain)))
                << round << "/" << t;
            if (!bootstrap) continue;
            const RowDraws draws = bootstrap_draws(n_rows, rules.key, 2 + t);
            const Tree& tree = whole.trees[t];
            for (std::size_t r = 0; r < n_rows; ++r) {
                if (draws.count[r] != 0) continue;
                const std::uint32_t leaf = leaf_position(tree, rows.data.view(), r);
                ++expected.trees[r];
                ++left_out;
                if (rules.voting == Voting::hard) expected.sums[r * 3 + tree.nodes[leaf].prediction] += 1;
                for (const LeafValue& value : leaf_values(tree, leaf))
                    if (rules.voting == Voting::soft)
                        expected.sums[r * 3 + value.index] += value.value / tree.stats[leaf].weight;
            }
        }
        ASSERT_EQ(whole.out_of_bag.sums, expected.sums) << round;
        ASSERT_EQ(whole.out_of_bag.trees, expected.trees) << round;
    }
    EXPECT_GT(left_out, 1000u);
}

// Many features of which nodes search a few: nodes then sort the drawn features themselves, from
// the root (150 features) or below a size (30), and grow the trees that searching kept-sorted
// blocks grows, weighted trees and forest trees alike, on the pool or not, depth first or best
// first under a leaf limit.
TEST(WideRows, NodesThatSortTheirOwnFeaturesGrowTheSameTrees) {
    std::mt19937_64 rng(23);
    WorkerPool pool(2);
    for (int round = 0; round < 24; ++round) {
        const std::size_t n_rows = 30 + 17 * round, n_cols = round % 2 ? 30 : 150;
        const auto n_classes = static_cast<std::uint32_t>(2 + round % 3);
        const WeightedRows rows = random_rows(rng, n_rows, n_cols, n_classes);
        const MatrixView view = rows.data.view();
        const GrowRules rules{.min_split = 2,
                              .impurity = round % 4 ? Impurity::entropy : Impurity::gini,
                              .max_features = static_cast<std::uint32_t>(2 + round % 3),
                              .node_key = seed_key(round),
                              .record_stats = true,
                              .max_leaf_nodes = round % 3 == 2 ? 8u : 0u};
        const FeatureOrder order = sort_features(view, nullptr, true);
        auto sorted_set = [&](const RowDraws& draws) {
            return working_set_of_draws(view, rows.data.labels, order, draws, nullptr);
        };
        WorkingSet sorted = sorted_set(draws_of_weights(rows.weights));
        const Tree expected = grow_working_set(sorted, rules, 0, nullptr);
        ASSERT_TRUE(same_tree(grow_tree(view, rows.data.labels, rows.weights, rules,
                                        round % 3 ? &pool : nullptr),
                              expected))
            << round;
        const std::vector<float> by_feature = values_by_feature(view, nullptr);
        WorkingSet switching = sorted_set(draws_of_weights(rows.weights));
        switching.source = round % 2 ? by_features(by_feature, n_rows) : by_rows(view);
        ASSERT_TRUE(same_tree(grow_working_set(switching, rules, 0, &pool, GrowSettings{64}),
                              expected))
            << round;
        const ForestRules forest{rules, true, false, seed_key(100 + round)};
        const ForestChunk chunk = grow_forest_chunk(rows.weighted(n_classes), forest, 3, 1, &pool);
        GrowRules tree_rules = rules;
        tree_rules.node_key = node_key(forest.key, 3);
        RowDraws draws = bootstrap_draws(n_rows, forest.key, 3);
        for (std::size_t r = 0; r < n_rows; ++r) draws.count[r] *= rows.weights[r];
        WorkingSet drawn = sorted_set(draws);
        ASSERT_TRUE(same_tree(chunk.trees[0], grow_working_set(drawn, tree_rules, 0, nullptr)))
            << round;
    }
}

TEST(FeatureDraws, CountOnlyFeaturesThatCanDivideTheNodeAndFollowTheKey) {
    // Only feature 3 of 6 can divide: the others hold one number besides NaN, or both zeros.
    // One feature per node still always finds it.
    std::mt19937_64 rng(17);
    WeightedRows rows = random_rows(rng, 80, 6, 3);
    for (std::size_t r = 0; r < 80; ++r)
        for (std::size_t f = 0; f < 6; ++f)
            if (f != 3)
                rows.data.matrix.values[r * 6 + f] =
                    f % 2 ? (r % 4 ? 1.0f : NAN) : (r % 2 ? -0.0f : 0.0f);
    const Tree full = grow_tree(rows.data.view(), rows.data.labels, {}, GrowRules{});
    // No feature can divide these rows (feature 0 is -1 or NaN, the rest constant), but the
    // fallback split at 0.0 does, with or without draws.
    WeightedRows flat = rows;
    for (std::size_t r = 0; r < 80; ++r) {
        for (std::size_t f = 0; f < 6; ++f) flat.data.matrix.values[r * 6 + f] = 1.0f;
        flat.data.matrix.values[r * 6] = r % 3 ? -1.0f : NAN;
    }
    const Tree fallback = grow_tree(flat.data.view(), flat.data.labels, {}, GrowRules{});
    ASSERT_EQ(fallback.nodes.size(), 3u);
    // With every feature able to divide, the features a tree uses follow its key.
    const WeightedRows varied = random_rows(rng, 80, 6, 3);
    std::set<std::vector<std::uint32_t>> seen;
    for (std::uint64_t seed = 0; seed < 4; ++seed) {
        const GrowRules one{.max_features = 1, .node_key = seed_key(seed)};
        EXPECT_TRUE(same_tree(grow_tree(rows.data.view(), rows.data.labels, {}, one), full));
        EXPECT_TRUE(same_tree(grow_tree(flat.data.view(), flat.data.labels, {}, one), fallback));
        Tree tree = grow_tree(varied.data.view(), varied.data.labels, {}, one);
        std::vector<std::uint32_t> used;
        for (const Node& node : tree.nodes) used.push_back(node.is_leaf ? 99 : node.feature);
        seen.insert(used);
    }
    EXPECT_EQ(seen.size(), 4u);
}

// Every label distinct, no depth limit: a count for every class in every leaf would take leaves x
// rows; present classes only take one pair per row, spliced or not. Unasked, nothing is kept.
TEST(NodeStats, AManyClassDeepTreeKeepsOneCountPerRow) {
    constexpr std::size_t n_rows = 3000;
    std::mt19937_64 rng(21);
    Data data{{n_rows, 2, std::vector<float>(n_rows * 2)}, Labels(n_rows)};
    std::iota(data.labels.begin(), data.labels.end(), Label{0});
    for (float& v : data.matrix.values) v = std::normal_distribution<float>()(rng);
    WorkerPool pool(2);
    for (WorkerPool* sharing : {static_cast<WorkerPool*>(nullptr), &pool}) {
        const Tree tree = grow_tree(data.view(), data.labels, {}, {.record_stats = true}, sharing);
        EXPECT_GT(leaf_count(tree), n_rows / 3);
        EXPECT_EQ(tree.values.size(), n_rows);
        const Tree bare = grow_tree(data.view(), data.labels, {}, {}, sharing);
        EXPECT_TRUE(same_tree(bare, testing_support::tree_of(tree.nodes)));
        EXPECT_TRUE(bare.stats.empty() && bare.values.empty());
    }
}

TEST(Importances, AreTheNormalisedImpurityDecreasesAndForestsAverageSplittingTrees) {
    // Feature 1 alone separates the classes; feature 0 then splits one side by a weaker gain.
    const Data data = make_data(
        {{0, 0}, {1, 0}, {0, 0}, {1, 0}, {0, 5}, {0, 5}, {1, 5}, {1, 5}},
        {0, 0, 0, 1, 1, 1, 1, 1});
    const GrowRules recorded{.record_stats = true};
    const Tree tree = grow_tree(data.view(), data.labels, {}, recorded);
    // Root: 8 rows, entropy of 3:5; its split leaves 4 rows of 3:1 and 4 pure rows. The 3:1
    // side splits on feature 0 into 2 pure rows and 2 rows of 1:1.
    const double root = 8 * entropy(data.labels);
    const double mixed = 4 * entropy(Labels{0, 0, 0, 1});
    const double by_1 = root - mixed, by_0 = mixed - 2 * 1.0;
    const std::vector<double> importances = tree_importances(tree, 2);
    EXPECT_NEAR(importances[0], by_0 / (by_0 + by_1), 1e-6);
    EXPECT_NEAR(importances[1], by_1 / (by_0 + by_1), 1e-6);
    const Tree single = grow_tree(data.view(), Labels(8, 1), {}, recorded);
    EXPECT_EQ(tree_importances(single, 2), (std::vector<double>{0.0, 0.0}));
    const SharedTree a = std::make_shared<Tree>(tree), b = std::make_shared<Tree>(single);
    const std::vector<double> mean = forest_importances(std::vector<SharedTree>{b, a, b}, 2);
    for (std::size_t f = 0; f < 2; ++f) EXPECT_NEAR(mean[f], importances[f], 1e-12);
}

Model small_model() {
    const Data data = make_data(
        {{0, 1}, {1, 1}, {2, 0}, {3, 0}, {4, NAN}, {5, 1}, {6, 0}, {7, 1}}, {0, 2, 2, 0, 2, 1, 2, 0});
    Model model{2, 3, {}};
    for (std::uint32_t depth : {0u, 1u, 2u, 9u})
        model.trees.push_back(std::make_shared<Tree>(
            grow_tree(data.view(), data.labels, {},
                      GrowRules{.max_depth = depth, .min_split = 2, .record_stats = true})));
    // A tree whose NaN values go to the side each split learned: walks must test them.
    model.trees.push_back(std::make_shared<Tree>(grow_weighted(
        WeightedData{data.view(), data.labels, {}, 3},
        GrowRules{.min_split = 2, .record_stats = true, .nan_side = NanSide::learned})));
    return model;
}

std::string refusal(const std::vector<std::uint8_t>& bytes) {
    try {
        decode_model(bytes);
    } catch (const FormatError& error) {
        return error.what();
    }
    return "(accepted)";
}

TEST(ModelFormat, RoundTripKeepsEveryTreeAndTheMetadata) {
    const Model model = small_model();
    const std::vector<std::uint8_t> bytes = encode_model(model, "{\"k\": 1}");
    const DecodedModel decoded = decode_model(bytes);
    EXPECT_EQ(decoded.metadata, "{\"k\": 1}");
    EXPECT_EQ(decoded.model.n_features, 2u);
    EXPECT_EQ(decoded.model.n_classes, 3u);
    ASSERT_EQ(decoded.model.trees.size(), model.trees.size());
    for (std::size_t t = 0; t < model.trees.size(); ++t)
        EXPECT_TRUE(same_tree(*decoded.model.trees[t], *model.trees[t]));
    EXPECT_EQ(encode_model(decoded.model, decoded.metadata), bytes);
}

// Predictions walk the trees a model prepared once, when it was grown or loaded: they must say
// what walks made afresh for the call say (a model without prepared walks still predicts), and
// still refuse a tree whose leaves name no class of the model.
TEST(PreparedWalks, PredictWhatWalksMadeForTheCallPredict) {
    const Model fresh = small_model();
    const Model loaded = decode_model(encode_model(fresh, "")).model;
    ASSERT_EQ(loaded.walks.size(), fresh.trees.size());
    ASSERT_TRUE(loaded.walks.back()->nan_sides);
    const Data rows = make_data({{-1, 0}, {2.5f, 1}, {4, NAN}, {NAN, NAN}, {6.5f, 0}, {9, 1}}, {});
    WorkerPool pool(2);
    EXPECT_EQ(forest_votes(loaded, rows.view(), &pool),
              forest_votes(fresh.trees, rows.view(), 3, nullptr));
    EXPECT_EQ(forest_leaves(loaded, rows.view(), &pool),
              forest_leaves(fresh, rows.view(), nullptr));
    EXPECT_EQ(forest_shares(loaded, rows.view(), &pool),
              forest_shares(fresh.trees, rows.view(), 3, nullptr));
    for (std::size_t t = 0; t < fresh.trees.size(); ++t) {
        Model one{.n_features = 2, .n_classes = 3, .trees = {loaded.trees[t]},
                  .walks = {loaded.walks[t]}};
        EXPECT_EQ(tree_labels(one, rows.view(), nullptr),
                  tree_labels(*fresh.trees[t], rows.view(), nullptr));
        EXPECT_EQ(tree_shares(one, rows.view(), nullptr),
                  tree_shares(*fresh.trees[t], rows.view(), 3, nullptr));
    }
    // Soft votes add each leaf's shares from a table made once with the walks; the leaves'
    // lists, divided as the walks reach them, must give the same sums bit for bit.
    ASSERT_FALSE(loaded.walks[0]->shares.empty());
    Model listed = loaded;
    for (SharedWalk& walk : listed.walks) {
        PreparedWalk copy = *walk;
        copy.shares.clear();
        walk = std::make_shared<const PreparedWalk>(std::move(copy));
    }
    EXPECT_EQ(forest_shares(listed, rows.view(), nullptr), forest_shares(loaded, rows.view(), &pool));
    Model fewer_classes = loaded;
    fewer_classes.n_classes = 2;
    prepare_walks(fewer_classes);
    const std::string refused =
        failure_of([&] { forest_votes(fewer_classes, rows.view(), nullptr); });
    EXPECT_NE(refused.find("class"), std::string::npos) << refused;
}

// A model's extent, from any prefix: more than the prefix and no more than the model until the
// walk reaches the last node, then exactly the model.
TEST(ModelFormat, EveryTruncationIsRefusedAndTellsHowFarTheModelReaches) {
    const std::vector<std::uint8_t> bytes = encode_model(small_model(), "meta");
    EXPECT_THROW(model_extent(std::span(bytes).first(7)), FormatError);
    for (std::size_t size = 0; size <= bytes.size(); ++size) {
        std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
        if (size < bytes.size()) {
            ASSERT_NE(refusal(cut), "(accepted)") << "cut at " << size;
        }
        if (size < 8) continue;
        const ModelExtent extent = model_extent(cut);
        ASSERT_TRUE(extent.complete || size + 8 < bytes.size()) << "cut at " << size;
        ASSERT_TRUE(extent.complete ? extent.size == bytes.size()
                                    : size < extent.size && extent.size <= bytes.size())
            << "cut at " << size;
    }
}

TEST(ModelFormat, EveryFlippedBitIsRefused) {
    const std::vector<std::uint8_t> bytes = encode_model(small_model(), "meta");
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        for (int bit : {0, 7}) {
            std::vector<std::uint8_t> flipped = bytes;
            flipped[at] ^= static_cast<std::uint8_t>(1 << bit);
            ASSERT_NE(refusal(flipped), "(accepted)") << "byte " << at << " bit " << bit;
        }
    }
    std::vector<std::uint8_t> newer = bytes;
    newer[8] = static_cast<std::uint8_t>(model_format_version + 1);
    EXPECT_NE(refusal(newer).find("newer than version"), std::string::npos);
}

// Trees that no growth makes, saved with a valid checksum: the reader's own checks refuse them.
// Tree 0 is a single leaf of all three classes, tree 3 a deep one.
TEST(ModelFormat, AlteredIndicesAreRefusedEvenWithAValidChecksum) {
    using Change = std::function<void(Model&, Tree&)>;
    const std::tuple<const char*, std::size_t, Change> cases[] = {
        {"not after it", 3, [](Model&, Tree& t) { t.nodes[0].left = 0; }},
        {"not after it", 3, [](Model&, Tree& t) { t.nodes[0].right = 99; }},
        {"more than one node", 3, [](Model&, Tree& t) { t.nodes[0].right = t.nodes[0].left; }},
        {"feature beyond", 3, [](Model& m, Tree&) { m.n_features = 0; }},
        {"label is not a class", 0, [](Model& m, Tree&) { m.n_classes = 2; }},
        {"not below the class count", 0, [](Model&, Tree& t) { t.values.back().index = 3; }},
        {"not ascending", 0, [](Model&, Tree& t) { std::swap(t.values[0], t.values[1]); }},
        {"above 0", 0, [](Model&, Tree& t) { t.values[1].value = 0.0; }},
        {"above 0", 0, [](Model&, Tree& t) { t.values[1].value = std::nan(""); }},
        {"label is not a class", 3, [](Model&, Tree& t) { t.nodes.back().prediction = 3; }},
        {"not above 0", 3, [](Model&, Tree& t) { t.stats.back().weight = 0.0; }},
        {"not a finite number", 3, [](Model&, Tree& t) { t.stats[0].impurity = INFINITY; }},
    };
    for (const auto& [message, at, change] : cases) {
        Model model = small_model();
        auto tree = std::make_shared<Tree>(*model.trees[at]);
        change(model, *tree);
        model.trees[at] = tree;
        EXPECT_NE(refusal(encode_model(model, "")).find(message), std::string::npos) << message;
    }
}

}  // namespace
}  // namespace lindorf
