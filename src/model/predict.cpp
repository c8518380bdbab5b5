#include "model/predict.hpp"

#include <algorithm>
#include <string>

#include "model/walk.hpp"
#include "support/error.hpp"

namespace lindorf {

namespace {

// Rows per task. Every tree walks a block's rows in turn, so a block's row values should stay
// in the core's cache between trees (about 1 MiB of them), and the longer the block, the less a
// tree's own nodes cost in cache misses per row. Blocks stay short enough to give every thread
// a few, so that threads finishing early still find work.
std::size_t rows_per_block(std::size_t n_rows, std::size_t n_cols, WorkerPool* pool) {
    const std::size_t threads = pool == nullptr ? 1 : pool->threads();
    const std::size_t by_cache = (std::size_t{1} << 20) / (std::max<std::size_t>(n_cols, 1) * 4);
    const std::size_t by_threads = (n_rows + 4 * threads - 1) / (4 * threads);
    return std::clamp<std::size_t>(std::min(by_cache, by_threads), 256, 16384);
}

template <class Body>
void for_row_blocks(MatrixView rows, WorkerPool* pool, Body&& body) {
    const std::size_t block = rows_per_block(rows.n_rows, rows.n_cols, pool);
    parallel_for(pool, (rows.n_rows + block - 1) / block, [&](std::size_t b) {
        body(b * block, std::min(rows.n_rows, (b + 1) * block));
    });
}

// The tree as walks read it, once checked for what they take for granted: the tree fits the
// rows, its leaf labels and the classes in its leaves are class indices, and its leaves have
// class counts.
std::vector<WalkNode> checked_walkable(const Tree& tree, std::size_t n_cols,
                                       std::uint32_t n_classes) {
    LINDORF_CHECK(tree.has_stats(), "the tree has no class counts");
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        if (!tree.nodes[i].is_leaf) continue;
        LINDORF_CHECK(tree.nodes[i].prediction < n_classes, "a leaf's label is not a class index");
        const NodeStats& stats = tree.stats[i];
        LINDORF_CHECK(std::uint64_t{stats.counts} + stats.n_counts <= tree.class_counts.size(),
                      "a leaf's class counts are missing");
        for (const ClassCount& count : leaf_class_counts(tree, i))
            LINDORF_CHECK(count.label < n_classes, "tree class " + std::to_string(count.label) +
                                                       " is not below " +
                                                       std::to_string(n_classes));
    }
    return walkable(tree, n_cols);
}

// Every tree's walk, checked and converted on the pool: for a large forest this is a tenth of
// predicting a hundred thousand rows, too much to leave to one thread.
template <class Convert>
std::vector<std::vector<WalkNode>> walkables(std::span<const SharedTree> trees, WorkerPool* pool,
                                             Convert&& convert) {
    std::vector<std::vector<WalkNode>> walks(trees.size());
    parallel_for(pool, trees.size(), [&](std::size_t t) { walks[t] = convert(*trees[t]); });
    return walks;
}

}  // namespace

std::vector<WalkNode> walkable(const Tree& tree, std::size_t n_cols) {
    LINDORF_CHECK(!tree.nodes.empty(), "the tree has no nodes");
    std::vector<WalkNode> out(tree.nodes.size());
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        const Node& node = tree.nodes[i];
        if (node.is_leaf) {
            out[i] = {0.0f, leaf_mark, {static_cast<std::uint32_t>(i), node.prediction}};
            continue;
        }
        LINDORF_CHECK(node.feature < n_cols, "index out of bounds: the len is " +
                                                 std::to_string(n_cols) + " but the index is " +
                                                 std::to_string(node.feature));
        LINDORF_CHECK(node.left < tree.nodes.size() && node.right < tree.nodes.size(),
                      "a tree node's child is missing from the tree");
        out[i] = {node.threshold, node.feature, {node.left, node.right}};
    }
    return out;
}

Labels tree_labels(const Tree& tree, MatrixView rows, WorkerPool* pool) {
    const std::vector<WalkNode> walk = walkable(tree, rows.n_cols);
    Labels out(rows.n_rows);
    for_row_blocks(rows, pool, [&](std::size_t begin, std::size_t end) {
        walk_rows(walk, rows, begin, end,
                  [&](std::size_t r, const WalkNode& leaf) { out[r] = leaf.child[1]; });
    });
    return out;
}

std::vector<double> tree_shares(const Tree& tree, MatrixView rows, std::uint32_t n_classes,
                                WorkerPool* pool) {
    const std::vector<WalkNode> walk = checked_walkable(tree, rows.n_cols, n_classes);
    std::vector<double> out(rows.n_rows * n_classes, 0.0);
    for_row_blocks(rows, pool, [&](std::size_t begin, std::size_t end) {
        walk_rows(walk, rows, begin, end, [&](std::size_t r, const WalkNode& leaf) {
            const double weight = tree.stats[leaf.child[0]].weight;
            for (const ClassCount& count : leaf_class_counts(tree, leaf.child[0]))
                out[r * n_classes + count.label] = count.count / weight;
        });
    });
    return out;
}

std::vector<std::uint32_t> forest_votes(std::span<const SharedTree> trees, MatrixView rows,
                                        std::uint32_t n_classes, WorkerPool* pool) {
    const std::vector<std::vector<WalkNode>> walks =
        walkables(trees, pool, [&](const Tree& tree) {
            return checked_walkable(tree, rows.n_cols, n_classes);
        });
    std::vector<std::uint32_t> votes(rows.n_rows * n_classes, 0);
    for_row_blocks(rows, pool, [&](std::size_t begin, std::size_t end) {
        for (const std::vector<WalkNode>& walk : walks) {
            walk_rows(walk, rows, begin, end, [&](std::size_t r, const WalkNode& leaf) {
                ++votes[r * n_classes + leaf.child[1]];
            });
        }
    });
    return votes;
}

std::vector<std::uint32_t> forest_leaves(std::span<const SharedTree> trees, MatrixView rows,
                                         WorkerPool* pool) {
    const std::vector<std::vector<WalkNode>> walks = walkables(
        trees, pool, [&](const Tree& tree) { return walkable(tree, rows.n_cols); });
    const std::size_t width = trees.size();
    std::vector<std::uint32_t> out(rows.n_rows * width);
    for_row_blocks(rows, pool, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = 0; t < width; ++t)
            walk_rows(walks[t], rows, begin, end, [&](std::size_t r, const WalkNode& leaf) {
                out[r * width + t] = leaf.child[0];
            });
    });
    return out;
}

}  // namespace lindorf
