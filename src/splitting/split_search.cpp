#include "splitting/split_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "criteria/classes.hpp"
#include "criteria/gini.hpp"
#include "support/error.hpp"

namespace lindorf {

namespace {

// The earliest row of a group of equal entries: its training-list position and its value
// (equal values may still differ in the sign of a zero).
struct Earliest {
    std::uint32_t position = no_position;
    float value = 0.0f;
};

Earliest earliest_of(std::span<const Entry> group, const WorkingSet& set) {
    Earliest earliest;
    for (const Entry& entry : group) {
        std::uint32_t position = set.first[set.local(entry.row)];
        if (position < earliest.position) earliest = {position, entry.value};
    }
    return earliest;
}

// The best candidate of one feature so far: its score and its group of entries. While scores
// keep rising only the group is remembered; positions are looked up when two groups tie.
struct ColumnBest {
    double score = 0.0;
    std::span<const Entry> group;  // empty while nothing scored above 0.0
    Earliest earliest;             // of `group`, once a tie needed it

    void offer(double candidate, std::span<const Entry> candidate_group, const WorkingSet& set) {
        if (candidate > score) {
            *this = {candidate, candidate_group, {}};
            return;
        }
        if (group.empty() || !(candidate == score)) return;
        if (earliest.position == no_position) earliest = earliest_of(group, set);
        Earliest other = earliest_of(candidate_group, set);
        if (other.position < earliest.position) *this = {candidate, candidate_group, other};
    }

    float threshold(const WorkingSet& set) const {
        if (group.size() == 1) return group[0].value;
        return earliest.position != no_position ? earliest.value : earliest_of(group, set).value;
    }
};

// Folds the group of entries equal to column[begin].value into the left counts and returns
// the end of the group.
template <bool Packed>
std::size_t absorb_group(std::span<const Entry> column, std::size_t begin,
                         const RowReader<Packed>& rows, std::uint32_t* left_counts,
                         std::uint32_t& left_total) {
    const float value = column[begin].value;
    std::size_t end = begin;
    for (; end < column.size() && column[end].value == value; ++end) {
        std::uint32_t weight = rows.weight(column[end].row);
        left_counts[rows.cls(column[end].row)] += weight;
        left_total += weight;
    }
    return end;
}

// A feature's best score and threshold; 0.0 and 0.0 when nothing scored above 0.0.
struct FeatureBest {
    double score = 0.0;
    float threshold = 0.0f;
};

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
// leave less than `min_leaf` on a side are passed over.
template <bool Packed, class Side>
FeatureBest sweep_column(std::span<const Entry> column, const WorkingSet& set, Side side,
                         std::uint32_t min_leaf) {
    const RowReader<Packed> rows(set);
    const std::uint32_t total = side.node.total;
    auto allowed = [&](std::uint32_t left) { return left >= min_leaf && total - left >= min_leaf; };
    const bool empty_left = allowed(0);
    const double nothing_left = empty_left ? side.score() : 0.0;
    ColumnBest best;
    std::size_t i = 0;
    while (i < column.size() && !std::isnan(column[i].value)) {
        const bool candidate = allowed(side.left_total);
        const double score = candidate ? side.score() : 0.0;
        const float value = column[i].value;
        std::size_t end = i;
        for (; end < column.size() && column[end].value == value; ++end)
            side.add(rows.cls(column[end].row), rows.weight(column[end].row));
        if (candidate) best.offer(score, column.subspan(i, end - i), set);
        i = end;
    }
    if (i < column.size() && empty_left) best.offer(nothing_left, column.subspan(i), set);
    if (best.group.empty()) return {};
    return {best.score, best.threshold(set)};
}

std::uint64_t node_squares(const NodeCounts& node) {
    std::uint64_t squares = 0;
    for (std::uint32_t c : node.present) squares = squares_after_adding(squares, 0, node.counts[c]);
    return squares;
}

template <bool Packed>
FeatureBest search_column(std::span<const Entry> column, const WorkingSet& set,
                          const NodeCounts& node, const SplitRules& rules, double parent_gini,
                          std::uint32_t* left_counts) {
    for (std::uint32_t c : node.present) left_counts[c] = 0;
    if (rules.impurity == Impurity::gini) {
        GiniSide side{node, left_counts, parent_gini, node_squares(node)};
        return sweep_column<Packed>(column, set, side, rules.min_leaf);
    }
    return sweep_column<Packed>(column, set, EntropySide{node, left_counts}, rules.min_leaf);
}

void check_features(std::span<const std::uint32_t> features, std::size_t n_cols) {
    for (std::size_t k = 0; k < features.size(); ++k) {
        LINDORF_CHECK(features[k] < n_cols, "feature " + std::to_string(features[k]) +
                                                " is beyond the " + std::to_string(n_cols) +
                                                " features of the working set");
        LINDORF_CHECK(k == 0 || features[k - 1] < features[k],
                      "the features to search are not in ascending order");
    }
}

double parent_gini(const NodeCounts& node) {
    return gini_impurity(node_squares(node), node.total);
}

}  // namespace

SplitChoice search_node(const WorkingSet& set, NodeRange range, const NodeCounts& node,
                        const SplitRules& rules, ScratchSlots& scratch, WorkerPool* pool) {
    check_features(rules.features, set.n_cols);
    const std::size_t n_searched = rules.features.empty() ? set.n_cols : rules.features.size();
    auto feature_at = [&](std::size_t k) {
        return rules.features.empty() ? k : std::size_t{rules.features[k]};
    };
    const double gini = rules.impurity == Impurity::gini ? parent_gini(node) : 0.0;
    std::vector<FeatureBest> results(n_searched);
    // Rows without a label count into class 0 with weight 0, so class 0 exists even when no
    // label does.
    const std::size_t classes = std::max<std::size_t>(set.class_labels.size(), 1);
    parallel_for(pool, n_searched, [&](std::size_t k) {
        auto lease = scratch.claim();
        std::uint32_t* counts = lease->counts(classes);
        std::span<const Entry> column = set.column(feature_at(k), range.begin, range.end);
        results[k] = set.coding.packed
                         ? search_column<true>(column, set, node, rules, gini, counts)
                         : search_column<false>(column, set, node, rules, gini, counts);
    });
    // Each feature wrote only its own slot; combining in feature order lets the lower index win
    // ties however the features were scheduled.
    SplitChoice choice;
    double best = 0.0;
    for (std::size_t k = 0; k < results.size(); ++k) {
        if (results[k].score > best) {
            best = results[k].score;
            choice = {static_cast<std::uint32_t>(feature_at(k)), results[k].threshold};
        }
    }
    return choice;
}

SplitChoice find_best_split(MatrixView rows, std::span<const Label> labels,
                            const SplitRules& rules) {
    LINDORF_CHECK(rows.n_rows > 0, "cannot search for a split without rows");
    if (rows.n_cols == 0) return {};
    LINDORF_CHECK(labels.size() < no_position,
                  std::to_string(labels.size()) + " labels are more than a split can be scored on");
    ClassIndex classes = index_classes(labels);
    WorkingSet set = working_set_of_rows(rows, classes, nullptr);
    PairedCounts counts = count_paired(classes, std::min(rows.n_rows, labels.size()));
    ScratchSlots scratch(1);
    return search_node(set, {0, rows.n_rows}, counts.node(), rules, scratch, nullptr);
}

SplitChoice find_best_split(MatrixView rows, std::span<const Label> labels) {
    SplitRules rules;
    rules.min_leaf = 0;
    return find_best_split(rows, labels, rules);
}

}  // namespace lindorf
