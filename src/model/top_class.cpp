#include "model/top_class.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "support/error.hpp"

namespace lindorf {

namespace {

// One task's sums by class, kept zero between rows: only the classes a row touched are read
// and cleared, so a row costs its leaves' lists, not the class count.
struct ClassSums {
    std::vector<double> sum;
    std::vector<std::uint8_t> seen;
    std::vector<std::uint32_t> touched;

    explicit ClassSums(std::uint32_t n_classes) : sum(n_classes, 0.0), seen(n_classes, 0) {}

    void add(std::uint32_t c, double amount) {
        if (seen[c] == 0) {
            seen[c] = 1;
            touched.push_back(c);
        }
        sum[c] += amount;
    }
};

const Tree& checked_leaf(const Model& model, std::size_t t, std::uint32_t leaf) {
    const Tree& tree = *model.trees[t];
    LINDORF_CHECK(leaf < tree.nodes.size() && tree.nodes[leaf].is_leaf,
                  "node " + std::to_string(leaf) + " is not a leaf of tree " + std::to_string(t));
    return tree;
}

// The row's leaves' shares, tree by tree, each leaf's classes in list order: the order the
// shares add them in, so each class's sum is theirs.
void add_shares(const Model& model, const std::uint32_t* leaves, ClassSums& sums) {
    for (std::size_t t = 0; t < model.trees.size(); ++t) {
        const Tree& tree = checked_leaf(model, t, leaves[t]);
        LINDORF_CHECK(tree.has_stats() && tree.stats[leaves[t]].weight > 0.0,
                      "a leaf has no weight");
        const NodeStats& stats = tree.stats[leaves[t]];
        LINDORF_CHECK(std::uint64_t{stats.values} + stats.n_values <= tree.values.size(),
                      "a leaf's values are missing");
        for (const LeafValue& value : leaf_values(tree, leaves[t])) {
            LINDORF_CHECK(value.index < model.n_classes, "a leaf's class is not a class index");
            sums.add(value.index, value.value / stats.weight);
        }
    }
}

void add_votes(const Model& model, const std::uint32_t* leaves, ClassSums& sums) {
    for (std::size_t t = 0; t < model.trees.size(); ++t) {
        const Tree& tree = checked_leaf(model, t, leaves[t]);
        const std::uint32_t label = tree.nodes[leaves[t]].prediction;
        LINDORF_CHECK(label < model.n_classes, "a leaf's label is not a class index");
        sums.add(label, 1.0);
    }
}

// The arg-max over every class, untouched ones at 0, of the sums divided by `trees` as the
// means are (once, and not for one tree); clears what the row touched.
std::uint32_t take_top(ClassSums& sums, std::size_t trees) {
    const auto mean = [&](std::uint32_t c) {
        return trees == 1 ? sums.sum[c] : sums.sum[c] / static_cast<double>(trees);
    };
    std::uint32_t best = 0;
    double top = mean(0);
    for (std::uint32_t c : sums.touched) {
        const double m = mean(c);
        if (std::isnan(top)) {
            if (std::isnan(m) && c < best) best = c;
        } else if (std::isnan(m) || m > top || (m == top && c < best)) {
            best = c;
            top = m;
        }
    }
    for (std::uint32_t c : sums.touched) {
        sums.sum[c] = 0.0;
        sums.seen[c] = 0;
    }
    sums.touched.clear();
    return best;
}

}  // namespace

Labels top_classes(const Model& model, std::span<const std::uint32_t> leaves, bool soft,
                   WorkerPool* pool) {
    LINDORF_CHECK(!model.regression() && model.n_outputs() == 1,
                  "top classes need a classifier of one output");
    LINDORF_CHECK(model.n_classes > 0, "the model has no classes");
    const std::size_t n_trees = model.trees.size();
    LINDORF_CHECK(n_trees > 0 && leaves.size() % n_trees == 0,
                  "the leaves are not a row of leaves per tree");
    const std::size_t n_rows = leaves.size() / n_trees;
    Labels out(n_rows);
    const std::size_t tasks = std::min<std::size_t>(n_rows, pool == nullptr ? 1 : pool->threads());
    parallel_for(pool, tasks, [&](std::size_t task) {
        ClassSums sums(model.n_classes);
        const std::size_t begin = n_rows * task / tasks;
        const std::size_t end = n_rows * (task + 1) / tasks;
        for (std::size_t r = begin; r < end; ++r) {
            const std::uint32_t* row = leaves.data() + r * n_trees;
            if (soft)
                add_shares(model, row, sums);
            else
                add_votes(model, row, sums);
            out[r] = take_top(sums, n_trees);
        }
    });
    return out;
}

}  // namespace lindorf
