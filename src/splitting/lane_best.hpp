// What the vector scoring kernels (gini_blocks.cpp, squared_blocks.cpp) share: the record of a
// block's best candidate, unit counts as doubles lane by lane, and the running best of every
// lane. Everything here is inlined into each kernel, so that it takes the kernel's target width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace lindorf {

// The block's best score (minus infinity without a candidate) and, when just one candidate
// reaches it, where.
struct BlockTop {
    static constexpr double none = -std::numeric_limits<double>::infinity();
    double top = none;
    std::size_t at = 0;
    bool unique = false;
};

// Counts below 2^63 as doubles, rounded to nearest as a conversion instruction rounds them,
// which few vector instruction sets have: the upper half scaled and offset by 2^84 + 2^52 and the
// lower half offset by 2^52 are exact doubles, so is their difference less the offsets, and their
// sum rounds once.
// (Non-negative, the arithmetic shift is the logical one.) Vectors go by reference: the kernels
// that inline this are built for wider targets than this header.
template <class Lanes, class Flags>
[[gnu::always_inline]] inline void units_as_doubles(const Flags& counts, Lanes& out) {
    const Lanes upper = (Lanes)((counts >> 32) | 0x4530000000000000) - 0x1.00000001p84;
    out = upper + (Lanes)((counts & 0xFFFFFFFF) | 0x4330000000000000);
}

// Each lane's best score, where it first met it and how often; the block's best is unique when
// one lane met it once. Scores are offered W at a time in entry order, NaN never counting.
template <class Lanes, class Flags>
struct LaneBest {
    static constexpr std::size_t W = sizeof(Lanes) / sizeof(double);
    Lanes most;
    Flags first = {};
    Flags count = {};
    Flags index;

    [[gnu::always_inline]] LaneBest() {
        for (std::size_t k = 0; k < W; ++k) {
            most[k] = BlockTop::none;
            index[k] = static_cast<std::int64_t>(k);
        }
    }

    [[gnu::always_inline]] void offer(const Lanes& kept) {
        const Flags above = kept > most;  // never for NaN
        const Flags equal = kept == most;
        most = (Lanes)(((Flags)kept & above) | ((Flags)most & ~above));
        first = (index & above) | (first & ~above);
        count = (above & 1) | ((count - equal) & ~above);  // a true comparison is -1
        index += static_cast<std::int64_t>(W);
    }

    [[gnu::always_inline]] BlockTop top() const {
        BlockTop out;
        for (std::size_t k = 0; k < W; ++k)
            if (most[k] > out.top) out.top = most[k];
        if (out.top == BlockTop::none) return out;
        std::int64_t reached = 0;
        for (std::size_t k = 0; k < W; ++k) {
            if (most[k] != out.top) continue;
            reached += count[k];
            out.at = static_cast<std::size_t>(first[k]);
        }
        out.unique = reached == 1;
        return out;
    }
};

}  // namespace lindorf
