#include "forest/chunk.hpp"

#include <algorithm>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "forest/bootstrap.hpp"
#include "support/error.hpp"
#include "support/streams.hpp"
#include "sparse/sparse_rows.hpp"
#include "tree/regression_training.hpp"
#include "tree/node_columns.hpp"

namespace lindorf {

namespace {

void check_data(const WeightedData& data) {
    check_weighted_data(data);
    LINDORF_CHECK(data.rows.n_rows > 0, "cannot grow a forest from an empty training set");
}

std::vector<std::uint32_t> output_offsets(const WeightedData& data) {
    const std::vector<std::uint32_t> classes = data.classes_per_output();
    std::vector<std::uint32_t> offsets(classes.size() + 1, 0);
    for (std::size_t o = 0; o < classes.size(); ++o) offsets[o + 1] = offsets[o] + classes[o];
    return offsets;
}

// Each output's most heavily weighted class at a leaf, the lowest on a tie; with one output the
// leaf's own label.
void leaf_labels(const Tree& tree, std::uint32_t leaf, std::span<const std::uint32_t> offsets,
                 std::vector<std::uint32_t>& out) {
    out.assign(offsets.size() - 1, 0);
    if (out.size() == 1) {
        out[0] = tree.nodes[leaf].prediction;
        return;
    }
    std::vector<double> best(out.size(), -1.0);
    for (const LeafValue& value : leaf_values(tree, leaf)) {
        const auto o = static_cast<std::size_t>(
            std::upper_bound(offsets.begin(), offsets.end(), value.index) - offsets.begin() - 1);
        if (value.value > best[o]) best[o] = value.value, out[o] = value.index;
    }
}

// Every row's weight in one tree: its own (1 without weights) times the times it was drawn, and
// with balanced subsamples its class weights in the sample.
std::vector<double> tree_weights(const WeightedData& data, const RowDraws& draws,
                                 bool balanced_subsample) {
    const std::size_t n_rows = data.rows.n_rows;
    std::vector<double> out(n_rows);
    for (std::size_t r = 0; r < n_rows; ++r) {
        const double own = !data.real_weights.empty() ? data.real_weights[r]
                           : !data.weights.empty()     ? data.weights[r]
                                                       : 1.0;
        out[r] = own * draws.count[r];
    }
    if (!balanced_subsample) return out;
    const std::vector<std::uint32_t> offsets = output_offsets(data);
    const std::size_t n_outputs = offsets.size() - 1;
    std::vector<double> drawn(offsets.back(), 0.0);
    double n_draws = 0.0;
    for (std::size_t r = 0; r < n_rows; ++r) {
        n_draws += draws.count[r];
        for (std::size_t o = 0; o < n_outputs; ++o)
            drawn[offsets[o] + data.labels[r * n_outputs + o]] += draws.count[r];
    }
    std::vector<double> present(n_outputs, 0.0);
    for (std::size_t o = 0; o < n_outputs; ++o)
        for (std::uint32_t c = offsets[o]; c < offsets[o + 1]; ++c) present[o] += drawn[c] > 0.0;
    for (std::size_t r = 0; r < n_rows; ++r) {
        double factor = 1.0;
        for (std::size_t o = 0; o < n_outputs; ++o) {
            const double count = drawn[offsets[o] + data.labels[r * n_outputs + o]];
            factor *= count > 0.0 ? n_draws / (present[o] * count) : 0.0;
        }
        out[r] *= factor;
    }
    return out;
}

// The exact path's weights for a tree, when its rows' weights are whole numbers that add up to
// less than 2^32: the draw counts times the rows' own weights.
std::optional<std::vector<std::uint32_t>> whole_tree_weights(const WeightedData& data,
                                                             const RowDraws& draws) {
    if (!data.real_weights.empty()) return std::nullopt;
    std::vector<std::uint32_t> out(draws.count);
    std::uint64_t total = 0;
    for (std::size_t r = 0; r < out.size(); ++r) {
        const std::uint64_t weight =
            std::uint64_t{draws.count[r]} * (data.weights.empty() ? 1 : data.weights[r]);
        total += weight;
        if (total >= no_position) return std::nullopt;
        out[r] = static_cast<std::uint32_t>(weight);
    }
    if (total == 0) return std::nullopt;
    return out;
}

// A bootstrap sample can by chance draw only rows of weight 0; the tree would have no class
// (or target) to learn. The message names the class, as scikit-learn's checks of data trimmed
// to one class by its weights expect.
[[noreturn]] void throw_weightless_sample() {
    throw std::invalid_argument(
        "a tree's sample holds only rows of weight 0, so no class or target has weight in it: "
        "give more rows a positive weight, raise max_samples, or grow without bootstrap");
}

void check_some_weight(const std::vector<double>& weights) {
    if (!std::any_of(weights.begin(), weights.end(), [](double w) { return w > 0.0; }))
        throw_weightless_sample();
}

RowDraws every_row(std::size_t n_rows) {
    return draws_of_weights(std::vector<std::uint32_t>(n_rows, 1));
}

// Whether any tree of the forest may take the general path, which keeps every feature's sorted
// block: by its rules and outputs, its weights, or draws that could add up past 2^32.
bool general_possible(const WeightedData& data, const ForestRules& rules) {
    if (data.regression() || !exact_rules(data, rules.tree) || rules.balanced_subsample || !data.real_weights.empty())
        return true;
    std::uint64_t heaviest = 1;
    for (std::uint32_t w : data.weights) heaviest = std::max<std::uint64_t>(heaviest, w);
    const std::uint64_t draws = rules.draws == 0 ? data.rows.n_rows : rules.draws;
    return heaviest * std::max<std::uint64_t>(draws, data.rows.n_rows) >= no_position;
}

// The trees' working sets. Trees whose nodes search a few of many features have those sort the
// features themselves, from every feature's values; when even the roots do, no feature is
// sorted whole. Otherwise, with its values, the order of every feature is all the trees read:
// the rows are read once, here. Random thresholds need no order, only the columns as the rows
// lie.
class TreeSets {
  public:
    TreeSets(const WeightedData& data, const ForestRules& forest, std::uint32_t trees,
             WorkerPool* pool)
        : data_(data), forest_(forest) {
        const MatrixView rows = data.rows;
        const GrowRules& rules = forest.tree;
        if (random_thresholds(data, rules)) {
            // Random thresholds read every column as the rows lie: nothing is sorted.
            sorted_ = false;
            gather_ = random_cut_source(rows, rules.max_features, pool);
            source_ = gather_.source;
            return;
        }
        // Absolute error's nodes divide a target order too, which only the blocks' partition does.
        const bool ranked = data.regression() && rules.loss == Loss::absolute_error;
        if (!ranked) gather_ = sort_own_source(rows, rules.max_features, trees, pool);
        source_ = gather_.source;
        // A regression set keeps its blocks even when its root sorts its own features.
        sorted_ = source_.data == nullptr || data.regression() ||
                  !sorts_on_demand(rows.n_cols, rules.max_features, rows.n_rows);
        if (sorted_) order_ = sort_features(rows, pool, true);
        // Absolute error's trees filter one order of the targets, as they filter the features'.
        if (data.regression() && rules.loss == Loss::absolute_error)
            target_order_ = sort_targets(data, pool);
    }

