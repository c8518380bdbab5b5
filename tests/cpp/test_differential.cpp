// The fast learner against the plain one, on thousands of small random data sets built to hit
// the tie rules: duplicate values, NaN, both zeros, infinities, several classes of arbitrary
// label values and unequal sizes. Then what such sets miss: routing rows by a split, a search
// whose only winner leaves the left side empty, and sorting entries at sizes that take the radix
// passes.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "criteria/criteria.hpp"
#include "forest/bootstrap.hpp"
#include "forest/growth.hpp"
#include "reference.hpp"
#include "splitting/partition.hpp"
#include "splitting/sort_columns.hpp"
#include "splitting/split_search.hpp"
#include "tree/grow.hpp"
#include "tree/grow_engine.hpp"
#include "tree/node_tally.hpp"
#include "tree_testing.hpp"

namespace lindorf {
namespace {

using testing_support::bits;
using testing_support::copy_sample;
using testing_support::Data;
using testing_support::make_data;
using testing_support::same_tree;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

class RandomData {
  public:
    explicit RandomData(std::uint64_t seed) : rng_(seed) {}

    std::size_t below(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
    }

    // Each feature is of one kind: few distinct values with both zeros, NaN and infinities
    // among them; small integers; or continuous values.
    Data data(std::size_t max_rows, std::size_t max_cols) {
        static const float specials[] = {-0.0f, 0.0f, 1.0f, -1.0f, 0.5f, 2.0f, nan, inf, -inf};
        std::size_t n_rows = 1 + below(max_rows);
        std::size_t n_cols = below(20) == 0 ? 0 : 1 + below(max_cols);
        Data data;
        data.matrix = {n_rows, n_cols, std::vector<float>(n_rows * n_cols)};
        for (std::size_t f = 0; f < n_cols; ++f) {
            std::size_t kind = below(3);
            for (std::size_t r = 0; r < n_rows; ++r)
                data.matrix.values[r * n_cols + f] =
                    kind == 0   ? specials[below(std::size(specials))]
                    : kind == 1 ? static_cast<float>(static_cast<int>(below(5)) - 2)
                                : std::uniform_real_distribution<float>(-3.0f, 3.0f)(rng_);
        }
        data.labels = labels(n_rows);
        return data;
    }

    // 2 to 5 classes of unevenly weighted, arbitrary label values.
    Labels labels(std::size_t n) {
        static const Label pool[] = {0, 1, 2, 3, 7, 42, 1000, 65535, 4294967295u, 123456789};
        std::vector<Label> classes;
        std::vector<double> weights;
        for (std::size_t c = 0, n_classes = 2 + below(4); c < n_classes; ++c) {
            classes.push_back(pool[below(std::size(pool))]);
            weights.push_back(1.0 + static_cast<double>(below(6)));
        }
        std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
        Labels out(n);
        for (Label& label : out) label = classes[pick(rng_)];
        return out;
    }

    // Now and then every row once, in order: the sample of a whole data set.
    std::vector<std::uint32_t> sample(std::size_t n_rows) {
        std::vector<std::uint32_t> drawn(below(4) == 0 ? n_rows : 1 + below(2 * n_rows));
        for (std::size_t k = 0; k < drawn.size(); ++k)
            drawn[k] = static_cast<std::uint32_t>(drawn.size() == n_rows ? k : below(n_rows));
        return drawn;
    }

    // Where the pool takes over: from every node sharing its features to whole subtrees of
    // small nodes grown side by side.
    GrowSettings sharing() { return GrowSettings{std::size_t{24} * below(5)}; }

    std::uint32_t max_depth() {
        return std::array<std::uint32_t, 7>{0, 1, 2, 3, 4, 6, 1000}[below(7)];
    }

