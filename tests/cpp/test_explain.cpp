// Explanations of grown trees: SHAP values against Shapley's formula evaluated over every
// coalition, node values and class weights against the rows routed through the tree, and the
// quadrature they rest on. Decision paths are walked against the node table in test_explain.py.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "explain/contributions.hpp"
#include "explain/node_table.hpp"
#include "explain/node_values.hpp"
#include "tree/grow.hpp"
#include "tree_testing.hpp"

namespace lindorf {
namespace {

using testing_support::Data;

struct Grown {
    Data data;
    std::vector<std::uint32_t> weights;
    std::vector<SharedTree> trees;
};

// Trees deep enough to test features again below their first test, on rows with ties and NaN;
// each tree on its own weights.
Grown grow_some(std::uint64_t seed, std::size_t n_trees, std::size_t n_cols,
                std::uint32_t n_classes, std::uint32_t max_depth) {
    std::mt19937_64 rng(seed);
    auto below = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    const std::size_t n_rows = 80;
    Grown g{{{n_rows, n_cols, std::vector<float>(n_rows * n_cols)}, Labels(n_rows)}, {}, {}};
    for (float& v : g.data.matrix.values)
        v = below(15) == 0 ? NAN : static_cast<float>(below(9)) - 3.0f;
    for (std::size_t r = 0; r < n_rows; ++r) {
        const float* row = g.data.matrix.values.data() + r * n_cols;
        const bool high = row[0] > 0.0f || (row[1] < 1.0f && row[n_cols - 1] > -1.0f);
        g.data.labels[r] = static_cast<Label>((high ? 1 : 0) + (below(4) == 0 ? below(n_classes) : 0)) %
                           n_classes;
    }
    for (std::size_t t = 0; t < n_trees; ++t) {
        std::vector<std::uint32_t> weights(n_rows);
        for (auto& w : weights) w = static_cast<std::uint32_t>(1 + below(3));
        const GrowRules rules{.max_depth = max_depth, .min_split = 2, .record_stats = true};
        g.trees.push_back(std::make_shared<const Tree>(
            grow_tree(g.data.view(), g.data.labels, weights, rules)));
        g.weights = weights;  // the last tree's
    }
    return g;
}

// The expected leaf value when only the features in `known` are known: a test of a known
// feature follows the row, any other test both children in proportion to their covers.
std::vector<double> conditional(const Tree& tree, LeafOutput kind, std::uint32_t n_classes,
                                const float* row, unsigned known, std::size_t at = 0) {
    const Node& node = tree.nodes[at];
    std::vector<double> out(n_classes, 0.0);
    if (node.is_leaf) {
        for_leaf_value(tree, at, kind, [&](std::uint32_t k, double v) { out[k] = v; });
        return out;
    }
    if (known >> node.feature & 1u)
        return conditional(tree, kind, n_classes, row,
                           known, goes_left(tree, at, row[node.feature]) ? node.left : node.right);
    const auto left = conditional(tree, kind, n_classes, row, known, node.left);
    const auto right = conditional(tree, kind, n_classes, row, known, node.right);
    const double total = cover_at(tree, at);
    for (std::uint32_t k = 0; k < n_classes; ++k)
        out[k] = (left[k] * cover_at(tree, node.left) + right[k] * cover_at(tree, node.right)) /
                 total;
    return out;
}

// Shapley values over every coalition of the features, for the mean of the trees.
std::vector<double> brute_force(const Grown& g, LeafOutput kind, std::uint32_t n_classes,
                                std::size_t r) {
    const std::size_t m = g.data.matrix.n_cols;
    const float* row = g.data.matrix.values.data() + r * m;
    std::vector<double> factorial(m + 1, 1.0);
    for (std::size_t i = 1; i <= m; ++i) factorial[i] = factorial[i - 1] * double(i);
    std::vector<double> out((m + 1) * n_classes, 0.0);
    for (const SharedTree& tree : g.trees) {
        std::vector<std::vector<double>> f(std::size_t{1} << m);
        for (unsigned s = 0; s < f.size(); ++s) f[s] = conditional(*tree, kind, n_classes, row, s);
        for (unsigned s = 0; s < f.size(); ++s) {
            const std::size_t size = static_cast<std::size_t>(std::popcount(s));
            for (std::size_t i = 0; i < m; ++i) {
                if (s >> i & 1u) continue;
                const double weight = factorial[size] * factorial[m - size - 1] / factorial[m];
                for (std::uint32_t k = 0; k < n_classes; ++k)
                    out[i * n_classes + k] += weight * (f[s | 1u << i][k] - f[s][k]) /
                                              double(g.trees.size());
            }
        }
        for (std::uint32_t k = 0; k < n_classes; ++k)
            out[m * n_classes + k] += f[0][k] / double(g.trees.size());
    }
    return out;
}

struct ContributionCase {
    std::size_t n_trees, n_cols;
    std::uint32_t n_classes, max_depth;
    LeafOutput kind;
};

class ContributionsMatchShapley : public ::testing::TestWithParam<ContributionCase> {};

TEST_P(ContributionsMatchShapley, OnEveryRow) {
    const ContributionCase c = GetParam();
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        const Grown g = grow_some(seed, c.n_trees, c.n_cols, c.n_classes, c.max_depth);
        WorkerPool pool(3);
        const std::vector<double> values =
            contributions(g.trees, c.n_cols, c.n_classes, c.kind, g.data.view(), &pool);
        const std::size_t width = (c.n_cols + 1) * c.n_classes;
        ASSERT_EQ(values.size(), g.data.matrix.n_rows * width);
        for (std::size_t r = 0; r < g.data.matrix.n_rows; ++r) {
            const std::vector<double> expected = brute_force(g, c.kind, c.n_classes, r);
            // Shapley's values add up to the leaf values the row reaches; test_explain.py checks
            // that sum against predicted probabilities.
            for (std::size_t i = 0; i < width; ++i)
                ASSERT_NEAR(values[r * width + i], expected[i], 1e-12)
                    << "seed " << seed << " row " << r << " slot " << i;
        }
        // One thread or several, the same values bit for bit.
        WorkerPool alone(1);
        EXPECT_EQ(contributions(g.trees, c.n_cols, c.n_classes, c.kind, g.data.view(), &alone),
                  values);
    }
}

INSTANTIATE_TEST_SUITE_P(
    TreesAndForests, ContributionsMatchShapley,
    ::testing::Values(ContributionCase{1, 5, 2, unlimited_depth, LeafOutput::shares},
                      ContributionCase{1, 6, 3, 4, LeafOutput::shares},
                      ContributionCase{3, 4, 2, unlimited_depth, LeafOutput::vote},
                      // More classes than one walk takes, and a single class.
                      ContributionCase{2, 5, 11, unlimited_depth, LeafOutput::shares},
                      ContributionCase{2, 3, 1, unlimited_depth, LeafOutput::vote}));

TEST(Contributions, AStopRequestEndsTheWalks) {
    const Grown g = grow_some(9, 2, 4, 2, unlimited_depth);
    StopToken stop;
    stop.request_stop();
    EXPECT_THROW(contributions(g.trees, 4, 2, LeafOutput::vote, g.data.view(), nullptr, &stop),
                 Cancelled);
}

TEST(GaussLegendre, IntegratesEveryPolynomialOfDegreeBelowTwiceItsPoints) {
    for (std::size_t m = 1; m <= 40; ++m) {
        const Quadrature q = gauss_legendre(m);
        for (std::size_t degree = 0; degree < 2 * m; ++degree) {
            double sum = 0.0;
            for (std::size_t j = 0; j < m; ++j) sum += q.w[j] * std::pow(q.t[j], double(degree));
            ASSERT_NEAR(sum, 1.0 / double(degree + 1), 1e-13) << m << " points, degree " << degree;
        }
    }
}

TEST(NodeValues, FollowTheRowsRoutedThroughTheTree) {
    const std::uint32_t n_classes = 4;
    const Grown g = grow_some(5, 1, 4, n_classes, 5);
    const Tree& tree = *g.trees[0];
    const std::size_t n = tree.nodes.size();
    // Every training row's weight, in every node it passes.
    std::vector<double> routed(n * n_classes, 0.0);
    for (std::size_t r = 0; r < g.data.matrix.n_rows; ++r)
        for (std::size_t at = 0;;) {
            routed[at * n_classes + g.data.labels[r]] += g.weights[r];
            const Node& node = tree.nodes[at];
            if (node.is_leaf) break;
            at = goes_left(tree, at, g.data.view().at(r, node.feature)) ? node.left : node.right;
        }
    const std::vector<double> weights = class_weights(tree, n_classes);
    const std::vector<double> shares = node_values(tree, n_classes, LeafOutput::shares);
    const std::vector<double> votes = node_values(tree, n_classes, LeafOutput::vote);
    const NodeTable table = node_table(tree);
    for (std::size_t i = 0; i < n; ++i) {
        double total = 0.0;
        for (std::uint32_t k = 0; k < n_classes; ++k) total += weights[i * n_classes + k];
        EXPECT_EQ(total, cover_at(tree, i));
        EXPECT_EQ(table.weighted_n_node_samples[i], cover_at(tree, i));
        const auto sparse = node_class_weights(tree, i);
        std::vector<double> dense(n_classes, 0.0);
        for (auto [k, w] : sparse) dense[k] = w;
        for (std::uint32_t k = 0; k < n_classes; ++k) {
            EXPECT_EQ(dense[k], weights[i * n_classes + k]);
            EXPECT_EQ(routed[i * n_classes + k], weights[i * n_classes + k]);
            EXPECT_NEAR(shares[i * n_classes + k], weights[i * n_classes + k] / total, 1e-15);
        }
        if (tree.nodes[i].is_leaf) {
            EXPECT_EQ(votes[i * n_classes + tree.nodes[i].prediction], 1.0);
            EXPECT_EQ(table.label[i], tree.nodes[i].prediction);
            EXPECT_EQ(table.children_left[i], no_child);
            continue;
        }
        const Node& node = tree.nodes[i];
        EXPECT_EQ(table.depth[node.left], table.depth[i] + 1);
        for (std::uint32_t k = 0; k < n_classes; ++k)
            EXPECT_NEAR(votes[i * n_classes + k] * total,
                        votes[node.left * n_classes + k] * cover_at(tree, node.left) +
                            votes[node.right * n_classes + k] * cover_at(tree, node.right),
                        1e-12);
    }
}

}  // namespace
}  // namespace lindorf
