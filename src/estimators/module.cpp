// The extension module lindorf._estimators: the native half of lindorf.DecisionTreeClassifier
// and lindorf.RandomForestClassifier. The Python classes validate and convert every input;
// this module fits, predicts and saves models, with the interpreter lock released while the
// learner works.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <stdexcept>
#include <string>
#include <utility>

#include "estimators/arrays.hpp"
#include "estimators/entry.hpp"
#include "estimators/explain.hpp"
#include "estimators/fit.hpp"
#include "estimators/methods.hpp"
#include "estimators/rules.hpp"
#include "estimators/sparse.hpp"
#include "model/format.hpp"
#include "model/predict.hpp"
#include "model/prune.hpp"
#include "support/random.hpp"
#include "support/streams.hpp"

namespace lindorf::estimators {

namespace {

FitData fit_data(FeatureArray x, IndexArray y, std::optional<IndexArray> weights,
                 std::optional<RealArray> real_weights, std::vector<std::uint32_t> classes) {
    return FitData{x, y, weights, real_weights, std::move(classes)};
}

Model fit_tree_of(FeatureArray x, IndexArray y, std::optional<IndexArray> weights,
                  std::optional<RealArray> real_weights, std::vector<std::uint32_t> classes,
                  nb::dict params, nb::bytes key, unsigned threads) {
    RuleSet set;
    fill_rules(set, params, key);
    return fit_tree(fit_data(x, y, weights, real_weights, std::move(classes)), set.rules, threads);
}

nb::tuple fit_forest_of(FeatureArray x, IndexArray y, std::optional<IndexArray> weights,
                        std::optional<RealArray> real_weights, std::vector<std::uint32_t> classes,
                        nb::dict params, nb::bytes key, std::uint32_t first, std::uint32_t count,
                        unsigned threads, std::optional<nb::callable> progress) {
    RuleSet set;
    fill_rules(set, params, key);
    fill_forest_rules(set, params, key);
    ForestFit fit = fit_forest(fit_data(x, y, weights, real_weights, std::move(classes)),
                               set.forest, first, count, threads, progress);
    nb::object votes = nb::none();
    if (set.forest.out_of_bag)
        votes = out_of_bag_arrays(std::move(fit.out_of_bag), x.shape(0), fit.model.n_classes);
    return nb::make_tuple(std::move(fit.model), votes);
}

nb::tuple out_of_bag_of(const Model& model, FeatureArray x, IndexArray y,
                        std::optional<IndexArray> weights, std::optional<RealArray> real_weights,
                        std::vector<std::uint32_t> classes, nb::dict params, nb::bytes key,
                        unsigned threads) {
    RuleSet set;
    fill_rules(set, params, key);
    fill_forest_rules(set, params, key);
    const FitData data = fit_data(x, y, weights, real_weights, std::move(classes));
    OutOfBag votes = out_of_bag_of_fit(model, data, set.forest, threads);
    return nb::cast<nb::tuple>(out_of_bag_arrays(std::move(votes), x.shape(0), model.n_classes));
}

FitData regression_data(FeatureArray x, TargetArray targets,
                        std::optional<RealArray> real_weights) {
    FitData data{x, IndexArray(), std::nullopt, real_weights, {}};
    data.targets = targets;
    return data;
}

Model fit_regression_tree_of(FeatureArray x, TargetArray targets,
                             std::optional<RealArray> real_weights, nb::dict params, nb::bytes key,
                             unsigned threads) {
    RuleSet set;
    fill_rules(set, params, key, true);
    return fit_tree(regression_data(x, targets, real_weights), set.rules, threads);
}

nb::tuple fit_regression_forest_of(FeatureArray x, TargetArray targets,
                                   std::optional<RealArray> real_weights, nb::dict params,
                                   nb::bytes key, std::uint32_t first, std::uint32_t count,
                                   unsigned threads, std::optional<nb::callable> progress) {
    RuleSet set;
    fill_rules(set, params, key, true);
    fill_forest_rules(set, params, key);
    ForestFit fit = fit_forest(regression_data(x, targets, real_weights), set.forest, first,
                               count, threads, progress);
    nb::object sums = nb::none();
    if (set.forest.out_of_bag)
        sums = out_of_bag_arrays(std::move(fit.out_of_bag), x.shape(0), targets.shape(1));
    return nb::make_tuple(std::move(fit.model), sums);
}

nb::tuple regression_out_of_bag_of(const Model& model, FeatureArray x, TargetArray targets,
                                   std::optional<RealArray> real_weights, nb::dict params,
                                   nb::bytes key, unsigned threads) {
    RuleSet set;
    fill_rules(set, params, key, true);
    fill_forest_rules(set, params, key);
    OutOfBag sums = out_of_bag_of_fit(model, regression_data(x, targets, real_weights),
                                      set.forest, threads);
    return nb::cast<nb::tuple>(out_of_bag_arrays(std::move(sums), x.shape(0), targets.shape(1)));
}

nb::ndarray<nb::numpy, std::uint32_t> bootstrap_sample_of(nb::bytes key, std::size_t n_rows,
                                                          std::uint32_t tree,
                                                          std::uint32_t draws) {
    std::vector<std::uint32_t> rows = bootstrap_rows(n_rows, key_of(key), tree, draws);
    const std::size_t n = rows.size();
    return numpy_array(std::move(rows), {n});
}

Model pruned_of(const Model& model, double alpha) {
    Model out = model;
    out.trees.clear();
    for (const SharedTree& tree : model.trees)
        out.trees.push_back(std::make_shared<const Tree>(pruned(*tree, alpha)));
    prepare_walks(out);
    return out;
}

nb::tuple pruning_path_of(const Model& model) {
    if (model.trees.size() != 1) throw std::invalid_argument("the model is not a single tree");
    PruningPath path = pruning_path(*model.trees[0]);
    const std::size_t n = path.alphas.size();
    return nb::make_tuple(numpy_array(std::move(path.alphas), {n}),
                          numpy_array(std::move(path.impurities), {n}));
}

nb::bytes to_bytes_of(const Model& model, nb::bytes metadata) {
    std::vector<std::uint8_t> out =
        encode_model(model, std::string_view(metadata.c_str(), metadata.size()));
    return nb::bytes(reinterpret_cast<const char*>(out.data()), out.size());
}

std::pair<Model, nb::bytes> from_bytes_of(nb::bytes data) {
    DecodedModel decoded =
        decode_model({reinterpret_cast<const std::uint8_t*>(data.c_str()), data.size()});
    return {std::move(decoded.model), nb::bytes(decoded.metadata.data(), decoded.metadata.size())};
}

std::pair<std::uint64_t, bool> model_extent_of(nb::bytes prefix) {
    const ModelExtent extent =
        model_extent({reinterpret_cast<const std::uint8_t*>(prefix.c_str()), prefix.size()});
    return {extent.size, extent.complete};
}

nb::bytes os_key_bytes() {
    std::optional<ChaChaKey> key = os_entropy_key();
    if (!key) throw std::runtime_error("the operating system gave no random key");
    return bytes_of(*key);
}

nb::bytes seed_key_bytes(std::uint64_t seed) {
    return bytes_of(seed_key(seed));
}

}  // namespace

}  // namespace lindorf::estimators

