// Forest growth with the choice of samples left to the caller: grow_forest draws bootstrap
// samples, other callers may hand in samples of their own (known ones, or ones they record).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "forest/forest.hpp"

namespace lindorf {

// The sample of tree `tree`, as row indices in draw order. Called on the thread that then grows
// that tree, once per tree, in no particular order and possibly concurrently.
using SampleDraw = std::function<std::vector<std::uint32_t>(std::size_t tree)>;

// n_trees trees; trees[i] is grown on draw(i), whichever thread ran it and whenever it finished.
// A tree that fails fails the whole call.
Forest grow_forest_from(MatrixView rows, std::span<const Label> labels, std::uint32_t max_depth,
                        std::uint32_t n_trees, WorkerPool* pool, const SampleDraw& draw);

}  // namespace lindorf
