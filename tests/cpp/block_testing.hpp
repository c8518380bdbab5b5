// What the tests of the vector scoring kernels (weighted two-class Gini, squared error) check of
// a block: the kernel's scores and best against scores worked out one candidate at a time.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "splitting/lane_best.hpp"

namespace block_testing {

// Every candidate's score the same bits as expected (BlockTop::none for no candidate), the same
// best, unique exactly when one candidate reaches it, and then found where it is.
inline void expect_block(const double* scored, const std::vector<double>& expected,
                         const lindorf::BlockTop& found) {
    lindorf::BlockTop top;
    std::size_t reaching = 0;
    for (std::size_t j = 0; j < expected.size(); ++j) {
        if (expected[j] > top.top) top = {expected[j], j, true}, reaching = 0;
        reaching += expected[j] == top.top;
    }
    for (std::size_t j = 0; j < expected.size(); ++j)
        ASSERT_EQ(std::bit_cast<std::uint64_t>(scored[j]),
                  std::bit_cast<std::uint64_t>(expected[j])) << "candidate " << j;
    ASSERT_EQ(found.top, top.top);
    if (top.top == lindorf::BlockTop::none) return;
    ASSERT_EQ(found.unique, reaching == 1);
    if (found.unique) {
        EXPECT_EQ(found.at, top.at);
    }
}

}  // namespace block_testing
