#include "criteria/median_track.hpp"

#include <bit>
#include <cmath>

#include "support/error.hpp"

namespace lindorf {

double midpoint(double a, double b) {
    const double sum = a + b;
    return std::isfinite(sum) ? sum / 2 : a / 2 + b / 2;
}

void MedianTrack::start_empty(const RankedTargets& ranked) {
    ranked_ = ranked;
    bits_.assign((ranked.value.size() + 63) / 64, 0);
    k_ = 0;
    total_ = below_ = 0;
    sum_ = sum_below_ = Sum2{};
}

void MedianTrack::start_full(const RankedTargets& ranked) {
    start_empty(ranked);
    const std::size_t n = ranked.value.size();
    if (n == 0) return;
    for (std::size_t w = 0; w < n / 64; ++w) bits_[w] = ~std::uint64_t{0};
    if (n % 64 != 0) bits_[n / 64] = (std::uint64_t{1} << (n % 64)) - 1;
    for (std::uint32_t r = 0; r < n; ++r) {
        total_ += units(r);
        sum_.add(ranked.weighted[r]);
    }
    // The median of a full set: walk up from the lowest rank.
    settle();
}

std::uint32_t MedianTrack::next_member(std::uint32_t rank) const {
    std::size_t word = (rank + 1) >> 6;
    std::uint64_t bits = bits_[word] & (~std::uint64_t{0} << ((rank + 1) & 63));
    while (bits == 0) bits = bits_[++word];
    return static_cast<std::uint32_t>(word * 64 + static_cast<unsigned>(std::countr_zero(bits)));
}

std::uint32_t MedianTrack::previous_member(std::uint32_t rank) const {
    std::size_t word = rank >> 6;
    std::uint64_t bits = bits_[word] & ((std::uint64_t{1} << (rank & 63)) - 1);
    while (bits == 0) bits = bits_[--word];
    return static_cast<std::uint32_t>(word * 64 + 63 -
                                      static_cast<unsigned>(std::countl_zero(bits)));
}

// Every step passes one member, and a member exists on the side it moves to: the weight there
// is what the condition lacks.
void MedianTrack::move_median() {
    while (2 * (below_ + units(k_)) <= total_) {
        below_ += units(k_);
        sum_below_.add(ranked_.weighted[k_]);
        k_ = next_member(k_);
    }
    while (2 * below_ > total_) {
        k_ = previous_member(k_);
        below_ -= units(k_);
        sum_below_.subtract(ranked_.weighted[k_]);
    }
}

void MedianTrack::first(std::uint32_t rank, std::uint64_t units, double weighted) {
    k_ = rank;
    total_ = units;
    below_ = 0;
    sum_ = sum_below_ = Sum2{};
    sum_.add(weighted);
}

void MedianTrack::clear_sums() {
    below_ = 0;
    sum_ = sum_below_ = Sum2{};
}

// The median's member left: the next member above takes its place (the members below stay
// below); without one, the member below does, and leaves the sum below.
void MedianTrack::lose_median() {
    if (total_ > below_) {
        k_ = next_member(k_);
    } else {
        k_ = previous_member(k_);
        below_ -= units(k_);
        sum_below_.subtract(ranked_.weighted[k_]);
    }
    settle();
}

void MedianTrack::insert(std::uint32_t rank) {
    LINDORF_CHECK(rank < ranked_.value.size() && !member(rank),
                  "a rank joins a median track twice or beyond its targets");
    insert(rank, units(rank), ranked_.weighted[rank]);
}

void MedianTrack::erase(std::uint32_t rank) {
    LINDORF_CHECK(rank < ranked_.value.size() && member(rank),
                  "a rank leaves a median track it is not in");
    erase(rank, units(rank), ranked_.weighted[rank]);
}

double MedianTrack::median() const {
    LINDORF_CHECK(total_ > 0, "the median of no targets");
    if (2 * below_ == total_) return midpoint(ranked_.value[previous_member(k_)], ranked_.value[k_]);
    return ranked_.value[k_];
}

}  // namespace lindorf
