// Rules every split search applies to a node's sorted column alike: where its numbers end,
// which features it may be asked for, and where one drawn threshold divides it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>

#include "splitting/working_set.hpp"
#include "support/error.hpp"

namespace lindorf {

// How many entries of a column, sorted NaN last, are numbers.
inline std::size_t numbers_in(std::span<const Entry> column) {
    return static_cast<std::size_t>(
        std::partition_point(column.begin(), column.end(),
                             [](const Entry& e) { return !std::isnan(e.value); }) -
        column.begin());
}

inline void check_features(std::span<const std::uint32_t> features, std::size_t n_cols) {
    for (std::size_t k = 0; k < features.size(); ++k) {
        LINDORF_CHECK(features[k] < n_cols, "feature " + std::to_string(features[k]) +
                                                " is beyond the " + std::to_string(n_cols) +
                                                " features of the working set");
        LINDORF_CHECK(k == 0 || features[k - 1] < features[k],
                      "the features to search are not in ascending order");
    }
}

// Where a random threshold divides a column: the first `n_left` numbers go left, and NaN goes
// left when `nan_left`. `divides` is false when the draw leaves every row on one side.
struct RandomCut {
    bool divides = false;
    std::size_t numbers = 0;
    std::size_t n_left = 0;
    bool nan_left = false;

    bool above_all() const { return n_left == numbers; }
};

// Where a draw puts the threshold between a node's least and largest value: rows whose value is
// at or below it (in double precision) go left.
inline double drawn_cut(float least, float largest, std::uint64_t threshold_draw) {
    if (!(least < largest)) return least;
    const double u = static_cast<double>(threshold_draw >> 11) * 0x1p-53;
    const double cut = static_cast<double>(least) + u * (static_cast<double>(largest) - least);
    return cut < largest ? cut : least;
}

// One threshold drawn uniformly between the node's least and largest value (the least again
// when the draw lands on the largest): the rows at or below it go left. With NaN sides learned,
// NaN rows go where the side draw says, and a column without them sends NaN to the larger side.
inline RandomCut random_cut(std::span<const Entry> column, bool learn,
                            std::uint64_t threshold_draw, std::uint64_t side_draw) {
    constexpr float infinity = std::numeric_limits<float>::infinity();
    const std::size_t n = column.size();
    const std::size_t numbers = numbers_in(column);
    if (numbers == 0) return {};
    const float least = column[0].value;
    const float largest = column[numbers - 1].value;
    const double cut = drawn_cut(least, largest, threshold_draw);
    const std::size_t n_left = static_cast<std::size_t>(
        std::upper_bound(column.begin(), column.begin() + static_cast<std::ptrdiff_t>(numbers),
                         cut, [](double c, const Entry& e) { return c < e.value; }) -
        column.begin());
    const bool has_nan = numbers < n;
    const bool nan_left = learn && (has_nan ? (side_draw & 1) != 0 : n_left > n - n_left);
    if (n_left == numbers && (!has_nan || nan_left || !(largest < infinity))) return {};
    return {true, numbers, n_left, nan_left};
}

}  // namespace lindorf
