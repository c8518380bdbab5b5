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

#include "estimators/arrays.hpp"
#include "estimators/fit.hpp"
#include "model/format.hpp"
#include "model/importance.hpp"
#include "model/predict.hpp"
#include "support/error.hpp"
#include "support/random.hpp"
#include "support/streams.hpp"

namespace lindorf::estimators {

namespace {

ChaChaKey key_of(const nb::bytes& bytes) {
    if (bytes.size() != sizeof(ChaChaKey)) throw std::invalid_argument("a key is 32 bytes");
    ChaChaKey key;
    std::memcpy(key.data(), bytes.c_str(), key.size());
    return key;
}

nb::bytes bytes_of(const ChaChaKey& key) {
    return nb::bytes(reinterpret_cast<const char*>(key.data()), key.size());
}

GrowRules grow_rules(std::uint32_t max_depth, std::uint32_t min_split, std::uint32_t min_leaf,
                     std::uint32_t max_features, const std::string& criterion,
                     const nb::bytes& key) {
    if (criterion != "entropy" && criterion != "gini")
        throw std::invalid_argument("no criterion '" + criterion + "'");
    return GrowRules{.max_depth = max_depth,
                     .min_split = min_split,
                     .min_leaf = min_leaf,
                     .impurity = criterion == "gini" ? Impurity::gini : Impurity::entropy,
                     .max_features = max_features,
                     .node_key = node_key(key_of(key), 0)};
}

void check_width(const Model& model, const FeatureArray& x) {
    if (x.shape(1) != model.n_features)
        throw std::invalid_argument("the model was fitted on " + std::to_string(model.n_features) +
                                    " features, not " + std::to_string(x.shape(1)));
}

const Tree& only_tree(const Model& model) {
    if (model.trees.size() != 1) throw std::invalid_argument("the model is not a single tree");
    return *model.trees[0];
}

// Runs `compute` on the rows of x with the lock released and a pool of `threads`.
template <class Compute>
auto on_rows(const Model& model, const FeatureArray& x, unsigned threads, Compute&& compute) {
    check_width(model, x);
    const MatrixView rows = rows_of(x);
    nb::gil_scoped_release unlocked;
    WorkerPool pool(threads);
    return compute(rows, &pool);
}

void define_model(nb::module_& m) {
    nb::class_<Model>(m, "NativeModel")
        .def_ro("n_features", &Model::n_features)
        .def_ro("n_classes", &Model::n_classes)
        .def_prop_ro("n_trees", [](const Model& model) { return model.trees.size(); })
        .def("tree_labels", [](const Model& model, const FeatureArray& x, unsigned threads) {
            const Tree& tree = only_tree(model);
            Labels out = on_rows(model, x, threads, [&](MatrixView rows, WorkerPool* pool) {
                return tree_labels(tree, rows, pool);
            });
            return numpy_array(std::move(out), {x.shape(0)});
        })
        .def("tree_shares", [](const Model& model, const FeatureArray& x, unsigned threads) {
            const Tree& tree = only_tree(model);
            auto out = on_rows(model, x, threads, [&](MatrixView rows, WorkerPool* pool) {
                return tree_shares(tree, rows, model.n_classes, pool);
            });
            return numpy_array(std::move(out), {x.shape(0), model.n_classes});
        })
        .def("votes", [](const Model& model, const FeatureArray& x, unsigned threads) {
            auto out = on_rows(model, x, threads, [&](MatrixView rows, WorkerPool* pool) {
                return forest_votes(model.trees, rows, model.n_classes, pool);
            });
            return numpy_array(std::move(out), {x.shape(0), model.n_classes});
        })
        .def("leaves", [](const Model& model, const FeatureArray& x, unsigned threads) {
            auto out = on_rows(model, x, threads, [&](MatrixView rows, WorkerPool* pool) {
                return forest_leaves(model.trees, rows, pool);
            });
            return numpy_array(std::move(out), {x.shape(0), model.trees.size()});
        })
        .def("importances", [](const Model& model) {
            return numpy_array(forest_importances(model.trees, model.n_features),
                               {model.n_features});
        })
        .def("depths", [](const Model& model) {
            std::vector<std::uint32_t> out;
            for (const SharedTree& tree : model.trees) out.push_back(depth(*tree));
            return out;
        })
        .def("node_counts", [](const Model& model) {
            std::vector<std::size_t> out;
            for (const SharedTree& tree : model.trees) out.push_back(tree->nodes.size());
            return out;
        })
        .def("leaf_counts", [](const Model& model) {
            std::vector<std::size_t> out;
            for (const SharedTree& tree : model.trees) out.push_back(leaf_count(*tree));
            return out;
        })
        .def("tree", [](const Model& model, std::size_t i) {
            if (i >= model.trees.size()) throw std::out_of_range("no such tree");
            return Model{model.n_features, model.n_classes, {model.trees[i]}};
        })
        .def("to_bytes", [](const Model& model, const nb::bytes& metadata) {
            std::vector<std::uint8_t> out = encode_model(
                model, std::string_view(metadata.c_str(), metadata.size()));
            return nb::bytes(reinterpret_cast<const char*>(out.data()), out.size());
        })
        .def_static("from_bytes", [](const nb::bytes& data) {
            DecodedModel decoded = decode_model(
                {reinterpret_cast<const std::uint8_t*>(data.c_str()), data.size()});
            return std::make_pair(std::move(decoded.model),
                                  nb::bytes(decoded.metadata.data(), decoded.metadata.size()));
        })
        .def_static("join", [](const std::vector<const Model*>& parts) {
            if (parts.empty()) throw std::invalid_argument("nothing to join");
            Model joined{parts[0]->n_features, parts[0]->n_classes, {}};
            for (const Model* part : parts) {
                if (part->n_features != joined.n_features || part->n_classes != joined.n_classes)
                    throw std::invalid_argument("models of different shapes cannot be joined");
                joined.trees.insert(joined.trees.end(), part->trees.begin(), part->trees.end());
            }
            return joined;
        });
}

void define_fitting(nb::module_& m) {
    m.def("fit_tree", [](FeatureArray x, IndexArray y, std::optional<IndexArray> weights,
                         std::uint32_t n_classes, std::uint32_t max_depth, std::uint32_t min_split,
                         std::uint32_t min_leaf, std::uint32_t max_features,
                         const std::string& criterion, const nb::bytes& key, unsigned threads) {
        FitData data{x, y, weights, n_classes};
        return fit_tree(
            data, grow_rules(max_depth, min_split, min_leaf, max_features, criterion, key),
            threads);
    });
    m.def("fit_forest", [](FeatureArray x, IndexArray y, std::optional<IndexArray> weights,
                           std::uint32_t n_classes, std::uint32_t max_depth, std::uint32_t min_split,
                           std::uint32_t min_leaf, std::uint32_t max_features,
                           const std::string& criterion, bool bootstrap, bool out_of_bag,
                           const nb::bytes& key, std::uint32_t first, std::uint32_t count,
                           unsigned threads, const std::optional<nb::callable>& progress) {
        FitData data{x, y, weights, n_classes};
        ForestRules rules{grow_rules(max_depth, min_split, min_leaf, max_features, criterion, key),
                          bootstrap, out_of_bag, key_of(key)};
        ForestFit fit = fit_forest(data, rules, first, count, threads, progress);
        nb::object votes = nb::none();
        if (out_of_bag)
            votes = nb::cast(numpy_array(std::move(fit.oob_votes), {x.shape(0), n_classes}));
        return nb::make_tuple(std::move(fit.model), votes);
    });
    m.def("seed_key", [](std::uint64_t seed) { return bytes_of(seed_key(seed)); });
    m.def("os_key", [] {
        std::optional<ChaChaKey> key = os_entropy_key();
        if (!key) throw std::runtime_error("the operating system gave no random key");
        return bytes_of(*key);
    });
    m.def("usable_cores", [] { return hardware_threads(); });
    m.attr("format_version") = model_format_version;
}

}  // namespace

}  // namespace lindorf::estimators

NB_MODULE(_estimators, m) {
    lindorf::estimators::define_model(m);
    lindorf::estimators::define_fitting(m);
}
