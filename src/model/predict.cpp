#include "model/predict.hpp"

#include <algorithm>
#include <memory>
#include <string>

#include "model/walk.hpp"
#include "sparse/sparse_rows.hpp"
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

// Rows per task for means over the trees (shares and values), whose outputs are a few numbers a
// row that every tree adds to. There the block is as long as its outputs stay in the core's cache
// (1 MiB of them) with two blocks per thread: the rows stream through in order, which the
// prefetcher follows, while each tree's nodes are brought back into the cache once a block, and
// fewer, longer blocks measured a tenth to a fifth faster than blocks of rows that stay cached.
std::size_t mean_rows_per_block(std::size_t n_rows, std::size_t width, WorkerPool* pool) {
    const std::size_t threads = pool == nullptr ? 1 : pool->threads();
    const std::size_t by_outputs = (std::size_t{1} << 20) / (std::max<std::size_t>(width, 1) * 8);
    const std::size_t by_threads = (n_rows + 2 * threads - 1) / (2 * threads);
    return std::clamp<std::size_t>(std::min(by_outputs, by_threads), 256, std::size_t{1} << 16);
}

// Rows as walks read them, a block at a time: body(view, begin, end, out) walks the view's rows
// begin .. end - 1, which are rows out, out + 1, ... of the input.
struct DenseInput {
    MatrixView rows;
    std::size_t n_rows() const { return rows.n_rows; }
    std::size_t n_cols() const { return rows.n_cols; }

    template <class Body>
    void for_blocks(WorkerPool* pool, Body&& body) const {
        for_blocks(pool, rows_per_block(rows.n_rows, rows.n_cols, pool), body);
    }

    template <class Body>
    void for_blocks(WorkerPool* pool, std::size_t block, Body&& body) const {
        parallel_for(pool, (rows.n_rows + block - 1) / block, [&](std::size_t b) {
            const std::size_t begin = b * block;
            body(rows, begin, std::min(rows.n_rows, begin + block), begin);
        });
    }
};

// Sparse rows: each task lays its blocks out densely, one after another, in a buffer of its own.
struct SparseInput {
    const SparseRows& rows;
    std::size_t n_rows() const { return rows.n_rows; }
    std::size_t n_cols() const { return rows.n_cols; }

    template <class Body>
    void for_blocks(WorkerPool* pool, Body&& body) const {
        for_blocks(pool, rows_per_block(rows.n_rows, rows.n_cols, pool), body);
    }

    template <class Body>
    void for_blocks(WorkerPool* pool, std::size_t rows_wanted, Body&& body) const {
        const std::size_t block = std::min(rows_wanted, dense_block_rows(rows.n_cols));
        const std::size_t blocks = (rows.n_rows + block - 1) / block;
        const std::size_t threads = pool == nullptr ? 1 : pool->threads();
        const std::size_t tasks = std::min(blocks, 4 * threads);
        parallel_for(pool, tasks, [&](std::size_t task) {
            std::vector<float> zeros;
            for (std::size_t b = task; b < blocks; b += tasks) {
                const std::size_t begin = b * block;
                const std::size_t end = std::min(rows.n_rows, begin + block);
                const MatrixView dense = dense_rows(rows, begin, end, zeros);
                body(dense, 0, end - begin, begin);
                clear_rows(rows, begin, end, zeros);
            }
        });
    }
};

// Whether the tree's leaves say what votes and class shares take for granted: its leaf labels
// and the classes of its leaf values are class indices, and its leaves have values and a weight
// to divide them by.
bool classes_hold(const Tree& tree, std::uint32_t n_classes) {
    if (!tree.has_stats()) return false;
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        if (!tree.nodes[i].is_leaf) continue;
        if (tree.nodes[i].prediction >= n_classes) return false;
        const NodeStats& stats = tree.stats[i];
        if (std::uint64_t{stats.values} + stats.n_values > tree.values.size()) return false;
        if (!(stats.weight > 0.0)) return false;
        for (const LeafValue& value : leaf_values(tree, i))
            if (value.index >= n_classes) return false;
    }
    return true;
}

