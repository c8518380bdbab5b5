// Depth-first growth over a working set. Pending nodes wait on an explicit stack, so no tree is
// too deep for a thread's stack.
//
// With a pool, large nodes have their features searched and partitioned in parallel. Nodes too
// small for that are set aside whole: once the large nodes are done, their subtrees grow in
// parallel with each other, each on one thread, and are spliced in. The result is renumbered in
// preorder, so it is the same tree, node for node, however the work was shared.
#include "tree/grow.hpp"

#include <string>
#include <vector>

#include "criteria/classes.hpp"
#include "splitting/partition.hpp"
#include "splitting/split_search.hpp"
#include "support/error.hpp"
#include "tree/assembly.hpp"
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
    std::uint32_t max_depth;
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

Node leaf(Label prediction) {
    Node node;
    node.prediction = prediction;
    return node;
}

std::uint32_t place_node(Tree& tree, const PendingNode& pending, std::size_t node_limit) {
    check_node_room(tree, 1, node_limit);
    auto index = static_cast<std::uint32_t>(tree.nodes.size());
    tree.nodes.emplace_back();
    if (pending.parent != no_parent) {
        Node& parent = tree.nodes[pending.parent];
        (pending.is_left ? parent.left : parent.right) = index;
    }
    return index;
}

void grow_nodes(const Growth& growth, PendingNode root, Tree& tree, ScratchSlots& scratch,
                const Sharing& sharing) {
    WorkingSet& set = growth.set;
    NodeTally tally(set.class_labels.size());
    std::vector<PendingNode> pending{root};
    while (!pending.empty()) {
        PendingNode item = pending.back();
        pending.pop_back();
        std::uint32_t index = place_node(tree, item, growth.node_limit);
        bool large = item.range.size() * set.n_cols >= sharing.shared_from;
        if (sharing.set_aside != nullptr && !large) {
            sharing.set_aside->push_back({item, index});
            continue;
        }
        WorkerPool* pool = large ? sharing.pool : nullptr;
        tally_node(set, set.column(0, item.range.begin, item.range.end), tally);
        Label majority = set.class_labels[majority_class(tally)];
        if (item.depth == growth.max_depth || tally.present.size() == 1 || tally.total < 3) {
            tree.nodes[index] = leaf(majority);
            continue;
        }
        SplitChoice choice =
            search_node(set, item.range, counts_of(tally), SplitRules{}, scratch, pool);
        std::size_t n_left = left_size(set.column(choice.feature, item.range.begin, item.range.end),
                                       choice.threshold);
        // Only the fallback split (nothing scored above 0) can leave a side empty; such a node
        // cannot be divided and keeps its majority label.
        if (n_left == 0 || n_left == item.range.size()) {
            tree.nodes[index] = leaf(majority);
            continue;
        }
        partition_node(set, item.range, choice.feature, n_left, growth.goes_left, scratch, pool);
        Node& node = tree.nodes[index];
        node.is_leaf = false;
        node.feature = choice.feature;
        node.threshold = choice.threshold;
        std::size_t middle = item.range.begin + n_left;
        pending.push_back({{middle, item.range.end}, item.depth + 1, index, false});
        pending.push_back({{item.range.begin, middle}, item.depth + 1, index, true});
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
Tree single_leaf(const WorkingSet& set) {
    std::vector<Entry> rows(set.n_rows);
    for (std::size_t r = 0; r < set.n_rows; ++r) rows[r] = {0.0f, static_cast<std::uint32_t>(r)};
    NodeTally tally(set.class_labels.size());
    tally_node(set, rows, tally);
    Tree tree;
    tree.nodes.push_back(leaf(set.class_labels[majority_class(tally)]));
    return tree;
}

}  // namespace

Tree grow_working_set(WorkingSet& set, std::uint32_t max_depth, std::uint32_t depth,
                      WorkerPool* pool, const GrowSettings& settings) {
    if (set.n_cols == 0) return single_leaf(set);
    std::vector<std::uint8_t> goes_left(set.n_rows, 0);
    Growth growth{set, max_depth, goes_left, settings.node_limit};
    PendingNode root{{0, set.n_rows}, depth, no_parent, false};
    Tree tree;
    if (pool == nullptr || pool->threads() < 2) {
        ScratchSlots scratch(1);
        grow_nodes(growth, root, tree, scratch, Sharing{});
        return tree;
    }
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

Tree grow_tree_(MatrixView rows, std::span<const Label> labels, std::uint32_t max_depth,
                std::uint32_t depth, WorkerPool* pool) {
    LINDORF_CHECK(!labels.empty(), "cannot grow a tree from an empty training set");
    LINDORF_CHECK(labels.size() == rows.n_rows, "cannot grow a tree from " +
                                                    std::to_string(rows.n_rows) + " rows and " +
                                                    std::to_string(labels.size()) + " labels");
    ClassIndex classes = index_classes(labels);
    WorkingSet set = working_set_of_rows(rows, classes, pool);
    return grow_working_set(set, max_depth, depth, pool);
}

Tree grow_tree_on_sample(MatrixView rows, std::span<const Label> labels, const FeatureOrder& order,
                         std::span<const std::uint32_t> sample, std::uint32_t max_depth,
                         WorkerPool* pool) {
    WorkingSet set = working_set_of_sample(rows, labels, order, sample, pool);
    return grow_working_set(set, max_depth, 0, pool);
}

}  // namespace lindorf
