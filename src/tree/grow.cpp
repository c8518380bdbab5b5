// Growth over a working set: depth first, or best first under a leaf limit. Pending nodes wait on
// an explicit stack or heap, so no tree is too deep for a thread's stack. What depends on the
// target and its arithmetic (a node's tally, split and leaf) is the NodeWork's (node_work.hpp);
// the order of growth, the stop rules and the partition are here.
//
// With a pool, large nodes have their features searched and partitioned in parallel. Depth
// first, nodes below a few per thread's share of the root are set aside whole: once the larger
// nodes are done, their subtrees grow in parallel with each other, and are spliced in. The result
// is renumbered in preorder, so it is the same tree, node for node, however the work was shared.
// Nodes that search a few of many features may sort those themselves (tree/node_columns.hpp)
// instead of dividing every feature's sorted block, and their descendants then do too.
#include "tree/grow.hpp"

#include <algorithm>
#include <cfloat>
#include <optional>
#include <queue>
#include <string>
#include <vector>

#include "criteria/classes.hpp"
#include "splitting/partition.hpp"
#include "splitting/split_search.hpp"
#include "support/error.hpp"
#include "support/streams.hpp"
#include "tree/assembly.hpp"
#include "tree/grow_engine.hpp"
#include "tree/node_columns.hpp"
#include "tree/node_tally.hpp"
#include "tree/node_work.hpp"