  private:
    std::mt19937_64 rng_;
};

// Entropy, gain and the search under every rule (Gini, least side weights, feature subsets; the
// first variant is the two-argument form) against plain scoring, on plain lists and on samples,
// whose draw counts weigh as repeated rows do. Label lists longer or shorter than the rows pair
// up as far as they go, for the criteria and the two-argument form.
TEST(Differential, CriteriaAndSearchRulesMatchPlainScoring) {
    struct Variant {
        Impurity impurity;
        std::uint32_t min_leaf;
        std::vector<std::uint32_t> features;
        std::uint32_t min_rows = 0;  // distinct rows on each side, whatever their weight
    };
    const Variant variants[] = {
        {Impurity::entropy, 0, {}},     {Impurity::entropy, 1, {}},
        {Impurity::gini, 0, {}},        {Impurity::gini, 1, {}},
        {Impurity::entropy, 3, {}},     {Impurity::gini, 2, {1, 3}},
        {Impurity::entropy, 1, {0, 2}}, {Impurity::gini, 5, {3}},
        {Impurity::entropy, 0, {2, 3}}, {Impurity::entropy, 0, {}, 3},
        {Impurity::gini, 1, {}, 2},     {Impurity::entropy, 2, {1}, 4},
    };
    RandomData random(41);
    WorkerPool pool(2);
    for (int round = 0; round < 3000; ++round) {
        Data data = random.data(24, 4);
        if (random.below(6) == 0) data.labels = random.labels(random.below(data.matrix.n_rows + 4));
        // The one winner random pairings hardly ever make: every row NaN, so every threshold
        // leaves the left side empty, yet two surplus labels make the pairs' right side purer
        // than the whole list and the search takes NaN, which gains 1.0.
        if (round == 0) data = make_data({{nan}, {nan}}, {0, 0, 1, 1});
        const reference::Rows rows = reference::rows_of(data.view());
        ASSERT_EQ(bits(entropy(data.labels)), bits(reference::entropy(data.labels)));
        // Samples need a label for every row, and a tally a feature to read the rows from.
        const std::vector<std::uint32_t> sample = random.sample(data.matrix.n_rows);
        const bool sampled = data.matrix.n_cols > 0 && data.labels.size() == rows.size();
        const Data copy = sampled ? copy_sample(data.view(), data.labels, sample) : Data{};
        const WorkingSet set =
            sampled ? working_set_of_sample(data.view(), data.labels, sort_features(data.view()),
                                            sample, nullptr)
                    : WorkingSet{};
        NodeTally tally(set.class_labels.size());
        if (sampled) tally_node(set, set.column(0, 0, set.n_rows), tally);
        ScratchSlots scratch(2);
        if (data.matrix.n_cols > 0) {
            std::vector<float> values;
            for (const auto& row : rows) values.push_back(row[0]);
            const float threshold = values[random.below(values.size())];
            ASSERT_EQ(bits(information_gain_criterion(values, data.labels, threshold)),
                      bits(reference::information_gain(values, data.labels, threshold)))
                << "round " << round;
        }
        for (const Variant& variant : variants) {
            reference::Rules plain{variant.impurity == Impurity::gini, variant.min_leaf, {},
                                   variant.min_rows, {}};
            for (std::uint32_t f : variant.features)
                if (f < data.matrix.n_cols) plain.features.push_back(f);
            if (plain.features.empty() && !variant.features.empty()) continue;
            // Rows count only where every row has a label (and so a weight).
            if (variant.min_rows > 0 && data.labels.size() != rows.size()) continue;
            SplitRules rules{variant.impurity, variant.min_leaf, plain.features, variant.min_rows};
            reference::Split expected = reference::find_best_split(rows, data.labels, plain);
            SplitChoice actual = &variant == variants
                                     ? find_best_split(data.view(), data.labels)
                                     : find_best_split(data.view(), data.labels, rules);
            ASSERT_EQ(actual.feature, expected.feature) << "round " << round;
            ASSERT_EQ(bits(actual.threshold), bits(expected.threshold)) << "round " << round;
            if (!sampled) continue;
            plain.row_of = sample;  // a sample's drawn rows, each a row of the set however often
            expected =
                reference::find_best_split(reference::rows_of(copy.view()), copy.labels, plain);
            actual = search_node(set, {0, set.n_rows}, counts_of(tally), rules, scratch, &pool);
            ASSERT_EQ(actual.feature, expected.feature) << "sample " << round;
            ASSERT_EQ(bits(actual.threshold), bits(expected.threshold)) << "sample " << round;
        }
    }
}

TEST(Differential, GrownTreesMatchPlainGrowthNodeForNode) {
    RandomData random(37);
    WorkerPool pool(2);
    for (int round = 0; round < 4000; ++round) {
        Data data = random.data(30, 4);
        std::uint32_t max_depth = random.max_depth();
        Tree expected = reference::grow(reference::rows_of(data.view()), data.labels, max_depth);
        ASSERT_TRUE(same_tree(grow_tree_(data.view(), data.labels, max_depth), expected))
            << "round " << round;
        // A sample grows the tree of its copy, with or without the pool and wherever the pool
        // takes over (large nodes split on it, small ones grown as parallel subtrees).
        std::vector<std::uint32_t> sample = random.sample(data.matrix.n_rows);
        Data copy = copy_sample(data.view(), data.labels, sample);
        expected = reference::grow(reference::rows_of(copy.view()), copy.labels, max_depth);
        FeatureOrder order = sort_features(data.view());
        Tree alone = grow_tree_on_sample(data.view(), data.labels, order, sample, max_depth);
        ASSERT_TRUE(same_tree(alone, expected)) << "round " << round;
        WorkingSet set = working_set_of_sample(data.view(), data.labels, order, sample, &pool);
        ASSERT_TRUE(
            same_tree(grow_working_set(set, GrowRules{.max_depth = max_depth}, 0, &pool,
                                       random.sharing()),
                      expected))
            << "round " << round;
    }
}

// Samples are recorded as the forest draws them, each into its tree's slot; earlier trees are
// held back so that later ones finish first, and the forest must still keep index order.
TEST(Differential, ForestTreesAreThePlainGrowthOfTheirBootstrapSamplesInIndexOrder) {
    RandomData random(43);
    WorkerPool pool(3);
    for (int round = 0; round < 40; ++round) {
        const Data data = random.data(60, 4);
        const std::size_t n_rows = data.matrix.n_rows;
        const std::uint32_t max_depth = random.max_depth();
        const auto n_trees = static_cast<std::uint32_t>(2 + random.below(5));
        std::vector<std::vector<std::uint32_t>> samples(n_trees);
        auto draw = [&](std::size_t t) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2 * (n_trees - t)));
            return samples[t] = bootstrap_sample(n_rows);
        };
        const Forest forest =
            grow_forest_from(data.view(), data.labels, max_depth, n_trees, &pool, draw);
        ASSERT_EQ(forest.trees.size(), n_trees);
        for (std::size_t t = 0; t < n_trees; ++t) {
            EXPECT_EQ(samples[t].size(), n_rows);
            const Data copy = copy_sample(data.view(), data.labels, samples[t]);
            const Tree expected =
                reference::grow(reference::rows_of(copy.view()), copy.labels, max_depth);
            EXPECT_TRUE(same_tree(forest.trees[t], expected)) << "round " << round << " tree " << t;
        }
    }
}