    // The working set of one tree's training list, on the path its weights and rules call for.
    WorkingSet operator()(const RowDraws& draws, WorkerPool* pool) const {
        if (data_.regression()) {
            const std::vector<double> weights = tree_weights(data_, draws, false);
            check_some_weight(weights);
            WorkingSet set =
                regression_working_set(data_, order_, target_order_, draws, weights, pool);
            set.source = source_;
            return set;
        }
        if (exact_rules(data_, forest_.tree) && !forest_.balanced_subsample) {
            if (std::optional<std::vector<std::uint32_t>> whole = whole_tree_weights(data_, draws)) {
                RowDraws weighted = draws;
                weighted.count = std::move(*whole);
                if (!sorted_) return working_set_of_draws(data_.rows, data_.labels, weighted, source_);
                WorkingSet set =
                    working_set_of_draws(data_.rows, data_.labels, order_, weighted, pool);
                set.source = source_;
                return set;
            }
        }
        const std::vector<double> weights = tree_weights(data_, draws, forest_.balanced_subsample);
        check_some_weight(weights);
        if (random_thresholds(data_, forest_.tree) || !sorted_) {
            WorkingSet set = general_working_set(data_, source_, draws, weights);
            set.dense = gather_.dense;
            return set;
        }
        WorkingSet set = general_working_set(data_, order_, draws, weights, pool);
        set.source = source_;
        return set;
    }

