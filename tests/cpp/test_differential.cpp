// The fast learner against the plain one, on thousands of small random data sets built to hit
// the tie rules: duplicate values, NaN, both zeros, infinities, several classes of arbitrary
// label values and unequal sizes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "criteria/criteria.hpp"
#include "reference.hpp"
#include "splitting/split_search.hpp"
#include "tree/grow.hpp"
#include "tree/grow_engine.hpp"
#include "tree_testing.hpp"

namespace lindorf {
namespace {

using testing_support::bits;
using testing_support::Data;
using testing_support::same_tree;

class RandomData {
  public:
    explicit RandomData(std::uint64_t seed) : rng_(seed) {}

    std::size_t below(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
    }

    Data data(std::size_t max_rows, std::size_t max_cols) {
        std::size_t n_rows = 1 + below(max_rows);
        std::size_t n_cols = below(20) == 0 ? 0 : 1 + below(max_cols);
        Data data;
        data.matrix.n_rows = n_rows;
        data.matrix.n_cols = n_cols;
        data.matrix.values.resize(n_rows * n_cols);
        for (std::size_t f = 0; f < n_cols; ++f) {
            std::size_t kind = below(3);
            for (std::size_t r = 0; r < n_rows; ++r)
                data.matrix.values[r * n_cols + f] = value(kind);
        }
        data.labels = labels(n_rows);
        return data;
    }

    Labels labels(std::size_t n) {
        static const Label pool[] = {0, 1, 2, 3, 7, 42, 1000, 65535, 4294967295u, 123456789};
        std::size_t n_classes = 2 + below(4);
        std::vector<Label> classes;
        std::vector<double> weights;
        for (std::size_t c = 0; c < n_classes; ++c) {
            classes.push_back(pool[below(std::size(pool))]);
            weights.push_back(1.0 + static_cast<double>(below(6)));
        }
        std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
        Labels out(n);
        for (Label& label : out) label = classes[pick(rng_)];
        return out;
    }

    std::vector<std::uint32_t> sample(std::size_t n_rows) {
        std::size_t size = 1 + below(2 * n_rows);
        std::vector<std::uint32_t> drawn(size);
        for (auto& row : drawn) row = static_cast<std::uint32_t>(below(n_rows));
        return drawn;
    }

    // Where the pool takes over: from every node sharing its features to whole subtrees of
    // small nodes grown side by side.
    GrowSettings sharing() {
        static const std::size_t thresholds[] = {0, 8, 24, 48, 96};
        GrowSettings settings;
        settings.parallel_min_entries = thresholds[below(std::size(thresholds))];
        return settings;
    }

    std::uint32_t max_depth() {
        static const std::uint32_t depths[] = {0, 1, 2, 3, 4, 6, 1000};
        return depths[below(std::size(depths))];
    }

  private:
    // kind 0: few distinct values, zeros of both signs, NaN and infinities among them;
    // kind 1: small integers; kind 2: continuous values.
    float value(std::size_t kind) {
        static const float specials[] = {-0.0f,
                                         0.0f,
                                         1.0f,
                                         -1.0f,
                                         0.5f,
                                         2.0f,
                                         std::numeric_limits<float>::quiet_NaN(),
                                         std::numeric_limits<float>::infinity(),
                                         -std::numeric_limits<float>::infinity()};
        if (kind == 0) return specials[below(std::size(specials))];
        if (kind == 1) return static_cast<float>(static_cast<int>(below(5)) - 2);
        return std::uniform_real_distribution<float>(-3.0f, 3.0f)(rng_);
    }