NB_MODULE(_estimators, m) {
    using namespace lindorf;
    using namespace lindorf::estimators;
    nb::class_<Model>(m, "NativeModel")
        .def_ro("n_features", &Model::n_features)
        .def_ro("n_classes", &Model::n_classes)
        .def_ro("n_targets", &Model::n_targets)
        .def_prop_ro("n_trees", [](const Model& model) { return model.trees.size(); })
        .def_prop_ro("output_classes",
                     [](const Model& model) { return model.classes_per_output(); })
        .def_ro("read_version", &Model::read_version)
        .def("tree_labels", entry<tree_labels_of>)
        .def("tree_shares", entry<tree_shares_of>)
        .def("votes", entry<votes_of>)
        .def("shares", entry<forest_shares_of>)
        .def("values", entry<values_of>)
        .def("leaves", entry<leaves_of_rows>)
        .def("top_classes", entry<top_classes_of>)
        .def("importances", entry<importances_of>)
        .def("importance_list", entry<importance_list_of>)
        .def("depths", entry<depths_of>)
        .def("node_counts", entry<node_counts_of>)
        .def("leaf_counts", entry<leaf_counts_of>)
        .def("tree", entry<tree_at>)
        .def("node_table", entry<node_table_of>)
        .def("node_values", entry<node_values_of>)
        .def("node_class_weights", entry<node_class_weights_of>)
        .def("decision_path", entry<decision_path_of>)
        .def("contributions", entry<contributions_of>)
        .def("pruned", entry<pruned_of>)
        .def("pruning_path", entry<pruning_path_of>)
        .def("to_bytes", entry<to_bytes_of>)
        .def_static("from_bytes", entry<from_bytes_of>)
        .def_static("join", entry<join_models>);
    m.def("fit_tree", entry<fit_tree_of>);
    m.def("fit_forest", entry<fit_forest_of>);
    m.def("model_extent", entry<model_extent_of>);
    m.def("out_of_bag", entry<out_of_bag_of>);
    m.def("fit_regression_tree", entry<fit_regression_tree_of>);
    m.def("fit_regression_forest", entry<fit_regression_forest_of>);
    m.def("regression_out_of_bag", entry<regression_out_of_bag_of>);
    m.def("bootstrap_sample", entry<bootstrap_sample_of>);
    m.def("seed_key", entry<seed_key_bytes>);
    m.def("os_key", entry<os_key_bytes>);
    m.def("usable_cores", [] { return hardware_threads(); });
    m.attr("format_version") = model_format_version;
    define_sparse(m);
}
