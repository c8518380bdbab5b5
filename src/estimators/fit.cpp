#include "estimators/fit.hpp"

#include <atomic>
#include <memory>
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

void check_labels(std::span<const Label> labels, std::uint32_t n_classes) {
    for (Label label : labels)
        LINDORF_CHECK(label < n_classes, "label " + std::to_string(label) +
                                             " is not a class index below " +
                                             std::to_string(n_classes));
}

WeightedData weighted_data(const FitData& data) {
    WeightedData out{rows_of(data.x), span_of(data.y), span_of(data.weights), data.n_classes};
    LINDORF_CHECK(out.rows.n_cols <= 0xFFFFFFFFu, "too many features");
    check_labels(out.labels, out.n_classes);
    return out;
}

SparseWeightedData weighted_data(const SparseFitData& data) {
    const std::size_t n_cols = data.starts.shape(0) == 0 ? 0 : data.starts.shape(0) - 1;
    SparseWeightedData out{
        {data.n_rows, n_cols, span_of(data.values), span_of(data.rows), span_of(data.starts)},
        span_of(data.y), span_of(data.weights), data.n_classes};
    LINDORF_CHECK(n_cols <= 0xFFFFFFFFu, "too many features");
    check_labels(out.labels, out.n_classes);
    return out;
}

Model empty_model(std::size_t n_cols, std::uint32_t n_classes) {
    Model model;
    model.n_features = static_cast<std::uint32_t>(n_cols);
    model.n_classes = n_classes;
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
            fit.oob_votes = std::move(chunk.oob_votes);
        },
        [&] {
            if (progress) (*progress)(done.load(std::memory_order_relaxed));
        });
    return fit;
}

}  // namespace

Model fit_tree(const FitData& data, GrowRules rules, unsigned threads) {
    const WeightedData d = weighted_data(data);
    return fit_tree_with(empty_model(d.rows.n_cols, d.n_classes), rules, threads,
                         [&](const GrowRules& grow_rules, WorkerPool* pool) {
                             return grow_tree(d.rows, d.labels, d.weights, grow_rules, pool);
                         });
}

Model fit_tree(const SparseFitData& data, GrowRules rules, unsigned threads) {
    const SparseWeightedData d = weighted_data(data);
    return fit_tree_with(empty_model(d.x.n_cols, d.n_classes), rules, threads,
                         [&](const GrowRules& grow_rules, WorkerPool* pool) {
                             return grow_tree(d.x, d.labels, d.weights, grow_rules, pool);
                         });
}

ForestFit fit_forest(const FitData& data, ForestRules rules, std::uint32_t first,
                     std::uint32_t count, unsigned threads,
                     const std::optional<nb::callable>& progress) {
    const WeightedData d = weighted_data(data);
    return fit_forest_with(empty_model(d.rows.n_cols, d.n_classes), rules, threads, progress,
                           [&](const ForestRules& forest_rules, WorkerPool* pool,
                               std::atomic<std::uint32_t>* done) {
                               return grow_forest_chunk(d, forest_rules, first, count, pool, done);
                           });
}

ForestFit fit_forest(const SparseFitData& data, ForestRules rules, std::uint32_t first,
                     std::uint32_t count, unsigned threads,
                     const std::optional<nb::callable>& progress) {
    const SparseWeightedData d = weighted_data(data);
    return fit_forest_with(empty_model(d.x.n_cols, d.n_classes), rules, threads, progress,
                           [&](const ForestRules& forest_rules, WorkerPool* pool,
                               std::atomic<std::uint32_t>* done) {
                               return grow_forest_chunk(d, forest_rules, first, count, pool, done);
                           });
}

}  // namespace lindorf::estimators
