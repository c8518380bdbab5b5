#include "criteria/kind_index.hpp"

#include <algorithm>
#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lindorf {

namespace {

constexpr std::size_t block_size = 64;

std::size_t low_bit(std::size_t i) {
    return i & (~i + 1);
}

}  // namespace

void KindIndex::assign(std::span<const std::uint8_t> kinds_by_position) {
    const std::size_t n = kinds_by_position.size();
    kind_.assign(kinds_by_position.begin(), kinds_by_position.end());
    totals_.fill(0);
    levels_.clear();
    levels_.emplace_back(std::max<std::size_t>((n + 63) / 64, 1), 0);
    const std::size_t n_blocks = (n + block_size - 1) / block_size;
    blocks_.assign(n_blocks + 1, Counts{});
    static_assert(block_size == 64);
    const std::size_t whole = n / 64;
    whole_blocks(whole);
    for (std::size_t word = whole; word < n_blocks; ++word) count_block(word, n);
    for (std::size_t word = 0; word < n_blocks; ++word)
        for (unsigned k = 1; k < kinds; ++k) totals_[k] += blocks_[word + 1][k];
    while (levels_.back().size() > 1) {
        const std::vector<std::uint64_t>& below = levels_.back();
        std::vector<std::uint64_t> above((below.size() + 63) / 64, 0);
        for (std::size_t w = 0; w < below.size(); ++w)
            if (below[w] != 0) above[w / 64] |= std::uint64_t{1} << (w % 64);
        levels_.push_back(std::move(above));
    }
    for (std::size_t i = 1; i <= n_blocks; ++i) {
        const std::size_t parent = i + low_bit(i);
        if (parent <= n_blocks)
            for (unsigned k = 0; k < kinds; ++k) blocks_[parent][k] += blocks_[i][k];
    }
}

// A block one position at a time, without a branch on whether a position is occupied: on a side
// of a split about half are, at random, and the branch was mispredicted as often.
void KindIndex::count_block(std::size_t word, std::size_t n) {
    const std::size_t begin = word * 64, end = std::min(n, begin + 64);
    Counts& block = blocks_[word + 1];
    std::uint64_t bits = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const unsigned k = kind_[i];
        bits |= std::uint64_t{k != 0} << (i - begin);
        ++block[k];
    }
    block[0] = 0;  // empty positions are counted nowhere
    levels_[0][word] = bits;
}

// The first `whole` blocks of 64 positions: one position at a time, each count waits on the last
// increment of its kind, and most positions hold kind 0 or 1; sixteen at a time, a kind's count
// of a block is one compare per sixteen positions and a sum of bytes, for the kinds up to the
// largest that occurs.
void KindIndex::whole_blocks(std::size_t whole) {
#if defined(__SSE2__)
    const std::uint8_t* data = kind_.data();
    __m128i top = _mm_setzero_si128();
    for (std::size_t i = 0; i < whole * 64; i += 16)
        top = _mm_max_epu8(top, _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)));
    alignas(16) std::uint8_t lanes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), top);
    unsigned largest = 0;
    for (std::uint8_t lane : lanes) largest = std::max<unsigned>(largest, lane);
    largest = std::min(largest, kinds - 1);
    const __m128i zero = _mm_setzero_si128();
    for (std::size_t word = 0; word < whole; ++word) {
        const auto* block = reinterpret_cast<const __m128i*>(data + word * 64);
        const __m128i part[4] = {_mm_loadu_si128(block), _mm_loadu_si128(block + 1),
                                 _mm_loadu_si128(block + 2), _mm_loadu_si128(block + 3)};
        std::uint64_t empty = 0;
        for (unsigned j = 0; j < 4; ++j)
            empty |= std::uint64_t{static_cast<std::uint16_t>(
                         _mm_movemask_epi8(_mm_cmpeq_epi8(part[j], zero)))}
                     << (16 * j);
        levels_[0][word] = ~empty;
        Counts& counts = blocks_[word + 1];
        for (unsigned k = 1; k <= largest; ++k) {
            const __m128i kind = _mm_set1_epi8(static_cast<char>(k));
            __m128i held = zero;  // per byte lane, how many of the four hold k: at most 4
            for (unsigned j = 0; j < 4; ++j)
                held = _mm_sub_epi8(held, _mm_cmpeq_epi8(part[j], kind));
            const __m128i sums = _mm_sad_epu8(held, zero);
            counts[k] = static_cast<std::uint32_t>(
                _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
        }
    }
#else
    for (std::size_t word = 0; word < whole; ++word) count_block(word, whole * 64);
#endif
}

void KindIndex::add_to_blocks(std::size_t block, unsigned kind, std::int32_t delta) {
    for (std::size_t i = block + 1; i < blocks_.size(); i += low_bit(i))
        blocks_[i][kind] += static_cast<std::uint32_t>(delta);
}

