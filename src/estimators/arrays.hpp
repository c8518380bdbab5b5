// NumPy arrays in and out of the estimators' module. The Python side hands over arrays already
// validated and converted (C-contiguous float32 features, uint32 class indices and weights), so
// nothing is converted here; results are moved into arrays that own them.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "support/dataset.hpp"

namespace lindorf::estimators {

namespace nb = nanobind;

using FeatureArray = nb::ndarray<const float, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using IndexArray = nb::ndarray<const std::uint32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using RealArray = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
// A sparse matrix's stored values and where each column or row starts among them.
using ValueArray = nb::ndarray<const float, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using StartArray = nb::ndarray<const std::uint64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
// The leaf each row reaches in each tree: n_rows x n_trees, row-major.
using LeafArray = nb::ndarray<const std::uint32_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
// Regression targets: n_rows x n_targets, row-major.
using TargetArray = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// The rows of a feature array; it must outlive the view.
MatrixView rows_of(const FeatureArray& x);

template <class T>
std::span<const T> span_of(const nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>& a) {
    return {a.data(), a.shape(0)};
}

template <class T>
std::span<const T> span_of(
    const std::optional<nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>>& a) {
    return a ? span_of(*a) : std::span<const T>{};
}

// A NumPy array of the given shape that takes over `values`.
template <class T>
nb::ndarray<nb::numpy, T> numpy_array(std::vector<T>&& values, std::initializer_list<std::size_t> shape) {
    auto* owned = new std::vector<T>(std::move(values));
    nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return nb::ndarray<nb::numpy, T>(owned->data(), shape, owner);
}

}  // namespace lindorf::estimators
