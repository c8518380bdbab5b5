// The best candidate of one feature's sweep, with the tie rules of the split search: the higher
// score wins; between equal scores, the group of entries whose earliest row comes first.
#pragma once

#include <cstdint>
#include <span>

#include "splitting/working_set.hpp"

namespace lindorf {

// The earliest row of a group of equal entries: its training-list position and its value
// (equal values may still differ in the sign of a zero).
struct Earliest {
    std::uint32_t position = no_position;
    float value = 0.0f;
};

inline Earliest earliest_of(std::span<const Entry> group, const WorkingSet& set) {
    Earliest earliest;
    for (const Entry& entry : group) {
        std::uint32_t position = set.first_position(set.local(entry.row));
        if (position < earliest.position) earliest = {position, entry.value};
    }
    return earliest;
}

// A feature's best score and threshold; 0.0 and 0.0 when nothing scored above 0.0.
struct FeatureBest {
    double score = 0.0;
    float threshold = 0.0f;
    bool nan_left = false;  // only the general path's sweeps set it
};

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

    FeatureBest result(const WorkingSet& set) const {
        if (group.empty()) return {};
        return {score, threshold(set)};
    }
};

}  // namespace lindorf
