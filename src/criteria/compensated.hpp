// Two ways of summing doubles without losing what plain summation rounds away.
//
// Sum2, compensated sums: a running sum kept as an unevaluated pair hi + lo, where every
// addition's rounding error (found exactly by Knuth's TwoSum) goes into lo. The value is as
// accurate as if the terms had been summed in twice the precision and rounded once (Ogita, Rump
// and Oishi's Sum2), whatever their order: sums of the same numbers in two orders nearly always
// agree to the last bit, sums of whole numbers (or of multiples of one power of two) below 2^53
// are exact, and a difference of two such sums does not lose what the sums cancel.
//
// TwoSum needs round-to-nearest and no reassociation: the build keeps both (no -ffast-math,
// no contraction).
#pragma once

#include <cmath>

namespace lindorf {

struct Sum2 {
    double hi = 0.0;
    double lo = 0.0;

    void add(double x) {
        const double s = hi + x;
        const double back = s - hi;
        lo += (hi - (s - back)) + (x - back);
        hi = s;
    }
    void subtract(double x) { add(-x); }
    void add(const Sum2& other) {
        add(other.hi);
        lo += other.lo;
    }

    double value() const { return hi + lo; }

    // (*this - other) rounded once: the difference of the high parts is exact whenever they are
    // close, which is when the sums cancel.
    double minus(const Sum2& other) const { return (hi - other.hi) + (lo - other.lo); }
};

// SplitSum, for the hot loops of a split search, where Sum2's dependent additions cost too much:
// every term is split beforehand (split_term) at a power of two g into a multiple of g and a
// remainder below g / 2. When the terms' absolute sum is below 2^50 g, the multiples add up
// exactly in any order (partial sums included), and only the small remainders round: two plain
// additions per term, with an error far below Sum2's first-order one.
struct SplitParts {
    double high = 0.0;
    double low = 0.0;
};

// The grid g for terms whose absolute sum is `absolute`: the least power of two at which it lies
// below 2^50 g (1 for a sum of 0; 0, which leaves every term whole, for sums near overflow).
double split_grid(double absolute);

// t's multiple of g (rounded to nearest) and the exact remainder; |t| must be below 2^50 g.
inline SplitParts split_term(double t, double grid) {
    // Adding 1.5 * 2^52 g rounds to a multiple of g; subtracting it again is exact.
    const double magic = 0x1.8p52 * grid;
    const double high = (t + magic) - magic;
    return {high, t - high};
}

struct SplitSum {
    double high = 0.0;
    double low = 0.0;

    void add(const double* parts) {
        high += parts[0];
        low += parts[1];
    }
    void add(const SplitSum& other) {
        high += other.high;
        low += other.low;
    }
    double value() const { return high + low; }
    // (*this - other) rounded once, the multiples' difference being exact.
    double minus(const SplitSum& other) const { return (high - other.high) + (low - other.low); }
};

inline double split_grid(double absolute) {
    if (!(absolute > 0.0)) return 1.0;
    int exponent = 0;
    std::frexp(absolute, &exponent);  // absolute < 2^exponent
    // Terms near the largest double: no grid (0 keeps every term whole, the sums plain), as the
    // split's magic number would overflow.
    if (!std::isfinite(absolute) || exponent > 960) return 0.0;
    return std::ldexp(1.0, exponent - 50);
}

}  // namespace lindorf