// Fails, saying why, unless classes_hold.
void check_classes(const Tree& tree, std::uint32_t n_classes) {
    LINDORF_CHECK(tree.has_stats(), "the tree has no leaf values");
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        if (!tree.nodes[i].is_leaf) continue;
        LINDORF_CHECK(tree.nodes[i].prediction < n_classes, "a leaf's label is not a class index");
        const NodeStats& stats = tree.stats[i];
        LINDORF_CHECK(std::uint64_t{stats.values} + stats.n_values <= tree.values.size(),
                      "a leaf's values are missing");
        LINDORF_CHECK(stats.weight > 0.0, "a leaf has no weight");
        for (const LeafValue& value : leaf_values(tree, i))
            LINDORF_CHECK(value.index < n_classes, "tree class " + std::to_string(value.index) +
                                                       " is not below " +
                                                       std::to_string(n_classes));
    }
}

// Each leaf's label in every output after the first, by flat class index: the most heavily
// weighted class, the lowest on a tie.
std::vector<std::uint32_t> other_labels(const Tree& tree,
                                        std::span<const std::uint32_t> output_classes) {
    const std::size_t others = output_classes.empty() ? 0 : output_classes.size() - 1;
    std::vector<std::uint32_t> out(tree.nodes.size() * others, 0);
    if (others == 0) return out;
    std::vector<std::uint32_t> offsets{0};
    for (std::uint32_t classes : output_classes) offsets.push_back(offsets.back() + classes);
    std::vector<double> best(others);
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        if (!tree.nodes[i].is_leaf) continue;
        std::fill(best.begin(), best.end(), -1.0);
        for (const LeafValue& value : leaf_values(tree, i)) {
            const auto o = static_cast<std::size_t>(
                std::upper_bound(offsets.begin(), offsets.end(), value.index) - offsets.begin() -
                1);
            if (o == 0 || !(value.value > best[o - 1])) continue;
            best[o - 1] = value.value;
            out[i * others + o - 1] = value.index;
        }
    }
    return out;
}

// Whether every leaf of a regression tree holds one value per target.
bool targets_hold(const Tree& tree, std::uint32_t n_targets) {
    if (!tree.has_stats()) return false;
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        if (!tree.nodes[i].is_leaf) continue;
        const NodeStats& stats = tree.stats[i];
        if (stats.n_values != n_targets ||
            std::uint64_t{stats.values} + stats.n_values > tree.values.size())
            return false;
    }
    return true;
}

// Fails, saying why, unless targets_hold.
void check_targets(const Tree& tree, std::uint32_t n_targets) {
    LINDORF_CHECK(tree.has_stats(), "the tree has no leaf values");
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        if (!tree.nodes[i].is_leaf) continue;
        const NodeStats& stats = tree.stats[i];
        LINDORF_CHECK(stats.n_values == n_targets &&
                          std::uint64_t{stats.values} + stats.n_values <= tree.values.size(),
                      "a leaf does not hold a value for each target");
    }
}

// What a model's leaves are: class indices of `n_classes` (by output), or `n_targets` values
// when that is not 0.
struct LeafShape {
    std::uint32_t n_classes = 0;
    std::span<const std::uint32_t> output_classes = {};
    std::uint32_t n_targets = 0;
};

LeafShape shape_of(const Model& model) {
    return {model.n_classes, model.output_classes, model.n_targets};
}

// A checked tree's share table (PreparedWalk::shares), or nothing when it would be too large.
std::vector<double> leaf_shares(const Tree& tree, std::span<const WalkNode> nodes,
                                std::uint32_t n_classes) {
    std::size_t leaves = 0;
    for (const WalkNode& node : nodes) leaves += node.feature == leaf_mark;
    if (!share_table_fits(leaves, n_classes, tree.values.size())) return {};
    std::vector<double> out(leaves * n_classes, 0.0);
    for (const WalkNode& node : nodes) {
        if (node.feature != leaf_mark) continue;
        const std::uint32_t i = node.child[0];
        double* row = out.data() + std::size_t{node.leaf} * n_classes;
        const double weight = tree.stats[i].weight;
        std::uint32_t next = 0;
        for (const LeafValue& value : leaf_values(tree, i)) {
            // A class listed twice would be added to a row twice, which one sum in the table
            // would not round alike.
            if (value.index < next) return {};
            next = value.index + 1;
            row[value.index] = value.value / weight;
        }
    }
    return out;
}

