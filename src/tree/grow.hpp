// Growing a tree: exact information-gain splits found by sweeping each feature in value order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "support/dataset.hpp"
#include "support/parallel.hpp"
#include "tree/tree.hpp"

namespace lindorf {

// Grows the tree for rows[i] with labels[i]. `depth` is the depth of the root (0 for a whole
// tree); nodes at `max_depth` become leaves. Work on large nodes is shared with the pool's
// threads when one is given; the result never depends on it. An empty label list is an internal
// failure ("cannot grow a tree from an empty training set").
Tree grow_tree_(MatrixView rows, std::span<const Label> labels, std::uint32_t max_depth,
                std::uint32_t depth = 0, WorkerPool* pool = nullptr);

// Every feature's rows in ascending value order (NaN last), computed once for a data set and
// shared read-only by every tree grown from samples of it.
struct FeatureOrder {
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;
    std::vector<std::uint32_t> rows;  // n_cols blocks of n_rows row indices
    std::span<const std::uint32_t> feature(std::size_t f) const {
        return {rows.data() + f * n_rows, n_rows};
    }
};

FeatureOrder sort_features(MatrixView rows, WorkerPool* pool = nullptr);

// Grows exactly the tree that grow_tree_ grows on the copied sample: rows[sample[0]],
// rows[sample[1]], ... with their labels, in draw order, repeats included (ties that depend on
// row order follow the draw order). The sample is never materialised.
Tree grow_tree_on_sample(MatrixView rows, std::span<const Label> labels, const FeatureOrder& order,
                         std::span<const std::uint32_t> sample, std::uint32_t max_depth,
                         WorkerPool* pool = nullptr);

}  // namespace lindorf
