#include "explain/node_table.hpp"

#include <algorithm>
#include <string>

#include "support/error.hpp"

namespace lindorf {

NodeTable node_table(const Tree& tree) {
    const std::size_t n = tree.nodes.size();
    NodeTable t;
    t.children_left.assign(n, no_child);
    t.children_right.assign(n, no_child);
    t.feature.assign(n, no_feature);
    t.threshold.assign(n, -2.0f);
    t.missing_go_to_left.assign(n, 0);
    t.weighted_n_node_samples.resize(n);
    t.impurity.resize(n);
    t.depth.assign(n, 0);
    t.label.assign(n, -1);
    for (std::size_t i = 0; i < n; ++i) {
        const Node& node = tree.nodes[i];
        t.weighted_n_node_samples[i] = cover_at(tree, i);
        t.impurity[i] = impurity_at(tree, i);
        if (node.is_leaf) {
            t.label[i] = node.prediction;
            continue;
        }
        t.children_left[i] = node.left;
        t.children_right[i] = node.right;
        t.feature[i] = node.feature;
        t.threshold[i] = node.threshold;
        t.missing_go_to_left[i] = nan_goes_left(tree, i) ? 1 : 0;
        // Children follow their parent (check_explainable), so a parent's depth is known first.
        t.depth[node.left] = t.depth[i] + 1;
        t.depth[node.right] = t.depth[i] + 1;
    }
    return t;
}

namespace {

// Appends the nodes row r passes in `tree`, numbered from `first`.
void append_path(const Tree& tree, MatrixView rows, std::size_t r, std::int64_t first,
                 std::vector<std::int64_t>& out) {
    std::size_t i = 0;
    for (;;) {
        out.push_back(first + static_cast<std::int64_t>(i));
        const Node& node = tree.nodes[i];
        if (node.is_leaf) return;
        i = goes_left(tree, i, rows.at(r, node.feature)) ? node.left : node.right;
    }
}

}  // namespace

DecisionPaths decision_paths(std::span<const SharedTree> trees, MatrixView rows,
                             WorkerPool* pool) {
    std::vector<std::int64_t> first(trees.size() + 1, 0);
    for (std::size_t t = 0; t < trees.size(); ++t) {
        const Tree& tree = *trees[t];
        LINDORF_CHECK(!tree.nodes.empty(), "the tree has no nodes");
        for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
            const Node& node = tree.nodes[i];
            LINDORF_CHECK(node.is_leaf || (node.feature < rows.n_cols && node.left > i &&
                                           node.right > i && node.left < tree.nodes.size() &&
                                           node.right < tree.nodes.size()),
                          "a tree's node " + std::to_string(i) + " cannot be walked");
        }
        first[t + 1] = first[t] + static_cast<std::int64_t>(tree.nodes.size());
    }
    // Each block of rows lists its paths on its own; the lists are joined in row order.
    constexpr std::size_t block = 1024;
    const std::size_t n_blocks = (rows.n_rows + block - 1) / block;
    std::vector<std::vector<std::int64_t>> parts(n_blocks);
    std::vector<std::int64_t> lengths(rows.n_rows, 0);
    parallel_for(pool, n_blocks, [&](std::size_t b) {
        for (std::size_t r = b * block; r < std::min(rows.n_rows, (b + 1) * block); ++r) {
            const std::size_t before = parts[b].size();
            for (std::size_t t = 0; t < trees.size(); ++t)
                append_path(*trees[t], rows, r, first[t], parts[b]);
            lengths[r] = static_cast<std::int64_t>(parts[b].size() - before);
        }
    });
    DecisionPaths out;
    out.indptr.resize(rows.n_rows + 1, 0);
    for (std::size_t r = 0; r < rows.n_rows; ++r) out.indptr[r + 1] = out.indptr[r] + lengths[r];
    out.indices.reserve(static_cast<std::size_t>(out.indptr.back()));
    for (const std::vector<std::int64_t>& part : parts)
        out.indices.insert(out.indices.end(), part.begin(), part.end());
    return out;
}

}  // namespace lindorf
