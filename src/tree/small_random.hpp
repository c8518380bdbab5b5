// Random thresholds at small nodes. Most of a tree's nodes hold a few rows, and there the rows'
// work is little beside each node's own: its columns, their extents, its draws and its division
// take a plain path with everything on the stack, for nodes of rows of one weight and two
// classes whose values LooseColumns copied side by side. The same draws and the same search as
// every other node's, so the same tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "splitting/general_sweep.hpp"
#include "splitting/working_set.hpp"
#include "support/streams.hpp"
#include "tree/feature_draw.hpp"

namespace lindorf {

inline constexpr std::size_t small_node_rows = 32;
inline constexpr std::size_t small_node_features = 8;  // searched at most

// A small node's rows and where their values lie.
struct SmallNode {
    std::span<Entry> rows;  // WorkingSet::node_rows at its range: value fields are places in copy
    const float* copy;      // the copied rows' values, row after row
    std::size_t n_cols;
};

// Whether a node of `rows` rows that searches `searched` features (all of them when the draw is
// not active) may take the small path.
inline bool small_enough(std::size_t rows, std::size_t searched) {
    return rows <= small_node_rows && searched <= small_node_features;
}

// The node's drawn features (every feature when `draw` is not active), their threshold draws
// from `stream`, and the best of their splits (two_class_random_search over `classes`, the rows'
// class slots, each row weighing `every_unit`); `rules` without features or draws.
GeneralChoice small_random_search(const WorkingSet& set, const SmallNode& node, FeatureDraw& draw,
                                  KeyedStream& stream, std::span<const std::uint32_t> classes,
                                  std::uint64_t every_unit, const GeneralNode& counts,
                                  GeneralRules rules);

// LooseColumns::divide for a small node; `classes`, when given, the rows' class slots, divided
// with them.
std::size_t small_divide(const SmallNode& node, std::uint32_t f, float threshold, bool nan_left,
                         std::uint32_t* classes = nullptr);

}  // namespace lindorf
