#include "model/predict.hpp"

#include <algorithm>
#include <string>

#include "support/error.hpp"

namespace lindorf {

namespace {

// Rows per task: enough to outweigh handing a block to another thread, few enough that a
// block's rows stay in cache while every tree of a forest walks them.
constexpr std::size_t block_rows = 2048;

template <class Body>
void for_row_blocks(std::size_t n_rows, WorkerPool* pool, Body&& body) {
    parallel_for(pool, (n_rows + block_rows - 1) / block_rows, [&](std::size_t block) {
        body(block * block_rows, std::min(n_rows, (block + 1) * block_rows));
    });
}

void check_classes(const Tree& tree, std::uint32_t n_classes) {
    LINDORF_CHECK(tree.has_stats(), "the tree has no class counts");
    for (Label label : tree.classes)
        LINDORF_CHECK(label < n_classes, "tree class " + std::to_string(label) +
                                             " is not below " + std::to_string(n_classes));
}

}  // namespace

Labels tree_labels(const Tree& tree, MatrixView rows, WorkerPool* pool) {
    Labels out(rows.n_rows);
    for_row_blocks(rows.n_rows, pool, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r)
            out[r] = tree.nodes[leaf_position(tree, rows, r)].prediction;
    });
    return out;
}

std::vector<double> tree_shares(const Tree& tree, MatrixView rows, std::uint32_t n_classes,
                                WorkerPool* pool) {
    check_classes(tree, n_classes);
    std::vector<double> out(rows.n_rows * n_classes, 0.0);
    const std::size_t width = tree.classes.size();
    for_row_blocks(rows.n_rows, pool, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            const std::uint32_t leaf = leaf_position(tree, rows, r);
            const NodeStats& stats = tree.stats[leaf];
            const std::uint32_t* counts = tree.class_counts.data() + stats.counts;
            const double weight = stats.weight;
            for (std::size_t c = 0; c < width; ++c)
                out[r * n_classes + tree.classes[c]] = counts[c] / weight;
        }
    });
    return out;
}

std::vector<std::uint32_t> forest_votes(std::span<const SharedTree> trees, MatrixView rows,
                                        std::uint32_t n_classes, WorkerPool* pool) {
    for (const SharedTree& tree : trees) check_classes(*tree, n_classes);
    std::vector<std::uint32_t> votes(rows.n_rows * n_classes, 0);
    for_row_blocks(rows.n_rows, pool, [&](std::size_t begin, std::size_t end) {
        for (const SharedTree& tree : trees) {
            for (std::size_t r = begin; r < end; ++r) {
                const Label label = tree->nodes[leaf_position(*tree, rows, r)].prediction;
                LINDORF_CHECK(label < n_classes, "a leaf's label is not a class index");
                ++votes[r * n_classes + label];
            }
        }
    });
    return votes;
}

std::vector<std::uint32_t> forest_leaves(std::span<const SharedTree> trees, MatrixView rows,
                                         WorkerPool* pool) {
    const std::size_t width = trees.size();
    std::vector<std::uint32_t> out(rows.n_rows * width);
    for_row_blocks(rows.n_rows, pool, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = 0; t < width; ++t)
            for (std::size_t r = begin; r < end; ++r)
                out[r * width + t] = leaf_position(*trees[t], rows, r);
    });
    return out;
}

}  // namespace lindorf
