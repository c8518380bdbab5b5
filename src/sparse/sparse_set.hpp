// Training data held as stored values only: sparse matrices, whose unstored values are 0.0.
//
// A working set of sorted blocks holds every feature's value of every row, which for a matrix
// of 1 % stored values is a hundred times the matrix. A sparse set holds, per feature, only the
// tree's rows whose value is not zero, sorted by value (NaN last); every other row of a node has
// 0.0 there, exactly as a dense zero. Growth (sparse_grow.hpp) reads a node's zeros as one group
// whose class counts are the node's less those of its stored values, and grows the tree that
// the dense matrix grows, node for node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "splitting/working_set.hpp"
#include "support/dataset.hpp"
#include "support/parallel.hpp"

namespace lindorf {

struct RowDraws;

// A sparse matrix by columns: feature f's stored values are values[starts[f] .. starts[f + 1])
// at rows rows[...] (rows in any order, none twice within a column); every other value is 0.0.
// A stored value v stands for 0.0 + v, as a matrix laid out densely by adding its stored values
// to zeros holds it: a stored -0.0 is 0.0.
struct SparseColumns {
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;
    std::span<const float> values;
    std::span<const std::uint32_t> rows;
    std::span<const std::uint64_t> starts;  // n_cols + 1
};

// The same by rows: row r's stored values are values[starts[r] .. starts[r + 1]) at features
// cols[...], ascending within a row.
struct SparseRows {
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;
    std::span<const float> values;
    std::span<const std::uint32_t> cols;
    std::span<const std::uint64_t> starts;  // n_rows + 1
};

// Fails unless the matrix is well formed: sizes that agree, ascending starts, indices in range
// (ascending within a row for SparseRows, no row twice in a column for SparseColumns).
void check_sparse(const SparseColumns& x);
void check_sparse(const SparseRows& x);

// Every feature's stored values that are not zeros, sorted by value (NaN last), with their source
// rows: computed once for a matrix and shared by every tree grown from samples of it.
struct SparseOrder {
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;
    std::vector<Entry> entries;         // row: the source row
    std::vector<std::uint64_t> starts;  // n_cols + 1
};

SparseOrder sort_sparse(const SparseColumns& x, WorkerPool* pool);

// A feature's stretch of a node's stored values: the feature and how many values it holds.
struct FeatureRun {
    std::uint32_t feature;
    std::uint32_t count;
};

struct SparseSet {
    // The tree's rows, their classes and positions: coded rows are local rows (no packing),
    // first and last positions filled in for every local row, node_rows holding every local row
    // in ascending first position; no blocks. Rows past n_rows stand for a node's zeros of one
    // class during a search (sparse_grow.cpp).
    WorkingSet rows;
    // The stored values of the tree's rows (row: the local row), feature after feature, each
    // feature's as SparseOrder sorts them: a node's are one stretch of them, in the same order
    // (sparse_grow.cpp). Their features are not stored with them but in runs, which take far
    // less memory where the features hold many values each.
    std::vector<Entry> stored;
    std::vector<FeatureRun> runs;  // of `stored`: the features that hold values, ascending
};

// The set of a training list made of the matrix's rows (draws as in tree/grow_engine.hpp).
SparseSet sparse_set_of_draws(const SparseOrder& order, std::span<const Label> labels,
                              const RowDraws& draws);

// The same set sorted from the matrix itself, for a single tree: without a SparseOrder beside
// it, whose entries would take two thirds of the set's memory again.
SparseSet sparse_set_of_matrix(const SparseColumns& x, std::span<const Label> labels,
                               const RowDraws& draws, WorkerPool* pool);

}  // namespace lindorf
