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

namespace {

// A row of the block's 4 x 4 state: the four quarter rounds of a column (or, with the rows
// turned, of a diagonal) run side by side, lane by lane, in the vector registers every x86-64
// and ARM64 processor has. Every node of a forest's trees draws its features from a block of
// its own, so the block function is a measurable part of growing one.
using Row = std::uint32_t __attribute__((vector_size(16)));

inline Row rotate_lanes(Row x, int n) {
    return (x << n) | (x >> (32 - n));
}

// Lane i of the result is lane (i + n) mod 4 of x.
template <int n>
inline Row turn(Row x) {
#if defined(__clang__)
    return __builtin_shufflevector(x, x, n % 4, (n + 1) % 4, (n + 2) % 4, (n + 3) % 4);
#else
    return __builtin_shuffle(x, Row{n % 4, (n + 1) % 4, (n + 2) % 4, (n + 3) % 4});
#endif
}

// A block's 4 x 4 state, row by row.
struct State {
    Row a, b, c, d;
};

State state_of(const ChaChaBlock& block) {
    State x;
    std::memcpy(&x.a, block.data(), sizeof x.a);
    std::memcpy(&x.b, block.data() + 4, sizeof x.b);
    std::memcpy(&x.c, block.data() + 8, sizeof x.c);
    std::memcpy(&x.d, block.data() + 12, sizeof x.d);
    return x;
}

// The block that rounds leave as `x` from the state `start`: each word plus its start.
ChaChaBlock block_of(const State& x, const State& start) {
    const Row rows[4] = {x.a + start.a, x.b + start.b, x.c + start.c, x.d + start.d};
    ChaChaBlock out;
    std::memcpy(out.data(), rows, sizeof rows);
    return out;
}

inline void quarter_rounds(State& x) {
    x.a += x.b;
    x.d = rotate_lanes(x.d ^ x.a, 16);
    x.c += x.d;
    x.b = rotate_lanes(x.b ^ x.c, 12);
    x.a += x.b;
    x.d = rotate_lanes(x.d ^ x.a, 8);
    x.c += x.d;
    x.b = rotate_lanes(x.b ^ x.c, 7);
}

// Two blocks' quarter rounds, step by step: independent chains, which the processor runs side by
// side where one block's chain leaves it waiting on each step's result.
inline void both_quarter_rounds(State& x, State& y) {
    x.a += x.b, y.a += y.b;
    x.d = rotate_lanes(x.d ^ x.a, 16), y.d = rotate_lanes(y.d ^ y.a, 16);
    x.c += x.d, y.c += y.d;
    x.b = rotate_lanes(x.b ^ x.c, 12), y.b = rotate_lanes(y.b ^ y.c, 12);
    x.a += x.b, y.a += y.b;
    x.d = rotate_lanes(x.d ^ x.a, 8), y.d = rotate_lanes(y.d ^ y.a, 8);
    x.c += x.d, y.c += y.d;
    x.b = rotate_lanes(x.b ^ x.c, 7), y.b = rotate_lanes(y.b ^ y.c, 7);
}

// Columns (0, 4, 8, 12) ... (3, 7, 11, 15) are the rows' lanes as they stand. Diagonals (0, 5,
// 10, 15), (1, 6, 11, 12), (2, 7, 8, 13), (3, 4, 9, 14): lane i takes row 1's word i + 1, row
// 2's i + 2, row 3's i + 3, so turn_rows<1, 2, 3> lines them up and turn_rows<3, 2, 1> undoes it.
template <int b, int c, int d>
inline void turn_rows(State& x) {
    x.b = turn<b>(x.b), x.c = turn<c>(x.c), x.d = turn<d>(x.d);
}

}  // namespace

ChaChaBlock chacha_block(const ChaChaBlock& input, unsigned rounds) {
    const State start = state_of(input);
    State x = start;
    for (unsigned r = 0; r < rounds; r += 2) {
        quarter_rounds(x);  // columns
        turn_rows<1, 2, 3>(x);
        quarter_rounds(x);  // diagonals
        turn_rows<3, 2, 1>(x);
    }
    return block_of(x, start);
}

std::array<ChaChaBlock, 2> chacha_blocks(const ChaChaBlock& input, unsigned rounds) {
    ChaChaBlock next = input;
    if (++next[12] == 0) ++next[13];
    const State x0 = state_of(input), y0 = state_of(next);
    State x = x0, y = y0;
    for (unsigned r = 0; r < rounds; r += 2) {
        both_quarter_rounds(x, y);  // columns
        turn_rows<1, 2, 3>(x), turn_rows<1, 2, 3>(y);
        both_quarter_rounds(x, y);  // diagonals
        turn_rows<3, 2, 1>(x), turn_rows<3, 2, 1>(y);
    }
    return {block_of(x, x0), block_of(y, y0)};
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
