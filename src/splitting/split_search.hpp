// Split search: the feature and threshold with the highest information gain.
//
// Rules that decide between candidates: a candidate must score strictly above 0.0 to be taken;
// within a feature, among equal top scores the candidate whose earliest row comes first wins, and
// the threshold is that row's exact value; between features the lower index wins. When nothing
// scores above 0.0 the answer is feature 0 at threshold 0.0.
#pragma once

#include <cstdint>
#include <span>

#include "criteria/criteria.hpp"
#include "splitting/scratch.hpp"
#include "splitting/working_set.hpp"
#include "support/dataset.hpp"
#include "support/parallel.hpp"

namespace lindorf {

struct SplitChoice {
    std::uint32_t feature = 0;
    float threshold = 0.0f;
};

// Every value of every feature is a candidate threshold (rows go left when strictly below it).
// Scores are information_gain_criterion's, computed from running class counts over each feature
// sorted once. No rows is an internal failure; rows without features give feature 0, threshold
// 0.0. Labels pair with rows by position, as in information_gain_criterion.
SplitChoice find_best_split(MatrixView rows, std::span<const Label> labels);

// The best split of one node of a working set; `node` holds the node's class counts. With a
// pool the features are searched in parallel; the answer does not depend on it.
SplitChoice search_node(const WorkingSet& set, NodeRange range, const NodeCounts& node,
                        ScratchSlots& scratch, WorkerPool* pool);

}  // namespace lindorf