TEST(Split, RoutesStrictlyBelowTheThresholdLeft) {
    struct Case {
        const char* name;
        std::vector<std::vector<float>> rows;
        std::uint32_t feature;
        float threshold;
        std::vector<std::uint32_t> left, right;
    };
    const Case cases[] = {
        {"example", {{1, 5}, {2, 5}, {3, 6}, {4, 6}}, 0, 3.0f, {0, 1}, {2, 3}},
        {"second feature", {{1, 5}, {2, 6}, {3, 5}, {4, 6}}, 1, 6.0f, {0, 2}, {1, 3}},
        {"equal goes right", {{2}, {1}, {2}}, 0, 2.0f, {1}, {0, 2}},
        {"NaN value", {{nan}, {1}, {5}}, 0, 3.0f, {1}, {0, 2}},
        {"NaN threshold", {{-inf}, {1}, {5}}, 0, nan, {}, {0, 1, 2}},
        {"minus zero", {{-0.0f}, {-1}, {0.0f}}, 0, 0.0f, {1}, {0, 2}},
        {"minus zero threshold", {{0.0f}, {-1}, {-0.0f}}, 0, -0.0f, {1}, {0, 2}},
    };
    for (const Case& c : cases) {
        auto data = make_data(c.rows, Labels(c.rows.size() + 1, 0));  // surplus label ignored
        Partition parts = split(data.view(), data.labels, c.feature, c.threshold);
        EXPECT_EQ(parts.left, c.left) << c.name;
        EXPECT_EQ(parts.right, c.right) << c.name;
    }
}

TEST(Split, ChecksOnlyWhatItReads) {
    auto empty = make_data({}, {}, 1);  // without rows nothing is read, not even the feature
    Partition none = split(empty.view(), empty.labels, 5, 1.0f);
    EXPECT_TRUE(none.left.empty() && none.right.empty());
    auto data = make_data({{1}, {2}}, {0, 1});
    EXPECT_THROW(split(data.view(), data.labels, 1, 2.0f), InternalError);
    auto short_labels = make_data({{1}, {2}, {3}}, {0, 1});
    EXPECT_THROW(split(short_labels.view(), short_labels.labels, 0, 2.0f), InternalError);
    // The search, unlike the split, cannot answer for no rows.
    EXPECT_THROW(find_best_split(empty.view(), empty.labels), InternalError);
}

TEST(SortEntries, OrdersLikeLessThanWithNaNLastAndStableTies) {
    // Large enough for the radix passes, with every kind of value and many ties.
    const float kinds[] = {nan, inf, -inf, 0.0f, -0.0f, 1.5f, -1.5f, 3e-39f, -3e-39f, 2.0f};
    std::vector<Entry> sorted;
    for (std::uint32_t r = 0; r < 1000; ++r) sorted.push_back({kinds[(r * 7) % 10], r});
    sort_entries(sorted);
    ASSERT_EQ(sorted.size(), 1000u);
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        const Entry& a = sorted[i - 1];
        const Entry& b = sorted[i];
        const bool a_nan = std::isnan(a.value), b_nan = std::isnan(b.value);
        ASSERT_FALSE(a_nan && !b_nan) << "NaN before a number at " << i;
        if ((a_nan && b_nan) || a.value == b.value) {
            ASSERT_LT(a.row, b.row) << "equal values out of row order at " << i;
        } else if (!b_nan) {
            ASSERT_LT(a.value, b.value) << "values out of order at " << i;
        }
        ASSERT_EQ(bits(b.value), bits(kinds[(b.row * 7) % 10])) << "entry lost its value";
    }
    // Columns sorted in turn with one buffer, left longer than the next column and holding the
    // entries of the last, come out as sorted alone.
    std::vector<Entry> buffer;
    for (std::size_t size : {1000u, 700u, 300u}) {
        std::vector<Entry> column;
        for (std::uint32_t r = 0; r < size; ++r) column.push_back({kinds[(r * 3) % 10], r});
        std::vector<Entry> alone = column;
        sort_entries(alone);
        sort_entries(column, buffer);
        ASSERT_EQ(std::memcmp(column.data(), alone.data(), size * sizeof(Entry)), 0) << size;
    }
}

}  // namespace
}  // namespace lindorf
