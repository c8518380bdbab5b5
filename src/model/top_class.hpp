// A forest's predicted class for each row without its rows x classes shares: with a class a
// training row, say, those shares do not fit in memory, while the classes each row's leaves list
// are a few. The answer is the arg-max of the shares a prediction would compute, the same bit for
// bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "model/model.hpp"
#include "support/dataset.hpp"
#include "support/parallel.hpp"

namespace lindorf {

// For each row, given the leaves it reaches (n_rows x n_trees, as forest_leaves gives them): the
// class of the largest mean leaf share (`soft`) or of the most trees' votes, the lowest index on
// a tie, as NumPy's arg-max takes it from the shares or the votes (a NaN share wins, the first
// one). The model has one output. A leaf that is not a leaf of its tree, or whose values are not
// the model's classes, is an internal failure.
Labels top_classes(const Model& model, std::span<const std::uint32_t> leaves, bool soft,
                   WorkerPool* pool);

}  // namespace lindorf
