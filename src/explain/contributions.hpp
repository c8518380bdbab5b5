// Exact SHAP values of a model's class shares: path-dependent TreeSHAP, in which a feature left
// out of a coalition is integrated out by following both branches of its tests in proportion to
// the training weight that went each way.
//
// The values come from Shapley's formula in its integral form: a leaf with value v whose path
// tests the distinct features d, each with one-fraction p_d (1 if the row satisfies every test of
// d on the path, else 0) and zero-fraction q_d (the product of the cover ratios of those tests),
// gives feature i
//
//     v (p_i - q_i) * integral over [0, 1] of prod_{d != i} (q_d (1 - t) + p_d t) dt,
//
// a polynomial of degree below the number of distinct features on the path, which Gauss-Legendre
// quadrature with half as many points integrates exactly. Evaluated at the quadrature points, the
// products of whole subtrees add up, so one pass over the tree per row gives every feature's
// value: at a node testing feature i, the leaves below it whose last test of i it is are summed
// (the sum below it less the sums below its deeper tests of i) and divided by i's factor. That
// is linear in the tree's size times the number of points, where the recursion of the original
// TreeSHAP algorithm costs the square of the depth per leaf.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "explain/node_values.hpp"
#include "model/model.hpp"
#include "support/dataset.hpp"
#include "support/parallel.hpp"
#include "support/polling.hpp"

namespace lindorf {

// n_rows x (n_features + 1) x n_classes, row-major: [r][f][k] is feature f's SHAP value for class
// k's share in row r; [r][n_features][k] is the expected value (the trees' leaf values weighted
// by their covers), so each row's values add up to the model's share of class k: the mean over
// the trees of the leaf value (`kind`) of the leaf the row reaches. Rows are computed in blocks
// on the pool; every row's sum runs over the trees in order, so the result never depends on the
// threads. Tests `stop`, when given, every few rows.
std::vector<double> contributions(std::span<const SharedTree> trees, std::uint32_t n_features,
                                  std::uint32_t n_classes, LeafOutput kind, MatrixView rows,
                                  WorkerPool* pool, const StopToken* stop = nullptr);

// The points and weights of m-point Gauss-Legendre quadrature on [0, 1], which integrates
// polynomials of degree below 2m exactly.
struct Quadrature {
    std::vector<double> t;
    std::vector<double> w;
};
Quadrature gauss_legendre(std::size_t m);

}  // namespace lindorf