SharedWalk prepared(const Tree& tree, std::size_t n_cols, const LeafShape& shape) {
    PreparedWalk walk{walkable(tree, n_cols)};
    walk.nan_sides = sends_nan_left(walk.nodes);
    if (shape.n_targets > 0) {
        walk.leaves_checked = targets_hold(tree, shape.n_targets);
        return std::make_shared<const PreparedWalk>(std::move(walk));
    }
    walk.leaves_checked = classes_hold(tree, shape.n_classes);
    // Other outputs' labels and the shares read the leaves' values, which only hold once checked.
    if (walk.leaves_checked) {
        walk.other_labels = other_labels(tree, shape.output_classes);
        walk.shares = leaf_shares(tree, walk.nodes, shape.n_classes);
        if (!walk.shares.empty()) walk.share_width = shape.n_classes;
    }
    return std::make_shared<const PreparedWalk>(std::move(walk));
}

// Every tree's walk, checked and converted on the pool: for a large forest this is a tenth of
// predicting a hundred thousand rows, too much to leave to one thread.
std::vector<SharedWalk> prepare_all(std::span<const SharedTree> trees, std::size_t n_cols,
                                    const LeafShape& shape, WorkerPool* pool) {
    std::vector<SharedWalk> walks(trees.size());
    parallel_for(pool, trees.size(),
                 [&](std::size_t t) { walks[t] = prepared(*trees[t], n_cols, shape); });
    return walks;
}

// Walks for predictions that read the leaves' values fail as before for a tree whose leaves do
// not hold.
void check_walks(std::span<const SharedTree> trees, std::span<const SharedWalk> walks,
                 const LeafShape& shape) {
    for (std::size_t t = 0; t < walks.size(); ++t) {
        if (walks[t]->leaves_checked) continue;
        if (shape.n_targets > 0)
            check_targets(*trees[t], shape.n_targets);
        else
            check_classes(*trees[t], shape.n_classes);
    }
}

// The model's prepared walks, or walks made afresh when it has none; checked when `values`
// are read.
std::vector<SharedWalk> walks_of(const Model& model, std::size_t n_cols, bool values,
                                 WorkerPool* pool) {
    LINDORF_CHECK(n_cols == model.n_features, "the rows do not have the model's features");
    std::vector<SharedWalk> walks = model.walks.size() == model.trees.size()
                                        ? model.walks
                                        : prepare_all(model.trees, n_cols, shape_of(model), pool);
    if (values) check_walks(model.trees, walks, shape_of(model));
    return walks;
}

const Tree& only_tree(const Model& model) {
    LINDORF_CHECK(model.trees.size() == 1, "the model is not a single tree");
    return *model.trees[0];
}

template <class Input>
Labels labels_by_walk(const PreparedWalk& walk, const Input& input, WorkerPool* pool) {
    Labels out(input.n_rows());
    input.for_blocks(pool, [&](MatrixView rows, std::size_t begin, std::size_t end,
                               std::size_t at) {
        walk_any(walk.nodes, walk.nan_sides, rows, begin, end,
                 [&](std::size_t r, const WalkNode& leaf) { out[at + r - begin] = leaf.child[1]; });
    });
    return out;
}

// n_rows x width: what each tree adds of each row's leaf into the row's outputs, over the trees
// in tree order, divided once by the tree count. walk_tree(t, rows, begin, end, block) walks tree
// t over the view's rows begin .. end - 1 and adds row r's leaf into block + (r - begin) * width.
template <class Input, class WalkTree>
std::vector<double> means_by_walks(std::size_t n_trees, const Input& input, std::size_t width,
                                   WorkerPool* pool, WalkTree walk_tree) {
    std::vector<double> out(input.n_rows() * width, 0.0);
    if (n_trees == 0) return out;
    const std::size_t block_rows = mean_rows_per_block(input.n_rows(), width, pool);
    input.for_blocks(pool, block_rows, [&](MatrixView rows, std::size_t begin, std::size_t end,
                                           std::size_t at) {
        double* const block = out.data() + at * width;
        for (std::size_t t = 0; t < n_trees; ++t) walk_tree(t, rows, begin, end, block);
        if (n_trees == 1) return;
        const double trees = static_cast<double>(n_trees);
        for (std::size_t i = 0; i < (end - begin) * width; ++i) block[i] /= trees;
    });
    return out;
}

