// Random numbers for bootstrap samples and vote tie-breaks: ChaCha with 12 rounds used as a block
// generator, keyed from the operating system's entropy source. Generators are explicit values
// handed to whoever draws, never per-thread state: a thread's first touch of thread-local storage
// can abort the process when memory is short.
//
// Block layout (64-bit block counter, as in the original ChaCha): words 0-3 are the constant
// "expand 32-byte k", words 4-11 the key (its 32 bytes read as little-endian words), words 12-13
// the block counter (low word first) and words 14-15 a nonce that is always 0. Each block yields
// eight 64-bit outputs; output i joins words 2i (low half) and 2i+1 (high half).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

namespace lindorf {

using ChaChaBlock = std::array<std::uint32_t, 16>;

// The ChaCha block function: `rounds` (even) rounds over the input state, then the input added
// word by word.
ChaChaBlock chacha_block(const ChaChaBlock& input, unsigned rounds);

// The blocks of `input` and of the next block counter (words 12-13 plus one), computed side by
// side: a stream that wants more than one block waits on one chain of rounds instead of two.
std::array<ChaChaBlock, 2> chacha_blocks(const ChaChaBlock& input, unsigned rounds);

using ChaChaKey = std::array<std::uint8_t, 32>;
// Supplies a fresh key, or nothing when none can be had.
using KeySource = std::function<std::optional<ChaChaKey>()>;

// 32 bytes from getentropy; nothing if the call fails.
std::optional<ChaChaKey> os_entropy_key();

// How many times this process has been the child of a fork since the fork handler was registered
// (at the first generator's creation).
std::uint64_t fork_count();

class ChaChaRng {
  public:
    static constexpr unsigned rounds = 12;
    // Bytes of output after which the generator takes a new key.
    static constexpr std::size_t rekey_bytes = 65536;

    // Keyed with `key`; later keys come from `rekey`. A re-key that gets nothing keeps the current
    // key and goes on with its stream.
    explicit ChaChaRng(const ChaChaKey& key, KeySource rekey = os_entropy_key);

    std::uint64_t next_u64();

    // Keys taken so far, the first one included.
    std::uint64_t keyings() const { return keyings_; }

  private:
    void refill();
    void take_key(const ChaChaKey& key);

    ChaChaBlock state_{};
    ChaChaBlock block_{};
    unsigned next_output_ = 8;  // outputs of block_ already handed out
    std::size_t bytes_since_key_ = 0;
    std::uint64_t forks_at_key_ = 0;
    std::uint64_t keyings_ = 0;
    KeySource rekey_;
};

// A generator keyed from `source`; a source with nothing to give is an internal failure.
ChaChaRng keyed_rng(const KeySource& source = os_entropy_key);

// Uniform draws from [0, n) without bias: a 64-bit output w is accepted when the low half of the
// 128-bit product w * n is at most `zone`, and the index is then the high half.
struct DrawRange {
    std::uint64_t n = 1;
    std::uint64_t zone = ~std::uint64_t{0};
};

// n must be at least 1; the zone is 2^64 - 1 - ((2^64 - n) mod n).
DrawRange draw_range(std::uint64_t n);

// The index that output `w` gives, or nothing when `w` falls in the rejected part. Inline: every
// node of a forest's trees draws its features with it, several times.
inline std::optional<std::uint64_t> index_from_output(std::uint64_t w, const DrawRange& range) {
    __extension__ typedef unsigned __int128 Wide;
    const Wide product = static_cast<Wide>(w) * range.n;
    if (static_cast<std::uint64_t>(product) > range.zone) return std::nullopt;
    return static_cast<std::uint64_t>(product >> 64);
}

// Takes outputs from `source` (anything with next_u64()) until one is accepted.
template <class Source>
std::uint64_t draw_below(Source& source, const DrawRange& range) {
    for (;;) {
        if (std::optional<std::uint64_t> index = index_from_output(source.next_u64(), range))
            return *index;
    }
}

}  // namespace lindorf
