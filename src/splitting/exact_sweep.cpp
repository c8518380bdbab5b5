#include "splitting/exact_sweep.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "criteria/gini.hpp"
#include "splitting/column_best.hpp"

namespace lindorf {

namespace {

// The left side of a sweep scored by information gain. Scores are single precision; they widen
// to double exactly, so comparing them there orders them as before.
struct EntropySide {
    const NodeCounts& node;
    std::uint32_t* left_counts;
    std::uint32_t left_total = 0;

    void add(std::uint32_t cls, std::uint32_t weight) {
        left_counts[cls] += weight;
        left_total += weight;
    }
    double score() const { return gain_from_counts(node, left_counts, left_total); }
};

// Nodes of fewer than this weight, near the leaves, are scored from a table of their terms.
constexpr std::uint32_t small_weight = 64;

// p * log2(p) of count / size for every count and size below small_weight, the same floats
// detail::plogp_term gives; a count of 0 gives +0, which leaves a sum as it is (sums start at +0
// and no term is -0).
const std::array<float, small_weight * small_weight>& small_terms() {
    static const std::array<float, small_weight * small_weight> table = [] {
        std::array<float, small_weight * small_weight> terms{};
        for (std::uint32_t size = 1; size < small_weight; ++size)
            for (std::uint32_t count = 1; count <= size; ++count)
                terms[size * small_weight + count] =
                    detail::plogp_term(count, static_cast<float>(size));
        return terms;
    }();
    return table;
}

// EntropySide for a node of less than small_weight: each term a lookup instead of a log2f, every
// candidate of such a node being scored in full, with few classes.
struct SmallEntropySide {
    const NodeCounts& node;
    std::uint32_t* left_counts;
    const float* terms = small_terms().data();
    std::uint32_t left_total = 0;

    void add(std::uint32_t cls, std::uint32_t weight) {
        left_counts[cls] += weight;
        left_total += weight;
    }
    double score() const {
        const float* left = terms + left_total * small_weight;
        const float* right = terms + (node.total - left_total) * small_weight;
        float left_sum = 0.0f;
        float right_sum = 0.0f;
        for (std::uint32_t c : node.present) {
            const std::uint32_t on_left = left_counts[c];
            left_sum += left[on_left];
            right_sum += right[node.counts[c] - on_left];
        }
        return gain_from_sums(node, left_total, left_sum, right_sum);
    }
};

// The left side of a sweep scored by Gini impurity, with both sides' sums of squared counts.
struct GiniSide {
    const NodeCounts& node;
    std::uint32_t* left_counts;
    double parent;
    std::uint64_t right_squares;
    std::uint64_t left_squares = 0;
    std::uint32_t left_total = 0;

    void add(std::uint32_t cls, std::uint32_t weight) {
        std::uint32_t left = left_counts[cls];
        left_squares = squares_after_adding(left_squares, left, weight);
        right_squares = squares_after_removing(right_squares, node.counts[cls] - left, weight);
        left_counts[cls] = left + weight;
        left_total += weight;
    }
    double score() const {
        return gini_gain(parent, left_squares, left_total, right_squares, node.total - left_total);
    }
};

// Sweeps one feature's sorted entries. Each distinct value is scored once, with everything
// strictly below it on the left; a NaN candidate leaves the left side empty. Candidates that
// leave less than `min_leaf` weight or `min_rows` rows on a side are passed over.
template <bool Packed, class Side>
FeatureBest sweep_column(std::span<const Entry> column, const WorkingSet& set, Side side,
                         std::uint32_t min_leaf, std::uint32_t min_rows) {
    const RowReader<Packed> rows(set);
    const std::uint32_t total = side.node.total;
    const std::size_t n = column.size();
    auto allowed = [&](std::uint32_t left, std::size_t left_rows) {
        return left >= min_leaf && total - left >= min_leaf && left_rows >= min_rows &&
               n - left_rows >= min_rows;
    };
    const bool empty_left = allowed(0, 0);
    const double nothing_left = empty_left ? side.score() : 0.0;
    ColumnBest best;
    std::size_t i = 0;
    while (i < column.size() && !std::isnan(column[i].value)) {
        const bool candidate = allowed(side.left_total, i);
        const double score = candidate ? side.score() : 0.0;
        const float value = column[i].value;
        std::size_t end = i;
        for (; end < column.size() && column[end].value == value; ++end)
            side.add(rows.cls(column[end].row), rows.weight(column[end].row));
        if (candidate) best.offer(score, column.subspan(i, end - i), set);
        i = end;
    }
    if (i < column.size() && empty_left) best.offer(nothing_left, column.subspan(i), set);
    return best.result(set);
}

std::uint64_t node_squares(const NodeCounts& node) {
    std::uint64_t squares = 0;
    for (std::uint32_t c : node.present) squares = squares_after_adding(squares, 0, node.counts[c]);
    return squares;
}

template <bool Packed>
FeatureBest exact_column(std::span<const Entry> column, const WorkingSet& set,
                         const NodeCounts& node, const SplitRules& rules,
                         std::uint32_t* left_counts) {
    for (std::uint32_t c : node.present) left_counts[c] = 0;
    if (rules.impurity == Impurity::gini) {
        const std::uint64_t squares = node_squares(node);
        GiniSide side{node, left_counts, gini_impurity(squares, node.total), squares};
        return sweep_column<Packed>(column, set, side, rules.min_leaf, rules.min_leaf_rows);
    }
    if (node.total < small_weight)
        return sweep_column<Packed>(column, set, SmallEntropySide{node, left_counts},
                                    rules.min_leaf, rules.min_leaf_rows);
    return sweep_column<Packed>(column, set, EntropySide{node, left_counts}, rules.min_leaf,
                                rules.min_leaf_rows);
}

}  // namespace

FeatureBest exact_column(std::span<const Entry> column, const WorkingSet& set,
                         const NodeCounts& node, const SplitRules& rules, Scratch& scratch) {
    // Rows without a label count into class 0 with weight 0, so class 0 exists even when no
    // label does.
    std::uint32_t* counts = scratch.counts(std::max<std::size_t>(set.class_labels.size(), 1));
    return set.coding.packed ? exact_column<true>(column, set, node, rules, counts)
                             : exact_column<false>(column, set, node, rules, counts);
}

}  // namespace lindorf
