// The general path (real weights in units, several outputs, learned NaN sides, monotonic
// constraints, random thresholds) and the growth rules every path shares (row minimums, weight
// fractions, impurity decreases, best-first growth) against the plain learner of
// reference_general.cpp, node for node with statistics and leaf values, on random data made to
// hit ties, NaN, signed zeros, infinities and weights of any scale. Then pruning.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "forest/chunk.hpp"
#include "criteria/impurity.hpp"
#include "model/prune.hpp"
#include "splitting/gini_blocks.hpp"
#include "tree/tree.hpp"
#include "reference_general.hpp"
#include "support/streams.hpp"
#include "tree/grow_engine.hpp"
#include "tree/node_columns.hpp"
#include "tree/training.hpp"
#include "block_testing.hpp"
#include "tree_testing.hpp"

namespace lindorf {
namespace {

using testing_support::same_tree;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

struct Case {
    reference::General data;
    FeatureMatrix matrix;
    std::vector<Label> labels;  // row-major, n x outputs
    double scale = 1.0;         // of every weight, a power of two

    WeightedData weighted() const {
        WeightedData out{matrix.view(), labels, {}, data.classes[0], data.weights, {}};
        if (data.classes.size() > 1) out.output_classes = data.classes;
        return out;
    }
};

class Random {
  public:
    explicit Random(std::uint64_t seed) : rng_(seed) {}

    std::size_t below(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
    }

    Case data(std::size_t max_rows, std::size_t max_cols, bool two_classes,
              std::size_t min_cols = 1) {
        static const float specials[] = {-0.0f, 0.0f, 1.0f, -1.0f, 0.5f, nan, inf, -inf};
        const std::size_t n = 2 + below(max_rows);
        const std::size_t cols = min_cols + below(max_cols - min_cols + 1);
        const std::size_t outputs = two_classes || below(3) != 0 ? 1 : 2;
        Case c;
        c.matrix = {n, cols, std::vector<float>(n * cols)};
        for (std::size_t f = 0; f < cols; ++f) {
            const std::size_t kind = below(3);
            for (std::size_t r = 0; r < n; ++r)
                c.matrix.values[r * cols + f] =
                    kind == 0   ? specials[below(std::size(specials))]
                    : kind == 1 ? static_cast<float>(below(5))
                                : std::uniform_real_distribution<float>(-2.0f, 2.0f)(rng_);
        }
        for (std::size_t o = 0; o < outputs; ++o)
            c.data.classes.push_back(two_classes ? 2 : 2 + static_cast<std::uint32_t>(below(3)));
        for (std::size_t r = 0; r < n; ++r) {
            c.data.rows.emplace_back(c.matrix.values.begin() + r * cols,
                                     c.matrix.values.begin() + (r + 1) * cols);
            std::vector<Label> own;
            for (std::uint32_t k : c.data.classes) {
                const float signal = c.matrix.values[r * cols];
                own.push_back(below(3) == 0 ? static_cast<Label>(below(k)) : signal > 0.7f ? 1 : 0);
                c.labels.push_back(own.back());
            }
            c.data.labels.push_back(own);
            // Fractions, whole numbers and zeros; never all zero.
            const std::size_t kind = below(6);
            c.data.weights.push_back(kind == 0   ? 0.0
                                     : kind == 1 ? static_cast<double>(1 + below(3))
                                                 : std::uniform_real_distribution<double>(0.01, 3.0)(rng_));
        }
        c.data.weights[below(n)] = 1.5;
        if (below(4) == 0) std::fill(c.data.weights.begin(), c.data.weights.end(), 1.0);
        // Weights scaled by a power of two are the same units: every rule that measures weight
        // relative to the whole must see the same tree at any scale.
        c.scale = std::ldexp(1.0, static_cast<int>(below(41)) - 20);
        for (double& w : c.data.weights) w *= c.scale;
        return c;
    }

