// Class counts of the node being grown: what the stop test, the majority label and the split
// scores need to know about a node's labels.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "criteria/criteria.hpp"
#include "splitting/split_search.hpp"
#include "splitting/working_set.hpp"

namespace lindorf {

// Only classes that occur in a node are touched, so a node costs time in its own size, however
// many classes the tree knows.
struct NodeTally {
    std::vector<std::uint32_t> counts;   // by class, weighted
    std::vector<std::uint32_t> latest;   // by class: latest training-list position in the node,
                                         // gathered only when the top count is shared
    std::vector<std::uint32_t> present;  // classes with a non-zero count, ascending
    std::uint32_t total = 0;
    std::vector<std::uint64_t> seen;  // a bit per class, all clear between tallies

    explicit NodeTally(std::size_t classes)
        : counts(classes, 0), latest(classes, 0), seen((classes + 63) / 64, 0) {}
};

// Replaces the tally with that of the given entries (one feature's range of a node).
void tally_node(const WorkingSet& set, std::span<const Entry> entries, NodeTally& tally);

// The most frequent class; between equally frequent classes, the one that occurs latest. In a
// training list that is the label a scan keeping every count at least as high as the best so
// far would end on. The tally must not be empty.
std::uint32_t majority_class(const NodeTally& tally);

// The node as the split scorer sees it; valid while the tally is unchanged.
NodeCounts counts_of(const NodeTally& tally);

// The impurity of the node's rows, as the split search measures it: entropy in bits, or the
// Gini impurity (computed in double precision, rounded to single).
float node_impurity(const NodeTally& tally, Impurity impurity);

// Total weight of some entries of a working set.
std::uint32_t total_weight(const WorkingSet& set, std::span<const Entry> entries);

}  // namespace lindorf
