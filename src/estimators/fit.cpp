#include "estimators/fit.hpp"

#include <atomic>
#include <memory>
#include <string>
#include <utility>

#include "estimators/unlocked.hpp"
#include "model/predict.hpp"
#include "support/error.hpp"
#include "support/parallel.hpp"
#include "support/polling.hpp"

namespace lindorf::estimators {

namespace {

WeightedData weighted_data(const FitData& data) {
    WeightedData out{rows_of(data.x), span_of(data.y), span_of(data.weights), data.n_classes};
    LINDORF_CHECK(out.rows.n_cols <= 0xFFFFFFFFu, "too many features");
    for (Label label : out.labels)
        LINDORF_CHECK(label < out.n_classes, "label " + std::to_string(label) +
                                                 " is not a class index below " +
                                                 std::to_string(out.n_classes));
    return out;
}

Model empty_model(const WeightedData& data) {
    Model model;
    model.n_features = static_cast<std::uint32_t>(data.rows.n_cols);
    model.n_classes = data.n_classes;
    return model;
}

}  // namespace

Model fit_tree(const FitData& data, GrowRules rules, unsigned threads) {
    const WeightedData d = weighted_data(data);
    Model model = empty_model(d);
    StopToken stop;
    rules.stop = &stop;
    rules.record_stats = true;  // class shares, importances and saving read them
    std::shared_ptr<const Tree> tree;
    run_unlocked(threads, stop, [&](WorkerPool* pool) {
        tree = std::make_shared<const Tree>(grow_tree(d.rows, d.labels, d.weights, rules, pool));
        model.trees.push_back(std::move(tree));
        prepare_walks(model, pool);
    });
    return model;
}

ForestFit fit_forest(const FitData& data, ForestRules rules, std::uint32_t first,
                     std::uint32_t count, unsigned threads,
                     const std::optional<nb::callable>& progress) {
    const WeightedData d = weighted_data(data);
    ForestFit fit{empty_model(d), {}};
    StopToken stop;
    rules.tree.stop = &stop;
    rules.tree.record_stats = true;  // class shares, importances and saving read them
    std::atomic<std::uint32_t> done{0};
    ForestChunk chunk;
    run_unlocked(
        threads, stop,
        [&](WorkerPool* pool) {
            chunk = grow_forest_chunk(d, rules, first, count, pool, &done);
            fit.model.trees.reserve(chunk.trees.size());
            for (Tree& tree : chunk.trees)
                fit.model.trees.push_back(std::make_shared<const Tree>(std::move(tree)));
            prepare_walks(fit.model, pool);
        },
        [&] {
            if (progress) (*progress)(done.load(std::memory_order_relaxed));
        });
    fit.oob_votes = std::move(chunk.oob_votes);
    return fit;
}

}  // namespace lindorf::estimators
