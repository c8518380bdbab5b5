// The machinery behind grow_tree_ and grow_tree_on_sample, open to tests that need to steer
// when work is shared with the pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "splitting/working_set.hpp"
#include "support/dataset.hpp"
#include "support/parallel.hpp"
#include "tree/grow.hpp"
#include "tree/tree.hpp"

namespace lindorf {

struct GrowSettings {
    // With a pool, a node's features are searched and partitioned in parallel when the node
    // holds at least this many entries (rows times features). Smaller nodes grow their whole
    // subtrees as single parallel tasks instead: below this size, handing one node's features
    // to another thread costs more than it saves.
    std::size_t parallel_min_entries = 1 << 16;
    // Most nodes the tree may have; smaller than max_tree_nodes only in tests.
    std::size_t node_limit = max_tree_nodes;
};

// The working set of the sample rows[sample[0]], rows[sample[1]], ...: each drawn row once, its
// weight the number of draws, its positions those of its first and last draw. The features
// come out of `order` already sorted.
WorkingSet working_set_of_sample(MatrixView rows, std::span<const Label> labels,
                                 const FeatureOrder& order, std::span<const std::uint32_t> sample,
                                 WorkerPool* pool);

// Grows the tree of a working set whose total weight is at least 1, rearranging its entries.
Tree grow_working_set(WorkingSet& set, std::uint32_t max_depth, std::uint32_t depth,
                      WorkerPool* pool, const GrowSettings& settings = {});

}  // namespace lindorf
