// Dividing a node's rows between its two children: a row goes left when its value at the split
// feature is strictly below the threshold; equal values, NaN values and a NaN threshold go right.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "splitting/scratch.hpp"
#include "splitting/working_set.hpp"
#include "support/dataset.hpp"
#include "support/parallel.hpp"

namespace lindorf {

// Row indices of each side, each in ascending order.
struct Partition {
    std::vector<std::uint32_t> left;
    std::vector<std::uint32_t> right;
};

// No rows give two empty sides. Otherwise a feature beyond the rows' width, or fewer labels than
// rows, is an internal failure; labels beyond the rows are ignored.
Partition split(MatrixView rows, std::span<const Label> labels, std::uint32_t feature,
                float threshold);

// How many entries of a column range, sorted by value with NaN last, go left at `threshold`:
// they are always a prefix.
std::size_t left_size(std::span<const Entry> column, float threshold);

// Moves the first `n_left` rows of the split feature's range (the ones that go left) to the
// front of the node's range in every other feature, keeping each side in its sorted order.
// `goes_left` is a flag per local row, overwritten for the node's rows. With a pool the
// features are partitioned in parallel.
void partition_node(WorkingSet& set, NodeRange range, std::uint32_t feature, std::size_t n_left,
                    std::vector<std::uint8_t>& goes_left, ScratchSlots& scratch, WorkerPool* pool);

// The same for a node that sorts its features itself: its rows (WorkingSet::node_rows) go left
// when they are among the first `n_left` of the split feature's sorted range.
void partition_node_rows(WorkingSet& set, NodeRange range, std::span<const Entry> split_column,
                         std::size_t n_left, std::vector<std::uint8_t>& goes_left,
                         Scratch& scratch);

}  // namespace lindorf
