#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "forest/bootstrap.hpp"
#include "support/error.hpp"
#include "support/random.hpp"

namespace lindorf {
namespace {

ChaChaKey counting_key() {
    ChaChaKey key;
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
    return key;
}

TEST(SampleSize, RoundsThroughSinglePrecision) {
    struct Case {
        std::size_t rows;
        std::size_t draws;
    };
    // Above 2^24 floats are 2 apart (4 apart above 2^25); halfway cases go to the even mantissa:
    // 2^24 + 1 lies between 2^24 and 2^24 + 2 and goes down, 2^24 + 3 lies between 2^24 + 2
    // (odd mantissa) and 2^24 + 4 and goes up.
    const std::size_t p24 = std::size_t{1} << 24;
    const Case cases[] = {
        {0, 0},
        {1, 1},
        {10, 10},
        {p24 - 1, p24 - 1},
        {p24, p24},
        {p24 + 1, p24},
        {p24 + 2, p24 + 2},
        {p24 + 3, p24 + 4},
        {2 * p24 + 2, 2 * p24},      // between 2^25 and 2^25 + 4, a tie going down
        {2 * p24 + 3, 2 * p24 + 4},  // nearer the upper neighbour
        {4294967295u, std::size_t{1} << 32},
    };
    for (const Case& c : cases) EXPECT_EQ(sample_size(c.rows), c.draws) << c.rows << " rows";
}

TEST(Bootstrap, MatchesAnIndependentlyComputedStream) {
    // Drawn by chacha_reference.py from key 00..1f: indices (w * n) >> 64 of successive outputs.
    struct Case {
        std::size_t rows;
        std::vector<std::uint32_t> sample;
    };
    const Case cases[] = {
        {10, {3, 6, 7, 2, 6, 6, 0, 4, 8, 2}},
        {7, {2, 4, 5, 1, 4, 4, 0}},
    };
    for (const Case& c : cases) {
        ChaChaRng rng(counting_key(), nullptr);
        EXPECT_EQ(bootstrap_sample(c.rows, rng), c.sample) << c.rows << " rows";
    }
}

TEST(Bootstrap, OneRowIsDrawnOnce) {
    EXPECT_EQ(bootstrap_sample(1), std::vector<std::uint32_t>{0});
}

TEST(Bootstrap, NoRowsFailsBeforeAnyDraw) {
    ChaChaRng rng(counting_key(), nullptr);
    EXPECT_THROW(bootstrap_sample(0, rng), InternalError);
    EXPECT_THROW(bootstrap_sample(0), InternalError);
    // The generator still starts at its first output.
    EXPECT_EQ(rng.next_u64(), 0x5ec67ad1fff931f2ULL);
}

TEST(Bootstrap, RowsBeyond32BitIndicesFail) {
    ChaChaRng rng(counting_key(), nullptr);
    EXPECT_THROW(bootstrap_sample(std::size_t{1} << 32, rng), InternalError);
    EXPECT_EQ(rng.next_u64(), 0x5ec67ad1fff931f2ULL);
}

TEST(Bootstrap, DrawsWithReplacement) {
    // 1000 draws from 1000 rows: about 1000 (1 - 1/e) = 632 distinct rows, standard deviation
    // about 10; a sample without replacement would hold all 1000.
    std::vector<std::uint32_t> sample = bootstrap_sample(1000);
    std::set<std::uint32_t> distinct(sample.begin(), sample.end());
    EXPECT_GT(distinct.size(), 560u);
    EXPECT_LT(distinct.size(), 700u);
}

TEST(Bootstrap, ThreadsDrawIndependentSamples) {
    std::vector<std::uint32_t> a, b;
    std::thread first([&] { a = bootstrap_sample(1000); });
    std::thread second([&] { b = bootstrap_sample(1000); });
    first.join();
    second.join();
    EXPECT_NE(a, b);
    EXPECT_NE(a, bootstrap_sample(1000));
}

}  // namespace
}  // namespace lindorf
