#include "criteria/climb_bound.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace lindorf {

namespace {

constexpr unsigned kinds = 16;
// Guards against the rounding of the double arithmetic below, far above it and far below a unit
// of the float sums.
constexpr double tiny = 0x1p-46;
// Binades this far below the last one take the ratio that holds for any kind (1 + 1/(2s), s the
// least step): they hold a small share of the sum, and per kind they would cost most.
constexpr int exact_binades = 5;

double log2_of_kind(unsigned k) {
    static const std::array<double, kinds> table = [] {
        std::array<double, kinds> logs{};
        for (unsigned i = 1; i < kinds; ++i) logs[i] = std::log2(static_cast<double>(i));
        return logs;
    }();
    return table[k];
}

// The binade [2^e, 2^(e+1)) of a positive normal double, and a power of two.
int binade_of(double x) {
    return static_cast<int>(std::bit_cast<std::uint64_t>(x) >> 52 & 0x7FF) - 1023;
}
double power_of_two(int e) {
    return std::bit_cast<double>(static_cast<std::uint64_t>(e + 1023) << 52);
}

// A term's step in units of the spacing (q >= 0), rounded to nearest, ties down: the least it
// may be, whichever way the running sum breaks a tie.
double least_step(double q) {
    const double half_below = std::min(q, 0x1p52) - 0.5;
    auto whole = static_cast<std::int64_t>(half_below);
    whole += static_cast<double>(whole) < half_below;
    return static_cast<double>(whole);
}

}  // namespace

// Each kind's float term is bracketed: k/size * log2(size/k) in double is within 24u of it (p
// rounds once, log2 of a p at most 15/32 moves by less than 1.4u for it, log2f adds an ulp, the
// product rounds once: about 5u). The first term lands exactly, at or above the power of two
// below the least term; a term that leaves a binade errs by at most that binade's spacing,
// charged once per binade left; ratios are kept at or above 1, so that the leaving term's
// distance counts.
float least_sum_of_counts(const std::array<std::uint64_t, 16>& counts, float size,
                          std::span<const unsigned> present) {
    std::array<double, kinds> low{}, high{};
    const double log_size = std::log2(static_cast<double>(size));
    const double per_size = 1.0 / static_cast<double>(size);
    double real = 0.0, least_term = std::numeric_limits<double>::infinity();
    for (unsigned k : present) {
        const double t = k * per_size * (log_size - log2_of_kind(k));
        low[k] = t * (1.0 - 24.0 * 0x1p-24);
        high[k] = t * (1.0 + 24.0 * 0x1p-24);
        real += static_cast<double>(counts[k]) * low[k];
        least_term = std::min(least_term, low[k]);
    }
    if (!(real > 0.0)) return 0.0f;
    real *= 1.0 - tiny;
    const int last = binade_of(real) - exact_binades;
    double x = power_of_two(binade_of(least_term));
    if (real <= x) return static_cast<float>(x);
    real -= x;
    while (true) {
        const int e = binade_of(x);
        const double per_unit = power_of_two(23 - e);
        double ratio = 1.0;
        if (e < last) {
            const double step = least_step(least_term * per_unit);
            if (step == 0.0) break;
            ratio = 1.0 + 0.5 / step;
        } else {
            for (unsigned k : present) {
                const double step = least_step(low[k] * per_unit);
                if (step == 0.0) return static_cast<float>(x);  // a term may add nothing
                ratio = std::max(ratio, high[k] * per_unit / step);
            }
        }
        ratio *= 1.0 + tiny;
        const double top = power_of_two(e + 1);
        const double room = (top - x) * ratio;
        if (real <= room) {
            x = (x + real / ratio) * (1.0 - tiny);
            break;
        }
        real -= room * (1.0 + tiny) + power_of_two(e - 23);
        x = top;
    }
    // The sum is a float at or above x.
    float f = static_cast<float>(x);
    if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

}  // namespace lindorf
