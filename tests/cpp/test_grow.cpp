// Growth where the small random trees of test_differential.cpp do not reach: depth counted from
// a given start, refused inputs, large and unpacked sets on the pool, node-count and stack limits.
#include <gtest/gtest.h>
#include <pthread.h>

#include <random>
#include <string>
#include <vector>

#include "criteria/classes.hpp"
#include "support/error.hpp"
#include "tree/grow.hpp"
#include "tree/grow_engine.hpp"
#include "tree_testing.hpp"

namespace lindorf {
namespace {

using testing_support::copy_sample;
using testing_support::Data;
using testing_support::failure_of;
using testing_support::make_data;
using testing_support::same_tree;

std::vector<std::vector<float>> column(std::vector<float> values) {
    std::vector<std::vector<float>> rows;
    for (float v : values) rows.push_back({v});
    return rows;
}

TEST(GrowTree, RefusesTrainingSetsAndSamplesItCannotUse) {
    const std::string empty_set = "cannot grow a tree from an empty training set";
    Data empty = make_data({}, {}, 3);
    EXPECT_EQ(failure_of([&] { grow_tree_(empty.view(), empty.labels, 0); }), empty_set);
    Data mismatched = make_data(column({1, 2, 3}), {0, 1});
    EXPECT_THROW(grow_tree_(mismatched.view(), mismatched.labels, 3), InternalError);
    Data data = make_data(column({1, 2, 3}), {0, 1, 0});
    FeatureOrder order = sort_features(data.view());
    EXPECT_EQ(failure_of([&] { grow_tree_on_sample(data.view(), data.labels, order, {}, 2); }),
              empty_set);
    std::vector<std::uint32_t> beyond{0, 3};
    EXPECT_THROW(grow_tree_on_sample(data.view(), data.labels, order, beyond, 2), InternalError);
}

TEST(GrowTree, NeitherThreadsNorUnpackedEntriesChangeTheTree) {
    // Large enough that the upper nodes are searched and partitioned on the pool.
    std::mt19937_64 rng(5);
    Data data{{30000, 6, std::vector<float>(180000)}, Labels(30000)};
    for (std::size_t r = 0; r < 30000; ++r) {
        for (std::size_t f = 0; f < 6; ++f) data.matrix.values[r * 6 + f] = float(rng() % 61) / 4;
        float sum = data.matrix.values[r * 6] + data.matrix.values[r * 6 + 1];
        data.labels[r] = (static_cast<Label>(sum / 8) + (rng() % 10 == 0)) % 3 * 10;
    }
    WorkerPool pool(2);
    Tree alone = grow_tree_(data.view(), data.labels, 12);
    EXPECT_GT(alone.nodes.size(), 100u);
    EXPECT_TRUE(same_tree(grow_tree_(data.view(), data.labels, 12, 0, &pool), alone));
    // One row drawn 2^17 times: its weight, the class and the local row need 18 + 2 + 15 bits,
    // more than an entry carries. The copied sample has no weights and packs.
    std::vector<std::uint32_t> sample(30000);
    for (auto& row : sample) row = static_cast<std::uint32_t>(rng() % 30000);
    sample.insert(sample.begin() + 4000, 1u << 17, 77);
    FeatureOrder order = sort_features(data.view(), &pool);
    ASSERT_FALSE(
        working_set_of_sample(data.view(), data.labels, order, sample, nullptr).coding.packed);
    Data copy = copy_sample(data.view(), data.labels, sample);
    Tree expected = grow_tree_(copy.view(), copy.labels, 12);
    EXPECT_TRUE(
        same_tree(grow_tree_on_sample(data.view(), data.labels, order, sample, 12), expected));
    EXPECT_TRUE(same_tree(grow_tree_on_sample(data.view(), data.labels, order, sample, 12, &pool),
                          expected));
}

TEST(GrowTree, FailsBeforeNodePositionsWouldWrap) {
    // With a small injected limit: a tree of exactly the limit grows as it does without one, one
    // node fewer fails, whether nodes are placed one by one or spliced in from parallel subtrees.
    std::mt19937_64 rng(9);
    Data data{{4000, 3, std::vector<float>(12000)}, Labels(4000)};
    for (float& v : data.matrix.values) v = static_cast<float>(rng() % 1000);
    for (Label& label : data.labels) label = rng() % 4;
    WorkerPool pool(2);
    for (WorkerPool* sharing : {static_cast<WorkerPool*>(nullptr), &pool}) {
        const GrowSettings shared_early{.parallel_min_entries = 512};
        auto grow = [&](std::size_t limit) {
            ClassIndex classes = index_classes(data.labels);
            WorkingSet set = working_set_of_rows(data.view(), classes, nullptr);
            GrowSettings settings = shared_early;
            settings.node_limit = limit;
            return grow_working_set(set, GrowRules{.max_depth = 1u << 30}, 0, sharing, settings);
        };
        const Tree whole = grow(max_tree_nodes);
        ASSERT_GT(whole.nodes.size(), 1000u);
        EXPECT_TRUE(same_tree(grow(whole.nodes.size()), whole));
        const std::string message = failure_of([&] { grow(whole.nodes.size() - 1); });
        EXPECT_EQ(message, "cannot grow a tree past " + std::to_string(whole.nodes.size() - 1) +
                               " nodes: its node positions would no longer fit in 32 bits");
    }
}

// Labels alternating along one feature: every split peels one row off an end (a pure single row
// gains most), so the tree is as deep as it can be.
TEST(GrowTree, DeepTreesNeedNoDeepStackAndDepthCountsFromTheGivenStart) {
    static Data data;
    static Tree tree;
    std::vector<float> values;
    for (int i = 0; i < 3000; ++i) values.push_back(static_cast<float>(i));
    data = make_data(column(values), Labels(3000));
    for (std::size_t i = 0; i < 3000; ++i) data.labels[i] = i % 2;
    EXPECT_EQ(depth(grow_tree_(data.view(), data.labels, 3, 2)), 1u);
    // Far too small a stack for one frame per level of a 3000-level recursion. A start beyond the
    // limit never meets it.
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    auto grow = [](void*) -> void* {
        tree = grow_tree_(data.view(), data.labels, 1, 2);
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, grow, nullptr), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_GT(depth(tree), 2900u);
    // Every peeled row is a pure leaf; only the last two rows share a leaf.
    Labels predicted = predict(data.view(), tree);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < 3000; ++i) wrong += predicted[i] != data.labels[i];
    EXPECT_EQ(wrong, 1u);
}

}  // namespace
}  // namespace lindorf
