// The general path's split search: rows weighed in whole numbers of a unit, so that every sum of
// weights is exact whatever its order; scores in double precision by the formulas of
// criteria/impurity.hpp; one or several outputs; NaN values sent right or to the side that scores
// best; monotonic constraints; every value a candidate, or one random threshold per feature.
//
// Candidates and ties follow the exact path's rules (split_search.hpp): a candidate must score
// strictly above 0.0; within a feature equal scores go to the group whose earliest row comes
// first, the threshold being that row's value; between features the lower index wins. With NaN
// values learned, each threshold is scored with the node's NaN rows on either side (right first,
// which keeps ties), and "every number left, NaN right" is a candidate too, with threshold +inf
// (or, when a value is +inf, as NaN left of the least value). A node without NaN rows at the
// feature sends NaN to the side of more rows (right on a tie).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "criteria/impurity.hpp"
#include "splitting/column_best.hpp"
#include "splitting/general_rows.hpp"
#include "splitting/scratch.hpp"
#include "splitting/working_set.hpp"
#include "support/parallel.hpp"

namespace lindorf {

// A node's weighted class counts as the general path keeps them. A class slot is a dense class
// index with one output (WorkingSet::class_labels names it) and a flat class index with several.
struct GeneralNode {
    const std::uint64_t* counts = nullptr;       // units by class slot
    std::uint64_t total = 0;                     // units
    std::span<const std::uint32_t> present;      // non-zero slots, output by output, ascending
    std::span<const std::uint32_t> output_ends;  // where each output's part of `present` ends
    double impurity = 0.0;                       // of the counts, by criteria/impurity.hpp
};

// How a monotonic constraint sees a split: the share of class index 0 on each side, which must
// lie within the node's bounds and fall (constraint 1 on the share of class index 1) or rise
// (constraint -1) from left to right.
struct Monotonic {
    std::span<const std::int8_t> by_feature;  // empty: no constraint
    std::uint32_t zero_slot = 0xFFFFFFFFu;    // the slot of class index 0, if the node holds it
    double lower = -1.0 / 0.0;
    double upper = 1.0 / 0.0;
};

struct GeneralRules {
    Impurity impurity = Impurity::entropy;
    std::uint64_t min_leaf_units = 0;  // least weight on each side, in units
    std::uint32_t min_leaf_rows = 0;   // least rows on each side
    bool learn_nan = false;
    Monotonic monotonic;
    std::span<const std::uint32_t> features;  // ascending; empty: every feature
    // Random thresholds: two draws per searched feature, in ascending feature order (the
    // threshold's and the NaN side's). Empty: every value is a candidate.
    std::span<const std::uint64_t> draws;
};

struct GeneralChoice {
    bool found = false;  // false: nothing scored above 0.0
    std::uint32_t feature = 0;
    float threshold = 0.0f;
    bool nan_left = false;
    double gain = 0.0;
};

std::size_t class_slots(const WorkingSet& set);

// One feature's values at a node's rows, in the order of those rows (not sorted), with what a
// random threshold needs of them: the least and largest number, and how many numbers there are.
struct LooseColumn {
    const float* values = nullptr;
    float least = 0.0f;
    float largest = 0.0f;
    std::size_t numbers = 0;
};

// Every value of the node's sorted columns a candidate (rules.draws empty).
GeneralChoice general_search(const WorkingSet& set, NodeRange range, const GeneralNode& node,
                             const GeneralRules& rules, ScratchSlots& scratch, WorkerPool* pool);

// The same over columns the node sorted itself, lined up with rules.features: each holds the
// node's rows in value order with NaN last, rows of equal values in any order.
GeneralChoice general_search(const WorkingSet& set, std::span<const std::span<const Entry>> columns,
                             const GeneralNode& node, const GeneralRules& rules,
                             ScratchSlots& scratch, WorkerPool* pool);

// One random threshold per feature (rules.draws) over columns of the node's rows as they lie:
// `rows` the node's coded rows, `units` their weights (empty: each weighs `every_unit`),
// `classes` their class slots with one output (empty: read from the rows), `columns` lined up
// with the searched features. A drawn threshold needs no order: only the
// column's extent, and one pass that tallies the left side and finds the least value above the
// cut, so nothing is sorted.
GeneralChoice general_random_search(const WorkingSet& set, std::span<const Entry> rows,
                                    std::span<const std::uint64_t> units, std::uint64_t every_unit,
                                    std::span<const std::uint32_t> classes,
                                    std::span<const LooseColumn> columns, const GeneralNode& node,
                                    const GeneralRules& rules, ScratchSlots& scratch,
                                    WorkerPool* pool);

// The same for rows of one weight (`every_unit`), one output of two class slots, NaN right and
// nothing constrained, few of them: the features in turn on this thread, their counts on the
// stack, without the per-feature leases and result records the general search hands out.
GeneralChoice two_class_random_search(const WorkingSet& set, std::span<const Entry> rows,
                                      std::uint64_t every_unit,
                                      std::span<const std::uint32_t> classes,
                                      std::span<const LooseColumn> columns,
                                      const GeneralNode& node, const GeneralRules& rules);

// The impurity of counts by slot (count_of(slot)) over `total` units, by criteria/impurity.hpp.
template <class CountOf>
double general_impurity(const GeneralNode& node, Impurity impurity, std::uint64_t total,
                        CountOf&& count_of) {
    if (total == 0) return 0.0;
    ImpuritySum sum(impurity);
    const double size = static_cast<double>(total);
    std::size_t k = 0;
    for (std::uint32_t end : node.output_ends) {
        sum.start(size);
        for (; k < end; ++k) sum.add(static_cast<double>(count_of(node.present[k])));
    }
    return sum.value(node.output_ends.size());
}

}  // namespace lindorf
