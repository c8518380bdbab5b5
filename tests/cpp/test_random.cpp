// Expected ChaCha values are the published test vectors (the ChaCha20 block of RFC 8439 section
// 2.3.2 and the zero-key keystreams), and generator outputs computed by chacha_reference.py, a
// separate Python implementation checked against those same vectors.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "forked_child.hpp"
#include "support/error.hpp"
#include "support/random.hpp"

namespace lindorf {
namespace {

using test_support::in_forked_child;

constexpr std::uint64_t max64 = ~std::uint64_t{0};

ChaChaKey counting_key() {
    ChaChaKey key;
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
    return key;
}

std::string keystream_hex(const ChaChaBlock& block) {
    std::string hex;
    char byte[3];
    for (std::uint32_t word : block) {
        for (int shift = 0; shift < 32; shift += 8) {
            std::snprintf(byte, sizeof(byte), "%02x", (word >> shift) & 0xff);
            hex += byte;
        }
    }
    return hex;
}

ChaChaBlock zero_key_state() {
    return {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
}

TEST(ChaCha, TwentyRoundsMatchTheRfcBlockVector) {
    // Key 00..1f, block counter 1, nonce 00:00:00:09:00:00:00:4a:00:00:00:00.
    const ChaChaBlock input = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
                               0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                               0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c,
                               0x00000001, 0x09000000, 0x4a000000, 0x00000000};
    const ChaChaBlock expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                                  0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                                  0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                  0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    EXPECT_EQ(chacha_block(input, 20), expected);
}

TEST(ChaCha, ZeroKeyKeystreamsMatchPublishedVectors) {
    struct Case {
        unsigned rounds;
        const char* keystream;
    };
    const Case cases[] = {
        {20,
         "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
         "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
        {12,
         "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
         "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(keystream_hex(chacha_block(zero_key_state(), c.rounds)), c.keystream)
            << c.rounds << " rounds";
    }
}

TEST(ChaChaRng, OutputsFollowTheDocumentedLayout) {
    // Blocks 0 and 1 of key 00..1f with 12 rounds, words joined low half first.
    const std::uint64_t expected[] = {0x5ec67ad1fff931f2, 0xaa40e9d725f30544, 0xbc46bec21f601349,
                                      0x361a1ad9c3cac3e9, 0x9f7c85c208b34059, 0x9ad4288554e2d629,
                                      0x165d76e60a1b2b61, 0x79883646fbae85e5, 0xe0723b83a09afa6c,
                                      0x4683d13d52155cdb, 0x48641b2eeb0c8e35, 0x1685ee7e32309d04};
    ChaChaRng rng(counting_key(), nullptr);
    for (std::uint64_t value : expected) EXPECT_EQ(rng.next_u64(), value);
    EXPECT_EQ(rng.keyings(), 1u);
}

constexpr std::size_t outputs_per_key = ChaChaRng::rekey_bytes / sizeof(std::uint64_t);

void skip(ChaChaRng& rng, std::size_t outputs) {
    for (std::size_t i = 0; i < outputs; ++i) rng.next_u64();
}

TEST(ChaChaRng, TakesANewKeyAfterEvery64KiB) {
    int keys_given = 0;
    ChaChaRng rng(counting_key(), [&keys_given]() -> std::optional<ChaChaKey> {
        ++keys_given;
        return ChaChaKey{};  // all zero
    });
    skip(rng, outputs_per_key);
    EXPECT_EQ(keys_given, 0);
    EXPECT_EQ(rng.keyings(), 1u);
    // The first output under the zero key: bytes 9b f4 9a 6a 07 55 f9 53 of its keystream.
    EXPECT_EQ(rng.next_u64(), 0x53f955076a9af49bULL);
    EXPECT_EQ(keys_given, 1);
    EXPECT_EQ(rng.keyings(), 2u);
    skip(rng, outputs_per_key - 1);
    EXPECT_EQ(rng.keyings(), 2u);
    rng.next_u64();
    EXPECT_EQ(rng.keyings(), 3u);
}

TEST(ChaChaRng, FailedRekeyKeepsTheKeyAndGoesOn) {
    int attempts = 0;
    ChaChaRng rng(counting_key(), [&attempts]() -> std::optional<ChaChaKey> {
        ++attempts;
        return std::nullopt;
    });
    skip(rng, outputs_per_key);
    // Block 1024 of key 00..1f: the stream continues rather than restarting at block 0.
    EXPECT_EQ(rng.next_u64(), 0x1c0ba670ef3de77aULL);
    EXPECT_EQ(rng.next_u64(), 0xa316ee4c554d9b38ULL);
    EXPECT_EQ(attempts, 1);
    EXPECT_EQ(rng.keyings(), 1u);
}

TEST(ChaChaRng, FailedFirstKeyingIsAnInternalFailure) {
    EXPECT_THROW(keyed_rng([]() -> std::optional<ChaChaKey> { return std::nullopt; }),
                 InternalError);
    EXPECT_THROW(keyed_rng(nullptr), InternalError);
}

TEST(ChaChaRng, ForkedChildTakesANewKeyMidBlock) {
    ChaChaRng rng(counting_key());
    rng.next_u64();  // leaves seven buffered outputs of block 0
    const std::uint64_t forks_before = fork_count();
    std::uint64_t child_keyings = 0;
    const std::uint64_t child_value = in_forked_child([&] {
        std::uint64_t value = rng.next_u64();
        child_keyings = rng.keyings();
        return child_keyings == 2 && fork_count() == forks_before + 1 ? value : 0;
    });
    EXPECT_EQ(fork_count(), forks_before);  // the parent's count is untouched
    const std::uint64_t parent_value = rng.next_u64();
    EXPECT_EQ(parent_value, 0xaa40e9d725f30544ULL);
    EXPECT_NE(child_value, 0u);
    EXPECT_NE(child_value, parent_value);
    EXPECT_EQ(rng.keyings(), 1u);
}

TEST(ChaChaRng, ThreadGeneratorOfAForkedChildDiverges) {
    ChaChaRng& rng = thread_rng();
    rng.next_u64();
    const std::uint64_t child_value = in_forked_child([] { return thread_rng().next_u64(); });
    EXPECT_NE(child_value, rng.next_u64());
}

TEST(Draw, RejectionZone) {
    struct Case {
        std::uint64_t n;
        std::uint64_t zone;
    };
    // 2^64 mod 3 = 1, so (2^64 - 3) mod 3 = 1; 2^64 mod 10 = 6; for n = 2^63 + 1,
    // 2^64 - n = 2^63 - 1 < n; powers of two divide 2^64 and reject nothing.
    const Case cases[] = {
        {1, max64},
        {2, max64},
        {3, max64 - 1},
        {10, max64 - 6},
        {std::uint64_t{1} << 32, max64},
        {(std::uint64_t{1} << 63) + 1, std::uint64_t{1} << 63},
        {max64, max64 - 1},
    };
    for (const Case& c : cases) EXPECT_EQ(draw_range(c.n).zone, c.zone) << "n = " << c.n;
    EXPECT_THROW(draw_range(0), InternalError);
}

TEST(Draw, IndexFromOutput) {
    struct Case {
        std::uint64_t n;
        std::uint64_t w;
        std::optional<std::uint64_t> index;
    };
    const std::uint64_t half = std::uint64_t{1} << 63;
    // For n = 3: 0x5555555555555555 * 3 = 2^64 - 1, the one low half above the zone.
    const Case cases[] = {
        {3, 0, 0},
        {3, 0x5555555555555554, 0},
        {3, 0x5555555555555555, std::nullopt},
        {3, 0x5555555555555556, 1},  // 3w = 2^64 + 2
        {3, max64, 2},               // 3w = 2 * 2^64 + (2^64 - 3)
        {1, max64, 0},
        {10, max64 / 10 * 7 + 1, 6},  // 10w = 7 * 2^64 - 32
        {half + 1, 1, std::nullopt},  // low half 2^63 + 1 is past the zone 2^63
        {half + 1, 2, 1},             // 2^64 + 2
        {half + 1, half, half >> 1},  // 2^126 + 2^63: the low half sits exactly on the zone
    };
    for (const Case& c : cases) {
        EXPECT_EQ(index_from_output(c.w, draw_range(c.n)), c.index)
            << "n = " << c.n << ", w = " << c.w;
    }
}

struct ScriptedOutputs {
    std::vector<std::uint64_t> outputs;
    std::size_t taken = 0;
    std::uint64_t next_u64() { return outputs.at(taken++); }
};

TEST(Draw, RejectedOutputIsReplacedByTheNext) {
    ScriptedOutputs source{{0x5555555555555555, 0x5555555555555555, max64, 0}};
    EXPECT_EQ(draw_below(source, draw_range(3)), 2u);
    EXPECT_EQ(source.taken, 3u);
    EXPECT_EQ(draw_below(source, draw_range(3)), 0u);
    EXPECT_EQ(source.taken, 4u);
}

TEST(Draw, ThreeWayDrawsAreEvenlySpread) {
    // 30000 draws: each count is 10000 with a standard deviation of about 82; 6 sigma is 490.
    std::size_t counts[3] = {0, 0, 0};
    const DrawRange range = draw_range(3);
    for (int i = 0; i < 30000; ++i) ++counts[draw_below(thread_rng(), range)];
    for (std::size_t count : counts) {
        EXPECT_GT(count, 9510u);
        EXPECT_LT(count, 10490u);
    }
}

}  // namespace
}  // namespace lindorf
