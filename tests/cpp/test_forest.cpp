// The generator, the bootstrap samples drawn from it, votes, forest prediction, and forests that
// grow nothing or fail. Expected ChaCha values are published test vectors (RFC 8439
// section 2.3.2 and the zero-key keystreams); generator outputs and samples were computed by
// chacha_reference.py, a separate implementation checked against them.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "forest/bootstrap.hpp"
#include "forest/forest.hpp"
#include "forest/growth.hpp"
#include "forest/vote.hpp"
#include "support/error.hpp"
#include "support/random.hpp"
#include "tree_testing.hpp"

namespace lindorf {
namespace {

using testing_support::failure_of;
using testing_support::leaf;
using testing_support::stump;

constexpr std::uint64_t max64 = ~std::uint64_t{0};
// The first two outputs of key 00..1f: words 0 and 1, then 2 and 3 of block 0, low half first.
constexpr std::uint64_t first_output = 0x5ec67ad1fff931f2;
constexpr std::uint64_t second_output = 0xaa40e9d725f30544;

ChaChaKey counting_key() {
    ChaChaKey key;
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
    return key;
}

// The block's bytes, little-endian words in order, as hex.
std::string keystream_hex(const ChaChaBlock& block) {
    std::string hex;
    char byte[3];
    for (int i = 0; i < 64; ++i)
        hex +=
            (std::snprintf(byte, sizeof byte, "%02x", (block[i / 4] >> (i % 4 * 8)) & 0xff), byte);
    return hex;
}

TEST(ChaCha, MatchesPublishedVectors) {
    // Key 00..1f, block counter 1, nonce 00:00:00:09:00:00:00:4a:00:00:00:00.
    const ChaChaBlock rfc_input = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
                                   0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                                   0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c,
                                   0x00000001, 0x09000000, 0x4a000000, 0x00000000};
    const ChaChaBlock rfc_output = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                                    0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                                    0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                    0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    EXPECT_EQ(chacha_block(rfc_input, 20), rfc_output);
    // Two blocks side by side are the two blocks one after the other, the counter's low word
    // carrying into its high word.
    for (const std::uint32_t low : {0x00000001u, 0xffffffffu}) {
        ChaChaBlock input = rfc_input;
        input[12] = low;
        ChaChaBlock next = input;
        next[12] = low + 1;
        next[13] = input[13] + (low == 0xffffffffu ? 1 : 0);
        const std::array<ChaChaBlock, 2> both = chacha_blocks(input, 12);
        EXPECT_EQ(both[0], chacha_block(input, 12));
        EXPECT_EQ(both[1], chacha_block(next, 12));
    }
    const ChaChaBlock zero_key = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    EXPECT_EQ(keystream_hex(chacha_block(zero_key, 12)),
              "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
              "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be");
}

constexpr std::size_t outputs_per_key = ChaChaRng::rekey_bytes / sizeof(std::uint64_t);

TEST(ChaChaRng, TakesANewKeyAfterEvery64KiBAndGoesOnWhenNoneComes) {
    EXPECT_THROW(keyed_rng([]() -> std::optional<ChaChaKey> { return std::nullopt; }),
                 InternalError);
    int asked = 0;  // the first re-key gets the zero key, later ones nothing
    ChaChaRng rng(counting_key(), [&asked]() -> std::optional<ChaChaKey> {
        return ++asked == 1 ? std::optional(ChaChaKey{}) : std::nullopt;
    });
    for (std::size_t i = 0; i < outputs_per_key; ++i) rng.next_u64();
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(rng.next_u64(), 0x53f955076a9af49bULL);  // block 0 of the zero key
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(rng.keyings(), 2u);
    for (std::size_t i = 1; i < outputs_per_key; ++i) rng.next_u64();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(rng.next_u64(), 0xbb5799661f3f19b4ULL);  // block 1024 of the zero key, not block 0
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(rng.keyings(), 2u);
}

TEST(ChaChaRng, ForkedChildTakesANewKeyMidBlock) {
    ChaChaRng rng(counting_key());
    EXPECT_EQ(rng.next_u64(), first_output);  // seven outputs of block 0 remain buffered
    const std::uint64_t forks_before = fork_count();
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {  // sends its next output if it took a new key, else 0; never returns
        std::uint64_t value = 0;
        try {
            value = rng.next_u64();
            value = rng.keyings() == 2 && fork_count() == forks_before + 1 ? value : 0;
        } catch (...) {
        }
        ::_exit(::write(pipe_fds[1], &value, sizeof value) == sizeof value ? 0 : 1);
    }
    ::close(pipe_fds[1]);
    std::uint64_t child_value = 0;
    EXPECT_EQ(::read(pipe_fds[0], &child_value, sizeof child_value), ssize_t{sizeof child_value});
    ::close(pipe_fds[0]);
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    EXPECT_EQ(fork_count(), forks_before);
    const std::uint64_t parent_value = rng.next_u64();
    EXPECT_EQ(parent_value, second_output);
    EXPECT_NE(child_value, 0u);
    EXPECT_NE(child_value, parent_value);
    EXPECT_EQ(rng.keyings(), 1u);
}

struct ScriptedOutputs {
    std::vector<std::uint64_t> outputs;
    std::size_t taken = 0;
    std::uint64_t next_u64() { return outputs.at(taken++); }
};

TEST(Draw, IndexIsTheHighHalfAndOutputsPastTheRejectionZoneAreReplaced) {
    // 2^64 mod 3 = 1, so (2^64 - 3) mod 3 = 1; 2^64 mod 10 = 6; for n = 2^63 + 1,
    // 2^64 - n = 2^63 - 1 < n; powers of two divide 2^64 and reject nothing.
    const std::pair<std::uint64_t, std::uint64_t> zones[] = {
        {1, max64},  {2, max64}, {3, max64 - 1}, {10, max64 - 6},
        {(std::uint64_t{1} << 63) + 1, std::uint64_t{1} << 63}, {max64, max64 - 1}};
    for (auto [n, zone] : zones) EXPECT_EQ(draw_range(n).zone, zone) << "n = " << n;
    EXPECT_THROW(draw_range(0), InternalError);
    // n = 3: 3w = 2^64 - 1 for w = 0x55..55, the one low half past the zone; 3 * max64 is
    // 2 * 2^64 + (2^64 - 3), whose low half lies in the zone.
    ScriptedOutputs source{{0x5555555555555555, 0x5555555555555555, max64, 0x5555555555555556}};
    EXPECT_EQ(draw_below(source, draw_range(3)), 2u);
    EXPECT_EQ(source.taken, 3u);
    EXPECT_EQ(draw_below(source, draw_range(3)), 1u);  // 3w = 2^64 + 2
    // n = 2^63 + 1: low half 2^63 + 1 is past the zone 2^63; w = 2^63 gives 2^126 + 2^63,
    // whose low half sits exactly on the zone and is accepted.
    const std::uint64_t half = std::uint64_t{1} << 63;
    ScriptedOutputs edge{{1, half}};
    EXPECT_EQ(draw_below(edge, draw_range(half + 1)), half >> 1);
    EXPECT_EQ(edge.taken, 2u);
    EXPECT_EQ(index_from_output(max64 / 10 * 7 + 1, draw_range(10)), 6u);  // 7 * 2^64 - 32
}

TEST(SampleSize, RoundsThroughSinglePrecision) {
    // Above 2^24 floats are 2 apart (4 above 2^25); halfway cases go to the even mantissa.
    const std::size_t p24 = std::size_t{1} << 24;
    const std::pair<std::size_t, std::size_t> cases[] = {
        {0, 0},
        {10, 10},
        {p24 - 1, p24 - 1},
        {p24 + 1, p24},          // between 2^24 and 2^24 + 2: down to the even mantissa
        {p24 + 3, p24 + 4},      // between 2^24 + 2 (odd mantissa) and 2^24 + 4: up
        {2 * p24 + 2, 2 * p24},  // between 2^25 and 2^25 + 4, a tie going down
        {4294967167u, 4294967040u},  // the last count rounded down
        {4294967168u, 4294967294u},  // rounded up to 2^32 and held at what 32 bits count
        {4294967295u, 4294967294u},
    };
    for (auto [rows, draws] : cases) EXPECT_EQ(sample_size(rows), draws) << rows << " rows";
}

TEST(Bootstrap, MatchesAnIndependentlyComputedStreamAfterRefusingUnusableRowCounts) {
    ChaChaRng rng(counting_key(), nullptr);
    EXPECT_THROW(bootstrap_sample(0, rng), InternalError);
    EXPECT_THROW(bootstrap_sample(std::size_t{1} << 32, rng), InternalError);
    EXPECT_THROW(bootstrap_sample(0), InternalError);
    // Indices (w * n) >> 64 of successive outputs of key 00..1f, from the first output on: the
    // refused calls drew nothing.
    EXPECT_EQ(bootstrap_sample(10, rng),
              (std::vector<std::uint32_t>{3, 6, 7, 2, 6, 6, 0, 4, 8, 2}));
    ChaChaRng again(counting_key(), nullptr);
    EXPECT_EQ(bootstrap_sample(7, again), (std::vector<std::uint32_t>{2, 4, 5, 1, 4, 4, 0}));
    EXPECT_EQ(bootstrap_sample(1), std::vector<std::uint32_t>{0});
}

TEST(Bootstrap, ThreadsDrawIndependentSamplesWithReplacement) {
    std::vector<std::uint32_t> a, b;
    std::thread first([&] { a = bootstrap_sample(1000); });
    std::thread second([&] { b = bootstrap_sample(1000); });
    first.join();
    second.join();
    EXPECT_NE(a, b);
    EXPECT_NE(a, bootstrap_sample(1000));
    // About 1000 (1 - 1/e) = 632 distinct rows, standard deviation about 10.
    std::set<std::uint32_t> distinct(a.begin(), a.end());
    EXPECT_GT(distinct.size(), 560u);
    EXPECT_LT(distinct.size(), 700u);
}

FeatureMatrix matrix(std::size_t n_cols, const std::vector<float>& values) {
    return FeatureMatrix{values.size() / n_cols, n_cols, values};
}

TEST(ForestPredict, NoTreesOrOneTree) {
    const FeatureMatrix rows = matrix(2, {0.0f, 9.0f, 0.5f, -1.0f, NAN, 0.0f, -3.0f, 0.0f});
    EXPECT_TRUE(Forest{}.predict(rows.view()).empty());
    EXPECT_TRUE(Forest{{leaf(1)}}.predict(MatrixView{nullptr, 0, 1}).empty());
    // Strictly below goes left; equal and NaN go right.
    EXPECT_EQ(Forest{{stump(0, 0.5f, 11, 22)}}.predict(rows.view()), (Labels{11, 22, 22, 11}));
    const Forest too_wide{{leaf(1), stump(3, 0.5f, 1, 2)}};
    EXPECT_THROW(too_wide.predict(rows.view()), InternalError);
}

TEST(ForestPredict, EachRowGetsItsMajorityWithTiesBrokenPerRowAndCall) {
    // Trees: x0 < 0.5 ? 1 : 2;  x1 < 0.5 ? 1 : 3;  always 2. For rows (x0, x1) the votes are
    // (0,0): 1 1 2 -> 1;  (1,0): 2 1 2 -> 2;  (1,1): 2 3 2 -> 2;  (0,1): 1 3 2, a three-way tie.
    const Forest forest{{stump(0, 0.5f, 1, 2), stump(1, 0.5f, 1, 3), leaf(2)}};
    // More rows than one block of votes, in a pattern that shifts against the block size.
    std::vector<float> values;
    Labels expected;
    for (std::size_t i = 0; i < 1000; ++i) {
        values.insert(values.end(), {i % 3 ? 1.0f : 0.0f, i % 3 == 2 ? 1.0f : 0.0f});
        expected.push_back(i % 3 ? 2 : 1);
    }
    for (std::size_t i = 0; i < 300; ++i) values.insert(values.end(), {0.0f, 1.0f});
    const Labels predicted = forest.predict(matrix(2, values).view());
    EXPECT_EQ(Labels(predicted.begin(), predicted.begin() + 1000), expected);
    EXPECT_EQ(std::set<Label>(predicted.begin() + 1000, predicted.end()),
              (std::set<Label>{1, 2, 3}));
    // A fixed choice among three tied labels survives 200 calls with probability 3^-199; mode()
    // of one vote list breaks ties afresh the same way, and gives 0 for no votes.
    const FeatureMatrix tie = matrix(2, {0.0f, 1.0f});
    std::set<Label> across_calls, modes;
    for (int call = 0; call < 200; ++call) {
        across_calls.insert(forest.predict(tie.view())[0]);
        modes.insert(mode(Labels{6, 4, 5, 6, 5, 4, 1}));
    }
    EXPECT_EQ(across_calls, (std::set<Label>{1, 2, 3}));
    EXPECT_EQ(modes, (std::set<Label>{4, 5, 6}));
    EXPECT_EQ(mode(Labels{}), 0u);
}

TEST(GrowForest, NoTreesLookAtNothingAndAFailingTreeFailsTheForest) {
    // A view that cannot be read: an empty forest must come back without touching it.
    EXPECT_TRUE(grow_forest(MatrixView{nullptr, 1000, 8}, Labels{}, 3, 0).trees.empty());
    const std::vector<float> values(12, 1.0f);
    for (std::size_t n_rows : {0, 6}) {
        WorkerPool pool(2);
        const std::string message = failure_of([&] {
            grow_forest(MatrixView{values.data(), n_rows, 2}, Labels{}, 3, 4, &pool);
        });
        EXPECT_EQ(message.rfind("a tree of the forest failed", 0), 0u) << message;
    }
    // Exhausted memory stays what it is, so that the caller can tell it from a failure.
    WorkerPool pool(2);
    EXPECT_THROW(
        grow_forest_from(MatrixView{values.data(), 6, 2}, Labels(6, 0), 3, 4, &pool,
                         [](std::size_t) -> std::vector<std::uint32_t> { throw std::bad_alloc(); }),
        std::bad_alloc);
}

}  // namespace
}  // namespace lindorf