    GrowRules rules(const Case& c, std::vector<std::int8_t>& monotonic) {
        GrowRules rules{.max_depth = std::array<std::uint32_t, 5>{1, 2, 3, 6, 1000}[below(5)],
                        .min_split = 0.0,
                        .min_leaf = below(4) == 0 ? 1.5 * c.scale : 0.0,
                        .impurity = below(2) == 0 ? Impurity::gini : Impurity::entropy,
                        .node_key = seed_key(below(1000)),
                        .record_stats = true};
        rules.min_split_rows = static_cast<std::uint32_t>(below(5));
        rules.min_leaf_rows = static_cast<std::uint32_t>(below(3));
        if (below(4) == 0) rules.max_features = 1 + static_cast<std::uint32_t>(below(2));
        if (below(4) == 0) rules.min_leaf_fraction = 0.1;
        if (below(4) == 0) rules.min_impurity_decrease = 0.01;
        if (below(3) == 0) rules.max_leaf_nodes = 2 + static_cast<std::uint32_t>(below(6));
        if (below(3) == 0) rules.splitter = Splitter::random;
        if (below(2) == 0) rules.nan_side = NanSide::learned;
        if (c.data.classes.size() == 1 && c.data.classes[0] == 2 && below(3) == 0) {
            monotonic.clear();
            for (std::size_t f = 0; f < c.matrix.n_cols; ++f)
                monotonic.push_back(static_cast<std::int8_t>(below(3)) - 1);
            rules.monotonic = monotonic;
        }
        return rules;
    }

