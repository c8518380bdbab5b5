#include "support/streams.hpp"

#include <bit>

namespace lindorf {

namespace {

constexpr std::uint32_t sample_purpose = 0;
constexpr std::uint32_t node_key_purpose = 1;

ChaChaBlock initial_state(const ChaChaKey& key, std::uint32_t nonce_low, std::uint32_t nonce_high) {
    // "expand 32-byte k"
    ChaChaBlock state = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (std::size_t i = 0; i < 8; ++i) {
        state[4 + i] = std::uint32_t{key[4 * i]} | std::uint32_t{key[4 * i + 1]} << 8 |
                       std::uint32_t{key[4 * i + 2]} << 16 | std::uint32_t{key[4 * i + 3]} << 24;
    }
    state[14] = nonce_low;
    state[15] = nonce_high;
    return state;
}

}  // namespace

KeyedStream::KeyedStream(const ChaChaKey& key, std::uint32_t nonce_low, std::uint32_t nonce_high)
    : state_(initial_state(key, nonce_low, nonce_high)) {}

std::uint64_t KeyedStream::next_u64() {
    if (next_output_ == 16) {
        blocks_ = chacha_blocks(state_, ChaChaRng::rounds);
        for (int k = 0; k < 2; ++k)
            if (++state_[12] == 0) ++state_[13];
        next_output_ = 0;
    }
    const unsigned i = next_output_++;
    const ChaChaBlock& block = blocks_[i / 8];
    return std::uint64_t{block[2 * (i % 8)]} | std::uint64_t{block[2 * (i % 8) + 1]} << 32;
}

ChaChaKey seed_key(std::uint64_t seed) {
    ChaChaKey key{};
    for (std::size_t i = 0; i < 8; ++i) key[i] = static_cast<std::uint8_t>(seed >> (8 * i));
    return key;
}

KeyedStream sample_stream(const ChaChaKey& fit_key, std::uint32_t tree) {
    return KeyedStream(fit_key, tree, sample_purpose);
}

ChaChaKey node_key(const ChaChaKey& fit_key, std::uint32_t tree) {
    ChaChaBlock block =
        chacha_block(initial_state(fit_key, tree, node_key_purpose), ChaChaRng::rounds);
    ChaChaKey key{};
    for (std::size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<std::uint8_t>(block[i / 4] >> (8 * (i % 4)));
    return key;
}

namespace {

// splitmix64's finaliser: every input bit moves every output bit.
std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

}  // namespace

std::uint64_t child_path(std::uint64_t parent, std::uint32_t feature, float threshold,
                         bool nan_left, bool left) {
    const std::uint64_t split = std::uint64_t{feature} << 32 | std::bit_cast<std::uint32_t>(threshold);
    return mix(mix(parent ^ split) + (left ? 1 : 2) + (nan_left ? 4 : 0));
}

KeyedStream node_stream(const ChaChaKey& tree_node_key, std::uint64_t path) {
    return KeyedStream(tree_node_key, static_cast<std::uint32_t>(path),
                       static_cast<std::uint32_t>(path >> 32));
}

NodeStreams::NodeStreams(const ChaChaKey& tree_node_key)
    : state_(initial_state(tree_node_key, 0, 0)) {}

KeyedStream NodeStreams::at(std::uint64_t path) const {
    ChaChaBlock state = state_;
    state[14] = static_cast<std::uint32_t>(path);
    state[15] = static_cast<std::uint32_t>(path >> 32);
    return KeyedStream(state);
}

}  // namespace lindorf
