#include "estimators/explain.hpp"

#include <stdexcept>
#include <utility>
#include <vector>

#include "estimators/unlocked.hpp"
#include "explain/contributions.hpp"
#include "explain/node_table.hpp"
#include "explain/node_values.hpp"

namespace lindorf::estimators {

namespace {

const Tree& checked_tree(const Model& model, std::size_t i) {
    if (i >= model.trees.size()) throw std::out_of_range("no such tree");
    const Tree& tree = *model.trees[i];
    check_explainable(tree, model.n_features, model.value_width());
    return tree;
}

LeafOutput leaf_value(const std::string& kind) {
    if (kind == "shares") return LeafOutput::shares;
    if (kind == "vote") return LeafOutput::vote;
    if (kind == "target") return LeafOutput::target;
    throw std::invalid_argument("no leaf value '" + kind + "'");
}

void check_width(const Model& model, const FeatureArray& x) {
    if (x.shape(1) != model.n_features)
        throw std::invalid_argument("the model was fitted on " + std::to_string(model.n_features) +
                                    " features, not " + std::to_string(x.shape(1)));
}

template <class T>
nb::ndarray<nb::numpy, T> column(std::vector<T>&& values) {
    const std::size_t n = values.size();
    return numpy_array(std::move(values), {n});
}

}  // namespace

nb::dict node_table_of(const Model& model, std::size_t i) {
    NodeTable t = node_table(checked_tree(model, i));
    nb::dict out;
    out["children_left"] = column(std::move(t.children_left));
    out["children_right"] = column(std::move(t.children_right));
    out["feature"] = column(std::move(t.feature));
    out["threshold"] = column(std::move(t.threshold));
    out["missing_go_to_left"] = column(std::move(t.missing_go_to_left));
    out["weighted_n_node_samples"] = column(std::move(t.weighted_n_node_samples));
    out["impurity"] = column(std::move(t.impurity));
    out["depth"] = column(std::move(t.depth));
    out["label"] = column(std::move(t.label));
    return out;
}

nb::ndarray<nb::numpy, double> node_values_of(const Model& model, std::size_t i,
                                              const std::string& kind) {
    const Tree& tree = checked_tree(model, i);
    const std::uint32_t width = model.value_width();
    std::vector<double> values = kind == "weights"    ? class_weights(tree, width)
                                 : kind == "recorded" ? recorded_values(tree, width)
                                                      : node_values(tree, width, leaf_value(kind));
    return numpy_array(std::move(values), {tree.nodes.size(), std::size_t{width}});
}

nb::tuple node_class_weights_of(const Model& model, std::size_t i, std::size_t node) {
    const Tree& tree = checked_tree(model, i);
    if (node >= tree.nodes.size()) throw std::out_of_range("no such node");
    std::vector<std::uint32_t> classes;
    std::vector<double> weights;
    for (auto [label, weight] : node_class_weights(tree, node)) {
        classes.push_back(label);
        weights.push_back(weight);
    }
    return nb::make_tuple(column(std::move(classes)), column(std::move(weights)));
}

nb::tuple decision_path_of(const Model& model, FeatureArray x, unsigned threads) {
    check_width(model, x);
    const MatrixView rows = rows_of(x);
    DecisionPaths paths;
    {
        nb::gil_scoped_release unlocked;
        WorkerPool pool(threads);
        paths = decision_paths(model.trees, rows, &pool);
    }
    return nb::make_tuple(column(std::move(paths.indptr)), column(std::move(paths.indices)));
}

nb::ndarray<nb::numpy, double> contributions_of(const Model& model, FeatureArray x,
                                                const std::string& kind, unsigned threads) {
    check_width(model, x);
    const LeafOutput value = leaf_value(kind);
    const MatrixView rows = rows_of(x);
    std::vector<double> out;
    StopToken stop;
    run_unlocked(threads, stop, [&](WorkerPool* pool) {
        out = contributions(model.trees, model.n_features, model.value_width(), value, rows, pool,
                            &stop);
    });
    return numpy_array(std::move(out),
                       {x.shape(0), std::size_t{model.n_features} + 1, model.value_width()});
}

}  // namespace lindorf::estimators
