#include "estimators/sparse.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "estimators/arrays.hpp"
#include "estimators/entry.hpp"
#include "estimators/fit.hpp"
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

Model fit_tree_sparse(ValueArray values, IndexArray rows, StartArray starts, std::size_t n_rows,
                      IndexArray y, std::optional<IndexArray> weights, std::uint32_t n_classes,
                      std::uint32_t max_depth, std::uint32_t min_split, std::uint32_t min_leaf,
                      std::uint32_t max_features, std::string criterion, nb::bytes key,
                      unsigned threads) {
    return fit_tree(SparseFitData{values, rows, starts, n_rows, y, weights, n_classes},
                    grow_rules(max_depth, min_split, min_leaf, max_features, criterion, key),
                    threads);
}

nb::tuple fit_forest_sparse(ValueArray values, IndexArray rows, StartArray starts,
                            std::size_t n_rows, IndexArray y, std::optional<IndexArray> weights,
                            std::uint32_t n_classes, std::uint32_t max_depth,
                            std::uint32_t min_split, std::uint32_t min_leaf,
                            std::uint32_t max_features, std::string criterion, bool bootstrap,
                            bool out_of_bag, nb::bytes key, std::uint32_t first,
                            std::uint32_t count, unsigned threads,
                            std::optional<nb::callable> progress) {
    ForestRules rules{grow_rules(max_depth, min_split, min_leaf, max_features, criterion, key),
                      bootstrap, out_of_bag, key_of(key)};
    ForestFit fit = fit_forest(SparseFitData{values, rows, starts, n_rows, y, weights, n_classes},
                               rules, first, count, threads, progress);
    nb::object votes = nb::none();
    if (out_of_bag) votes = nb::cast(numpy_array(std::move(fit.oob_votes), {n_rows, n_classes}));
    return nb::make_tuple(std::move(fit.model), votes);
}

}  // namespace

void define_sparse(nb::module_& m) {
    m.def("fit_tree_sparse", entry<fit_tree_sparse>);
    m.def("fit_forest_sparse", entry<fit_forest_sparse>);
    m.def("tree_labels_sparse", entry<tree_labels_sparse>);
    m.def("tree_shares_sparse", entry<tree_shares_sparse>);
    m.def("votes_sparse", entry<votes_sparse>);
    m.def("leaves_sparse", entry<leaves_sparse>);
}

}  // namespace lindorf::estimators
