// Walking many rows down one tree at once. A single walk is a chain of dependent loads, each
// waiting for memory and ending in a hard-to-predict branch; walking several rows in turns, one
// step each, overlaps those waits. A lane that reaches its leaf hands the row over and takes the
// next one, so no lane idles while others are still deep in the tree.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/dataset.hpp"
#include "tree/tree.hpp"

namespace lindorf {

// Fails unless every inner node's feature is below n_cols and every child is inside the tree,
// which lets walk_rows take its steps unchecked.
void check_walkable(const Tree& tree, std::size_t n_cols);

// Calls visit(row, leaf position) for every row in [begin, end), in no particular order. The
// tree must have passed check_walkable for the rows' width.
template <class Visit>
void walk_rows(const Tree& tree, MatrixView rows, std::size_t begin, std::size_t end,
               Visit&& visit) {
    constexpr unsigned lanes = 8;
    const Node* const nodes = tree.nodes.data();
    std::size_t row[lanes];
    const float* values[lanes];  // the lane's row
    const Node* at[lanes];
    unsigned active = 0;
    std::size_t next = begin;
    auto start_row = [&](unsigned k) {
        row[k] = next;
        values[k] = rows.data + next * rows.n_cols;
        at[k] = nodes;
        ++next;
    };
    for (; active < lanes && next < end; ++active) start_row(active);
    while (active > 0) {
        for (unsigned k = 0; k < active;) {
            const Node& node = *at[k];
            if (!node.is_leaf) {
                // Chosen by arithmetic rather than by a branch, which would mispredict half the
                // time and throw away the work of the other lanes with it.
                const std::uint32_t go_right = !(values[k][node.feature] < node.threshold);
                at[k] = nodes + (node.left ^ ((node.left ^ node.right) & (0u - go_right)));
                ++k;
                continue;
            }
            visit(row[k], static_cast<std::uint32_t>(at[k] - nodes));
            if (next < end) {
                start_row(k);
                ++k;
            } else {
                --active;
                row[k] = row[active];
                values[k] = values[active];
                at[k] = at[active];
            }
        }
    }
}

}  // namespace lindorf
