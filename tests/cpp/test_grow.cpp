#include <gtest/gtest.h>
#include <pthread.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/error.hpp"
#include "tree/grow.hpp"
#include "tree_testing.hpp"

namespace lindorf {
namespace {

using testing_support::bits;
using testing_support::Data;
using testing_support::make_data;
using testing_support::same_tree;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

Tree leaf_tree(Label label) {
    Tree tree;
    tree.nodes.push_back(Node{true, 0, 0.0f, label, 0, 0});
    return tree;
}

// A root split with two leaf children.
Tree stump(std::uint32_t feature, float threshold, Label left, Label right) {
    Tree tree;
    tree.nodes.push_back(Node{false, feature, threshold, 0, 1, 2});
    tree.nodes.push_back(Node{true, 0, 0.0f, left, 0, 0});
    tree.nodes.push_back(Node{true, 0, 0.0f, right, 0, 0});
    return tree;
}

std::vector<std::vector<float>> column(std::vector<float> values) {
    std::vector<std::vector<float>> rows;
    for (float v : values) rows.push_back({v});
    return rows;
}

struct GrowCase {
    const char* name;
    std::vector<std::vector<float>> rows;
    Labels labels;
    std::uint32_t max_depth;
    Tree expected;
};

TEST(GrowTree, LeavesAndSplitsOfSmallExamples) {
    const GrowCase cases[] = {
        // At the depth limit the root is a leaf with the most frequent label; equally frequent
        // labels go to the one that occurs last.
        {"depth limit 0", column({1, 2, 3, 4}), {5, 3, 3, 5}, 0, leaf_tree(5)},
        {"tie, latest last occurrence", column({1, 2, 3, 4, 5}), {3, 5, 5, 3, 9}, 0, leaf_tree(3)},
        {"fewer than three rows", column({1, 2}), {1, 0}, 5, leaf_tree(0)},
        {"one label", column({1, 2, 3, 4}), {7, 7, 7, 7}, 5, leaf_tree(7)},
        // Left [0] is pure; the right [1, 0] is cut by the depth limit, and 0 occurs last.
        {"depth limit 1", column({0, 1, 2}), {0, 1, 0}, 1, stump(0, 1.0f, 0, 0)},
        {"no features", {{}, {}, {}, {}}, {2, 1, 2, 1}, 3, leaf_tree(1)},
        // No value scores above 0 and the fallback (feature 0 below 0.0) would send every row
        // one way: the node stays a leaf instead of growing a child from nothing.
        {"fallback all right", column({1, 1, 2, 2}), {0, 1, 0, 1}, 1, leaf_tree(1)},
        {"fallback all left", column({-1, -1, -2, -2}), {0, 1, 1, 0}, 4, leaf_tree(0)},
        // The fallback still splits when values lie on both sides of 0.0: each side holds
        // labels [0, 1] and becomes a two-row leaf with the later label.
        {"fallback that divides", column({-1, 1, -1, 1}), {0, 0, 1, 1}, 3, stump(0, 0.0f, 1, 1)},
        // NaN goes right: 2 isolates the first row; the right side [1, 0, 1] has nothing
        // better than the fallback, which would put it all right, so it is a leaf.
        {"NaN rows", column({1, nan, 2, nan}), {0, 1, 0, 1}, 5, stump(0, 2.0f, 0, 1)},
        {"example of two features",
         {{1, 5}, {2, 5}, {3, 6}, {4, 6}},
         {0, 0, 1, 1},
         3,
         stump(0, 3.0f, 0, 1)},
    };
    for (const GrowCase& c : cases) {
        Data data = make_data(c.rows, c.labels, 0);
        EXPECT_TRUE(same_tree(grow_tree_(data.view(), data.labels, c.max_depth), c.expected))
            << c.name;
    }
}

TEST(GrowTree, ThresholdKeepsTheSignOfTheEarliestZero) {
    for (float first_zero : {0.0f, -0.0f}) {
        Data data = make_data(column({first_zero, -1, -first_zero, 1}), {1, 0, 1, 1});
        Tree tree = grow_tree_(data.view(), data.labels, 3);
        ASSERT_TRUE(same_tree(tree, stump(0, first_zero, 0, 1)));
        EXPECT_EQ(bits(tree.nodes[0].threshold), bits(first_zero));
        // Both zeros are equal to either threshold and go right, in training and prediction.
        Data probe = make_data(column({-0.0f, 0.0f, -0.5f}), {});
        EXPECT_EQ(predict(probe.view(), tree), (Labels{1, 1, 0}));
    }
}

TEST(GrowTree, DepthIsCountedFromTheGivenStart) {
    // Starting at depth 2 with a limit of 3 leaves room for one level.
    Data data = make_data(column({1, 2, 3, 4, 5, 6}), {0, 1, 0, 1, 0, 1});
    Tree tree = grow_tree_(data.view(), data.labels, 3, 2);
    EXPECT_EQ(depth(tree), 1u);
    // A start beyond the limit never meets it: growth runs until nodes are pure or small. Each
    // split of alternating labels cuts one row off an end (the gain of a pure single row beats
    // every other cut), 6 rows -> 5 -> 4 -> 3 -> 2, so four levels.
    Tree unlimited = grow_tree_(data.view(), data.labels, 1, 2);
    EXPECT_EQ(depth(unlimited), 4u);
}

void expect_failure(const std::function<void()>& call, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "expected an internal failure: " << message;
    } catch (const InternalError& error) {
        EXPECT_EQ(std::string(error.what()), message);
    }
}

TEST(GrowTree, RefusesTrainingSetsItCannotUse) {
    Data empty = make_data({}, {}, 3);
    for (std::uint32_t max_depth : {0u, 4u})
        expect_failure([&] { grow_tree_(empty.view(), empty.labels, max_depth); },
                       "cannot grow a tree from an empty training set");
    Data mismatched = make_data(column({1, 2, 3}), {0, 1});
    EXPECT_THROW(grow_tree_(mismatched.view(), mismatched.labels, 3), InternalError);
    Data labels_only = make_data({}, {0, 1}, 1);
    EXPECT_THROW(grow_tree_(labels_only.view(), labels_only.labels, 3), InternalError);
}

TEST(SortFeatures, OrdersEachFeatureWithNaNLast) {
    Data data = make_data({{3, nan}, {1, 0.0f}, {2, -0.0f}, {1, -2}}, {0, 0, 0, 0});
    FeatureOrder order = sort_features(data.view());
    ASSERT_EQ(order.n_rows, 4u);
    ASSERT_EQ(order.n_cols, 2u);
    // Equal values keep their row order; -0.0 and 0.0 are equal.
    EXPECT_EQ(std::vector<std::uint32_t>(order.feature(0).begin(), order.feature(0).end()),
              (std::vector<std::uint32_t>{1, 3, 2, 0}));
    EXPECT_EQ(std::vector<std::uint32_t>(order.feature(1).begin(), order.feature(1).end()),
              (std::vector<std::uint32_t>{3, 1, 2, 0}));
}

TEST(GrowOnSample, DrawOrderDecidesTies) {
    // Rows 1, 4, 3, 2 with labels 0, 1, 0, 1: thresholds 2 and 4 score alike, and the value of
    // whichever row comes first in the training list wins.
    Data data = make_data(column({1, 4, 3, 2}), {0, 1, 0, 1});
    FeatureOrder order = sort_features(data.view());
    std::vector<std::uint32_t> as_stored{0, 1, 2, 3};
    std::vector<std::uint32_t> two_first{0, 3, 2, 1};
    EXPECT_EQ(grow_tree_on_sample(data.view(), data.labels, order, as_stored, 1).nodes[0].threshold,
              4.0f);
    EXPECT_EQ(grow_tree_on_sample(data.view(), data.labels, order, two_first, 1).nodes[0].threshold,
              2.0f);
    // Majority ties go to the label drawn last: [0, 1, 1, 0] gives 0, [1, 0, 0, 1] gives 1.
    std::vector<std::uint32_t> zero_last{0, 1, 1, 0};
    std::vector<std::uint32_t> one_last{1, 0, 0, 1};
    EXPECT_TRUE(same_tree(grow_tree_on_sample(data.view(), data.labels, order, zero_last, 0),
                          leaf_tree(0)));
    EXPECT_TRUE(
        same_tree(grow_tree_on_sample(data.view(), data.labels, order, one_last, 0), leaf_tree(1)));
    // Drawn twice, row 1 outweighs row 0 and row 3 together.
    std::vector<std::uint32_t> repeated{1, 0, 1, 3};
    EXPECT_TRUE(
        same_tree(grow_tree_on_sample(data.view(), data.labels, order, repeated, 0), leaf_tree(1)));
}

TEST(GrowOnSample, RefusesSamplesItCannotUse) {
    Data data = make_data(column({1, 2, 3}), {0, 1, 0});
    FeatureOrder order = sort_features(data.view());
    expect_failure([&] { grow_tree_on_sample(data.view(), data.labels, order, {}, 2); },
                   "cannot grow a tree from an empty training set");
    std::vector<std::uint32_t> beyond{0, 3};
    EXPECT_THROW(grow_tree_on_sample(data.view(), data.labels, order, beyond, 2), InternalError);
    Data other = make_data(column({1, 2}), {0, 1});
    std::vector<std::uint32_t> sample{0, 1};
    EXPECT_THROW(grow_tree_on_sample(other.view(), other.labels, order, sample, 2), InternalError);
}

Data noisy_data(std::size_t n_rows, std::size_t n_cols, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int> value(0, 60);
    std::uniform_int_distribution<int> noise(0, 9);
    Data data;
    data.matrix.n_rows = n_rows;
    data.matrix.n_cols = n_cols;
    for (std::size_t r = 0; r < n_rows; ++r) {
        int sum = 0;
        for (std::size_t f = 0; f < n_cols; ++f) {
            int v = value(rng);
            sum += f < 3 ? v : 0;
            data.matrix.values.push_back(static_cast<float>(v) / 4.0f);
        }
        data.labels.push_back(static_cast<Label>((sum / 30 + (noise(rng) == 0)) % 3) * 10);
    }
    return data;
}

TEST(GrowTree, ThreadsDoNotChangeTheTree) {
    // Large enough that the upper nodes are searched and partitioned on the pool.
    Data data = noisy_data(30000, 6, 5);
    WorkerPool pool(2);
    Tree alone = grow_tree_(data.view(), data.labels, 12);
    EXPECT_GT(alone.nodes.size(), 100u);
    EXPECT_TRUE(same_tree(grow_tree_(data.view(), data.labels, 12, 0, &pool), alone));
    FeatureOrder order = sort_features(data.view(), &pool);
    std::mt19937_64 rng(9);
    std::vector<std::uint32_t> sample(data.matrix.n_rows);
    for (auto& row : sample) row = static_cast<std::uint32_t>(rng() % data.matrix.n_rows);
    Tree drawn = grow_tree_on_sample(data.view(), data.labels, order, sample, 12);
    EXPECT_TRUE(
        same_tree(grow_tree_on_sample(data.view(), data.labels, order, sample, 12, &pool), drawn));
}

// Labels alternating along one feature: every split cuts a single row off one end, so the
// tree is about as deep as the data has rows.
struct DeepGrowth {
    Data data;
    Tree tree;
};

void* grow_deep(void* arg) {
    auto* job = static_cast<DeepGrowth*>(arg);
    job->tree = grow_tree_(job->data.view(), job->data.labels, 1u << 30);
    return nullptr;
}

TEST(GrowTree, DeepTreesNeedNoDeepStack) {
    DeepGrowth job;
    std::vector<float> values;
    Labels labels;
    for (int i = 0; i < 3000; ++i) {
        values.push_back(static_cast<float>(i));
        labels.push_back(static_cast<Label>(i % 2));
    }
    job.data = make_data(column(values), labels);
    // Far too small a stack for one frame per level of a 3000-level recursion.
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, grow_deep, &job), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_GT(depth(job.tree), 2900u);
    // Every peeled row is a pure leaf; only the last two rows share a leaf.
    Labels predicted = predict(job.data.view(), job.tree);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < labels.size(); ++i) wrong += predicted[i] != labels[i];
    EXPECT_EQ(wrong, 1u);
}

}  // namespace
}  // namespace lindorf
