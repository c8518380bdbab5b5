#include "forest/chunk.hpp"

#include <algorithm>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "forest/bootstrap.hpp"
#include "support/error.hpp"
#include "support/streams.hpp"
#include "sparse/sparse_grow.hpp"
#include "sparse/sparse_rows.hpp"
#include "tree/node_columns.hpp"

namespace lindorf {

namespace {

std::uint64_t total_weight(std::size_t n_rows, std::span<const std::uint32_t> weights) {
    if (weights.empty()) return n_rows;
    std::uint64_t total = 0;
    for (std::uint32_t w : weights) total += w;
    return total;
}

// What a forest is grown from, dense or sparse, but for its features.
struct ForestRows {
    std::size_t n_rows;
    std::span<const Label> labels;
    std::span<const std::uint32_t> weights;
    std::uint32_t n_classes;
};

void check_data(const ForestRows& data) {
    LINDORF_CHECK(data.labels.size() == data.n_rows,
                  "cannot grow a forest from " + std::to_string(data.n_rows) + " rows and " +
                      std::to_string(data.labels.size()) + " labels");
    LINDORF_CHECK(data.weights.empty() || data.weights.size() == data.n_rows,
                  "cannot weigh " + std::to_string(data.n_rows) + " rows with " +
                      std::to_string(data.weights.size()) + " weights");
    for (Label label : data.labels)
        LINDORF_CHECK(label < data.n_classes, "label " + std::to_string(label) +
                                                  " is not a class index below " +
                                                  std::to_string(data.n_classes));
    std::uint64_t total = total_weight(data.n_rows, data.weights);
    LINDORF_CHECK(total > 0, "cannot grow a forest from an empty training set");
    LINDORF_CHECK(total < no_position,
                  "a total weight of " + std::to_string(total) + " is too large");
}

std::vector<std::uint32_t> unit_weights(const ForestRows& data) {
    if (!data.weights.empty()) return {data.weights.begin(), data.weights.end()};
    return std::vector<std::uint32_t>(data.n_rows, 1);
}

// One bit per row: whether the tree's training list holds it.
std::vector<std::uint64_t> drawn_rows(const RowDraws& draws) {
    std::vector<std::uint64_t> bits((draws.count.size() + 63) / 64, 0);
    for (std::size_t r = 0; r < draws.count.size(); ++r)
        if (draws.count[r] != 0) bits[r / 64] |= std::uint64_t{1} << (r % 64);
    return bits;
}

// Votes of each tree for the rows it did not draw, counted a block of rows at a time so that
// every block writes only its own rows. rows_of(begin, end, buffer) gives a block's rows as a
// matrix; done(begin, end, buffer) follows each block.
template <class RowsOf, class Done>
std::vector<std::uint32_t> count_oob_votes(const ForestRows& data, const std::vector<Tree>& trees,
                                           const std::vector<std::vector<std::uint64_t>>& drawn,
                                           std::size_t block_rows, WorkerPool* pool,
                                           RowsOf&& rows_of, Done&& done) {
    const std::size_t n_rows = data.n_rows;
    std::vector<std::uint32_t> votes(n_rows * data.n_classes, 0);
    parallel_for(pool, (n_rows + block_rows - 1) / block_rows, [&](std::size_t block) {
        const std::size_t begin = block * block_rows;
        const std::size_t end = std::min(n_rows, begin + block_rows);
        std::vector<float> buffer;
        const MatrixView rows = rows_of(begin, end, buffer);
        for (std::size_t t = 0; t < trees.size(); ++t) {
            for (std::size_t r = begin; r < end; ++r) {
                if (drawn[t][r / 64] >> (r % 64) & 1) continue;
                const Node& leaf = trees[t].nodes[leaf_position(trees[t], rows, r - begin)];
                ++votes[r * data.n_classes + leaf.prediction];
            }
        }
        done(begin, end, buffer);
    });
    return votes;
}

// Trees first .. first + count - 1, each grown by grow(draws, rules, pool) from its draws; out-of-
// bag votes counted with vote(trees, drawn).
template <class Grow, class Vote>
ForestChunk grow_chunk(const ForestRows& data, const ForestRules& rules, std::uint32_t first,
                       std::uint32_t count, WorkerPool* pool,
                       std::atomic<std::uint32_t>* trees_done, Grow&& grow, Vote&& vote) {
    ForestChunk chunk;
    if (count == 0) return chunk;
    check_data(data);
    LINDORF_CHECK(rules.bootstrap || !rules.out_of_bag,
                  "out-of-bag votes need trees grown on bootstrap samples");
    // Without bootstrap every tree sees the same list: the rows repeated by weight.
    const RowDraws whole = rules.bootstrap ? RowDraws{} : draws_of_weights(unit_weights(data));
    std::vector<std::optional<Tree>> grown(count);
    std::vector<std::vector<std::uint64_t>> drawn(rules.out_of_bag ? count : 0);
    parallel_for(pool, count, [&](std::size_t i) {
        if (rules.tree.stop != nullptr) rules.tree.stop->check();
        const auto tree = static_cast<std::uint32_t>(first + i);
        GrowRules tree_rules = rules.tree;
        tree_rules.node_key = node_key(rules.key, tree);
        if (rules.bootstrap) {
            RowDraws draws = bootstrap_draws(data.n_rows, data.weights, rules.key, tree);
            if (rules.out_of_bag) drawn[i] = drawn_rows(draws);
            grown[i] = grow(draws, tree_rules, pool);
        } else {
            grown[i] = grow(whole, tree_rules, pool);
        }
        if (trees_done != nullptr) trees_done->fetch_add(1, std::memory_order_relaxed);
    });
    chunk.trees.reserve(count);
    for (std::optional<Tree>& tree : grown) chunk.trees.push_back(std::move(*tree));
    if (rules.out_of_bag) chunk.oob_votes = vote(chunk.trees, drawn);
    return chunk;
}

// The trees' working sets. Trees whose nodes search a few of many features have those sort the
// features themselves, from every feature's values; when even the roots do, no feature is
// sorted whole. Otherwise, with its values, the order of every feature is all the trees read:
// the rows are read once, here.
class TreeSets {
  public:
    TreeSets(const WeightedData& data, const GrowRules& rules, std::uint32_t trees,
             WorkerPool* pool)
        : data_(data) {
        const MatrixView rows = data.rows;
        const bool drawn = rules.max_features > 0 && rules.max_features < rows.n_cols;
        if (drawn && sorts_on_demand(rows.n_cols, rules.max_features, 1)) {
            if (sorts_on_demand(rows.n_cols, rules.max_features, rows.n_rows) &&
                worth_laying_out_by_feature(rows.n_rows, rows.n_cols, rules.max_features, trees)) {
                by_feature_ = values_by_feature(rows, pool);
                source_ = by_features(by_feature_, rows.n_rows);
            } else {
                source_ = by_rows(rows);
            }
        }
        sorted_ = source_.data == nullptr ||
                  !sorts_on_demand(rows.n_cols, rules.max_features, rows.n_rows);
        if (sorted_) order_ = sort_features(rows, pool, true);
    }

