// Depth-first growth over a working set. Pending nodes wait on an explicit stack, so no tree is
// too deep for a thread's stack.
//
// With a pool, large nodes have their features searched and partitioned in parallel. Nodes too
// small for that are set aside whole: once the large nodes are done, their subtrees grow in
// parallel with each other, each on one thread, and are spliced in. The result is renumbered in
// preorder, so it is the same tree, node for node, however the work was shared.
#include "tree/grow.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "criteria/classes.hpp"
#include "splitting/partition.hpp"
#include "splitting/split_search.hpp"
#include "support/error.hpp"
#include "tree/assembly.hpp"
#include "tree/feature_draw.hpp"
#include "tree/grow_engine.hpp"
#include "tree/node_tally.hpp"

namespace lindorf {

namespace {

constexpr std::uint32_t no_parent = 0xFFFFFFFFu;

struct PendingNode {
    NodeRange range;
    std::uint32_t depth;
    std::uint32_t parent;  // no_parent for the root of what is being grown
    bool is_left;
    std::uint32_t weight_begin;  // total weight of the rows ordered before the node's range
};

// A node set aside for later, with the position of its placeholder.
struct SetAside {
    PendingNode node;
    std::uint32_t placeholder;
};

// What every node of one tree works on. Concurrent subtrees touch disjoint ranges of the
// entries and flags of disjoint rows.
struct Growth {
    WorkingSet& set;
    const GrowRules& rules;
    std::vector<std::uint8_t>& goes_left;
    std::size_t node_limit;
};

// How one grow_nodes call treats large and small nodes: with `set_aside`, nodes below
// `shared_from` entries are listed there instead of grown; nodes at or above it use `pool`.
struct Sharing {
    WorkerPool* pool = nullptr;
    std::size_t shared_from = 0;
    std::vector<SetAside>* set_aside = nullptr;
};

// A split that growth keeps: the first n_left entries of the range go left.
struct KeptSplit {
    SplitChoice choice;
    std::size_t n_left = 0;
    std::uint32_t left_weight = 0;
};

std::uint32_t place_node(Tree& tree, const PendingNode& pending, const Growth& growth) {
    check_node_room(tree, 1, growth.node_limit);
    auto index = static_cast<std::uint32_t>(tree.nodes.size());
    tree.nodes.emplace_back();
    if (growth.rules.record_stats) tree.stats.emplace_back();
    if (pending.parent != no_parent) {
        Node& parent = tree.nodes[pending.parent];
        (pending.is_left ? parent.left : parent.right) = index;
    }
    return index;
}

void record_node(Tree& tree, std::uint32_t index, const NodeTally& tally, const GrowRules& rules) {
    if (!rules.record_stats) return;
    tree.stats[index] =
        NodeStats{.weight = tally.total, .impurity = node_impurity(tally, rules.impurity)};
}

// A leaf lists only the classes present in it: a tree's lists then hold at most one entry per
// training row, where a count for every class of the tree would take leaves times classes.
void make_leaf(Tree& tree, std::uint32_t index, const WorkingSet& set, const NodeTally& tally,
               const GrowRules& rules) {
    tree.nodes[index] = Node{.is_leaf = true, .prediction = set.class_labels[majority_class(tally)]};
    if (!rules.record_stats) return;
    tree.stats[index].counts = static_cast<std::uint32_t>(tree.class_counts.size());
    tree.stats[index].n_counts = static_cast<std::uint32_t>(tally.present.size());
    for (std::uint32_t c : tally.present)
        tree.class_counts.push_back({set.class_labels[c], tally.counts[c]});
}

bool stops(const GrowRules& rules, const PendingNode& item, const NodeTally& tally) {
    return item.depth == rules.max_depth || tally.present.size() == 1 ||
           tally.total < rules.min_split || tally.total / 2 < rules.min_leaf;
}

// The node's split, or nothing when it must stay a leaf. Only the fallback split (nothing scored
// above 0) can leave a side empty or too light; such a node cannot be divided.
std::optional<KeptSplit> split_of(const Growth& growth, const PendingNode& item,
                                  const NodeTally& tally, FeatureDraw& draw,
                                  ScratchSlots& scratch, WorkerPool* pool) {
    const WorkingSet& set = growth.set;
    const GrowRules& rules = growth.rules;
    std::span<const std::uint32_t> features;
    if (draw.active()) features = draw.features(set, item.range, item.depth, item.weight_begin);
    // When no feature can divide the node, nothing scores above 0 in a search of them all
    // either: the answer is the fallback, feature 0 at 0.0, which may still divide the rows.
    SplitChoice choice;
    if (!draw.active() || !features.empty()) {
        const SplitRules search{rules.impurity, rules.min_leaf, features};
        choice = search_node(set, item.range, counts_of(tally), search, scratch, pool);
    }
    std::span<const Entry> column = set.column(choice.feature, item.range.begin, item.range.end);
    KeptSplit kept{choice, left_size(column, choice.threshold), 0};
    if (kept.n_left == 0 || kept.n_left == item.range.size()) return std::nullopt;
    // The left side's weight places the right child's node stream, and checks the fallback.
    if (draw.active() || rules.min_leaf > 1) {
        kept.left_weight = total_weight(set, column.first(kept.n_left));
        if (kept.left_weight < rules.min_leaf || tally.total - kept.left_weight < rules.min_leaf)
            return std::nullopt;
    }
    return kept;
}

void grow_nodes(const Growth& growth, PendingNode root, Tree& tree, ScratchSlots& scratch,
                const Sharing& sharing) {
    WorkingSet& set = growth.set;
    NodeTally tally(set.class_labels.size());
    FeatureDraw draw(growth.rules, set.n_cols);
    std::vector<PendingNode> pending{root};
    while (!pending.empty()) {
        if (growth.rules.stop != nullptr) growth.rules.stop->check();
        PendingNode item = pending.back();
        pending.pop_back();
        std::uint32_t index = place_node(tree, item, growth);
        bool large = item.range.size() * set.n_cols >= sharing.shared_from;
        if (sharing.set_aside != nullptr && !large) {
            sharing.set_aside->push_back({item, index});
            continue;
        }
        WorkerPool* pool = large ? sharing.pool : nullptr;
        tally_node(set, set.column(0, item.range.begin, item.range.end), tally);
        record_node(tree, index, tally, growth.rules);
        std::optional<KeptSplit> split;
        if (!stops(growth.rules, item, tally))
            split = split_of(growth, item, tally, draw, scratch, pool);
        if (!split) {
            make_leaf(tree, index, set, tally, growth.rules);
            continue;
        }
        partition_node(set, item.range, split->choice.feature, split->n_left, growth.goes_left,
                       scratch, pool);
        tree.nodes[index] = Node{.is_leaf = false, .feature = split->choice.feature,
                                 .threshold = split->choice.threshold};
        std::size_t middle = item.range.begin + split->n_left;
        pending.push_back({{middle, item.range.end}, item.depth + 1, index, false,
                           item.weight_begin + split->left_weight});
        pending.push_back(
            {{item.range.begin, middle}, item.depth + 1, index, true, item.weight_begin});
    }
}

// Grows every set-aside subtree on its own, in parallel, and splices each into its placeholder.
void grow_set_aside(const Growth& growth, const std::vector<SetAside>& set_aside, Tree& tree,
                    WorkerPool* pool) {
    std::vector<Tree> subtrees(set_aside.size());
    parallel_for(pool, set_aside.size(), [&](std::size_t i) {
        ScratchSlots scratch(1);
        PendingNode root = set_aside[i].node;
        root.parent = no_parent;
        grow_nodes(growth, root, subtrees[i], scratch, Sharing{});
    });
    for (std::size_t i = 0; i < set_aside.size(); ++i)
        splice(tree, set_aside[i].placeholder, subtrees[i], growth.node_limit);
}

// A tree without features cannot split: one leaf for all rows. Such a set keeps its rows
// uncoded, so entry r is simply local row r.
Tree single_leaf(const WorkingSet& set, const GrowRules& rules) {
    std::vector<Entry> rows(set.n_rows);
    for (std::size_t r = 0; r < set.n_rows; ++r) rows[r] = {0.0f, static_cast<std::uint32_t>(r)};
    NodeTally tally(set.class_labels.size());
    tally_node(set, rows, tally);
    Tree tree;
    tree.nodes.emplace_back();
    if (rules.record_stats) tree.stats.emplace_back();
    record_node(tree, 0, tally, rules);
    make_leaf(tree, 0, set, tally, rules);
    return tree;
}

Tree grow_shared(const Growth& growth, PendingNode root, WorkerPool* pool,
                 const GrowSettings& settings) {
    Tree tree;
    std::vector<SetAside> set_aside;
    {
        ScratchSlots scratch(pool->threads());
        grow_nodes(growth, root, tree, scratch,
                   Sharing{pool, settings.parallel_min_entries, &set_aside});
    }
    if (set_aside.empty()) return tree;
    grow_set_aside(growth, set_aside, tree, pool);
    return in_preorder(tree);
}

WorkingSet working_set_of_labels(MatrixView rows, std::span<const Label> labels,
                                WorkerPool* pool) {
    LINDORF_CHECK(!labels.empty(), "cannot grow a tree from an empty training set");
    LINDORF_CHECK(labels.size() == rows.n_rows, "cannot grow a tree from " +
                                                    std::to_string(rows.n_rows) + " rows and " +
                                                    std::to_string(labels.size()) + " labels");
    return working_set_of_rows(rows, index_classes(labels), pool);
}

}  // namespace

Tree grow_working_set(WorkingSet& set, const GrowRules& rules, std::uint32_t depth,
                      WorkerPool* pool, const GrowSettings& settings) {
    if (set.n_cols == 0) return single_leaf(set, rules);
    std::vector<std::uint8_t> goes_left(set.n_rows, 0);
    Growth growth{set, rules, goes_left, settings.node_limit};
    PendingNode root{{0, set.n_rows}, depth, no_parent, false, 0};
    if (pool != nullptr && pool->threads() >= 2) return grow_shared(growth, root, pool, settings);
    Tree tree;
    ScratchSlots scratch(1);
    grow_nodes(growth, root, tree, scratch, Sharing{});
    return tree;
}

Tree grow_tree_(MatrixView rows, std::span<const Label> labels, std::uint32_t max_depth,
                std::uint32_t depth, WorkerPool* pool) {
    WorkingSet set = working_set_of_labels(rows, labels, pool);
    return grow_working_set(set, GrowRules{.max_depth = max_depth}, depth, pool);
}

Tree grow_tree(MatrixView rows, std::span<const Label> labels,
               std::span<const std::uint32_t> weights, const GrowRules& rules, WorkerPool* pool) {
    if (weights.empty()) {
        WorkingSet set = working_set_of_labels(rows, labels, pool);
        return grow_working_set(set, rules, 0, pool);
    }
    LINDORF_CHECK(weights.size() == rows.n_rows, "cannot weigh " + std::to_string(rows.n_rows) +
                                                     " rows with " +
                                                     std::to_string(weights.size()) + " weights");
    const FeatureOrder order = sort_features(rows, pool, true);
    WorkingSet set = working_set_of_draws(rows, labels, order, draws_of_weights(weights), pool);
    return grow_working_set(set, rules, 0, pool);
}

Tree grow_tree_on_sample(MatrixView rows, std::span<const Label> labels, const FeatureOrder& order,
                         std::span<const std::uint32_t> sample, std::uint32_t max_depth,
                         WorkerPool* pool) {
    WorkingSet set = working_set_of_sample(rows, labels, order, sample, pool);
    return grow_working_set(set, GrowRules{.max_depth = max_depth}, 0, pool);
}

}  // namespace lindorf
