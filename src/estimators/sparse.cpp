#include "estimators/sparse.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "estimators/arrays.hpp"
#include "estimators/entry.hpp"
#include "estimators/fit.hpp"
#include "estimators/rules.hpp"
#include "model/predict.hpp"
#include "sparse/sparse_set.hpp"

namespace lindorf::estimators {

namespace {

SparseRows rows_of(const ValueArray& values, const IndexArray& cols, const StartArray& starts,
                   std::size_t n_cols) {
    const std::size_t n_rows = starts.shape(0) == 0 ? 0 : starts.shape(0) - 1;
    return {n_rows, n_cols, span_of(values), span_of(cols), span_of(starts)};
}

// compute(rows, pool) on sparse rows, checked, with the lock released and at most `threads`
// threads.
template <class Compute>
auto on_sparse_rows(const Model& model, const ValueArray& values, const IndexArray& cols,
                    const StartArray& starts, unsigned threads, Compute&& compute) {
    const SparseRows rows = rows_of(values, cols, starts, model.n_features);
    nb::gil_scoped_release unlocked;
    check_sparse(rows);
    WorkerPool pool(threads);
    return compute(rows, &pool);
}

nb::ndarray<nb::numpy, std::uint32_t> tree_labels_sparse(const Model& model, ValueArray values,
                                                         IndexArray cols, StartArray starts,
                                                         unsigned threads) {
    Labels out = on_sparse_rows(
        model, values, cols, starts, threads,
        [&](const SparseRows& rows, WorkerPool* pool) { return tree_labels(model, rows, pool); });
    const std::size_t n = out.size();
    return numpy_array(std::move(out), {n});
}

nb::ndarray<nb::numpy, double> tree_shares_sparse(const Model& model, ValueArray values,
                                                  IndexArray cols, StartArray starts,
                                                  unsigned threads) {
    std::vector<double> out = on_sparse_rows(
        model, values, cols, starts, threads,
        [&](const SparseRows& rows, WorkerPool* pool) { return tree_shares(model, rows, pool); });
    const std::size_t n = out.size() / std::max<std::uint32_t>(model.n_classes, 1);
    return numpy_array(std::move(out), {n, model.n_classes});
}

nb::ndarray<nb::numpy, std::uint32_t> votes_sparse(const Model& model, ValueArray values,
                                                   IndexArray cols, StartArray starts,
                                                   unsigned threads) {
    std::vector<std::uint32_t> out = on_sparse_rows(
        model, values, cols, starts, threads,
        [&](const SparseRows& rows, WorkerPool* pool) { return forest_votes(model, rows, pool); });
    const std::size_t n = out.size() / std::max<std::uint32_t>(model.n_classes, 1);
    return numpy_array(std::move(out), {n, model.n_classes});
}

nb::ndarray<nb::numpy, std::uint32_t> leaves_sparse(const Model& model, ValueArray values,
                                                    IndexArray cols, StartArray starts,
                                                    unsigned threads) {
    std::vector<std::uint32_t> out = on_sparse_rows(
        model, values, cols, starts, threads,
        [&](const SparseRows& rows, WorkerPool* pool) { return forest_leaves(model, rows, pool); });
    const std::size_t width = model.trees.size();
    const std::size_t n = width == 0 ? 0 : out.size() / width;
    return numpy_array(std::move(out), {n, width});
}

nb::ndarray<nb::numpy, double> shares_sparse(const Model& model, ValueArray values,
                                             IndexArray cols, StartArray starts,
                                             unsigned threads) {
    std::vector<double> out = on_sparse_rows(
        model, values, cols, starts, threads,
        [&](const SparseRows& rows, WorkerPool* pool) { return forest_shares(model, rows, pool); });
    const std::size_t n = out.size() / std::max<std::uint32_t>(model.n_classes, 1);
    return numpy_array(std::move(out), {n, model.n_classes});
}

nb::ndarray<nb::numpy, double> values_sparse(const Model& model, ValueArray values,
                                             IndexArray cols, StartArray starts,
                                             unsigned threads) {
    if (!model.regression()) throw std::invalid_argument("the model is not a regression model");
    std::vector<double> out = on_sparse_rows(
        model, values, cols, starts, threads,
        [&](const SparseRows& rows, WorkerPool* pool) { return forest_values(model, rows, pool); });
    const std::size_t n = out.size() / model.n_targets;
    return numpy_array(std::move(out), {n, std::size_t{model.n_targets}});
}

SparseFitData sparse_fit_data(ValueArray values, IndexArray rows, StartArray starts,
                              std::size_t n_rows, IndexArray y, std::optional<IndexArray> weights,
                              std::optional<RealArray> real_weights,
                              std::vector<std::uint32_t> classes) {
    return SparseFitData{values, rows, starts, n_rows, y, weights, real_weights,
                         std::move(classes)};
}

Model fit_tree_sparse(ValueArray values, IndexArray rows, StartArray starts, std::size_t n_rows,
                      IndexArray y, std::optional<IndexArray> weights,
                      std::optional<RealArray> real_weights, std::vector<std::uint32_t> classes,
                      nb::dict params, nb::bytes key, unsigned threads) {
    RuleSet set;
    fill_rules(set, params, key);
    return fit_tree(sparse_fit_data(values, rows, starts, n_rows, y, weights, real_weights,
                                    std::move(classes)),
                    set.rules, threads);
}

nb::tuple fit_forest_sparse(ValueArray values, IndexArray rows, StartArray starts,
                            std::size_t n_rows, IndexArray y, std::optional<IndexArray> weights,
                            std::optional<RealArray> real_weights,
                            std::vector<std::uint32_t> classes, nb::dict params, nb::bytes key,
                            std::uint32_t first, std::uint32_t count, unsigned threads,
                            std::optional<nb::callable> progress) {
    RuleSet set;
    fill_rules(set, params, key);
    fill_forest_rules(set, params, key);
    ForestFit fit = fit_forest(sparse_fit_data(values, rows, starts, n_rows, y, weights,
                                               real_weights, std::move(classes)),
                               set.forest, first, count, threads, progress);
    nb::object votes = nb::none();
    if (set.forest.out_of_bag)
        votes = out_of_bag_arrays(std::move(fit.out_of_bag), n_rows, fit.model.n_classes);
    return nb::make_tuple(std::move(fit.model), votes);
}

nb::tuple out_of_bag_sparse(const Model& model, ValueArray values, IndexArray rows,
                            StartArray starts, std::size_t n_rows, IndexArray y,
                            std::optional<IndexArray> weights,
                            std::optional<RealArray> real_weights,
                            std::vector<std::uint32_t> classes, nb::dict params, nb::bytes key,
                            unsigned threads) {
    RuleSet set;
    fill_rules(set, params, key);
    fill_forest_rules(set, params, key);
    OutOfBag votes = out_of_bag_of_fit(
        model,
        sparse_fit_data(values, rows, starts, n_rows, y, weights, real_weights, std::move(classes)),
        set.forest, threads);
    return nb::cast<nb::tuple>(out_of_bag_arrays(std::move(votes), n_rows, model.n_classes));
}

SparseFitData sparse_regression_data(ValueArray values, IndexArray rows, StartArray starts,
                                     std::size_t n_rows, TargetArray targets,
                                     std::optional<RealArray> real_weights) {
    SparseFitData data{values, rows, starts, n_rows, IndexArray(), std::nullopt, real_weights, {}};
    data.targets = targets;
    return data;
}

Model fit_regression_tree_sparse(ValueArray values, IndexArray rows, StartArray starts,
                                 std::size_t n_rows, TargetArray targets,
                                 std::optional<RealArray> real_weights, nb::dict params,
                                 nb::bytes key, unsigned threads) {
    RuleSet set;
    fill_rules(set, params, key, true);
    return fit_tree(sparse_regression_data(values, rows, starts, n_rows, targets, real_weights),
                    set.rules, threads);
}

nb::tuple fit_regression_forest_sparse(ValueArray values, IndexArray rows, StartArray starts,
                                       std::size_t n_rows, TargetArray targets,
                                       std::optional<RealArray> real_weights, nb::dict params,
                                       nb::bytes key, std::uint32_t first, std::uint32_t count,
                                       unsigned threads, std::optional<nb::callable> progress) {
    RuleSet set;
    fill_rules(set, params, key, true);
    fill_forest_rules(set, params, key);
    ForestFit fit =
        fit_forest(sparse_regression_data(values, rows, starts, n_rows, targets, real_weights),
                   set.forest, first, count, threads, progress);
    nb::object sums = nb::none();
    if (set.forest.out_of_bag)
        sums = out_of_bag_arrays(std::move(fit.out_of_bag), n_rows, targets.shape(1));
    return nb::make_tuple(std::move(fit.model), sums);
}

nb::tuple regression_out_of_bag_sparse(const Model& model, ValueArray values, IndexArray rows,
                                       StartArray starts, std::size_t n_rows, TargetArray targets,
                                       std::optional<RealArray> real_weights, nb::dict params,
                                       nb::bytes key, unsigned threads) {
    RuleSet set;
    fill_rules(set, params, key, true);
    fill_forest_rules(set, params, key);
    OutOfBag sums = out_of_bag_of_fit(
        model, sparse_regression_data(values, rows, starts, n_rows, targets, real_weights),
        set.forest, threads);
    return nb::cast<nb::tuple>(out_of_bag_arrays(std::move(sums), n_rows, targets.shape(1)));
}

}  // namespace

void define_sparse(nb::module_& m) {
    m.def("fit_tree_sparse", entry<fit_tree_sparse>);
    m.def("fit_forest_sparse", entry<fit_forest_sparse>);
    m.def("out_of_bag_sparse", entry<out_of_bag_sparse>);
    m.def("tree_labels_sparse", entry<tree_labels_sparse>);
    m.def("tree_shares_sparse", entry<tree_shares_sparse>);
    m.def("votes_sparse", entry<votes_sparse>);
    m.def("shares_sparse", entry<shares_sparse>);
    m.def("leaves_sparse", entry<leaves_sparse>);
    m.def("values_sparse", entry<values_sparse>);
    m.def("fit_regression_tree_sparse", entry<fit_regression_tree_sparse>);
    m.def("fit_regression_forest_sparse", entry<fit_regression_forest_sparse>);
    m.def("regression_out_of_bag_sparse", entry<regression_out_of_bag_sparse>);
}

}  // namespace lindorf::estimators