    WorkingSet operator()(const RowDraws& draws, WorkerPool* pool) const {
        if (!sorted_) return working_set_of_draws(data_.rows, data_.labels, draws, source_);
        WorkingSet set = working_set_of_draws(data_.rows, data_.labels, order_, draws, pool);
        set.source = source_;
        return set;
    }

  private:
    const WeightedData& data_;
    std::vector<float> by_feature_;
    SourceValues source_;
    FeatureOrder order_;
    bool sorted_ = true;
};

}  // namespace

RowDraws bootstrap_draws(std::size_t n_rows, std::span<const std::uint32_t> weights,
                         const ChaChaKey& key, std::uint32_t tree) {
    std::vector<std::uint64_t> cumulative;
    if (!weights.empty()) {
        cumulative.resize(weights.size());
        std::uint64_t sum = 0;
        for (std::size_t r = 0; r < weights.size(); ++r) cumulative[r] = sum += weights[r];
    }
    const std::uint64_t total = weights.empty() ? n_rows : cumulative.back();
    const DrawRange range = draw_range(total);
    const std::size_t m = sample_size(total);
    RowDraws draws{std::vector<std::uint32_t>(n_rows, 0),
                   std::vector<std::uint32_t>(n_rows, no_position),
                   std::vector<std::uint32_t>(n_rows, 0)};
    KeyedStream stream = sample_stream(key, tree);
    for (std::size_t k = 0; k < m; ++k) {
        std::uint64_t copy = draw_below(stream, range);
        std::size_t row = weights.empty() ? copy
                                          : static_cast<std::size_t>(
                                                std::upper_bound(cumulative.begin(),
                                                                 cumulative.end(), copy) -
                                                cumulative.begin());
        if (draws.count[row]++ == 0) draws.first[row] = static_cast<std::uint32_t>(k);
        draws.last[row] = static_cast<std::uint32_t>(k);
    }
    return draws;
}

ForestChunk grow_forest_chunk(const WeightedData& data, const ForestRules& rules,
                              std::uint32_t first, std::uint32_t count, WorkerPool* pool,
                              std::atomic<std::uint32_t>* trees_done) {
    const ForestRows rows{data.rows.n_rows, data.labels, data.weights, data.n_classes};
    if (count == 0) return {};
    check_data(rows);
    const TreeSets working_set(data, rules.tree, count, pool);
    return grow_chunk(
        rows, rules, first, count, pool, trees_done,
        [&](const RowDraws& draws, const GrowRules& tree_rules, WorkerPool* tree_pool) {
            WorkingSet set = working_set(draws, tree_pool);
            return grow_working_set(set, tree_rules, 0, tree_pool);
        },
        [&](const std::vector<Tree>& trees, const std::vector<std::vector<std::uint64_t>>& drawn) {
            return count_oob_votes(
                rows, trees, drawn, 1024, pool,
                [&](std::size_t begin, std::size_t end, std::vector<float>&) {
                    return data.rows.rows(begin, end);
                },
                [](std::size_t, std::size_t, std::vector<float>&) {});
        });
}

ForestChunk grow_forest_chunk(const SparseWeightedData& data, const ForestRules& rules,
                              std::uint32_t first, std::uint32_t count, WorkerPool* pool,
                              std::atomic<std::uint32_t>* trees_done) {
    const ForestRows rows{data.x.n_rows, data.labels, data.weights, data.n_classes};
    if (count == 0) return {};
    check_data(rows);
    // Every feature's stored values sorted once; each tree keeps its drawn rows' share.
    const SparseOrder order = sort_sparse(data.x, pool);
    return grow_chunk(
        rows, rules, first, count, pool, trees_done,
        [&](const RowDraws& draws, const GrowRules& tree_rules, WorkerPool* tree_pool) {
            SparseSet set = sparse_set_of_draws(order, data.labels, draws);
            return grow_sparse(set, tree_rules, tree_pool);
        },
        [&](const std::vector<Tree>& trees, const std::vector<std::vector<std::uint64_t>>& drawn) {
            const OwnedSparseRows by_rows = rows_of_columns(data.x);
            const SparseRows x = by_rows.view(data.x.n_rows, data.x.n_cols);
            return count_oob_votes(
                rows, trees, drawn, dense_block_rows(x.n_cols), pool,
                [&](std::size_t begin, std::size_t end, std::vector<float>& buffer) {
                    return dense_rows(x, begin, end, buffer);
                },
                [&](std::size_t begin, std::size_t end, std::vector<float>& buffer) {
                    clear_rows(x, begin, end, buffer);
                });
        });
}

}  // namespace lindorf
