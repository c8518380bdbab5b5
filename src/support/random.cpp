#include "support/random.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>

#include "support/error.hpp"

namespace lindorf {

namespace {

constexpr std::array<std::uint32_t, 4> sigma = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

std::uint32_t rotate_left(std::uint32_t x, int bits) {
    return (x << bits) | (x >> (32 - bits));
}

// On words, not on indices into the block, so that a round keeps the block in registers.
inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
    a += b;
    d = rotate_left(d ^ a, 16);
    c += d;
    b = rotate_left(b ^ c, 12);
    a += b;
    d = rotate_left(d ^ a, 8);
    c += d;
    b = rotate_left(b ^ c, 7);
}

// Counts only the children of forks: a child's generators then see a count that differs from the
// one they were keyed at, while the parent's keep theirs.
std::atomic<std::uint64_t> forks_seen{0};
std::once_flag fork_handler_registered;

void note_fork_in_child() {
    forks_seen.fetch_add(1, std::memory_order_relaxed);
}

void register_fork_handler() {
    std::call_once(fork_handler_registered, [] {
        LINDORF_CHECK(pthread_atfork(nullptr, nullptr, note_fork_in_child) == 0,
                      "cannot register the random generator's fork handler");
    });
}

}  // namespace

ChaChaBlock chacha_block(const ChaChaBlock& input, unsigned rounds) {
    ChaChaBlock s = input;
    for (unsigned r = 0; r < rounds; r += 2) {
        quarter_round(s[0], s[4], s[8], s[12]);
        quarter_round(s[1], s[5], s[9], s[13]);
        quarter_round(s[2], s[6], s[10], s[14]);
        quarter_round(s[3], s[7], s[11], s[15]);
        quarter_round(s[0], s[5], s[10], s[15]);
        quarter_round(s[1], s[6], s[11], s[12]);
        quarter_round(s[2], s[7], s[8], s[13]);
        quarter_round(s[3], s[4], s[9], s[14]);
    }
    for (std::size_t i = 0; i < s.size(); ++i) s[i] += input[i];
    return s;
}

std::optional<ChaChaKey> os_entropy_key() {
    ChaChaKey key;
    if (::getentropy(key.data(), key.size()) != 0) return std::nullopt;
    return key;
}

std::uint64_t fork_count() {
    return forks_seen.load(std::memory_order_relaxed);
}

ChaChaRng::ChaChaRng(const ChaChaKey& key, KeySource rekey) : rekey_(std::move(rekey)) {
    register_fork_handler();
    take_key(key);
}

void ChaChaRng::take_key(const ChaChaKey& key) {
    for (std::size_t i = 0; i < sigma.size(); ++i) state_[i] = sigma[i];
    for (std::size_t i = 0; i < 8; ++i) {
        state_[4 + i] = std::uint32_t{key[4 * i]} | std::uint32_t{key[4 * i + 1]} << 8 |
                        std::uint32_t{key[4 * i + 2]} << 16 | std::uint32_t{key[4 * i + 3]} << 24;
    }
    for (std::size_t i = 12; i < 16; ++i) state_[i] = 0;
    next_output_ = 8;
    bytes_since_key_ = 0;
    forks_at_key_ = fork_count();
    ++keyings_;
}

void ChaChaRng::refill() {
    if (bytes_since_key_ >= rekey_bytes || forks_at_key_ != fork_count()) {
        std::optional<ChaChaKey> key = rekey_ ? rekey_() : std::nullopt;
        if (key) {
            take_key(*key);
        } else {
            // Going on with the old key is still a sound stream as long as the counter keeps
            // running; try again after the next interval rather than at every block.
            bytes_since_key_ = 0;
            forks_at_key_ = fork_count();
        }
    }
    block_ = chacha_block(state_, rounds);
    if (++state_[12] == 0) ++state_[13];
    bytes_since_key_ += sizeof(block_);
    next_output_ = 0;
}

std::uint64_t ChaChaRng::next_u64() {
    // The fork check comes before buffered output too: a child must not hand out the rest of a
    // block that its parent hands out as well.
    if (next_output_ == 8 || forks_at_key_ != fork_count()) refill();
    unsigned i = next_output_++;
    return std::uint64_t{block_[2 * i]} | std::uint64_t{block_[2 * i + 1]} << 32;
}

ChaChaRng keyed_rng(const KeySource& source) {
    std::optional<ChaChaKey> key = source ? source() : std::nullopt;
    LINDORF_CHECK(key.has_value(), "cannot key the random generator: no entropy available");
    return ChaChaRng(*key, source);
}

DrawRange draw_range(std::uint64_t n) {
    LINDORF_CHECK(n > 0, "cannot draw from an empty range");
    // (2^64 - n) mod n, computed in 64 bits: 0 - n wraps to exactly 2^64 - n.
    return {n, ~std::uint64_t{0} - ((std::uint64_t{0} - n) % n)};
}

}  // namespace lindorf
