// Split search: the feature and threshold with the highest score.
//
// Rules that decide between candidates: a candidate must score strictly above 0.0 to be taken;
// within a feature, among equal top scores the candidate whose earliest row comes first wins, and
// the threshold is that row's exact value; between features the lower index wins. When nothing
// scores above 0.0 the answer is feature 0 at threshold 0.0.
#pragma once

#include <cstdint>
#include <span>

#include "criteria/criteria.hpp"
#include "criteria/impurity.hpp"
#include "splitting/scratch.hpp"
#include "splitting/working_set.hpp"
#include "support/dataset.hpp"
#include "support/parallel.hpp"

namespace lindorf {

struct SplitChoice {
    std::uint32_t feature = 0;
    float threshold = 0.0f;
    bool nan_left = false;  // NaN values go left (only the general path learns this)
};

// What a search may choose from and how it scores. The defaults are the learner's own rules.
struct SplitRules {
    Impurity impurity = Impurity::entropy;
    // Least total weight on each side: a threshold that leaves less on either side is not a
    // candidate. With 0, thresholds that send everything right are candidates too.
    std::uint32_t min_leaf = 1;
    // The features to search, ascending; empty: every feature. The lowest index still wins ties,
    // and the fallback stays feature 0 even when feature 0 is not among them.
    std::span<const std::uint32_t> features;
    // Least rows (entries, whatever their weight) on each side.
    std::uint32_t min_leaf_rows = 0;
};

// Every value of every feature is a candidate threshold (rows go left when strictly below it).
// Scores are information_gain_criterion's, computed from running class counts over each feature
// sorted once. No rows is an internal failure; rows without features give feature 0, threshold
// 0.0. Labels pair with rows by position, as in information_gain_criterion; rows without a label
// weigh nothing. The first form uses min_leaf 0, as scoring a plain list does.
SplitChoice find_best_split(MatrixView rows, std::span<const Label> labels);
SplitChoice find_best_split(MatrixView rows, std::span<const Label> labels,
                            const SplitRules& rules);

// The best split of one node of a working set; `node` holds the node's class counts. With a
// pool the features are searched in parallel; the answer does not depend on it. A feature list
// that is not ascending or names a feature beyond the set is an internal failure.
SplitChoice search_node(const WorkingSet& set, NodeRange range, const NodeCounts& node,
                        const SplitRules& rules, ScratchSlots& scratch, WorkerPool* pool);

// The same for a node that sorts its features itself: `columns` holds the node's sorted range of
// each feature of rules.features, in its place, instead of the set's blocks.
SplitChoice search_node(const WorkingSet& set, NodeRange range, const NodeCounts& node,
                        const SplitRules& rules, std::span<const std::span<const Entry>> columns,
                        ScratchSlots& scratch, WorkerPool* pool);

}  // namespace lindorf