  private:
    const WeightedData& data_;
    const ForestRules& forest_;
    GatherSource gather_;  // what source_ reads, when nodes gather their own columns
    SourceValues source_;
    FeatureOrder order_;
    std::vector<std::uint32_t> target_order_;
    bool sorted_ = true;
};

// Working sets trees are done with, for later trees to copy theirs into.
class SpareSets {
  public:
    // A copy of `whole`, in a spare set's buffers when there is one.
    WorkingSet take(const WorkingSet& whole) {
        std::optional<WorkingSet> set;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!sets_.empty()) {
                set.emplace(std::move(sets_.back()));
                sets_.pop_back();
            }
        }
        if (!set) return whole;
        *set = whole;
        return std::move(*set);
    }
    void give(WorkingSet set) {
        const std::lock_guard<std::mutex> lock(mutex_);
        sets_.push_back(std::move(set));
    }

  private:
    std::mutex mutex_;
    std::vector<WorkingSet> sets_;
};

// The exact path's training list of a tree whose weights are whole numbers: its draws, each
// row's count its weight in the tree.
RowDraws weighted_draws(const WeightedData& data, const RowDraws& draws) {
    std::optional<std::vector<std::uint32_t>> whole = whole_tree_weights(data, draws);
    if (!whole) throw_weightless_sample();
    RowDraws weighted = draws;
    weighted.count = std::move(*whole);
    return weighted;
}

// Trees first .. first + count - 1, each grown by grow(draws, rules) from its training list.
template <class Grow>
std::vector<Tree> grow_trees(std::size_t n_rows, const ForestRules& rules, std::uint32_t first,
                             std::uint32_t count, WorkerPool* pool,
                             std::atomic<std::uint32_t>* trees_done, Grow&& grow) {
    // Without bootstrap every tree sees the same list: every row once, with its weight.
    const RowDraws whole = rules.bootstrap ? RowDraws{} : every_row(n_rows);
    std::vector<std::optional<Tree>> grown(count);
    parallel_for(pool, count, [&](std::size_t i) {
        if (rules.tree.stop != nullptr) rules.tree.stop->check();
        const auto tree = static_cast<std::uint32_t>(first + i);
        GrowRules tree_rules = rules.tree;
        tree_rules.node_key = node_key(rules.key, tree);
        grown[i] = rules.bootstrap
                       ? grow(bootstrap_draws(n_rows, rules.key, tree, rules.draws), tree_rules)
                       : grow(whole, tree_rules);
        if (trees_done != nullptr) trees_done->fetch_add(1, std::memory_order_relaxed);
    });
    std::vector<Tree> trees;
    trees.reserve(count);
    for (std::optional<Tree>& tree : grown) trees.push_back(std::move(*tree));
    return trees;
}

std::vector<const Tree*> pointers(const std::vector<Tree>& trees) {
    std::vector<const Tree*> out;
    for (const Tree& tree : trees) out.push_back(&tree);
    return out;
}

