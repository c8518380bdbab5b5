#include "criteria/repeated_sum.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace lindorf {

namespace {

// The end of the stretch of floats with the spacing of `a` (a >= 0): the next power of two
// above a, or the end of the subnormals.
double stretch_end(float a) {
    if (a < FLT_MIN) return FLT_MIN;
    return std::ldexp(1.0, std::ilogb(a) + 1);
}

// How many j >= 0 satisfy j * step < room (step > 0, room > 0).
std::uint64_t steps_below(double room, double step) {
    auto count = static_cast<std::uint64_t>(std::ceil(room / step));
    while (count > 0 && static_cast<double>(count - 1) * step >= room) --count;
    while (static_cast<double>(count) * step < room) ++count;
    return count;
}

// The sum of positive terms b. Within a stretch of equal spacing U every sum is a multiple of
// U, and fl(a + b) - a depends only on b modulo U, except when b sits exactly halfway between
// two multiples: then rounding to even decides, and after one such step within the stretch the
// sum is even and every later step adds the same amount. So two steps inside a stretch give the
// increment of all further steps that stay inside it (while a + b < the stretch's end), which
// are taken at once.
float sum_of_positive(float b, std::uint64_t times) {
    float a = 0.0f;
    while (times > 0) {
        a += b;
        --times;
        if (times == 0 || std::isinf(a)) break;
        const double end = stretch_end(a);
        const float a1 = a + b;
        --times;
        if (a1 >= end || times == 0) {
            a = a1;
            continue;
        }
        const float a2 = a1 + b;
        if (a2 >= end) {
            a = a2;
            --times;
            continue;
        }
        --times;
        const double step = static_cast<double>(a2) - a1;  // exact: both lie in the stretch
        const double room = (end - a2) - b;                 // exact in double
        a = a2;
        if (step == 0.0) break;  // every later step adds nothing
        if (room <= 0.0) continue;
        const std::uint64_t bulk = std::min(times, steps_below(room, step));
        a = static_cast<float>(a2 + static_cast<double>(bulk) * step);
        times -= bulk;
    }
    return a;
}

}  // namespace

float repeated_sum(float term, std::uint64_t times) {
    if (times == 0) return 0.0f;
    // Zeros leave +0.0; infinities and NaN stay what the first step makes them.
    if (term == 0.0f || !std::isfinite(term)) return 0.0f + term;
    // Rounding to nearest is symmetric, so negative terms sum as the negated positive ones.
    return term < 0.0f ? -sum_of_positive(-term, times) : sum_of_positive(term, times);
}

}  // namespace lindorf
