// Walking many rows down one tree at once. A single walk is a chain of dependent loads, each
// waiting for memory and ending in a hard-to-predict branch; walking several rows in turns, one
// step each, overlaps those waits. A lane that reaches its leaf hands the row over and takes the
// next one, so no lane idles while others are still deep in the tree.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "support/dataset.hpp"
#include "tree/tree.hpp"

namespace lindorf {

// A node as walks read it: 16 bytes, the children indexed by the comparison's outcome. A leaf
// has feature leaf_mark, its position in the tree as child[0], its label as child[1] and its
// number among the tree's leaves (in node order) in place of a threshold, so that a leaf's row of
// a per-leaf table comes with the node the walk already holds. An inner node whose NaN values go
// left has the top bit of its feature set.
struct WalkNode {
    union {
        float threshold;     // inner nodes
        std::uint32_t leaf;  // leaves
    };
    std::uint32_t feature;
    std::uint32_t child[2];  // inner nodes: [0] below the threshold, [1] the rest
};

inline constexpr std::uint32_t leaf_mark = 0xFFFFFFFFu;
inline constexpr std::uint32_t nan_left_mark = 0x80000000u;

// The tree as walk_rows reads it. Fails unless every inner node's feature is below n_cols (and
// below 2^31 where NaN goes left) and its children are inside the tree, which lets the walk take
// its steps unchecked.
std::vector<WalkNode> walkable(const Tree& tree, std::size_t n_cols);

// Whether some node of a walkable tree sends NaN left: only such trees pay for the test.
bool sends_nan_left(std::span<const WalkNode> tree);

// A tree of a model as predictions walk it, made once with the model (model/predict.hpp's
// prepare_walks) instead of on every call: for a forest of deep trees, checking and converting
// every tree costs a one-row prediction a hundred times its walks.
struct PreparedWalk {
    std::vector<WalkNode> nodes;  // walkable(tree, the model's features)
    bool nan_sides = false;       // sends_nan_left(nodes)
    // Whether the leaves hold what predictions take for granted: a classifier's labels and
    // values are class indices of the model, with values and a weight to divide them by (votes
    // and class shares); a regression model's leaves hold one value per target.
    bool leaves_checked = false;
    // With several outputs, each leaf's label in every output after the first, by node and
    // output (model/predict.hpp's forest_votes); empty with one output.
    std::vector<std::uint32_t> other_labels = {};
    // A checked classifier's leaf class shares, computed once as soft votes compute them (a
    // value over the leaf's weight; 0 for a class the leaf does not list), share_width a leaf
    // by WalkNode::leaf: a walk adds a ready row instead of reading the leaf's lists and
    // dividing. Adding the zeros changes no sum, so the means are bit for bit the lists'. Empty
    // when share_table_fits says no.
    std::vector<double> shares = {};
    std::uint32_t share_width = 0;
};

// Whether a tree of `leaves` leaves and `value_entries` listed leaf values gets a share table of
// `width` classes: when it takes at most 2^16 shares (512 KiB), or no more bytes than the tree's
// lists (16 bytes an entry); otherwise, with many classes, soft votes read the lists.
inline bool share_table_fits(std::size_t leaves, std::size_t width, std::size_t value_entries) {
    const std::size_t shares = leaves * width;
    return width != 0 && shares / width == leaves &&
           shares <= std::max<std::size_t>(std::size_t{1} << 16, 2 * value_entries);
}
using SharedWalk = std::shared_ptr<const PreparedWalk>;

// Calls visit(row, leaf) for every row in [begin, end), in no particular order.
template <bool NanSides = false, class Visit>
void walk_rows(std::span<const WalkNode> tree, MatrixView rows, std::size_t begin,
               std::size_t end, Visit&& visit) {
    constexpr unsigned lanes = 16;
    const WalkNode* const nodes = tree.data();
    std::size_t row[lanes];
    const float* values[lanes];  // the lane's row
    const WalkNode* at[lanes];
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
            const WalkNode& node = *at[k];
            if (node.feature != leaf_mark) {
                // The child is picked by indexing, not by a branch, which would mispredict half
                // the time and throw away the other lanes' work with it.
                if constexpr (NanSides) {
                    const float value = values[k][node.feature & ~nan_left_mark];
                    const bool nan_left = (node.feature & nan_left_mark) != 0 && value != value;
                    at[k] = nodes + node.child[!(value < node.threshold) && !nan_left];
                } else {
                    at[k] = nodes + node.child[!(values[k][node.feature] < node.threshold)];
                }
                ++k;
                continue;
            }
            visit(row[k], node);
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

// walk_rows with the NaN test when the tree needs it.
template <class Visit>
void walk_any(std::span<const WalkNode> tree, bool nan_sides, MatrixView rows, std::size_t begin,
              std::size_t end, Visit&& visit) {
    if (nan_sides)
        walk_rows<true>(tree, rows, begin, end, visit);
    else
        walk_rows<false>(tree, rows, begin, end, visit);
}

}  // namespace lindorf
