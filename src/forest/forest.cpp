#include "forest/forest.hpp"

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "forest/bootstrap.hpp"
#include "forest/growth.hpp"
#include "support/error.hpp"
#include "tree/grow.hpp"

namespace lindorf {

namespace {

Tree grow_one_tree(MatrixView rows, std::span<const Label> labels, const FeatureOrder& order,
                   std::span<const std::uint32_t> sample, std::uint32_t max_depth,
                   WorkerPool* pool) {
    for (std::uint32_t index : sample) {
        LINDORF_CHECK(index < rows.n_rows, "sample row " + std::to_string(index) +
                                               " is beyond the " + std::to_string(rows.n_rows) +
                                               " rows of the training set");
        LINDORF_CHECK(index < labels.size(), "index out of bounds: the len is " +
                                                 std::to_string(labels.size()) +
                                                 " but the index is " + std::to_string(index));
    }
    return grow_tree_on_sample(rows, labels, order, sample, max_depth, pool);
}

}  // namespace

Forest grow_forest_from(MatrixView rows, std::span<const Label> labels, std::uint32_t max_depth,
                        std::uint32_t n_trees, WorkerPool* pool, const SampleDraw& draw) {
    Forest forest;
    if (n_trees == 0) return forest;
    const FeatureOrder order = sort_features(rows, pool);
    // One slot per tree, written only by the task that grows it, so the forest keeps index order
    // whatever order the trees finish in.
    std::vector<std::optional<Tree>> grown(n_trees);
    try {
        parallel_for(pool, n_trees, [&](std::size_t i) {
            const std::vector<std::uint32_t> sample = draw(i);
            grown[i] = grow_one_tree(rows, labels, order, sample, max_depth, pool);
        });
    } catch (const std::bad_alloc&) {
        // Exhausted memory is not a fault of the tree: it reaches the caller as itself, as it
        // does from a single tree.
        throw;
    } catch (const std::exception& error) {
        fail(std::string("a tree of the forest failed: ") + error.what());
    }
    forest.trees.reserve(n_trees);
    for (std::optional<Tree>& tree : grown) {
        LINDORF_CHECK(tree.has_value(), "a tree of the forest was never grown");
        forest.trees.push_back(std::move(*tree));
    }
    return forest;
}

Forest grow_forest(MatrixView rows, std::span<const Label> labels, std::uint32_t max_depth,
                   std::uint32_t n_trees, WorkerPool* pool) {
    // Each sample is drawn by the thread that grows its tree, from a generator of its own.
    const std::size_t n_rows = rows.n_rows;
    return grow_forest_from(rows, labels, max_depth, n_trees, pool,
                            [n_rows](std::size_t) { return bootstrap_sample(n_rows); });
}

}  // namespace lindorf
