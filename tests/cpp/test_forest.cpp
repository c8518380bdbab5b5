#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "forest/forest.hpp"
#include "forest/vote.hpp"
#include "support/error.hpp"

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

TEST(Majority, RanksOfDistinctLabelsDiffer) {
    for (std::uint64_t key : {0ULL, 1ULL, 0x123456789abcdefULL, ~0ULL}) {
        std::set<std::uint64_t> ranks;
        for (Label label = 0; label < 1000; ++label) ranks.insert(tie_rank(key, label));
        EXPECT_EQ(ranks.size(), 1000u);
    }
    std::vector<Label> none;
    EXPECT_THROW(majority(none, 0), InternalError);
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

}  // namespace
}  // namespace lindorf
