#include "splitting/split_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "criteria/classes.hpp"
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
    float score = 0.0f;
    std::span<const Entry> group;  // empty while nothing scored above 0.0
    Earliest earliest;             // of `group`, once a tie needed it

    void offer(float candidate, std::span<const Entry> candidate_group, const WorkingSet& set) {
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
    float score = 0.0f;
    float threshold = 0.0f;
};

// Sweeps one feature's sorted entries. Each distinct value is scored once, with everything
// strictly below it on the left; a NaN candidate leaves the left side empty.
template <bool Packed>
FeatureBest search_column(std::span<const Entry> column, const WorkingSet& set,
                          const NodeCounts& node, std::uint32_t* left_counts) {
    const RowReader<Packed> rows(set);
    for (std::uint32_t c : node.present) left_counts[c] = 0;
    std::uint32_t left_total = 0;
    const float nothing_left = gain_from_counts(node, left_counts, 0);
    ColumnBest best;
    std::size_t i = 0;
    while (i < column.size() && !std::isnan(column[i].value)) {
        float score = i == 0 ? nothing_left : gain_from_counts(node, left_counts, left_total);
        std::size_t end = absorb_group(column, i, rows, left_counts, left_total);
        best.offer(score, column.subspan(i, end - i), set);
        i = end;
    }
    if (i < column.size()) best.offer(nothing_left, column.subspan(i), set);
    if (best.group.empty()) return {};
    return {best.score, best.threshold(set)};
}

}  // namespace

SplitChoice search_node(const WorkingSet& set, NodeRange range, const NodeCounts& node,
                        ScratchSlots& scratch, WorkerPool* pool) {
    std::vector<FeatureBest> results(set.n_cols);
    // Rows without a label count into class 0 with weight 0, so class 0 exists even when no
    // label does.
    const std::size_t classes = std::max<std::size_t>(set.class_labels.size(), 1);
    parallel_for(pool, set.n_cols, [&](std::size_t f) {
        auto lease = scratch.claim();
        std::uint32_t* counts = lease->counts(classes);
        std::span<const Entry> column = set.column(f, range.begin, range.end);
        results[f] = set.coding.packed ? search_column<true>(column, set, node, counts)
                                       : search_column<false>(column, set, node, counts);
    });
    // Each feature wrote only its own slot; combining in feature order lets the lower index win
    // ties however the features were scheduled.
    SplitChoice choice;
    float best = 0.0f;
    for (std::size_t f = 0; f < results.size(); ++f) {
        if (results[f].score > best) {
            best = results[f].score;
            choice = {static_cast<std::uint32_t>(f), results[f].threshold};
        }
    }
    return choice;
}

SplitChoice find_best_split(MatrixView rows, std::span<const Label> labels) {
    LINDORF_CHECK(rows.n_rows > 0, "cannot search for a split without rows");
    if (rows.n_cols == 0) return {};
    LINDORF_CHECK(labels.size() < no_position,
                  std::to_string(labels.size()) + " labels are more than a split can be scored on");
    ClassIndex classes = index_classes(labels);
    WorkingSet set = working_set_of_rows(rows, classes, nullptr);
    PairedCounts counts = count_paired(classes, std::min(rows.n_rows, labels.size()));
    ScratchSlots scratch(1);
    return search_node(set, {0, rows.n_rows}, counts.node(), scratch, nullptr);
}

}  // namespace lindorf
