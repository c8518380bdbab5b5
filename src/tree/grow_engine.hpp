// The machinery behind the growth functions of tree/grow.hpp, open to the forest and to tests
// that need to steer when work is shared with the pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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

// How a training list made of the data's rows uses each row: how often it occurs, and the
// positions of its first and last occurrence. That is all growth ever asks of the list's order.
struct RowDraws {
    std::vector<std::uint32_t> count;  // by row of the data; 0: not in the list
    std::vector<std::uint32_t> first;  // by row, where count > 0
    std::vector<std::uint32_t> last;
};

// The list rows[sample[0]], rows[sample[1]], ...
RowDraws draws_of_sample(std::size_t n_rows, std::span<const std::uint32_t> sample);

// The list in which row i occurs weights[i] times at consecutive positions, rows in order.
RowDraws draws_of_weights(std::span<const std::uint32_t> weights);

// The working set of a training list: each row of the list once, its weight the number of
// occurrences. The features come out of `order` already sorted. Without `count_table` the set
// has no WorkingSet::count_log: only the exact path's entropy search reads it.
WorkingSet working_set_of_draws(MatrixView rows, std::span<const Label> labels,
                                const FeatureOrder& order, const RowDraws& draws,
                                WorkerPool* pool, bool count_table = true);

// The same without sorted blocks: every node sorts the features it searches itself, from the
// rows' values (tree/node_columns.hpp), which must outlive the set.
WorkingSet working_set_of_draws(MatrixView rows, std::span<const Label> labels,
                                const RowDraws& draws, SourceValues source,
                                bool count_table = true);

WorkingSet working_set_of_sample(MatrixView rows, std::span<const Label> labels,
                                 const FeatureOrder& order, std::span<const std::uint32_t> sample,
                                 WorkerPool* pool);

// Grows the tree of a working set whose total weight is at least 1, rearranging its entries.
Tree grow_working_set(WorkingSet& set, const GrowRules& rules, std::uint32_t depth,
                      WorkerPool* pool, const GrowSettings& settings = {});

}  // namespace lindorf