    std::mt19937_64 rng_;
};

Data materialise(const Data& data, const std::vector<std::uint32_t>& sample) {
    Data copy;
    copy.matrix.n_rows = sample.size();
    copy.matrix.n_cols = data.matrix.n_cols;
    for (std::uint32_t row : sample) {
        auto values = data.view().row(row);
        copy.matrix.values.insert(copy.matrix.values.end(), values.begin(), values.end());
        copy.labels.push_back(data.labels[row]);
    }
    return copy;
}

TEST(Differential, CriterionMatchesPlainScoringBitForBit) {
    RandomData random(11);
    for (int round = 0; round < 3000; ++round) {
        Data data = random.data(12, 1);
        std::vector<float> values(data.matrix.values.begin(), data.matrix.values.end());
        if (values.empty()) values.assign(data.labels.size(), 1.0f);
        // Unequal lengths now and then: the pairs beyond the shorter list are ignored.
        if (random.below(5) == 0) values.resize(random.below(values.size() + 3), 0.5f);
        float threshold = values.empty() ? 0.0f : values[random.below(values.size())];
        float expected = reference::information_gain(values, data.labels, threshold);
        float actual = information_gain_criterion(values, data.labels, threshold);
        ASSERT_EQ(bits(actual), bits(expected)) << "round " << round;
        ASSERT_EQ(bits(entropy(data.labels)), bits(reference::entropy(data.labels)));
    }
}

TEST(Differential, SplitSearchMatchesPlainScan) {
    RandomData random(23);
    for (int round = 0; round < 3000; ++round) {
        Data data = random.data(24, 4);
        // Label lists longer or shorter than the rows pair up as far as they go.
        if (random.below(6) == 0) data.labels = random.labels(random.below(data.matrix.n_rows + 4));
        reference::Split expected =
            reference::find_best_split(reference::rows_of(data.view()), data.labels);
        SplitChoice actual = find_best_split(data.view(), data.labels);
        ASSERT_EQ(actual.feature, expected.feature) << "round " << round;
        ASSERT_EQ(bits(actual.threshold), bits(expected.threshold)) << "round " << round;
    }
}

TEST(Differential, GrownTreesMatchPlainGrowthNodeForNode) {
    RandomData random(37);
    WorkerPool pool(2);
    for (int round = 0; round < 3000; ++round) {
        Data data = random.data(30, 4);
        std::uint32_t max_depth = random.max_depth();
        Tree expected = reference::grow(reference::rows_of(data.view()), data.labels, max_depth);
        ASSERT_TRUE(same_tree(grow_tree_(data.view(), data.labels, max_depth), expected))
            << "round " << round;
        // Large nodes split on the pool, small ones grown as parallel subtrees: same tree.
        FeatureOrder order = sort_features(data.view());
        std::vector<std::uint32_t> all(data.matrix.n_rows);
        for (std::uint32_t r = 0; r < all.size(); ++r) all[r] = r;
        WorkingSet set = working_set_of_sample(data.view(), data.labels, order, all, &pool);
        ASSERT_TRUE(
            same_tree(grow_working_set(set, max_depth, 0, &pool, random.sharing()), expected))
            << "round " << round;
    }
}

TEST(Differential, SampleTreesMatchTreesOfTheCopiedSample) {
    RandomData random(41);
    WorkerPool pool(2);
    for (int round = 0; round < 3000; ++round) {
        Data data = random.data(20, 3);
        std::vector<std::uint32_t> sample = random.sample(data.matrix.n_rows);
        std::uint32_t max_depth = random.max_depth();
        Data copy = materialise(data, sample);
        Tree expected = reference::grow(reference::rows_of(copy.view()), copy.labels, max_depth);
        FeatureOrder order = sort_features(data.view());
        Tree actual = grow_tree_on_sample(data.view(), data.labels, order, sample, max_depth);
        ASSERT_TRUE(same_tree(actual, expected)) << "round " << round;
        WorkingSet set = working_set_of_sample(data.view(), data.labels, order, sample, &pool);
        ASSERT_TRUE(
            same_tree(grow_working_set(set, max_depth, 0, &pool, random.sharing()), expected))
            << "round " << round;
    }
}

TEST(Differential, SamplesTooLargeToPackMatchTheirCopies) {
    // 8192 drawn rows, 4 classes and one row drawn 2^17 times need 13 + 2 + 18 bits: more than
    // an entry carries, so this tree reads classes and weights from its table. The copy has no
    // weights and packs.
    RandomData random(53);
    Data data;
    data.matrix.n_rows = 8192;
    data.matrix.n_cols = 2;
    for (std::size_t i = 0; i < 2 * 8192; ++i)
        data.matrix.values.push_back(static_cast<float>(random.below(50)) - 10.0f);
    for (std::size_t r = 0; r < 8192; ++r)
        data.labels.push_back(static_cast<Label>(random.below(4)));
    std::vector<std::uint32_t> sample(8192);
    for (std::uint32_t r = 0; r < 8192; ++r) sample[r] = r;
    sample.insert(sample.begin() + 4000, 1u << 17, 77);
    FeatureOrder order = sort_features(data.view());
    WorkingSet set = working_set_of_sample(data.view(), data.labels, order, sample, nullptr);
    ASSERT_FALSE(set.coding.packed);
    Data copy = materialise(data, sample);
    Tree expected = grow_tree_(copy.view(), copy.labels, 6);
    EXPECT_GT(expected.nodes.size(), 20u);
    EXPECT_TRUE(same_tree(grow_working_set(set, 6, 0, nullptr), expected));
}

}  // namespace
}  // namespace lindorf
