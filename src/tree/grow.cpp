// Depth-first growth over a working set. Pending nodes wait on an explicit stack, so no tree is
// too deep for a thread's stack, and nodes enter Tree::nodes in preorder, left before right.
#include "tree/grow.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "criteria/classes.hpp"
#include "criteria/criteria.hpp"
#include "splitting/partition.hpp"
#include "splitting/split_search.hpp"
#include "support/error.hpp"
#include "tree/grow_engine.hpp"

namespace lindorf {

namespace {

constexpr std::uint32_t no_parent = 0xFFFFFFFFu;

struct PendingNode {
    NodeRange range;
    std::uint32_t depth;
    std::uint32_t parent;  // no_parent for the root
    bool is_left;
};

// Class counts of the node being grown. Only classes that occur are touched, so a node costs
// time in its own size, however many classes the tree knows.
struct NodeTally {
    std::vector<std::uint32_t> counts;   // by class, weighted
    std::vector<std::uint32_t> latest;   // by class: latest position of the class in the node
    std::vector<std::uint32_t> present;  // classes with a non-zero count, ascending
    std::uint32_t total = 0;

    explicit NodeTally(std::size_t classes) : counts(classes, 0), latest(classes, 0) {}

    void clear() {
        for (std::uint32_t c : present) counts[c] = latest[c] = 0;
        present.clear();
        total = 0;
    }
};

template <bool Packed>
void tally_entries(const WorkingSet& set, std::span<const Entry> entries, NodeTally& tally) {
    const RowReader<Packed> rows(set);
    for (const Entry& entry : entries) {
        std::uint32_t cls = rows.cls(entry.row);
        std::uint32_t weight = rows.weight(entry.row);
        if (tally.counts[cls] == 0) tally.present.push_back(cls);
        tally.counts[cls] += weight;
        tally.total += weight;
        tally.latest[cls] = std::max(tally.latest[cls], set.last[set.local(entry.row)]);
    }
}

void tally_node(const WorkingSet& set, std::span<const Entry> entries, NodeTally& tally) {
    if (set.coding.packed)
        tally_entries<true>(set, entries, tally);
    else
        tally_entries<false>(set, entries, tally);
    std::sort(tally.present.begin(), tally.present.end());
}

// The most frequent class; between equally frequent classes, the one that occurs latest.
std::uint32_t majority_class(const NodeTally& tally) {
    std::uint32_t best = tally.present.front();
    for (std::uint32_t c : tally.present) {
        if (tally.counts[c] > tally.counts[best] ||
            (tally.counts[c] == tally.counts[best] && tally.latest[c] > tally.latest[best]))
            best = c;
    }
    return best;
}

NodeCounts counts_of(const NodeTally& tally) {
    NodeCounts node;
    node.present = tally.present;
    node.counts = tally.counts.data();
    node.total = tally.total;
    node.parent_entropy = entropy_of_counts(tally.present, tally.counts.data(), tally.total);
    node.parent_size = static_cast<float>(tally.total);
    return node;
}

Node leaf(Label prediction) {
    Node node;
    node.prediction = prediction;
    return node;
}

std::uint32_t place_node(Tree& tree, const PendingNode& pending) {
    auto index = static_cast<std::uint32_t>(tree.nodes.size());
    tree.nodes.emplace_back();
    if (pending.parent != no_parent) {
        Node& parent = tree.nodes[pending.parent];
        (pending.is_left ? parent.left : parent.right) = index;
    }
    return index;
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
    Tree tree;
    NodeTally tally(set.class_labels.size());
    ScratchSlots scratch(pool != nullptr ? pool->threads() : 1);
    std::vector<std::uint8_t> goes_left(set.n_rows, 0);
    std::vector<PendingNode> pending{{{0, set.n_rows}, depth, no_parent, false}};
    while (!pending.empty()) {
        PendingNode item = pending.back();
        pending.pop_back();
        std::uint32_t index = place_node(tree, item);
        tally.clear();
        tally_node(set, set.column(0, item.range.begin, item.range.end), tally);
        Label majority = set.class_labels[majority_class(tally)];
        if (item.depth == max_depth || tally.present.size() == 1 || tally.total < 3) {
            tree.nodes[index] = leaf(majority);
            continue;
        }
        bool shared = item.range.size() * set.n_cols >= settings.parallel_min_entries;
        WorkerPool* node_pool = shared ? pool : nullptr;
        SplitChoice choice = search_node(set, item.range, counts_of(tally), scratch, node_pool);
        std::size_t n_left = left_size(set.column(choice.feature, item.range.begin, item.range.end),
                                       choice.threshold);
        // Only the fallback split (nothing scored above 0) can leave a side empty; such a node
        // cannot be divided and keeps its majority label.
        if (n_left == 0 || n_left == item.range.size()) {
            tree.nodes[index] = leaf(majority);
            continue;
        }
        partition_node(set, item.range, choice.feature, n_left, goes_left, scratch, node_pool);
        Node& node = tree.nodes[index];
        node.is_leaf = false;
        node.feature = choice.feature;
        node.threshold = choice.threshold;
        std::size_t middle = item.range.begin + n_left;
        pending.push_back({{middle, item.range.end}, item.depth + 1, index, false});
        pending.push_back({{item.range.begin, middle}, item.depth + 1, index, true});
    }
    return tree;
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