  private:
    std::mt19937_64 rng_;
};

TEST(GeneralPath, TreesAreThePlainGrowthOfTheDocumentedRules) {
    Random random(61);
    WorkerPool pool(2);
    for (int round = 0; round < 3000; ++round) {
        const Case c = random.data(30, 4, round % 3 == 0);
        std::vector<std::int8_t> monotonic;
        const GrowRules rules = random.rules(c, monotonic);
        const Tree expected = reference::grow_general(c.data, rules);
        ASSERT_TRUE(same_tree(grow_weighted(c.weighted(), rules), expected)) << "round " << round;
        // The same on the pool, wherever it takes over, from sorted blocks or, with random
        // thresholds, from the columns as the rows lie (by rows or by features).
        const WeightedData d = c.weighted();
        const RowDraws every = draws_of_weights(std::vector<std::uint32_t>(d.rows.n_rows, 1));
        const bool random_rule = rules.splitter == Splitter::random;
        const std::vector<float> by_feature = values_by_feature(d.rows, nullptr);
        const SourceValues source =
            round % 2 ? by_features(by_feature, d.rows.n_rows) : by_rows(d.rows);
        WorkingSet set = random_rule
                             ? general_working_set(d, source, every, d.real_weights)
                             : general_working_set(d, sort_features(d.rows), every,
                                                   d.real_weights, &pool);
        // Random thresholds copy the rows of nodes up to a size, from the root, below it or none.
        const std::size_t copy_values = std::size_t{12} * random.below(4);
        set.copy_values = copy_values;
        // Large nodes may read the values laid out by feature while the others read the rows.
        const SourceValues dense = round % 4 == 0 ? by_features(by_feature, d.rows.n_rows)
                                                  : SourceValues{};
        set.dense = dense;
        const GrowSettings sharing{std::size_t{8} * random.below(5)};
        ASSERT_TRUE(same_tree(grow_working_set(set, rules, 0, &pool, sharing), expected))
            << "round " << round;
        if (!random_rule) continue;
        // Without bootstrap every tree of a chunk grows on the same rows, on the pool as a
        // tree before it left them: each is the tree grown alone on them.
        const ForestRules all_rows{rules, false, false, seed_key(round)};
        if (std::any_of(d.real_weights.begin(), d.real_weights.end(),
                        [](double w) { return w > 0.0; })) {
            const ForestChunk chunk = grow_forest_chunk(d, all_rows, 0, 3, &pool);
            for (std::uint32_t t = 0; t < 3; ++t) {
                GrowRules own = rules;
                own.node_key = node_key(all_rows.key, t);
                WorkingSet alone = general_working_set(d, source, every, d.real_weights);
                ASSERT_TRUE(same_tree(chunk.trees[t], grow_working_set(alone, own, 0, nullptr)))
                    << "round " << round << " tree " << t;
            }
        }
        // A bootstrap sample's repeats and draw positions, which the tie rules read: a forest's
        // tree is the one grown alone on its sample.
        const ForestRules forest{rules, true, false, seed_key(round)};
        const RowDraws draws = bootstrap_draws(d.rows.n_rows, forest.key, 1);
        std::vector<double> weights(d.rows.n_rows);
        for (std::size_t r = 0; r < weights.size(); ++r)
            weights[r] = d.real_weights[r] * draws.count[r];
        if (std::none_of(weights.begin(), weights.end(), [](double w) { return w > 0.0; }))
            continue;
        GrowRules tree_rules = rules;
        tree_rules.node_key = node_key(forest.key, 1);
        WorkingSet drawn = general_working_set(d, source, draws, weights);
        drawn.copy_values = copy_values;
        drawn.dense = dense;
        ASSERT_TRUE(same_tree(grow_forest_chunk(d, forest, 1, 1, &pool).trees[0],
                              grow_working_set(drawn, tree_rules, 0, nullptr)))
            << "round " << round;
    }
}

// Extremely randomized trees as forests grow them: two classes, rows of one weight, thresholds
// over a few drawn features or all of them, the rows' values copied from the root, below it or
// never, so that small nodes take their plain path or the general one.
TEST(GeneralPath, RandomThresholdsOverRowsOfOneWeightFollowTheDocumentedRules) {
    Random random(73);
    for (int round = 0; round < 400; ++round) {
        Case c = random.data(40, 9, true);
        std::fill(c.data.weights.begin(), c.data.weights.end(), c.scale);
        std::vector<std::int8_t> monotonic;
        GrowRules rules = random.rules(c, monotonic);
        rules.splitter = Splitter::random;
        rules.nan_side = NanSide::right;
        rules.monotonic = {};
        rules.max_features = static_cast<std::uint32_t>(random.below(c.matrix.n_cols + 1));
        const Tree expected = reference::grow_general(c.data, rules);
        const WeightedData d = c.weighted();
        const RowDraws every = draws_of_weights(std::vector<std::uint32_t>(d.rows.n_rows, 1));
        WorkingSet set = general_working_set(d, by_rows(d.rows), every, d.real_weights);
        set.copy_values = std::array<std::size_t, 3>{0, 48, std::size_t{1} << 16}[random.below(3)];
        ASSERT_TRUE(same_tree(grow_working_set(set, rules, 0, nullptr), expected))
            << "round " << round;
    }
}

// A node's gathered columns hold its rows' values and the extent a pass in row order finds:
// least and largest number (a bound of zero with the sign of the first zero met), how many
// numbers, and whether some threshold divides them, for any count of rows and features, read by
// rows, from the node's copy or laid out by feature.
TEST(GeneralPath, GatheredColumnsKeepTheExtentOfAPassInRowOrder) {
    Random random(79);
    auto bits = [](float x) { return std::bit_cast<std::uint32_t>(x); };
    for (int round = 0; round < 300; ++round) {
        Case c = random.data(30, 9, true);
        std::fill(c.data.weights.begin(), c.data.weights.end(), 1.0);
        const WeightedData d = c.weighted();
        const RowDraws every = draws_of_weights(std::vector<std::uint32_t>(d.rows.n_rows, 1));
        WorkingSet set = general_working_set(d, by_rows(d.rows), every, d.real_weights);
        const std::vector<float> by_feature = values_by_feature(d.rows, nullptr);
        const std::size_t way = random.below(3);
        set.copy_values = way == 1 ? std::size_t{1} << 16 : 0;
        if (way == 2) set.dense = by_features(by_feature, d.rows.n_rows);
        const NodeRange range{random.below(2), set.n_rows};
        std::vector<std::uint32_t> features(d.rows.n_cols);
        for (std::uint32_t f = 0; f < features.size(); ++f) features[f] = f;
        for (std::size_t k = features.size(); k > 1; --k)
            std::swap(features[k - 1], features[random.below(k)]);
        features.resize(1 + random.below(features.size()));
        LooseColumns columns;
        columns.clear(set, range);
        std::vector<std::uint8_t> answers(features.size());
        columns.gather(set, range, features, true, answers);
        std::size_t kept = 0;
        for (std::size_t k = 0; k < features.size(); ++k) {
            std::vector<float> values;
            float least = inf, largest = -inf;
            std::size_t numbers = 0;
            for (std::size_t i = range.begin; i < range.end; ++i) {
                const float v = d.rows.row(set.local(set.node_rows[i].row))[features[k]];
                values.push_back(v);
                numbers += v == v;
                least = v < least ? v : least;
                largest = v > largest ? v : largest;
            }
            const bool divides = numbers > 0 && (least < largest || numbers < values.size());
            ASSERT_EQ(answers[k] != 0, divides) << "round " << round;
            if (!divides) continue;
            const LooseColumn& got = columns.kept()[kept++];
            ASSERT_EQ(got.numbers, numbers) << "round " << round;
            ASSERT_EQ(bits(got.least), bits(least)) << "round " << round;
            ASSERT_EQ(bits(got.largest), bits(largest)) << "round " << round;
            for (std::size_t i = 0; i < values.size(); ++i)
                ASSERT_EQ(bits(got.values[i]), bits(values[i])) << "round " << round;
        }
    }
}

// A node's division by a gathered column: each side in its rows' order, the left side the rows
// below the threshold (and those of NaN when it goes left), as a stable partition gives, for
// any count of rows, whole blocks of vector lanes and a rest.
TEST(GeneralPath, DivisionByValuesIsAStablePartition) {
    Random random(83);
    const float cuts[] = {0.5f, -0.0f, 2.0f, inf, -inf, nan};
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = random.below(41);
        std::vector<float> values(n);
        std::vector<Entry> rows(n), right(n);
        for (std::size_t i = 0; i < n; ++i) {
            const float drawn[] = {static_cast<float>(random.below(4)) - 1.0f, nan, -0.0f};
            values[i] = drawn[random.below(3)];
            rows[i] = {values[i], static_cast<std::uint32_t>(1000 + i)};
        }
        const float threshold = cuts[random.below(std::size(cuts))];
        const bool nan_left = random.below(2) == 1;
        std::vector<Entry> expected = rows;
        const auto middle = std::stable_partition(
            expected.begin(), expected.end(), [&](const Entry& e) {
                return e.value < threshold || (nan_left && std::isnan(e.value));
            });
        const std::size_t left =
            divide_by_values(rows.data(), values.data(), n, threshold, nan_left, right.data());
        ASSERT_EQ(left, static_cast<std::size_t>(middle - expected.begin())) << "round " << round;
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_EQ(rows[i].row, expected[i].row) << "round " << round << " row " << i;
    }
}

// Many features of which nodes search a few: nodes sort their drawn features themselves, from
// the root or below a size, alone, on the pool and as a forest's tree, and still grow the
// documented rules' trees.
TEST(GeneralPath, NodesThatSortTheirOwnFeaturesFollowTheDocumentedRules) {
    Random random(67);
    WorkerPool pool(2);
    int sorted_own = 0;
    for (int round = 0; round < 150; ++round) {
        const Case c = random.data(400, 40, round % 3 == 0, 16);
        std::vector<std::int8_t> monotonic;
        GrowRules rules = random.rules(c, monotonic);
        rules.splitter = Splitter::best;
        rules.max_features = 1 + static_cast<std::uint32_t>(random.below(3));
        const std::size_t n_rows = c.matrix.n_rows, n_cols = c.matrix.n_cols;
        sorted_own += sorts_on_demand(n_cols, rules.max_features, n_rows / 4);
        const Tree expected = reference::grow_general(c.data, rules);
        ASSERT_TRUE(same_tree(grow_weighted(c.weighted(), rules), expected)) << "round " << round;
        const WeightedData d = c.weighted();
        const RowDraws every = draws_of_weights(std::vector<std::uint32_t>(n_rows, 1));
        const std::vector<float> by_feature = values_by_feature(d.rows, nullptr);
        WorkingSet set = general_working_set(d, sort_features(d.rows), every, d.real_weights, &pool);
        set.source = round % 2 ? by_features(by_feature, n_rows) : by_rows(d.rows);
        const GrowSettings sharing{std::size_t{8} * random.below(5)};
        ASSERT_TRUE(same_tree(grow_working_set(set, rules, 0, &pool, sharing), expected))
            << "round " << round;
        const ForestRules forest{rules, true, false, seed_key(round)};
        const RowDraws draws = bootstrap_draws(n_rows, forest.key, 2);
        std::vector<double> weights(n_rows);
        for (std::size_t r = 0; r < n_rows; ++r) weights[r] = d.real_weights[r] * draws.count[r];
        if (std::none_of(weights.begin(), weights.end(), [](double w) { return w > 0.0; }))
            continue;
        GrowRules tree_rules = rules;
        tree_rules.node_key = node_key(forest.key, 2);
        WorkingSet blocks = general_working_set(d, sort_features(d.rows), draws, weights, nullptr);
        ASSERT_TRUE(same_tree(grow_forest_chunk(d, forest, 2, 1, &pool).trees[0],
                              grow_working_set(blocks, tree_rules, 0, nullptr)))
            << "round " << round;
    }
    EXPECT_GT(sorted_own, 100);
}

// Nodes of up to 1,500 rows and two classes under Gini, whose sweeps score their candidates a
// block at a time, with long runs of equal values and of equal weights (ties), or weights by
// class, which the rows' codes settle: the documented rules' trees, a few levels deep.
TEST(GeneralPath, LargeTwoClassNodesFollowTheDocumentedRules) {
    Random random(79);
    for (int round = 0; round < 24; ++round) {
        Case c = random.data(1500, 3, true);
        if (round % 2 == 0) {
            for (std::size_t r = 0; r < c.labels.size(); ++r)
                c.data.weights[r] = (c.labels[r] == 0 ? 0.625 : 5.5) * c.scale;
            const WeightedData d = c.weighted();
            const RowDraws every = draws_of_weights(std::vector<std::uint32_t>(d.rows.n_rows, 1));
            const WorkingSet set =
                general_working_set(d, sort_features(d.rows), every, d.real_weights, nullptr);
            ASSERT_FALSE(set.general.by_code.empty());
        }
        std::vector<std::int8_t> monotonic;
        GrowRules rules = random.rules(c, monotonic);
        rules.impurity = Impurity::gini;
        rules.splitter = Splitter::best;
        rules.max_depth = 1 + static_cast<std::uint32_t>(random.below(3));
        const Tree expected = reference::grow_general(c.data, rules);
        ASSERT_TRUE(same_tree(grow_weighted(c.weighted(), rules), expected)) << "round " << round;
    }
}

// A block's Gini gains at every vector width against the general impurity's formulas one
// candidate at a time: the same scores to the bit (counts of up to 2^62 units, converted without
// a conversion instruction), the same best, and whether one candidate alone reaches it; ties are
// made on purpose by repeating a candidate.
TEST(GiniBlocks, EveryWidthScoresAsTheGeneralImpurity) {
    std::mt19937_64 rng(13);
    for (int round = 0; round < 600; ++round) {
        const std::size_t n = 1 + rng() % GiniBlock::size;
        const std::uint64_t units = (rng() >> (2 + rng() % 40)) | 3;
        const std::uint64_t ones = 1 + rng() % (units - 1);
        const std::uint64_t counts[2] = {units - ones, ones};
        const std::uint32_t classes[2] = {0, 1};
        const double impurity =
            output_impurity(Impurity::gini, classes, counts, static_cast<double>(units));
        const GiniTotals totals{static_cast<std::int64_t>(units), static_cast<std::int64_t>(ones),
                                impurity};
        GiniBlock block;
        for (std::size_t j = 0; j < GiniBlock::room; ++j) {
            const std::size_t from = j > 0 && rng() % 8 == 0 ? rng() % j : j;  // a repeat
            const std::uint64_t left_ones = rng() % (ones + 1);
            const std::uint64_t left = left_ones + rng() % (units - ones + 1);
            block.left_units[j] =
                from < j ? block.left_units[from] : static_cast<std::int64_t>(left);
            block.left_ones[j] =
                from < j ? block.left_ones[from] : static_cast<std::int64_t>(left_ones);
            const bool sides = block.left_units[j] > 0 &&
                               block.left_units[j] < static_cast<std::int64_t>(units);
            block.ends[j] = j < n && sides && rng() % 4 != 0 ? -1 : 0;
        }
        std::vector<double> expected(n, BlockTop::none);
        for (std::size_t j = 0; j < n; ++j) {
            if (block.ends[j] == 0) continue;
            const auto left_units = static_cast<std::uint64_t>(block.left_units[j]);
            const auto left_ones = static_cast<std::uint64_t>(block.left_ones[j]);
            const std::uint64_t left[2] = {left_units - left_ones, left_ones};
            const std::uint64_t right[2] = {counts[0] - left[0], counts[1] - left[1]};
            const double left_size = static_cast<double>(left_units);
            const double right_size = static_cast<double>(units - left_units);
            expected[j] = split_gain(
                impurity, output_impurity(Impurity::gini, classes, left, left_size), left_size,
                output_impurity(Impurity::gini, classes, right, right_size), right_size,
                static_cast<double>(units));
        }
        for (const bool wide : {false, true}) {
            SCOPED_TRACE("round " + std::to_string(round) + (wide ? ", widest" : ", narrowest"));
            GiniBlock scored = block;
            const BlockTop found = wide ? gini_scores(scored, n, totals)
                                       : gini_scores_narrow(scored, n, totals);
            block_testing::expect_block(scored.score, expected, found);
        }
    }
}

// scikit-learn's weakest-link loop as it is written: every inner node's alpha rescanned after
// each prune. Returns the path up to `alpha` and which nodes are then leaves and still in.
struct PlainPruning {
    PruningPath path;
    std::vector<bool> leaf, kept;
};

PlainPruning plain_pruning(const Tree& tree, double alpha) {
    const std::size_t n = tree.nodes.size();
    std::vector<std::uint32_t> parent(n, 0xFFFFFFFFu), leaves(n, 0);
    std::vector<double> r_node(n), r_branch(n, 0.0);
    PlainPruning out{{}, std::vector<bool>(n), std::vector<bool>(n, true)};
    for (std::size_t i = 0; i < n; ++i) {
        r_node[i] = tree.stats[i].weight * tree.stats[i].impurity / tree.stats[0].weight;
        out.leaf[i] = tree.nodes[i].is_leaf;
        if (!tree.nodes[i].is_leaf)
            parent[tree.nodes[i].left] = parent[tree.nodes[i].right] = static_cast<std::uint32_t>(i);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!out.leaf[i]) continue;
        r_branch[i] = r_node[i];
        for (std::uint32_t at = static_cast<std::uint32_t>(i); at != 0;) {
            at = parent[at];
            r_branch[at] += r_node[i];
            ++leaves[at];
        }
    }
    out.path = {{0.0}, {r_branch[0]}};
    while (!out.leaf[0]) {
        double weakest = std::numeric_limits<double>::max();
        std::size_t node = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (out.leaf[i] || !out.kept[i]) continue;
            const double a = (r_node[i] - r_branch[i]) / (leaves[i] - 1.0);
            if (a < weakest) weakest = a, node = i;
        }
        if (alpha < weakest) break;
        for (std::size_t j = node + 1; j < n; ++j)
            for (std::uint32_t at = parent[j]; at != 0xFFFFFFFFu; at = parent[at])
                if (at == node) out.kept[j] = false;
        out.leaf[node] = true;
        const std::uint32_t pruned_leaves = leaves[node] - 1;
        const double change = r_node[node] - r_branch[node];
        r_branch[node] = r_node[node];
        for (std::uint32_t at = parent[node]; at != 0xFFFFFFFFu; at = parent[at]) {
            leaves[at] -= pruned_leaves;
            r_branch[at] += change;
        }
        out.path.alphas.push_back(weakest);
        out.path.impurities.push_back(r_branch[0]);
    }
    return out;
}