// The out-of-bag votes of `trees` over rows read a block at a time: rows_of(begin, end, buffer)
// gives rows begin .. end - 1 as a matrix, and done(begin, end, buffer) follows each block.
template <class RowsOf, class Done>
OutOfBag out_of_bag_over(const WeightedData& data, std::span<const Tree* const> trees,
                         const ForestRules& rules, std::uint32_t first, std::size_t block_rows,
                         WorkerPool* pool, RowsOf&& rows_of, Done&& done) {
    LINDORF_CHECK(rules.bootstrap, "out-of-bag votes need trees grown on bootstrap samples");
    const std::size_t n_rows = data.rows.n_rows;
    const std::vector<std::uint32_t> offsets = output_offsets(data);
    const std::size_t width = data.regression() ? data.n_targets : offsets.back();
    for (const Tree* tree : trees)
        LINDORF_CHECK(tree->has_stats() || (!data.regression() && rules.voting == Voting::hard),
                      "out-of-bag sums of leaf values need trees grown with their statistics");
    // One bit per row and tree: whether the tree's sample holds it.
    std::vector<std::vector<std::uint64_t>> drawn(trees.size());
    parallel_for(pool, trees.size(), [&](std::size_t t) {
        const RowDraws draws =
            bootstrap_draws(n_rows, rules.key, first + static_cast<std::uint32_t>(t), rules.draws);
        drawn[t].assign((n_rows + 63) / 64, 0);
        for (std::size_t r = 0; r < n_rows; ++r)
            if (draws.count[r] != 0) drawn[t][r / 64] |= std::uint64_t{1} << (r % 64);
    });
    OutOfBag out{std::vector<double>(n_rows * width, 0.0), std::vector<std::uint32_t>(n_rows, 0)};
    // A block of rows at a time, so that every block writes only its own rows.
    parallel_for(pool, (n_rows + block_rows - 1) / block_rows, [&](std::size_t block) {
        const std::size_t begin = block * block_rows;
        const std::size_t end = std::min(n_rows, begin + block_rows);
        std::vector<float> buffer;
        const MatrixView rows = rows_of(begin, end, buffer);
        std::vector<std::uint32_t> labels;
        for (std::size_t t = 0; t < trees.size(); ++t) {
            const Tree& tree = *trees[t];
            for (std::size_t r = begin; r < end; ++r) {
                if (drawn[t][r / 64] >> (r % 64) & 1) continue;
                const std::uint32_t leaf = leaf_position(tree, rows, r - begin);
                double* sums = out.sums.data() + r * width;
                ++out.trees[r];
                if (data.regression()) {
                    for (const LeafValue& value : leaf_values(tree, leaf))
                        sums[value.index] += value.value;
                    continue;
                }
                if (rules.voting == Voting::soft) {
                    for (const LeafValue& value : leaf_values(tree, leaf))
                        sums[value.index] += value.value / tree.stats[leaf].weight;
                    continue;
                }
                leaf_labels(tree, leaf, offsets, labels);
                for (std::size_t o = 0; o < labels.size(); ++o) sums[offsets[o] + labels[o]] += 1.0;
            }
        }
        done(begin, end, buffer);
    });
    return out;
}

}  // namespace

std::vector<std::uint32_t> bootstrap_rows(std::size_t n_rows, const ChaChaKey& key,
                                          std::uint32_t tree, std::uint32_t draws) {
    LINDORF_CHECK(n_rows > 0 && n_rows < no_position,
                  "cannot draw a bootstrap sample from " + std::to_string(n_rows) + " rows");
    const DrawRange range = draw_range(n_rows);
    const std::size_t m = draws == 0 ? sample_size(n_rows) : draws;
    std::vector<std::uint32_t> rows(m);
    KeyedStream stream = sample_stream(key, tree);
    for (std::uint32_t& row : rows) row = static_cast<std::uint32_t>(draw_below(stream, range));
    return rows;
}

RowDraws bootstrap_draws(std::size_t n_rows, const ChaChaKey& key, std::uint32_t tree,
                         std::uint32_t n_draws) {
    return draws_of_sample(n_rows, bootstrap_rows(n_rows, key, tree, n_draws));
}

OutOfBag out_of_bag_votes(const WeightedData& data, std::span<const Tree* const> trees,
                          const ForestRules& rules, std::uint32_t first, WorkerPool* pool) {
    return out_of_bag_over(
        data, trees, rules, first, 1024, pool,
        [&](std::size_t begin, std::size_t end, std::vector<float>&) {
            return data.rows.rows(begin, end);
        },
        [](std::size_t, std::size_t, std::vector<float>&) {});
}

