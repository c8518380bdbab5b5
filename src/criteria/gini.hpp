// Gini impurity, 1 - sum of p^2, and the gain of a split by it.
//
// Precision: double throughout, from the exact integer sum of squared (weighted) class counts.
// Each value is then a fixed function of the integer counts alone, so a sweep that keeps the sums
// up to date one row at a time and a plain recount of the same rows agree to the last bit. The
// sum of squares fits 64 bits: it is at most the square of the total weight, below 2^64.
#pragma once

#include <cstdint>

namespace lindorf {

// Adjusts a sum of squared counts when the count of one class goes from `count` to
// `count + weight` (adding) or `count - weight` (removing). Unsigned arithmetic wraps, and the
// true result is in range, so it comes out exact.
inline std::uint64_t squares_after_adding(std::uint64_t squares, std::uint64_t count,
                                          std::uint64_t weight) {
    return squares + 2 * count * weight + weight * weight;
}
inline std::uint64_t squares_after_removing(std::uint64_t squares, std::uint64_t count,
                                            std::uint64_t weight) {
    return squares - 2 * count * weight + weight * weight;
}

// 1 - squares / total^2; an empty side is 0.
inline double gini_impurity(std::uint64_t squares, std::uint32_t total) {
    if (total == 0) return 0.0;
    double size = static_cast<double>(total);
    return 1.0 - static_cast<double>(squares) / (size * size);
}

// (parent - (nL/n)*gL) - (nR/n)*gR, in exactly this order, with n = nL + nR.
inline double gini_gain(double parent, std::uint64_t left_squares, std::uint32_t left_total,
                        std::uint64_t right_squares, std::uint32_t right_total) {
    double n = static_cast<double>(left_total) + static_cast<double>(right_total);
    double left = gini_impurity(left_squares, left_total);
    double right = gini_impurity(right_squares, right_total);
    return (parent - (static_cast<double>(left_total) / n) * left) -
           (static_cast<double>(right_total) / n) * right;
}

}  // namespace lindorf