TEST(Pruning, FollowsTheWeakestLinkLoopToTheLastBitAndSumsPrunedLeaves) {
    Random random(71);
    for (int round = 0; round < 300; ++round) {
        const Case c = random.data(60, 3, false);
        std::vector<std::int8_t> monotonic;
        GrowRules rules = random.rules(c, monotonic);
        rules.max_depth = 1000;
        const Tree tree = grow_weighted(c.weighted(), rules);
        const PruningPath path = pruning_path(tree);
        const PlainPruning whole = plain_pruning(tree, std::numeric_limits<double>::max());
        ASSERT_EQ(path.alphas, whole.path.alphas) << round;
        ASSERT_EQ(path.impurities, whole.path.impurities) << round;
        const double alpha = path.alphas[random.below(path.alphas.size())];
        const PlainPruning plain = plain_pruning(tree, alpha);
        const Tree cut = pruned(tree, alpha);
        std::size_t at = 0;
        for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
            if (!plain.kept[i]) continue;
            ASSERT_LT(at, cut.nodes.size()) << round;
            ASSERT_EQ(cut.nodes[at].is_leaf, plain.leaf[i]) << round << " node " << i;
            ASSERT_EQ(cut.nodes[at].prediction, tree.nodes[i].prediction) << round;
            ASSERT_EQ(cut.stats[at].weight, tree.stats[i].weight) << round;
            if (cut.nodes[at].is_leaf) {
                double total = 0.0;
                for (const LeafValue& v : leaf_values(cut, at)) total += v.value;
                ASSERT_NEAR(total, tree.stats[i].weight * c.data.classes.size(),
                            1e-9 * tree.stats[i].weight) << round;
            }
            ++at;
        }
        ASSERT_EQ(at, cut.nodes.size()) << round;
    }
}

}  // namespace
}  // namespace lindorf
