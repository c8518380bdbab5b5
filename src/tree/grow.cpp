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
#include <tuple>
#include <utility>
#include <string>
#include <vector>

#include "criteria/classes.hpp"
#include "splitting/partition.hpp"
#include "splitting/split_search.hpp"
#include "support/error.hpp"
#include "tree/assembly.hpp"
#include "tree/feature_draw.hpp"
#include "tree/grow_engine.hpp"
#include "tree/node_columns.hpp"
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
    bool sorts_own = false;      // sorts its drawn features itself (tree/node_columns.hpp)
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
    SideFlags& sides;
    std::size_t node_limit;
    std::size_t searched;  // features a node searches
    bool may_sort_own;     // nodes may sort their features themselves
};

// How one grow_nodes call treats large and small nodes: with `set_aside`, nodes below
// `shared_from` entries are listed there instead of grown; nodes at or above it use `pool`.
// `concurrent`: other subtrees grow at the same time.
struct Sharing {
    WorkerPool* pool = nullptr;
    std::size_t shared_from = 0;
    std::vector<SetAside>* set_aside = nullptr;
    bool concurrent = false;
};

// A split that growth keeps: the first n_left entries of the split feature's sorted range go
// left.
struct KeptSplit {
    SplitChoice choice;
    std::span<const Entry> column;
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

// The node's choice among its drawn features, which it gathers and sorts itself, and the split
// feature's sorted range: that of the fallback, feature 0, too, when it was not drawn.
std::pair<SplitChoice, std::span<const Entry>> own_choice(const Growth& growth,
                                                          const PendingNode& item,
                                                          const NodeTally& tally, FeatureDraw& draw,
                                                          NodeColumns& own, ScratchSlots& scratch,
                                                          WorkerPool* pool) {
    const WorkingSet& set = growth.set;
    own.clear(item.range);
    auto gather = [&](std::uint32_t f) { return own.gather(set, item.range, f); };
    std::span<const std::uint32_t> features = draw.features(item.depth, item.weight_begin, gather);
    SplitChoice choice;
    if (!features.empty()) {
        const SplitRules search{growth.rules.impurity, growth.rules.min_leaf, features};
        choice = search_node(set, item.range, counts_of(tally), search, own.sort(features, pool),
                             scratch, pool);
    }
    return {choice, own.column(set, item.range, choice.feature)};
}

// The node's split, or nothing when it must stay a leaf. Only the fallback split (nothing scored
// above 0) can leave a side empty or too light; such a node cannot be divided.
std::optional<KeptSplit> split_of(const Growth& growth, const PendingNode& item,
                                  const NodeTally& tally, FeatureDraw& draw, NodeColumns& own,
                                  ScratchSlots& scratch, WorkerPool* pool) {
    const WorkingSet& set = growth.set;
    const GrowRules& rules = growth.rules;
    KeptSplit kept;
    if (item.sorts_own) {
        std::tie(kept.choice, kept.column) =
            own_choice(growth, item, tally, draw, own, scratch, pool);
    } else {
        std::span<const std::uint32_t> features;
        if (draw.active()) features = draw.features(set, item.range, item.depth, item.weight_begin);
        // When no feature can divide the node, nothing scores above 0 in a search of them all
        // either: the answer is the fallback, feature 0 at 0.0, which may still divide the rows.
        if (!draw.active() || !features.empty()) {
            const SplitRules search{rules.impurity, rules.min_leaf, features};
            kept.choice = search_node(set, item.range, counts_of(tally), search, scratch, pool);
        }
        kept.column = set.column(kept.choice.feature, item.range.begin, item.range.end);
    }
    kept.n_left = left_size(kept.column, kept.choice.threshold);
    if (kept.n_left == 0 || kept.n_left == item.range.size()) return std::nullopt;
    // The left side's weight places the right child's node stream, and checks the fallback.
    if (draw.active() || rules.min_leaf > 1) {
        kept.left_weight = total_weight(set, kept.column.first(kept.n_left));
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
    NodeColumns own;
    std::vector<PendingNode> pending{root};
    while (!pending.empty()) {
        if (growth.rules.stop != nullptr) growth.rules.stop->check();
        PendingNode item = pending.back();
        pending.pop_back();
        std::uint32_t index = place_node(tree, item, growth);
        const bool sorts_own = item.sorts_own || (growth.may_sort_own &&
                                                  sorts_on_demand(set.n_cols, growth.searched,
                                                                  item.range.size()));
        const std::size_t width = sorts_own ? growth.searched : set.n_cols;
        bool large = item.range.size() * width >= sharing.shared_from;
        if (sharing.set_aside != nullptr && !large) {
            sharing.set_aside->push_back({item, index});
            continue;
        }
        if (sorts_own && !item.sorts_own) take_rows_from_blocks(set, item.range);
        item.sorts_own = sorts_own;
        WorkerPool* pool = large ? sharing.pool : nullptr;
        tally_node(set,
                   sorts_own ? std::span<const Entry>(set.node_rows).subspan(item.range.begin,
                                                                            item.range.size())
                             : set.column(0, item.range.begin, item.range.end),
                   tally);
        record_node(tree, index, tally, growth.rules);
        std::optional<KeptSplit> split;
        if (!stops(growth.rules, item, tally))
            split = split_of(growth, item, tally, draw, own, scratch, pool);
        if (!split) {
            make_leaf(tree, index, set, tally, growth.rules);
            continue;
        }
        growth.sides.mark(set, split->column, split->n_left, sharing.concurrent);
        if (sorts_own) {
            auto lease = scratch.claim();
            partition_node_rows(set, item.range, split->n_left, growth.sides, *lease);
        } else {
            partition_node(set, item.range, split->choice.feature, split->n_left, growth.sides,
                           scratch, pool);
        }
        tree.nodes[index] = Node{.is_leaf = false, .feature = split->choice.feature,
                                 .threshold = split->choice.threshold};
        std::size_t middle = item.range.begin + split->n_left;
        pending.push_back({{middle, item.range.end}, item.depth + 1, index, false,
                           item.weight_begin + split->left_weight, sorts_own});
        pending.push_back({{item.range.begin, middle}, item.depth + 1, index, true,
                           item.weight_begin, sorts_own});
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
        grow_nodes(growth, root, subtrees[i], scratch, Sharing{.concurrent = true});
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
    SideFlags sides(set.n_rows);
    const bool drawn = rules.max_features > 0 && rules.max_features < set.n_cols;
    Growth growth{set, rules, sides, settings.node_limit,
                  drawn ? rules.max_features : set.n_cols, drawn && set.source.data != nullptr};
    // Nodes that sort their own features keep their rows at their ranges; a set without sorted
    // blocks has every node do so.
    set.node_rows.resize(growth.may_sort_own ? set.n_rows : 0);
    PendingNode root{{0, set.n_rows}, depth, no_parent, false, 0, set.entries.empty()};
    LINDORF_CHECK(!root.sorts_own || growth.may_sort_own,
                  "a working set without sorted blocks needs nodes that sort their own features");
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
    LINDORF_CHECK(weights.empty() || weights.size() == rows.n_rows,
                  "cannot weigh " + std::to_string(rows.n_rows) + " rows with " +
                      std::to_string(weights.size()) + " weights");
    // Nodes that search a few of many features sort those themselves, from every feature's
    // values; when even the root does, no feature is sorted whole.
    const bool drawn = rules.max_features > 0 && rules.max_features < rows.n_cols;
    std::vector<float> by_feature;
    SourceValues source;
    if (drawn && sorts_on_demand(rows.n_cols, rules.max_features, 1)) {
        if (sorts_on_demand(rows.n_cols, rules.max_features, rows.n_rows) &&
            worth_laying_out_by_feature(rows.n_rows, rows.n_cols, rules.max_features, 1)) {
            by_feature = values_by_feature(rows, pool);
            source = by_features(by_feature, rows.n_rows);
        } else {
            source = by_rows(rows);
        }
    }
    if (source.data != nullptr && sorts_on_demand(rows.n_cols, rules.max_features, rows.n_rows)) {
        LINDORF_CHECK(labels.size() == rows.n_rows,
                      "cannot grow a tree from " + std::to_string(rows.n_rows) + " rows and " +
                          std::to_string(labels.size()) + " labels");
        const std::vector<std::uint32_t> ones(weights.empty() ? rows.n_rows : 0, 1);
        WorkingSet set = working_set_of_draws(
            rows, labels, draws_of_weights(weights.empty() ? ones : weights), source);
        return grow_working_set(set, rules, 0, pool);
    }
    WorkingSet set;
    if (weights.empty()) {
        set = working_set_of_labels(rows, labels, pool);
    } else {
        const FeatureOrder order = sort_features(rows, pool, true);
        set = working_set_of_draws(rows, labels, order, draws_of_weights(weights), pool);
    }
    set.source = source;
    return grow_working_set(set, rules, 0, pool);
}

Tree grow_tree_on_sample(MatrixView rows, std::span<const Label> labels, const FeatureOrder& order,
                         std::span<const std::uint32_t> sample, std::uint32_t max_depth,
                         WorkerPool* pool) {
    WorkingSet set = working_set_of_sample(rows, labels, order, sample, pool);
    return grow_working_set(set, GrowRules{.max_depth = max_depth}, 0, pool);
}

}  // namespace lindorf