// Adds the `width` values at leaf.leaf's row of `table` into each row's outputs. The common
// widths are constants, so that the adds unroll.
template <std::size_t Width>
void add_table_rows(const PreparedWalk& walk, const double* table, std::size_t width,
                    MatrixView rows, std::size_t begin, std::size_t end, double* block) {
    const std::size_t n = Width == 0 ? width : Width;
    walk_any(walk.nodes, walk.nan_sides, rows, begin, end,
             [&](std::size_t r, const WalkNode& leaf) {
                 const double* from = table + std::size_t{leaf.leaf} * n;
                 double* to = block + (r - begin) * n;
                 for (std::size_t c = 0; c < n; ++c) to[c] += from[c];
             });
}

void add_table(const PreparedWalk& walk, const double* table, std::size_t width,
               MatrixView rows, std::size_t begin, std::size_t end, double* block) {
    switch (width) {
    case 2: return add_table_rows<2>(walk, table, width, rows, begin, end, block);
    case 3: return add_table_rows<3>(walk, table, width, rows, begin, end, block);
    default: return add_table_rows<0>(walk, table, width, rows, begin, end, block);
    }
}

// n_rows x n_classes: each row's leaf's class shares, averaged over the trees: from the walk's
// share table when it has one of this width, else from the leaf's lists, the same sums.
template <class Input>
std::vector<double> shares_by_walks(std::span<const SharedTree> trees,
                                    std::span<const SharedWalk> walks, const Input& input,
                                    std::uint32_t n_classes, WorkerPool* pool) {
    return means_by_walks(
        trees.size(), input, n_classes, pool,
        [&](std::size_t t, MatrixView rows, std::size_t begin, std::size_t end, double* block) {
            const PreparedWalk& walk = *walks[t];
            if (walk.share_width == n_classes && !walk.shares.empty())
                return add_table(walk, walk.shares.data(), n_classes, rows, begin, end, block);
            const Tree& tree = *trees[t];
            walk_any(walk.nodes, walk.nan_sides, rows, begin, end,
                     [&](std::size_t r, const WalkNode& leaf) {
                         double* row = block + (r - begin) * n_classes;
                         const double weight = tree.stats[leaf.child[0]].weight;
                         for (const LeafValue& value : leaf_values(tree, leaf.child[0]))
                             row[value.index] += value.value / weight;
                     });
        });
}

// n_rows x n_classes: how many trees vote for each class, in every output.
template <class Input>
std::vector<std::uint32_t> votes_by_walks(std::span<const SharedWalk> walks, const Input& input,
                                          std::uint32_t n_classes, std::size_t n_outputs,
                                          WorkerPool* pool) {
    const std::size_t others = n_outputs - 1;
    std::vector<std::uint32_t> votes(input.n_rows() * n_classes, 0);
    input.for_blocks(pool, [&](MatrixView rows, std::size_t begin, std::size_t end,
                               std::size_t at) {
        for (const SharedWalk& walk : walks) {
            walk_any(walk->nodes, walk->nan_sides, rows, begin, end,
                     [&](std::size_t r, const WalkNode& leaf) {
                         std::uint32_t* row = votes.data() + (at + r - begin) * n_classes;
                         ++row[leaf.child[1]];
                         for (std::size_t o = 0; o < others; ++o)
                             ++row[walk->other_labels[leaf.child[0] * others + o]];
                     });
        }
    });
    return votes;
}

template <class Input>
std::vector<std::uint32_t> leaves_by_walks(std::span<const SharedWalk> walks, const Input& input,
                                           WorkerPool* pool) {
    const std::size_t width = walks.size();
    std::vector<std::uint32_t> out(input.n_rows() * width);
    input.for_blocks(pool, [&](MatrixView rows, std::size_t begin, std::size_t end,
                               std::size_t at) {
        for (std::size_t t = 0; t < width; ++t)
            walk_any(walks[t]->nodes, walks[t]->nan_sides, rows, begin, end,
                     [&](std::size_t r, const WalkNode& leaf) {
                         out[(at + r - begin) * width + t] = leaf.child[0];
                     });
    });
    return out;
}