unsigned KindIndex::set(std::size_t position, unsigned kind) {
    const unsigned old = kind_[position];
    if (old == kind) return old;
    kind_[position] = static_cast<std::uint8_t>(kind);
    if (old != 0) {
        --totals_[old];
        add_to_blocks(position / block_size, old, -1);
    }
    if (kind != 0) {
        ++totals_[kind];
        add_to_blocks(position / block_size, kind, 1);
    }
    if ((old == 0) != (kind == 0)) {
        std::size_t index = position;
        for (std::vector<std::uint64_t>& level : levels_) {
            std::uint64_t& word = level[index / 64];
            const bool was_empty = word == 0;
            word ^= std::uint64_t{1} << (index % 64);
            // Only a word that turned empty, or stopped being empty, flips a bit one level up.
            if (was_empty == (word == 0)) break;
            index /= 64;
        }
    }
    return old;
}

std::int64_t KindIndex::next_beyond(std::uint64_t word0) const {
    std::uint64_t index = word0 * 64;
    std::size_t level = 0;
    while (true) {
        if (level == levels_.size()) return -1;
        const std::uint64_t word = index / 64;
        if (word >= levels_[level].size()) return -1;
        const std::uint64_t bits = levels_[level][word] & (~std::uint64_t{0} << (index % 64));
        if (bits != 0) {
            index = word * 64 + static_cast<std::uint64_t>(std::countr_zero(bits));
            break;
        }
        index = word + 1;
        ++level;
    }
    while (level-- > 0)
        index = index * 64 + static_cast<std::uint64_t>(std::countr_zero(levels_[level][index]));
    return static_cast<std::int64_t>(index);
}

std::int64_t KindIndex::prev(std::int64_t position) const {
    if (position <= 0) return -1;
    auto index = static_cast<std::uint64_t>(position - 1);
    std::size_t level = 0;
    while (true) {
        if (level == levels_.size()) return -1;
        const std::uint64_t word = index / 64;
        const std::uint64_t bits = levels_[level][word] & (~std::uint64_t{0} >> (63 - index % 64));
        if (bits != 0) {
            index = word * 64 + 63 - static_cast<std::uint64_t>(std::countl_zero(bits));
            break;
        }
        if (word == 0) return -1;
        index = word - 1;
        ++level;
    }
    while (level-- > 0)
        index =
            index * 64 + 63 - static_cast<std::uint64_t>(std::countl_zero(levels_[level][index]));
    return static_cast<std::int64_t>(index);
}

KindIndex::Counts KindIndex::below(std::size_t end, std::span<const unsigned> present) const {
    Counts counts{};
    for (std::size_t i = (end + block_size - 1) / block_size; i > 0; i -= low_bit(i))
        for (unsigned k : present) counts[k] += blocks_[i][k];
    return counts;
}

// The rest of the start's block one position at a time, then whole blocks down the Fenwick tree,
// then the block where the budget runs out one position at a time.
KindIndex::Stretch KindIndex::longest(std::int64_t start, const Weights& weight,
                                      std::uint64_t budget,
                                      std::span<const unsigned> present) const {
    Stretch stretch{start, 0, {}};
    auto take = [&](std::int64_t x) {
        const unsigned k = kind_[x];
        if (stretch.weight + weight[k] > budget) return false;
        stretch.weight += weight[k];
        ++stretch.counts[k];
        stretch.last = x;
        return true;
    };
    // The first block that lies wholly after `start`.
    const std::size_t first_block = static_cast<std::size_t>(start + block_size) / block_size;
    const auto block_end = static_cast<std::int64_t>(first_block * block_size);
    std::int64_t x = next(start);
    for (; x >= 0 && x < block_end; x = next(x))
        if (!take(x)) return stretch;
    if (x < 0) return stretch;
    Counts before{};
    for (std::size_t i = first_block; i > 0; i -= low_bit(i))
        for (unsigned k : present) before[k] += blocks_[i][k];
    const std::uint64_t weight_before = weigh(before, weight, present);
    const std::uint64_t target = weight_before + (budget - stretch.weight);
    const std::size_t n_blocks = blocks_.size() - 1;
    std::size_t blocks = 0;
    std::uint64_t reached = 0;
    Counts taken{};
    for (std::size_t bit = std::bit_floor(n_blocks); bit > 0; bit >>= 1) {
        const std::size_t i = blocks + bit;
        if (i > n_blocks) continue;
        const std::uint64_t more = reached + weigh(blocks_[i], weight, present);
        if (more > target) continue;
        blocks = i;
        reached = more;
        for (unsigned k : present) taken[k] += blocks_[i][k];
    }
    // The descent stops at or after the first whole block, whose prefix fits by construction.
    if (blocks > first_block) {
        for (unsigned k : present) stretch.counts[k] += taken[k] - before[k];
        stretch.weight += reached - weight_before;
        stretch.last = std::max(stretch.last, prev(static_cast<std::int64_t>(blocks * block_size)));
    }
    for (x = next(static_cast<std::int64_t>(std::max(blocks, first_block) * block_size) - 1);
         x >= 0 && take(x); x = next(x)) {
    }
    return stretch;
}

}  // namespace lindorf
