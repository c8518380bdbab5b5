#include "estimators/fit.hpp"

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "estimators/unlocked.hpp"
#include "model/predict.hpp"
#include "sparse/sparse_grow.hpp"
#include "support/error.hpp"
#include "support/parallel.hpp"
#include "support/polling.hpp"

namespace lindorf::estimators {

namespace {

WeightedData weighted_data(const FitData& data) {
    if (data.targets) {
        const TargetArray& targets = *data.targets;
        LINDORF_CHECK(targets.shape(1) > 0, "a regression fit needs at least one target");
        WeightedData out{.rows = rows_of(data.x),
                         .labels = {},
                         .weights = {},
                         .real_weights = span_of(data.real_weights),
                         .targets = {targets.data(), targets.shape(0) * targets.shape(1)},
                         .n_targets = targets.shape(1)};
        LINDORF_CHECK(out.rows.n_cols <= 0xFFFFFFFFu && out.n_targets <= 0xFFFFFFFFu,
                      "too many features or targets");
        check_weighted_data(out);
        return out;
    }
    LINDORF_CHECK(!data.output_classes.empty(), "a fit needs at least one output");
    WeightedData out{rows_of(data.x), span_of(data.y), span_of(data.weights),
                     data.output_classes[0], span_of(data.real_weights), {}};
    if (data.output_classes.size() > 1) out.output_classes = data.output_classes;
    LINDORF_CHECK(out.rows.n_cols <= 0xFFFFFFFFu, "too many features");
    check_weighted_data(out);
    return out;
}

SparseWeightedData weighted_data(const SparseFitData& data) {
    const std::size_t n_cols = data.starts.shape(0) == 0 ? 0 : data.starts.shape(0) - 1;
    if (data.targets) {
        const TargetArray& targets = *data.targets;
        LINDORF_CHECK(targets.shape(1) > 0, "a regression fit needs at least one target");
        SparseWeightedData out{
            {data.n_rows, n_cols, span_of(data.values), span_of(data.rows), span_of(data.starts)},
            {},
            {},
            0,
            span_of(data.real_weights),
            {},
            {targets.data(), targets.shape(0) * targets.shape(1)},
            targets.shape(1)};
        LINDORF_CHECK(n_cols <= 0xFFFFFFFFu && out.n_targets <= 0xFFFFFFFFu,
                      "too many features or targets");
        check_weighted_data(out.without_rows());
        return out;
    }
    LINDORF_CHECK(!data.output_classes.empty(), "a fit needs at least one output");
    SparseWeightedData out{
        {data.n_rows, n_cols, span_of(data.values), span_of(data.rows), span_of(data.starts)},
        span_of(data.y),
        span_of(data.weights),
        data.output_classes[0],
        span_of(data.real_weights),
        {}};
    if (data.output_classes.size() > 1) out.output_classes = data.output_classes;
    LINDORF_CHECK(n_cols <= 0xFFFFFFFFu, "too many features");
    check_weighted_data(out.without_rows());
    return out;
}

Model empty_model(const WeightedData& data) {
    Model model;
    model.n_features = static_cast<std::uint32_t>(data.rows.n_cols);
    if (data.regression()) {
        model.n_targets = static_cast<std::uint32_t>(data.n_targets);
        return model;
    }
    model.output_classes = data.classes_per_output();
    std::uint64_t total = 0;
    for (std::uint32_t classes : model.output_classes) total += classes;
    LINDORF_CHECK(total <= 0xFFFFFFFFu, "too many classes");
    model.n_classes = static_cast<std::uint32_t>(total);
    return model;
}

// A model of the one tree grow(rules, pool) grows, with the interpreter lock released.
template <class Grow>
Model fit_tree_with(Model model, GrowRules rules, unsigned threads, Grow&& grow) {
    StopToken stop;
    rules.stop = &stop;
    rules.record_stats = true;  // class shares, importances and saving read them
    run_unlocked(threads, stop, [&](WorkerPool* pool) {
        model.trees.push_back(std::make_shared<const Tree>(grow(rules, pool)));
        prepare_walks(model, pool);
    });
    return model;
}

// The trees grow(rules, pool, done) grows, with progress reported while they grow.
template <class Grow>
ForestFit fit_forest_with(Model model, ForestRules rules, unsigned threads,
                          const std::optional<nb::callable>& progress, Grow&& grow) {
    ForestFit fit{std::move(model), {}};
    StopToken stop;
    rules.tree.stop = &stop;
    rules.tree.record_stats = true;  // class shares, importances and saving read them
    std::atomic<std::uint32_t> done{0};
    run_unlocked(
        threads, stop,
        [&](WorkerPool* pool) {
            ForestChunk chunk = grow(rules, pool, &done);
            fit.model.trees.reserve(chunk.trees.size());
            for (Tree& tree : chunk.trees)
                fit.model.trees.push_back(std::make_shared<const Tree>(std::move(tree)));
            prepare_walks(fit.model, pool);
            fit.out_of_bag = std::move(chunk.out_of_bag);
        },
        [&] {
            if (progress) (*progress)(done.load(std::memory_order_relaxed));
        });
    return fit;
}

// The out-of-bag votes of every tree of `model`, fitted on `data`, with the lock released.
template <class Data>
OutOfBag out_of_bag_with(const Model& model, const Data& data, const WeightedData& shape,
                         const ForestRules& rules, unsigned threads) {
    if (model.n_features != shape.rows.n_cols || model.n_targets != shape.n_targets ||
        (!model.regression() && model.classes_per_output() != shape.classes_per_output()))
        throw std::invalid_argument("the rows do not fit the model");
    std::vector<const Tree*> trees;
    for (const SharedTree& tree : model.trees) trees.push_back(tree.get());
    OutOfBag votes;
    StopToken stop;
    run_unlocked(threads, stop, [&](WorkerPool* pool) {
        votes = out_of_bag_votes(data, trees, rules, 0, pool);
    });
    return votes;
}

}  // namespace

Model fit_tree(const FitData& data, GrowRules rules, unsigned threads) {
    const WeightedData d = weighted_data(data);
    return fit_tree_with(empty_model(d), rules, threads,
                         [&](const GrowRules& grow_rules, WorkerPool* pool) {
                             return grow_weighted(d, grow_rules, pool);
                         });
}

Model fit_tree(const SparseFitData& data, GrowRules rules, unsigned threads) {
    const SparseWeightedData d = weighted_data(data);
    return fit_tree_with(empty_model(d.without_rows()), rules, threads,
                         [&](const GrowRules& grow_rules, WorkerPool* pool) {
                             return grow_weighted(d, grow_rules, pool);
                         });
}

ForestFit fit_forest(const FitData& data, ForestRules rules, std::uint32_t first,
                     std::uint32_t count, unsigned threads,
                     const std::optional<nb::callable>& progress) {
    const WeightedData d = weighted_data(data);
    return fit_forest_with(empty_model(d), rules, threads, progress,
                           [&](const ForestRules& forest_rules, WorkerPool* pool,
                               std::atomic<std::uint32_t>* done) {
                               return grow_forest_chunk(d, forest_rules, first, count, pool, done);
                           });
}

ForestFit fit_forest(const SparseFitData& data, ForestRules rules, std::uint32_t first,
                     std::uint32_t count, unsigned threads,
                     const std::optional<nb::callable>& progress) {
    const SparseWeightedData d = weighted_data(data);
    return fit_forest_with(empty_model(d.without_rows()), rules, threads, progress,
                           [&](const ForestRules& forest_rules, WorkerPool* pool,
                               std::atomic<std::uint32_t>* done) {
                               return grow_forest_chunk(d, forest_rules, first, count, pool, done);
                           });
}

OutOfBag out_of_bag_of_fit(const Model& model, const FitData& data, const ForestRules& rules,
                           unsigned threads) {
    const WeightedData d = weighted_data(data);
    return out_of_bag_with(model, d, d, rules, threads);
}

OutOfBag out_of_bag_of_fit(const Model& model, const SparseFitData& data,
                           const ForestRules& rules, unsigned threads) {
    const SparseWeightedData d = weighted_data(data);
    return out_of_bag_with(model, d, d.without_rows(), rules, threads);
}

nb::object out_of_bag_arrays(OutOfBag&& votes, std::size_t n_rows, std::size_t width) {
    return nb::make_tuple(numpy_array(std::move(votes.sums), {n_rows, width}),
                          numpy_array(std::move(votes.trees), {n_rows}));
}

}  // namespace lindorf::estimators