// n_rows x n_targets: each row's leaf's values, averaged over the trees.
template <class Input>
std::vector<double> values_by_walks(std::span<const SharedTree> trees,
                                    std::span<const SharedWalk> walks, const Input& input,
                                    std::uint32_t n_targets, WorkerPool* pool) {
    return means_by_walks(
        trees.size(), input, n_targets, pool,
        [&](std::size_t t, MatrixView rows, std::size_t begin, std::size_t end, double* block) {
            const Tree& tree = *trees[t];
            walk_any(walks[t]->nodes, walks[t]->nan_sides, rows, begin, end,
                     [&](std::size_t r, const WalkNode& leaf) {
                         const LeafValue* value =
                             tree.values.data() + tree.stats[leaf.child[0]].values;
                         double* row = block + (r - begin) * n_targets;
                         for (std::uint32_t o = 0; o < n_targets; ++o) row[o] += value[o].value;
                     });
        });
}

template <class Input>
std::vector<double> forest_values_of(const Model& model, const Input& input, WorkerPool* pool) {
    LINDORF_CHECK(model.regression(), "the model is not a regression model");
    return values_by_walks(model.trees, walks_of(model, input.n_cols(), true, pool), input,
                           model.n_targets, pool);
}

template <class Input>
Labels tree_labels_of(const Model& model, const Input& input, WorkerPool* pool) {
    only_tree(model);
    return labels_by_walk(*walks_of(model, input.n_cols(), false, pool)[0], input, pool);
}

template <class Input>
std::vector<double> tree_shares_of(const Model& model, const Input& input, WorkerPool* pool) {
    only_tree(model);
    return shares_by_walks(model.trees, walks_of(model, input.n_cols(), true, pool), input,
                           model.n_classes, pool);
}

template <class Input>
std::vector<double> forest_shares_of(const Model& model, const Input& input, WorkerPool* pool) {
    return shares_by_walks(model.trees, walks_of(model, input.n_cols(), true, pool), input,
                           model.n_classes, pool);
}

template <class Input>
std::vector<std::uint32_t> forest_votes_of(const Model& model, const Input& input,
                                           WorkerPool* pool) {
    return votes_by_walks(walks_of(model, input.n_cols(), true, pool), input, model.n_classes,
                          model.n_outputs(), pool);
}

}  // namespace

std::vector<WalkNode> walkable(const Tree& tree, std::size_t n_cols) {
    LINDORF_CHECK(!tree.nodes.empty(), "the tree has no nodes");
    std::vector<WalkNode> out(tree.nodes.size());
    std::uint32_t leaves = 0;
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        const Node& node = tree.nodes[i];
        if (node.is_leaf) {
            out[i].leaf = leaves++;
            out[i].feature = leaf_mark;
            out[i].child[0] = static_cast<std::uint32_t>(i);
            out[i].child[1] = node.prediction;
            continue;
        }
        LINDORF_CHECK(node.feature < n_cols, "index out of bounds: the len is " +
                                                 std::to_string(n_cols) + " but the index is " +
                                                 std::to_string(node.feature));
        LINDORF_CHECK(node.left < tree.nodes.size() && node.right < tree.nodes.size(),
                      "a tree node's child is missing from the tree");
        const bool nan_left = node.nan_left;
        LINDORF_CHECK(!nan_left || node.feature < nan_left_mark,
                      "a node that sends NaN left tests a feature beyond 2^31");
        out[i] = {node.threshold, node.feature | (nan_left ? nan_left_mark : 0u),
                  {node.left, node.right}};
    }
    return out;
}

bool sends_nan_left(std::span<const WalkNode> tree) {
    for (const WalkNode& node : tree)
        if (node.feature != leaf_mark && (node.feature & nan_left_mark) != 0) return true;
    return false;

}

void prepare_walks(Model& model, WorkerPool* pool) {
    model.walks = prepare_all(model.trees, model.n_features, shape_of(model), pool);
}

Labels tree_labels(const Model& model, MatrixView rows, WorkerPool* pool) {
    return tree_labels_of(model, DenseInput{rows}, pool);
}

std::vector<double> tree_shares(const Model& model, MatrixView rows, WorkerPool* pool) {
    return tree_shares_of(model, DenseInput{rows}, pool);
}

std::vector<double> forest_shares(const Model& model, MatrixView rows, WorkerPool* pool) {
    return forest_shares_of(model, DenseInput{rows}, pool);
}