OutOfBag out_of_bag_votes(const SparseWeightedData& data, std::span<const Tree* const> trees,
                          const ForestRules& rules, std::uint32_t first, WorkerPool* pool) {
    const OwnedSparseRows by_rows = rows_of_columns(data.x);
    const SparseRows x = by_rows.view(data.x.n_rows, data.x.n_cols);
    return out_of_bag_over(
        data.without_rows(), trees, rules, first, dense_block_rows(x.n_cols), pool,
        [&](std::size_t begin, std::size_t end, std::vector<float>& buffer) {
            return dense_rows(x, begin, end, buffer);
        },
        [&](std::size_t begin, std::size_t end, std::vector<float>& buffer) {
            clear_rows(x, begin, end, buffer);
        });
}

ForestChunk grow_forest_chunk(const WeightedData& data, const ForestRules& rules,
                              std::uint32_t first, std::uint32_t count, WorkerPool* pool,
                              std::atomic<std::uint32_t>* trees_done) {
    ForestChunk chunk;
    if (count == 0) return chunk;
    check_data(data);
    LINDORF_CHECK(rules.bootstrap || !rules.out_of_bag,
                  "out-of-bag votes need trees grown on bootstrap samples");
    const TreeSets sets(data, rules, count, pool);
    if (!rules.bootstrap && random_thresholds(data, rules.tree)) {
        // Every tree draws its thresholds over every row with its weight: one working set serves
        // them all. Each tree grows on a copy (its growth divides the rows), copied into a set
        // a tree before it was done with where one is free, so that its buffers are reused
        // rather than allocated and faulted in anew.
        const WorkingSet whole = sets(every_row(data.rows.n_rows), pool);
        SpareSets spare;
        chunk.trees = grow_trees(data.rows.n_rows, rules, first, count, pool, trees_done,
                                 [&](const RowDraws&, const GrowRules& tree_rules) {
                                     WorkingSet set = spare.take(whole);
                                     Tree tree = grow_working_set(set, tree_rules, 0, pool);
                                     spare.give(std::move(set));
                                     return tree;
                                 });
    } else {
        chunk.trees = grow_trees(data.rows.n_rows, rules, first, count, pool, trees_done,
                                 [&](const RowDraws& draws, const GrowRules& tree_rules) {
                                     WorkingSet set = sets(draws, pool);
                                     return grow_working_set(set, tree_rules, 0, pool);
                                 });
    }
    if (rules.out_of_bag)
        chunk.out_of_bag = out_of_bag_votes(data, pointers(chunk.trees), rules, first, pool);
    return chunk;
}

ForestChunk grow_forest_chunk(const SparseWeightedData& data, const ForestRules& rules,
                              std::uint32_t first, std::uint32_t count, WorkerPool* pool,
                              std::atomic<std::uint32_t>* trees_done) {
    if (count == 0) return {};
    const WeightedData shape = data.without_rows();
    check_data(shape);
    if (general_possible(shape, rules) ||
        !sparse_growth_follows(data, rules.tree, rules.bootstrap)) {
        const FeatureMatrix dense = dense_matrix(data.x);
        return grow_forest_chunk(data.with_rows(dense.view()), rules, first, count, pool,
                                 trees_done);
    }
    LINDORF_CHECK(rules.bootstrap || !rules.out_of_bag,
                  "out-of-bag votes need trees grown on bootstrap samples");
    // Every feature's stored values sorted once; each tree keeps its drawn rows' share.
    const SparseOrder order = sort_sparse(data.x, pool);
    ForestChunk chunk;
    chunk.trees = grow_trees(shape.rows.n_rows, rules, first, count, pool, trees_done,
                             [&](const RowDraws& draws, const GrowRules& tree_rules) {
                                 SparseSet set = sparse_set_of_draws(
                                     order, data.labels, weighted_draws(shape, draws));
                                 return grow_sparse(set, tree_rules, pool);
                             });
    if (rules.out_of_bag)
        chunk.out_of_bag = out_of_bag_votes(data, pointers(chunk.trees), rules, first, pool);
    return chunk;
}

}  // namespace lindorf
