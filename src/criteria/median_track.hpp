// The weighted median of a set of targets that grows or shrinks one row at a time, and the sum
// of the absolute deviations from it, each in amortised constant time: what the absolute-error
// split search asks at every candidate of a sweep, for the rows on each side.
//
// A node's rows are ranked by target once (ties in any fixed order); a set is a bit per rank.
// The track keeps the median's rank k and the weight and weighted target sum of the members
// below it. One row more or less moves the median by about one member, found by scanning the
// bits, so a whole sweep costs linear time plus the scans (n log n bits over the sweep, read a
// word at a time).
//
// The median is scikit-learn's: the member k of the lowest rank whose cumulative weight exceeds
// half the set's weight; when the members below k weigh exactly half, the mean of k's target and
// that of the member before it. Weights are whole numbers of units, so both tests are exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "criteria/compensated.hpp"

namespace lindorf {

// The targets of a node's rows for one output, by rank.
struct RankedTargets {
    std::span<const double> value;     // ascending
    std::span<const double> weighted;  // each row's weight times its target, rounded
    // Each row's weight in units; empty: one unit each, and `weighted` holds the targets.
    std::span<const std::uint64_t> units;
    double unit = 1.0;  // the weight of one unit
};

// The mean of two neighbouring targets, as scikit-learn takes it: (a + b) / 2, halved first
// when the sum would overflow.
double midpoint(double a, double b);

class MedianTrack {
  public:
    // No member / every rank a member.
    void start_empty(const RankedTargets& ranked);
    void start_full(const RankedTargets& ranked);

    // A rank that is not a member joins / a member leaves; `units` and `weighted` must be the
    // rank's (RankedTargets), handed in by the caller, who has them at hand.
    void insert(std::uint32_t rank, std::uint64_t units, double weighted) {
        bits_[rank >> 6] |= std::uint64_t{1} << (rank & 63);
        if (total_ == 0) return first(rank, units, weighted);
        total_ += units;
        sum_.add(weighted);
        // Below the median or not is a coin flip: no branch on it.
        const bool below = rank < k_;
        below_ += below ? units : 0;
        sum_below_.add(below ? weighted : 0.0);
        settle();
    }
    void erase(std::uint32_t rank, std::uint64_t units, double weighted) {
        bits_[rank >> 6] &= ~(std::uint64_t{1} << (rank & 63));
        total_ -= units;
        if (total_ == 0) return clear_sums();
        sum_.subtract(weighted);
        if (rank == k_) return lose_median();
        const bool below = rank < k_;
        below_ -= below ? units : 0;
        sum_below_.subtract(below ? weighted : 0.0);
        settle();
    }
    // The checked forms, for callers that hold only the rank.
    void insert(std::uint32_t rank);
    void erase(std::uint32_t rank);

    bool empty() const { return total_ == 0; }
    std::uint64_t total_units() const { return total_; }
    // The median of the members; the set must not be empty.
    double median() const;
    // The sum over the members of weight * |target - median|: (the targets' weighted sum above
    // the median's rank, k included, less that below) less median * (the weight from k up less
    // the weight below k). 0 for an empty set.
    double deviation() const {
        if (total_ == 0) return 0.0;
        const Sum2 twice_below{2 * sum_below_.hi, 2 * sum_below_.lo};
        const double spread = sum_.minus(twice_below);
        // Exactly half below: the median is a midpoint, and its weight above and below cancel.
        const std::uint64_t above = total_ - 2 * below_;
        if (above == 0) return spread;
        return spread - ranked_.value[k_] * (static_cast<double>(above) * ranked_.unit);
    }

  private:
    std::uint64_t units(std::uint32_t rank) const {
        return ranked_.units.empty() ? 1 : ranked_.units[rank];
    }
    bool member(std::uint32_t rank) const { return (bits_[rank >> 6] >> (rank & 63)) & 1; }
    std::uint32_t next_member(std::uint32_t rank) const;      // the lowest member above rank
    std::uint32_t previous_member(std::uint32_t rank) const;  // the highest member below rank
    // Keeps 2 * below <= total < 2 * (below + units(k)).
    void settle() {
        if (2 * (below_ + units(k_)) <= total_ || 2 * below_ > total_) move_median();
    }
    void move_median();
    void first(std::uint32_t rank, std::uint64_t units, double weighted);
    void clear_sums();
    void lose_median();

    RankedTargets ranked_;
    std::vector<std::uint64_t> bits_;
    std::uint32_t k_ = 0;          // the median's rank
    std::uint64_t total_ = 0;      // units of the members
    std::uint64_t below_ = 0;      // units of the members below k
    Sum2 sum_;                     // weighted targets of the members
    Sum2 sum_below_;               // of the members below k
};

}  // namespace lindorf
