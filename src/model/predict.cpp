#include "model/predict.hpp"

#include <memory>
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

// Whether the tree's leaves say what votes and class shares take for granted: its leaf labels
// and the classes in its leaves are class indices, and its leaves have class counts.
bool classes_hold(const Tree& tree, std::uint32_t n_classes) {
    if (!tree.has_stats()) return false;
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        if (!tree.nodes[i].is_leaf) continue;
        if (tree.nodes[i].prediction >= n_classes) return false;
        const NodeStats& stats = tree.stats[i];
        if (std::uint64_t{stats.counts} + stats.n_counts > tree.class_counts.size()) return false;
        for (const ClassCount& count : leaf_class_counts(tree, i))
            if (count.label >= n_classes) return false;
    }
    return true;
}

// Fails, saying why, unless classes_hold.
void check_classes(const Tree& tree, std::uint32_t n_classes) {
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
}

SharedWalk prepared(const Tree& tree, std::size_t n_cols, std::uint32_t n_classes) {
    return std::make_shared<const PreparedWalk>(
        PreparedWalk{walkable(tree, n_cols), classes_hold(tree, n_classes)});
}

// Every tree's walk, checked and converted on the pool: for a large forest this is a tenth of
// predicting a hundred thousand rows, too much to leave to one thread.
std::vector<SharedWalk> prepare_all(std::span<const SharedTree> trees, std::size_t n_cols,
                                    std::uint32_t n_classes, WorkerPool* pool) {
    std::vector<SharedWalk> walks(trees.size());
    parallel_for(pool, trees.size(),
                 [&](std::size_t t) { walks[t] = prepared(*trees[t], n_cols, n_classes); });
    return walks;
}

// The model's prepared walks, or walks made afresh when it has none; walks for votes and class
// shares (`classes`) fail as before for a tree whose leaves do not hold.
std::vector<SharedWalk> walks_of(const Model& model, MatrixView rows, bool classes,
                                 WorkerPool* pool) {
    LINDORF_CHECK(rows.n_cols == model.n_features, "the rows do not have the model's features");
    std::vector<SharedWalk> walks = model.walks.size() == model.trees.size()
                                        ? model.walks
                                        : prepare_all(model.trees, rows.n_cols, model.n_classes, pool);
    if (classes)
        for (std::size_t t = 0; t < walks.size(); ++t)
            if (!walks[t]->classes_checked) check_classes(*model.trees[t], model.n_classes);
    return walks;
}

const Tree& only_tree(const Model& model) {
    LINDORF_CHECK(model.trees.size() == 1, "the model is not a single tree");
    return *model.trees[0];
}

Labels labels_by_walk(std::span<const WalkNode> walk, MatrixView rows, WorkerPool* pool) {
    Labels out(rows.n_rows);
    for_row_blocks(rows, pool, [&](std::size_t begin, std::size_t end) {
        walk_rows(walk, rows, begin, end,
                  [&](std::size_t r, const WalkNode& leaf) { out[r] = leaf.child[1]; });
    });
    return out;
}

std::vector<double> shares_by_walk(const Tree& tree, std::span<const WalkNode> walk,
                                   MatrixView rows, std::uint32_t n_classes, WorkerPool* pool) {
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

std::vector<std::uint32_t> votes_by_walks(std::span<const SharedWalk> walks, MatrixView rows,
                                          std::uint32_t n_classes, WorkerPool* pool) {
    std::vector<std::uint32_t> votes(rows.n_rows * n_classes, 0);
    for_row_blocks(rows, pool, [&](std::size_t begin, std::size_t end) {
        for (const SharedWalk& walk : walks) {
            walk_rows(walk->nodes, rows, begin, end, [&](std::size_t r, const WalkNode& leaf) {
                ++votes[r * n_classes + leaf.child[1]];
            });
        }
    });
    return votes;
}

std::vector<std::uint32_t> leaves_by_walks(std::span<const SharedWalk> walks, MatrixView rows,
                                           WorkerPool* pool) {
    const std::size_t width = walks.size();
    std::vector<std::uint32_t> out(rows.n_rows * width);
    for_row_blocks(rows, pool, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = 0; t < width; ++t)
            walk_rows(walks[t]->nodes, rows, begin, end, [&](std::size_t r, const WalkNode& leaf) {
                out[r * width + t] = leaf.child[0];
            });
    });
    return out;
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

void prepare_walks(Model& model, WorkerPool* pool) {
    model.walks = prepare_all(model.trees, model.n_features, model.n_classes, pool);
}

Labels tree_labels(const Model& model, MatrixView rows, WorkerPool* pool) {
    only_tree(model);
    return labels_by_walk(walks_of(model, rows, false, pool)[0]->nodes, rows, pool);
}

std::vector<double> tree_shares(const Model& model, MatrixView rows, WorkerPool* pool) {
    const Tree& tree = only_tree(model);
    return shares_by_walk(tree, walks_of(model, rows, true, pool)[0]->nodes, rows,
                          model.n_classes, pool);
}

std::vector<std::uint32_t> forest_votes(const Model& model, MatrixView rows, WorkerPool* pool) {
    return votes_by_walks(walks_of(model, rows, true, pool), rows, model.n_classes, pool);
}

std::vector<std::uint32_t> forest_leaves(const Model& model, MatrixView rows, WorkerPool* pool) {
    return leaves_by_walks(walks_of(model, rows, false, pool), rows, pool);
}

Labels tree_labels(const Tree& tree, MatrixView rows, WorkerPool* pool) {
    return labels_by_walk(walkable(tree, rows.n_cols), rows, pool);
}

std::vector<double> tree_shares(const Tree& tree, MatrixView rows, std::uint32_t n_classes,
                                WorkerPool* pool) {
    check_classes(tree, n_classes);
    return shares_by_walk(tree, walkable(tree, rows.n_cols), rows, n_classes, pool);
}

std::vector<std::uint32_t> forest_votes(std::span<const SharedTree> trees, MatrixView rows,
                                        std::uint32_t n_classes, WorkerPool* pool) {
    const std::vector<SharedWalk> walks = prepare_all(trees, rows.n_cols, n_classes, pool);
    for (std::size_t t = 0; t < walks.size(); ++t)
        if (!walks[t]->classes_checked) check_classes(*trees[t], n_classes);
    return votes_by_walks(walks, rows, n_classes, pool);
}

std::vector<std::uint32_t> forest_leaves(std::span<const SharedTree> trees, MatrixView rows,
                                         WorkerPool* pool) {
    return leaves_by_walks(prepare_all(trees, rows.n_cols, 0, pool), rows, pool);
}

}  // namespace lindorf
