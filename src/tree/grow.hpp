// Growing a tree: exact splits found by sweeping each feature in value order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "criteria/impurity.hpp"
#include "criteria/regression.hpp"
#include "splitting/split_search.hpp"
#include "support/dataset.hpp"
#include "support/parallel.hpp"
#include "support/polling.hpp"
#include "support/random.hpp"
#include "tree/tree.hpp"

namespace lindorf {

inline constexpr std::uint32_t unlimited_depth = 0xFFFFFFFFu;

enum class Splitter {
    best,    // every value of every searched feature is a candidate
    random,  // one threshold per searched feature, drawn between the node's least and largest value
};

enum class NanSide {
    right,    // NaN values go right of every split, as values at or above the threshold do
    learned,  // each split sends them to the side that scores best (the larger, when the node has none)
};

// What decides the shape of a tree. The defaults are the rules of grow_tree_.
struct GrowRules {
    std::uint32_t max_depth = unlimited_depth;  // nodes at this depth become leaves
    double min_split = 3;  // nodes of less total weight become leaves
    double min_leaf = 1;   // least total weight a split leaves on either side
    Impurity impurity = Impurity::entropy;  // what splits lower
    Loss loss = Loss::squared_error;        // what a regression tree\'s splits lower
    // Features searched at each node, drawn from the node's own stream (support/streams.hpp)
    // among the features that can divide the node; 0, or at least the feature count, searches
    // every feature and draws nothing.
    std::uint32_t max_features = 0;
    ChaChaKey node_key{};  // the tree's node key, for those draws
    // Tested before every node; a stop request ends growth with Cancelled.
    const StopToken* stop = nullptr;
    // Keep each node's weight, impurity, rows and label and each leaf's values (Tree::stats and
    // Tree::values). Only models that give class shares, importances or saved forms read them;
    // without, growth neither computes nor stores them.
    bool record_stats = false;
    // Nodes of fewer rows (of positive weight, whatever their weight) become leaves; a split must
    // leave at least min_leaf_rows on either side.
    std::uint32_t min_split_rows = 0;
    std::uint32_t min_leaf_rows = 0;
    // A split must also leave this share of the total weight on either side.
    double min_leaf_fraction = 0.0;
    // A split must lower the impurity, weighted by the node's share of the root's weight, by at
    // least this much (less a rounding allowance of one double epsilon).
    double min_impurity_decrease = 0.0;
    // 0: depth first, every node that can split does. Otherwise best first: of the nodes that can
    // split, the one of the largest weighted decrease splits next, until this many leaves.
    std::uint32_t max_leaf_nodes = 0;
    Splitter splitter = Splitter::best;
    NanSide nan_side = NanSide::right;
    // Per feature -1, 0 or 1: the share of class index 1 may only fall, is free, or may only rise
    // as the feature's value rises. Empty: no constraint. Two classes, one output only.
    std::span<const std::int8_t> monotonic = {};
};

// Grows the tree for rows[i] with labels[i]. `depth` is the depth of the root (0 for a whole
// tree); nodes at `max_depth` become leaves. Work on large nodes is shared with the pool's
// threads when one is given; the result never depends on it. An empty label list is an internal
// failure ("cannot grow a tree from an empty training set").
Tree grow_tree_(MatrixView rows, std::span<const Label> labels, std::uint32_t max_depth,
                std::uint32_t depth = 0, WorkerPool* pool = nullptr);

// The tree of rows[i] with labels[i], each row repeated weights[i] times at consecutive
// positions (no weights: once each); rows of weight 0 take no part. Total weight must be at least
// 1 and below 2^32.
Tree grow_tree(MatrixView rows, std::span<const Label> labels, std::span<const std::uint32_t> weights,
               const GrowRules& rules, WorkerPool* pool = nullptr);

// Every feature's rows in ascending value order (NaN last), computed once for a data set and
// shared read-only by every tree grown from samples of it.
struct FeatureOrder {
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;
    std::vector<std::uint32_t> rows;  // n_cols blocks of n_rows row indices
    // Empty, or the values in the same order. With them, trees read their values in sequence
    // instead of from scattered rows, and never read the rows again.
    std::vector<float> values;
    std::span<const std::uint32_t> feature(std::size_t f) const {
        return {rows.data() + f * n_rows, n_rows};
    }
};

FeatureOrder sort_features(MatrixView rows, WorkerPool* pool = nullptr, bool with_values = false);

// Grows exactly the tree that grow_tree_ grows on the copied sample: rows[sample[0]],
// rows[sample[1]], ... with their labels, in draw order, repeats included (ties that depend on
// row order follow the draw order). The sample is never materialised.
Tree grow_tree_on_sample(MatrixView rows, std::span<const Label> labels, const FeatureOrder& order,
                         std::span<const std::uint32_t> sample, std::uint32_t max_depth,
                         WorkerPool* pool = nullptr);

}  // namespace lindorf