namespace lindorf {

namespace {

constexpr std::uint32_t no_parent = 0xFFFFFFFFu;

struct PendingNode {
    NodeRange range;
    std::uint32_t depth;
    std::uint32_t parent;  // no_parent for the root of what is being grown
    bool is_left;
    std::uint64_t path;  // node_work.hpp NodeAt::path
    Bounds bounds;
    bool sorts_own = false;  // sorts its searched features itself (tree/node_columns.hpp)
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
    double root_weight = 0.0;  // known when splits are measured
    bool measure = false;      // splits' weighted impurity decreases are wanted
    std::size_t searched = 0;  // features a node searches
    bool may_sort_own = false; // nodes may sort their features themselves
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

void record_node(Tree& tree, std::uint32_t index, const NodeFacts& facts, const GrowRules& rules) {
    record_facts(tree, index, facts, rules);
}

bool stops(const GrowRules& rules, const PendingNode& item, const NodeFacts& facts) {
    return stops_at(rules, item.depth, facts);
}

NodeAt node_at(const PendingNode& item, const Growth& growth) {
    return {item.range,          item.depth,     item.path,     item.bounds,
            growth.root_weight, growth.measure, item.sorts_own};
}

// Whether the node sorts its searched features itself: once a node does, its descendants do.
bool sorts_own(const Growth& growth, const PendingNode& item) {
    return item.sorts_own ||
           (growth.may_sort_own &&
            sorts_on_demand(growth.set.n_cols, growth.searched, item.range.size()));
}

// Starts the node's work: from here on it sorts its features itself when it should.
NodeFacts take(NodeWork& work, const Growth& growth, PendingNode& item) {
    const bool own = sorts_own(growth, item);
    if (own && !item.sorts_own) take_rows_from_blocks(growth.set, item.range);
    item.sorts_own = own;
    return work.take(item.range, own);
}

// The node's split within every rule, or nothing when it stays a leaf.
std::optional<NodeSplit> split_within_rules(NodeWork& work, const Growth& growth,
                                            const PendingNode& item, const NodeFacts& facts,
                                            ScratchSlots& scratch, WorkerPool* pool) {
    if (stops(growth.rules, item, facts)) return std::nullopt;
    std::optional<NodeSplit> split = work.split(node_at(item, growth), scratch, pool);
    // As scikit-learn does, a rounding error's worth short of the least decrease still counts.
    const double least = growth.rules.min_impurity_decrease;
    if (split && least > 0.0 && split->decrease + DBL_EPSILON < least) return std::nullopt;
    return split;
}

// Marks the side of each of the node's rows at its split, while the split feature's range is
// current: a node that sorts its own features keeps that range only until the next node's search.
// `concurrent`: other subtrees grow at the same time.
void mark_sides(const Growth& growth, const NodeSplit& split, bool concurrent) {
    if (split.rows_divided) return;
    growth.sides.mark(growth.set, split.column, split.n_left, split.n_tail_left, concurrent);
}

// Whether neither child of a split can split again, whatever its tally: then they read nothing
// of their rows but the first feature's block (their tally), and only that is divided.
bool children_stop(const GrowRules& rules, const PendingNode& item, const NodeSplit& split) {
    const std::size_t left = split.n_left + split.n_tail_left;
    const std::size_t fewer = std::min(left, item.range.size() - left);
    const std::size_t more = item.range.size() - fewer;
    auto too_few = [&](std::size_t rows) {
        return rows < rules.min_split_rows || rows < 2.0 * rules.min_leaf_rows;
    };
    return item.depth + 1 == rules.max_depth || (too_few(fewer) && too_few(more));
}

// Divides the node's rows, whose sides mark_sides marked, makes it an inner node and returns its
// children, left first.
std::pair<PendingNode, PendingNode> divide(const Growth& growth, const PendingNode& item,
                                           std::uint32_t index, const NodeFacts& facts,
                                           const NodeSplit& split, Tree& tree,
                                           ScratchSlots& scratch, WorkerPool* pool) {
    const SplitChoice& choice = split.choice;
    if (split.rows_divided) {
        LINDORF_CHECK(item.sorts_own, "only a node that keeps its own rows divides them itself");
    } else if (item.sorts_own) {
        auto lease = scratch.claim();
        partition_node_rows(growth.set, item.range, split.n_left + split.n_tail_left,
                            growth.sides, *lease);
    } else {
        partition_node(growth.set, item.range, choice.feature, split.n_left, growth.sides,
                       scratch, pool, split.n_tail_left,
                       children_stop(growth.rules, item, split));
    }
    tree.nodes[index] = Node{.is_leaf = false, .nan_left = choice.nan_left,
                             .feature = choice.feature, .threshold = choice.threshold,
                             .prediction = facts.label};
    const std::size_t middle = item.range.begin + split.n_left + split.n_tail_left;
    Bounds left = item.bounds;
    Bounds right = item.bounds;
    // Constraints on class 1's share bound class 0's the other way round.
    const int constraint =
        growth.rules.monotonic.empty() ? 0
        : growth.set.is_regression()   ? growth.rules.monotonic[choice.feature]
                                       : -growth.rules.monotonic[choice.feature];
    if (constraint == 1) left.upper = right.lower = split.middle;
    if (constraint == -1) left.lower = right.upper = split.middle;
    auto path = [&](bool side) {
        return child_path(item.path, choice.feature, choice.threshold, choice.nan_left, side);
    };
    return {PendingNode{{item.range.begin, middle}, item.depth + 1, index, true, path(true), left,
                        item.sorts_own},
            PendingNode{{middle, item.range.end}, item.depth + 1, index, false, path(false),
                        right, item.sorts_own}};
}

void grow_nodes(const Growth& growth, PendingNode root, Tree& tree, ScratchSlots& scratch,
                const Sharing& sharing) {
    WorkingSet& set = growth.set;
    const std::unique_ptr<NodeWork> work = node_work(set, growth.rules);
    std::vector<PendingNode> pending{root};
    while (!pending.empty()) {
        if (growth.rules.stop != nullptr) growth.rules.stop->check();
        PendingNode item = pending.back();
        pending.pop_back();
        std::uint32_t index = place_node(tree, item, growth);
        const std::size_t width = sorts_own(growth, item) ? growth.searched : set.n_cols;
        bool large = item.range.size() * width >= sharing.shared_from;
        if (sharing.set_aside != nullptr && !large) {
            sharing.set_aside->push_back({item, index});
            continue;
        }
        WorkerPool* pool = large ? sharing.pool : nullptr;
        const NodeFacts facts = take(*work, growth, item);
        record_node(tree, index, facts, growth.rules);
        // A small node's subtree may grow in one call, without a trip through here per node.
        if (pool == nullptr && !growth.measure &&
            work->grow_subtree(tree, index, node_at(item, growth), facts, growth.node_limit,
                               scratch))
            continue;
        const std::optional<NodeSplit> split =
            split_within_rules(*work, growth, item, facts, scratch, pool);
        if (!split) {
            work->leaf(tree, index, item.bounds, growth.rules.record_stats);
            continue;
        }
        mark_sides(growth, *split, sharing.concurrent);
        auto [left, right] = divide(growth, item, index, facts, *split, tree, scratch, pool);
        pending.push_back(right);
        pending.push_back(left);
    }
}

// Best first: every node that can split waits with its split; the one of the largest weighted
// decrease (the earliest made on a tie) splits next, until the tree has max_leaf_nodes leaves.
// The nodes are renumbered in preorder at the end.
Tree grow_best_first(const Growth& growth, PendingNode root, WorkerPool* pool,
                     const GrowSettings& settings) {
    struct Waiting {
        PendingNode node;
        std::uint32_t index;
        NodeFacts facts;
        NodeSplit split;
        std::uint64_t made;
    };
    auto later = [](const Waiting& a, const Waiting& b) {
        return a.split.decrease < b.split.decrease ||
               (a.split.decrease == b.split.decrease && a.made > b.made);
    };
    std::priority_queue<Waiting, std::vector<Waiting>, decltype(later)> waiting(later);
    const std::unique_ptr<NodeWork> work = node_work(growth.set, growth.rules);
    ScratchSlots scratch(pool == nullptr ? 1 : pool->threads());
    Tree tree;
    std::uint64_t made = 0;
    auto pool_for = [&](const PendingNode& item) {
        const std::size_t width = item.sorts_own ? growth.searched : growth.set.n_cols;
        return item.range.size() * width >= settings.parallel_min_entries ? pool : nullptr;
    };
    auto add = [&](PendingNode item) {
        if (growth.rules.stop != nullptr) growth.rules.stop->check();
        const std::uint32_t index = place_node(tree, item, growth);
        const NodeFacts facts = take(*work, growth, item);
        record_node(tree, index, facts, growth.rules);
        const std::optional<NodeSplit> split =
            split_within_rules(*work, growth, item, facts, scratch, pool_for(item));
        // Waiting nodes hold disjoint rows, so each marks its sides now, before another node's
        // search reuses the buffers its split's range may lie in.
        if (split) {
            mark_sides(growth, *split, false);
            waiting.push({item, index, facts, *split, made++});
        }
        else
            work->leaf(tree, index, item.bounds, growth.rules.record_stats);
    };
    add(root);
    std::uint32_t splits_left = growth.rules.max_leaf_nodes - 1;
    while (!waiting.empty()) {
        const Waiting next = waiting.top();
        waiting.pop();
        if (splits_left == 0) {
            work->take(next.node.range, next.node.sorts_own);
            work->leaf(tree, next.index, next.node.bounds, growth.rules.record_stats);
            continue;
        }
        --splits_left;
        auto [left, right] = divide(growth, next.node, next.index, next.facts, next.split, tree,
                                    scratch, pool_for(next.node));
        add(left);
        add(right);
    }
    return in_preorder(tree);
}

// Grows every set-aside subtree on its own, in parallel, and splices each into its placeholder.
// A subtree's large nodes still offer their features to the pool: a thread whose subtrees are
// done helps with those of the others instead of waiting for the largest one.
void grow_set_aside(const Growth& growth, const std::vector<SetAside>& set_aside, Tree& tree,
                    WorkerPool* pool, const GrowSettings& settings) {
    std::vector<Tree> subtrees(set_aside.size());
    parallel_for(pool, set_aside.size(), [&](std::size_t i) {
        ScratchSlots scratch(pool->threads());
        PendingNode root = set_aside[i].node;
        root.parent = no_parent;
        grow_nodes(growth, root, subtrees[i], scratch,
                   Sharing{.pool = pool, .shared_from = settings.parallel_min_entries,
                           .concurrent = true});
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
    tree.nodes.push_back(Node{.is_leaf = true, .prediction = set.class_labels[majority_class(tally)]});
    if (!rules.record_stats) return tree;
    tree.stats.push_back(NodeStats{
        .weight = static_cast<double>(tally.total),
        .impurity = output_impurity(rules.impurity, tally.present, tally.counts.data(), tally.total),
        .rows = static_cast<std::uint32_t>(set.n_rows),
        .values = 0,
        .n_values = static_cast<std::uint32_t>(tally.present.size())});
    for (std::uint32_t c : tally.present)
        tree.values.push_back({set.class_labels[c], static_cast<double>(tally.counts[c])});
    return tree;
}

Tree grow_shared(const Growth& growth, PendingNode root, WorkerPool* pool,
                 const GrowSettings& settings) {
    Tree tree;
    std::vector<SetAside> set_aside;
    {
        // Subtrees are set aside once a few per thread can be: below that, a node's own work
        // (its tally, the marking of its rows' sides) runs on one thread while the others wait.
        const std::size_t width = root.sorts_own ? growth.searched : growth.set.n_cols;
        const std::size_t subtree_entries = root.range.size() * width / (8 * pool->threads());
        ScratchSlots scratch(pool->threads());
        grow_nodes(growth, root, tree, scratch,
                   Sharing{pool, std::max(settings.parallel_min_entries, subtree_entries),
                           &set_aside});
    }
    if (set_aside.empty()) return tree;
    grow_set_aside(growth, set_aside, tree, pool, settings);
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

Tree grow_working_set(WorkingSet& set, const GrowRules& given, std::uint32_t depth,
                      WorkerPool* pool, const GrowSettings& settings) {
    if (set.n_cols == 0 && !set.is_regression()) return single_leaf(set, given);
    GrowRules rules = given;
    SideFlags sides(set.n_rows);
    Growth growth{set, rules, sides, settings.node_limit};
    // Nodes that sort their own features keep their rows at their ranges; a set without sorted
    // blocks has every node do so. Random thresholds read the general path's columns as the
    // rows lie instead, and sort nothing.
    const bool drawn = rules.max_features > 0 && rules.max_features < set.n_cols;
    growth.searched = drawn ? rules.max_features : set.n_cols;
    const bool random = set.is_general() && rules.splitter == Splitter::random;
    // Absolute error's nodes divide a target order too, which only the blocks' partition does.
    const bool ranked = set.is_regression() && rules.loss == Loss::absolute_error;
    growth.may_sort_own = drawn && set.source.data != nullptr && !random && !ranked;
    const bool loose = random && set.entries.empty() && set.source.data != nullptr;
    if (!loose) set.node_rows.resize(growth.may_sort_own ? set.n_rows : 0);
    PendingNode root{{0, set.n_rows}, depth, no_parent, false, 0, Bounds{}, set.entries.empty()};
    LINDORF_CHECK(!root.sorts_own || growth.may_sort_own || loose,
                  "a working set without sorted blocks needs nodes that sort their own features");
    growth.measure = rules.min_impurity_decrease > 0.0 || rules.max_leaf_nodes > 0;
    if (growth.measure || rules.min_leaf_fraction > 0.0) {
        growth.root_weight = node_work(set, rules)->take({0, set.n_rows}, root.sorts_own).weight;
        rules.min_leaf = std::max(rules.min_leaf, rules.min_leaf_fraction * growth.root_weight);
    }
    if (rules.max_leaf_nodes > 0) return grow_best_first(growth, root, pool, settings);
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
    const GatherSource own = sort_own_source(rows, rules.max_features, 1, pool);
    const SourceValues source = own.source;
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
