#include "estimators/methods.hpp"

#include <stdexcept>
#include <string>
#include <utility>

#include "model/importance.hpp"
#include "model/predict.hpp"
#include "model/top_class.hpp"

namespace lindorf::estimators {

namespace {

void check_width(const Model& model, const FeatureArray& x) {
    if (x.shape(1) != model.n_features)
        throw std::invalid_argument("the model was fitted on " + std::to_string(model.n_features) +
                                    " features, not " + std::to_string(x.shape(1)));
}

const Tree& only_tree(const Model& model) {
    if (model.trees.size() != 1) throw std::invalid_argument("the model is not a single tree");
    return *model.trees[0];
}

// compute(rows, pool) on the rows of x, with the lock released and at most `threads` threads.
template <class Compute>
auto on_rows(const Model& model, const FeatureArray& x, unsigned threads, Compute&& compute) {
    check_width(model, x);
    const MatrixView rows = rows_of(x);
    nb::gil_scoped_release unlocked;
    WorkerPool pool(threads);
    return compute(rows, &pool);
}

}  // namespace

nb::ndarray<nb::numpy, std::uint32_t> tree_labels_of(const Model& model, FeatureArray x,
                                                     unsigned threads) {
    only_tree(model);
    Labels out = on_rows(model, x, threads, [&](MatrixView rows, WorkerPool* pool) {
        return tree_labels(model, rows, pool);
    });
    return numpy_array(std::move(out), {x.shape(0)});
}

nb::ndarray<nb::numpy, double> tree_shares_of(const Model& model, FeatureArray x,
                                              unsigned threads) {
    only_tree(model);
    std::vector<double> out = on_rows(model, x, threads, [&](MatrixView rows, WorkerPool* pool) {
        return tree_shares(model, rows, pool);
    });
    return numpy_array(std::move(out), {x.shape(0), model.n_classes});
}

nb::ndarray<nb::numpy, std::uint32_t> votes_of(const Model& model, FeatureArray x,
                                               unsigned threads) {
    std::vector<std::uint32_t> out =
        on_rows(model, x, threads, [&](MatrixView rows, WorkerPool* pool) {
            return forest_votes(model, rows, pool);
        });
    return numpy_array(std::move(out), {x.shape(0), model.n_classes});
}

nb::ndarray<nb::numpy, double> forest_shares_of(const Model& model, FeatureArray x,
                                                unsigned threads) {
    std::vector<double> out = on_rows(model, x, threads, [&](MatrixView rows, WorkerPool* pool) {
        return forest_shares(model, rows, pool);
    });
    return numpy_array(std::move(out), {x.shape(0), model.n_classes});
}

nb::ndarray<nb::numpy, double> values_of(const Model& model, FeatureArray x, unsigned threads) {
    if (!model.regression()) throw std::invalid_argument("the model is not a regression model");
    std::vector<double> out = on_rows(model, x, threads, [&](MatrixView rows, WorkerPool* pool) {
        return forest_values(model, rows, pool);
    });
    return numpy_array(std::move(out), {x.shape(0), std::size_t{model.n_targets}});
}

nb::ndarray<nb::numpy, std::uint32_t> leaves_of_rows(const Model& model, FeatureArray x,
                                                     unsigned threads) {
    std::vector<std::uint32_t> out =
        on_rows(model, x, threads, [&](MatrixView rows, WorkerPool* pool) {
            return forest_leaves(model, rows, pool);
        });
    return numpy_array(std::move(out), {x.shape(0), model.trees.size()});
}

nb::ndarray<nb::numpy, std::uint32_t> top_classes_of(const Model& model, LeafArray leaves,
                                                     bool soft, unsigned threads) {
    if (leaves.shape(1) != model.trees.size())
        throw std::invalid_argument("the leaves are not one per tree of the model");
    if (model.regression() || model.n_outputs() != 1)
        throw std::invalid_argument("the model is not a classifier of one output");
    const std::span<const std::uint32_t> all{leaves.data(), leaves.shape(0) * leaves.shape(1)};
    Labels out;
    {
        nb::gil_scoped_release unlocked;
        WorkerPool pool(threads);
        out = top_classes(model, all, soft, &pool);
    }
    return numpy_array(std::move(out), {leaves.shape(0)});
}

nb::ndarray<nb::numpy, double> importances_of(const Model& model) {
    return numpy_array(forest_importances(model.trees, model.n_features), {model.n_features});
}

nb::tuple importance_list_of(const Model& model) {
    std::vector<FeatureImportance> list = forest_importance_list(model.trees, model.n_features);
    std::vector<std::uint32_t> features;
    std::vector<double> values;
    features.reserve(list.size());
    values.reserve(list.size());
    for (const FeatureImportance& entry : list) {
        features.push_back(entry.feature);
        values.push_back(entry.value);
    }
    const std::size_t n = list.size();
    return nb::make_tuple(numpy_array(std::move(features), {n}), numpy_array(std::move(values), {n}));
}

std::vector<std::uint32_t> depths_of(const Model& model) {
    std::vector<std::uint32_t> out;
    for (const SharedTree& tree : model.trees) out.push_back(depth(*tree));
    return out;
}

std::vector<std::size_t> node_counts_of(const Model& model) {
    std::vector<std::size_t> out;
    for (const SharedTree& tree : model.trees) out.push_back(tree->nodes.size());
    return out;
}

std::vector<std::size_t> leaf_counts_of(const Model& model) {
    std::vector<std::size_t> out;
    for (const SharedTree& tree : model.trees) out.push_back(leaf_count(*tree));
    return out;
}

Model tree_at(const Model& model, std::size_t i) {
    if (i >= model.trees.size()) throw std::out_of_range("no such tree");
    Model one = model;
    one.trees = {model.trees[i]};
    one.walks.clear();
    if (model.walks.size() == model.trees.size()) one.walks.push_back(model.walks[i]);
    return one;
}

Model join_models(std::vector<const Model*> parts) {
    if (parts.empty()) throw std::invalid_argument("nothing to join");
    Model joined = *parts[0];
    joined.trees.clear();
    joined.walks.clear();
    bool prepared = true;
    for (const Model* part : parts) {
        if (part->n_features != joined.n_features || part->n_targets != joined.n_targets ||
            (!joined.regression() && part->classes_per_output() != joined.classes_per_output()))
            throw std::invalid_argument("models of different shapes cannot be joined");
        joined.trees.insert(joined.trees.end(), part->trees.begin(), part->trees.end());
        joined.walks.insert(joined.walks.end(), part->walks.begin(), part->walks.end());
        prepared = prepared && part->walks.size() == part->trees.size();
    }
    if (!prepared) prepare_walks(joined);
    return joined;
}

}  // namespace lindorf::estimators
