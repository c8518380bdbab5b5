// What growth asks of a node, whatever learns from its rows. The growth driver (grow.cpp) owns the
// order in which nodes grow, the stop rules and the partition; a NodeWork owns what depends on
// the target and its arithmetic: a node's tally, its split and its leaf record.
//
// Two kinds exist: the exact path (exact_work.cpp: one output, whole-number weights, every value
// a candidate, NaN right, single-precision information gain or integer Gini, the learner's own
// rules) and the general path (general_work.cpp: weights in whole numbers of a unit, several
// outputs, learned NaN sides, monotonic constraints, random thresholds, double precision). A
// regression target is a third kind: it brings its own tally, search and leaf values behind the
// same interface.
//
// A NodeWork belongs to one thread. take() makes a node current; every other call is about the
// current node until the next take().
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>

#include "splitting/scratch.hpp"
#include "splitting/split_search.hpp"
#include "splitting/working_set.hpp"
#include "support/parallel.hpp"
#include "tree/grow.hpp"
#include "tree/tree.hpp"

namespace lindorf {

// The range of values a monotonically constrained node's class-0 share may take.
struct Bounds {
    double lower = -std::numeric_limits<double>::infinity();
    double upper = std::numeric_limits<double>::infinity();
};

struct NodeFacts {
    double weight = 0.0;    // total weight of the node's rows
    double impurity = 0.0;  // criteria/impurity.hpp
    std::uint32_t rows = 0;
    bool pure = false;      // nothing to split: one class in every output
    Label label = 0;        // what the node predicts as a leaf
    // A regression node's values (one per output), recorded for inner nodes and leaves alike;
    // valid until the next take(). Empty for classifiers, whose leaves write their own.
    std::span<const double> values;
};

// Where a node is and what its split search must know beyond its rows.
struct NodeAt {
    NodeRange range;
    std::uint32_t depth = 0;
    std::uint64_t path = 0;  // the node's place, which keys its draws (support/streams.hpp)
    Bounds bounds;
    double root_weight = 0.0;
    bool measure = false;  // the split's weighted impurity decrease is wanted
    bool sorts_own = false;  // the node sorts its searched features itself (node_columns.hpp)
};

struct NodeSplit {
    SplitChoice choice;          // feature, threshold and NaN side
    std::span<const Entry> column;  // the split feature's sorted range of the node
    std::size_t n_left = 0;      // rows of the split feature's range below the threshold
    std::size_t n_tail_left = 0; // NaN rows at the end of that range that go left too
    double decrease = 0.0;       // weighted impurity decrease, when measured
    double middle = 0.0;         // monotonic constraints: where the children's bounds meet
    // The node's rows (WorkingSet::node_rows at its range) already hold the left side first:
    // there is nothing to mark or partition.
    bool rows_divided = false;
};

// Whether a node of these facts at `depth` stays a leaf, whatever its rows, by the rules.
inline bool stops_at(const GrowRules& rules, std::uint32_t depth, const NodeFacts& facts) {
    return depth == rules.max_depth || facts.pure || facts.weight < rules.min_split ||
           facts.weight < 2.0 * rules.min_leaf || facts.rows < rules.min_split_rows ||
           facts.rows < 2.0 * rules.min_leaf_rows;
}

// Keeps a node's facts in its statistics, when the rules keep them.
inline void record_facts(Tree& tree, std::uint32_t index, const NodeFacts& facts,
                         const GrowRules& rules) {
    if (!rules.record_stats) return;
    tree.stats[index] = NodeStats{.weight = facts.weight, .impurity = facts.impurity,
                                  .rows = facts.rows};
    if (facts.values.empty()) return;
    tree.stats[index].values = static_cast<std::uint32_t>(tree.values.size());
    tree.stats[index].n_values = static_cast<std::uint32_t>(facts.values.size());
    for (std::size_t o = 0; o < facts.values.size(); ++o)
        tree.values.push_back({static_cast<std::uint32_t>(o), facts.values[o]});
}

class NodeWork {
  public:
    virtual ~NodeWork() = default;
    // `own_rows`: the node's rows are WorkingSet::node_rows at its range (it sorts its features
    // itself), not its range of the sorted blocks.
    virtual NodeFacts take(NodeRange range, bool own_rows) = 0;
    // The split of the current node, or nothing when no split divides it within the rules.
    virtual std::optional<NodeSplit> split(const NodeAt& at, ScratchSlots& scratch,
                                           WorkerPool* pool) = 0;
    // Writes the current node at `index` as a leaf, its values within `bounds`.
    virtual void leaf(Tree& tree, std::uint32_t index, const Bounds& bounds, bool record) = 0;
    // Grows the rest of the current node's subtree itself, as growth would (depth first, left
    // first, each node appended when it is reached), when all of it takes a path of the work's
    // own: the node is placed at `index` and its `facts` recorded. False, with nothing done,
    // when growth goes on node by node. The tree holds at most `node_limit` nodes.
    virtual bool grow_subtree(Tree& /*tree*/, std::uint32_t /*index*/, const NodeAt& /*at*/,
                              const NodeFacts& /*facts*/, std::size_t /*node_limit*/,
                              ScratchSlots& /*scratch*/) {
        return false;
    }
};

// The work for the set's path (WorkingSet::is_general).
std::unique_ptr<NodeWork> node_work(WorkingSet& set, const GrowRules& rules);

std::unique_ptr<NodeWork> exact_node_work(WorkingSet& set, const GrowRules& rules);
std::unique_ptr<NodeWork> general_node_work(WorkingSet& set, const GrowRules& rules);
std::unique_ptr<NodeWork> regression_node_work(WorkingSet& set, const GrowRules& rules);

}  // namespace lindorf
