// The single-precision sum of many equal terms, as a loop adding one term at a time would leave
// it, in a number of steps that grows with the number of binades crossed, not with the count.
#pragma once

#include <cstdint>

namespace lindorf {

// Exactly `float sum = 0.0f; for (times) sum += term; return sum;` under round-to-nearest-even.
float repeated_sum(float term, std::uint64_t times);

}  // namespace lindorf
