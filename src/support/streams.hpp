// Reproducible random streams for the estimators. One fit has one 32-byte key (from a seed, or
// fresh from the operating system); every stream of the fit is ChaCha12 under that key or a key
// derived from it, with the 64-bit nonce naming what the stream is for. A stream therefore
// depends only on the key and on what it is for, never on which thread asks for it or when.
//
// Block layout as in support/random.hpp: words 12-13 the block counter, words 14-15 the nonce
// (low word first). Outputs join words 2i (low half) and 2i+1 (high half).
#pragma once

#include <cstdint>

#include "support/random.hpp"

namespace lindorf {

class KeyedStream {
  public:
    KeyedStream(const ChaChaKey& key, std::uint32_t nonce_low, std::uint32_t nonce_high);

    std::uint64_t next_u64();

  private:
    friend class NodeStreams;
    explicit KeyedStream(const ChaChaBlock& state) : state_(state) {}

    ChaChaBlock state_{};
    // Two blocks at a time: a node's draws take more than one block's eight outputs.
    std::array<ChaChaBlock, 2> blocks_{};
    unsigned next_output_ = 16;  // outputs of blocks_ already handed out
};

// The key of a seeded fit: the seed's eight bytes, little-endian, then zeros.
ChaChaKey seed_key(std::uint64_t seed);

// The bootstrap draws of tree `tree`: nonce (tree, 0) under the fit's key.
KeyedStream sample_stream(const ChaChaKey& fit_key, std::uint32_t tree);

// The key of tree `tree`'s per-node feature draws: the first eight words of block 0 under the
// fit's key with nonce (tree, 1), so that no node stream coincides with a bootstrap stream.
ChaChaKey node_key(const ChaChaKey& fit_key, std::uint32_t tree);

// A node's place in its tree: 0 for the root, and for a child its parent's path mixed with the
// parent's split (feature, threshold's bits, NaN side) and the child's side. It depends neither
// on the rows' weights, nor on how often a row repeats, nor on the order in which nodes grow.
std::uint64_t child_path(std::uint64_t parent, std::uint32_t feature, float threshold,
                         bool nan_left, bool left);

// The draws (features, random thresholds) of the node at `path`: nonce (the path's low word, its
// high word) under the tree's node key.
KeyedStream node_stream(const ChaChaKey& tree_node_key, std::uint64_t path);

// The same streams from a key laid out once: a tree's every split starts one, and spreading the
// key's bytes into words each time costs as much as a small node's tally.
class NodeStreams {
  public:
    explicit NodeStreams(const ChaChaKey& tree_node_key);
    KeyedStream at(std::uint64_t path) const;

  private:
    ChaChaBlock state_;
};

}  // namespace lindorf
