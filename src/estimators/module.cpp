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

#include <cstring>
#include <string>
#include <utility>

#include "estimators/arrays.hpp"
#include "estimators/entry.hpp"
#include "estimators/explain.hpp"
#include "estimators/fit.hpp"
#include "estimators/methods.hpp"
#include "estimators/sparse.hpp"
#include "model/format.hpp"
#include "support/random.hpp"
#include "support/streams.hpp"
#include "support/thread_state.hpp"

namespace lindorf::estimators {

namespace {

Model fit_tree_of(FeatureArray x, IndexArray y, std::optional<IndexArray> weights,
                  std::uint32_t n_classes, std::uint32_t max_depth, std::uint32_t min_split,
                  std::uint32_t min_leaf, std::uint32_t max_features, std::string criterion,
                  nb::bytes key, unsigned threads) {
    return fit_tree(FitData{x, y, weights, n_classes},
                    grow_rules(max_depth, min_split, min_leaf, max_features, criterion, key),
                    threads);
}

nb::tuple fit_forest_of(FeatureArray x, IndexArray y, std::optional<IndexArray> weights,
                        std::uint32_t n_classes, std::uint32_t max_depth, std::uint32_t min_split,
                        std::uint32_t min_leaf, std::uint32_t max_features, std::string criterion,
                        bool bootstrap, bool out_of_bag, nb::bytes key, std::uint32_t first,
                        std::uint32_t count, unsigned threads,
                        std::optional<nb::callable> progress) {
    ForestRules rules{grow_rules(max_depth, min_split, min_leaf, max_features, criterion, key),
                      bootstrap, out_of_bag, key_of(key)};
    ForestFit fit = fit_forest(FitData{x, y, weights, n_classes}, rules, first, count, threads,
                               progress);
    nb::object votes = nb::none();
    if (out_of_bag)
        votes = nb::cast(numpy_array(std::move(fit.oob_votes), {x.shape(0), n_classes}));
    return nb::make_tuple(std::move(fit.model), votes);
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
        .def_prop_ro("n_trees", [](const Model& model) { return model.trees.size(); })
        .def("tree_labels", entry<tree_labels_of>)
        .def("tree_shares", entry<tree_shares_of>)
        .def("votes", entry<votes_of>)
        .def("leaves", entry<leaves_of_rows>)
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
        .def("to_bytes", entry<to_bytes_of>)
        .def_static("from_bytes", entry<from_bytes_of>)
        .def_static("join", entry<join_models>);
    m.def("fit_tree", entry<fit_tree_of>);
    m.def("fit_forest", entry<fit_forest_of>);
    m.def("model_extent", entry<model_extent_of>);
    m.def("seed_key", entry<seed_key_bytes>);
    m.def("os_key", entry<os_key_bytes>);
    m.def("usable_cores", [] { return hardware_threads(); });
    define_sparse(m);
    m.attr("format_version") = model_format_version;
}
