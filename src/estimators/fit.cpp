#include "estimators/fit.hpp"

#include <memory>
#include <string>
#include <utility>

#include "support/error.hpp"
#include "support/parallel.hpp"

namespace lindorf::estimators {

namespace {

WeightedData weighted_data(const FitData& data) {
    WeightedData out{rows_of(data.x), span_of(data.y), span_of(data.weights), data.n_classes};
    LINDORF_CHECK(out.rows.n_cols <= 0xFFFFFFFFu, "too many features");
    return out;
}

Model empty_model(const WeightedData& data) {
    Model model;
    model.n_features = static_cast<std::uint32_t>(data.rows.n_cols);
    model.n_classes = data.n_classes;
    return model;
}

}  // namespace

Model fit_tree(const FitData& data, const GrowRules& rules, unsigned threads) {
    const WeightedData d = weighted_data(data);
    for (Label label : d.labels)
        LINDORF_CHECK(label < d.n_classes, "label " + std::to_string(label) +
                                               " is not a class index below " +
                                               std::to_string(d.n_classes));
    Model model = empty_model(d);
    nb::gil_scoped_release unlocked;
    WorkerPool pool(threads);
    model.trees.push_back(std::make_shared<const Tree>(grow_tree(d.rows, d.labels, d.weights, rules, &pool)));
    return model;
}

ForestFit fit_forest(const FitData& data, const ForestRules& rules, std::uint32_t first,
                     std::uint32_t count, unsigned threads) {
    const WeightedData d = weighted_data(data);
    ForestFit fit{empty_model(d), {}};
    nb::gil_scoped_release unlocked;
    WorkerPool pool(threads);
    ForestChunk chunk = grow_forest_chunk(d, rules, first, count, &pool);
    fit.model.trees.reserve(chunk.trees.size());
    for (Tree& tree : chunk.trees) fit.model.trees.push_back(std::make_shared<const Tree>(std::move(tree)));
    fit.oob_votes = std::move(chunk.oob_votes);
    return fit;
}

}  // namespace lindorf::estimators