std::vector<std::uint32_t> forest_votes(const Model& model, MatrixView rows, WorkerPool* pool) {
    return forest_votes_of(model, DenseInput{rows}, pool);
}

std::vector<std::uint32_t> forest_leaves(const Model& model, MatrixView rows, WorkerPool* pool) {
    return leaves_by_walks(walks_of(model, rows.n_cols, false, pool), DenseInput{rows}, pool);
}

std::vector<double> forest_values(const Model& model, MatrixView rows, WorkerPool* pool) {
    return forest_values_of(model, DenseInput{rows}, pool);
}

Labels tree_labels(const Model& model, const SparseRows& rows, WorkerPool* pool) {
    return tree_labels_of(model, SparseInput{rows}, pool);
}

std::vector<double> tree_shares(const Model& model, const SparseRows& rows, WorkerPool* pool) {
    return tree_shares_of(model, SparseInput{rows}, pool);
}

std::vector<double> forest_shares(const Model& model, const SparseRows& rows, WorkerPool* pool) {
    return forest_shares_of(model, SparseInput{rows}, pool);
}

std::vector<std::uint32_t> forest_votes(const Model& model, const SparseRows& rows,
                                        WorkerPool* pool) {
    return forest_votes_of(model, SparseInput{rows}, pool);
}

std::vector<std::uint32_t> forest_leaves(const Model& model, const SparseRows& rows,
                                         WorkerPool* pool) {
    return leaves_by_walks(walks_of(model, rows.n_cols, false, pool), SparseInput{rows}, pool);
}

std::vector<double> forest_values(const Model& model, const SparseRows& rows, WorkerPool* pool) {
    return forest_values_of(model, SparseInput{rows}, pool);
}

Labels tree_labels(const Tree& tree, MatrixView rows, WorkerPool* pool) {
    return labels_by_walk(*prepared(tree, rows.n_cols, {}), DenseInput{rows}, pool);
}

std::vector<double> tree_shares(const Tree& tree, MatrixView rows, std::uint32_t n_classes,
                                WorkerPool* pool) {
    check_classes(tree, n_classes);
    const SharedTree shared(std::shared_ptr<const Tree>(), &tree);  // not owned
    const SharedWalk walk = prepared(tree, rows.n_cols, {n_classes});
    return shares_by_walks({&shared, 1}, {&walk, 1}, DenseInput{rows}, n_classes, pool);
}

std::vector<double> forest_shares(std::span<const SharedTree> trees, MatrixView rows,
                                  std::uint32_t n_classes, WorkerPool* pool) {
    const LeafShape shape{n_classes};
    const std::vector<SharedWalk> walks = prepare_all(trees, rows.n_cols, shape, pool);
    check_walks(trees, walks, shape);
    return shares_by_walks(trees, walks, DenseInput{rows}, n_classes, pool);
}

std::vector<std::uint32_t> forest_votes(std::span<const SharedTree> trees, MatrixView rows,
                                        std::uint32_t n_classes, WorkerPool* pool,
                                        std::span<const std::uint32_t> output_classes) {
    const LeafShape shape{n_classes, output_classes};
    const std::vector<SharedWalk> walks = prepare_all(trees, rows.n_cols, shape, pool);
    check_walks(trees, walks, shape);
    const std::size_t n_outputs = output_classes.empty() ? 1 : output_classes.size();
    return votes_by_walks(walks, DenseInput{rows}, n_classes, n_outputs, pool);
}

std::vector<std::uint32_t> forest_leaves(std::span<const SharedTree> trees, MatrixView rows,
                                         WorkerPool* pool) {
    return leaves_by_walks(prepare_all(trees, rows.n_cols, {}, pool), DenseInput{rows}, pool);
}

std::vector<double> forest_values(std::span<const SharedTree> trees, MatrixView rows,
                                  std::uint32_t n_targets, WorkerPool* pool) {
    const LeafShape shape{0, {}, n_targets};
    const std::vector<SharedWalk> walks = prepare_all(trees, rows.n_cols, shape, pool);
    check_walks(trees, walks, shape);
    return values_by_walks(trees, walks, DenseInput{rows}, n_targets, pool);
}

}  // namespace lindorf
