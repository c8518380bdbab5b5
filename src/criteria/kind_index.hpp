// Positions that each hold a kind, a small number (0: none), with what an ordered sum over them
// asks quickly: the next and previous occupied position, and the longest stretch after a
// position whose per-kind weights stay within a budget, with how many of each kind it holds.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lindorf {

class KindIndex {
  public:
    static constexpr unsigned kinds = 16;
    using Counts = std::array<std::uint32_t, kinds>;
    using Weights = std::array<std::uint32_t, kinds>;

    void assign(std::span<const std::uint8_t> kinds_by_position);
    // Gives the position a kind; returns the kind it held.
    unsigned set(std::size_t position, unsigned kind);
    unsigned kind(std::size_t position) const { return kind_[position]; }
    std::uint64_t count(unsigned kind) const { return totals_[kind]; }

    // The first occupied position after `position`; -1: none.
    std::int64_t next(std::int64_t position) const {
        const auto index = static_cast<std::uint64_t>(position + 1);
        const std::uint64_t word = index / 64;
        if (word < levels_[0].size()) {
            const std::uint64_t bits = levels_[0][word] & (~std::uint64_t{0} << (index % 64));
            if (bits != 0)
                return static_cast<std::int64_t>(word * 64 +
                                                 static_cast<unsigned>(std::countr_zero(bits)));
        }
        return next_beyond(word + 1);
    }
    std::int64_t prev(std::int64_t position) const;  // the last occupied before; -1: none
    std::size_t size() const { return kind_.size(); }

    // How many of each kind the positions below `end` hold, `end` a multiple of 64 (or the
    // size); `present` lists every kind that occurs.
    Counts below(std::size_t end, std::span<const unsigned> present) const;

    // The occupied positions after `start` up to `last`, weighing `weight` in all.
    struct Stretch {
        std::int64_t last;
        std::uint64_t weight;
        Counts counts;
    };
    // The longest stretch after `start` whose weight stays within `budget`; `present` lists
    // every kind that occurs.
    Stretch longest(std::int64_t start, const Weights& weight, std::uint64_t budget,
                    std::span<const unsigned> present) const;

  private:
    std::int64_t next_beyond(std::uint64_t word) const;  // from the start of a word of level 0
    void add_to_blocks(std::size_t block, unsigned kind, std::int32_t delta);
    void count_block(std::size_t word, std::size_t n);
    void whole_blocks(std::size_t whole);

    std::vector<std::uint8_t> kind_;
    std::vector<std::vector<std::uint64_t>> levels_;  // occupied bits, then bits of non-zero words
    std::vector<Counts> blocks_;  // Fenwick tree of kind counts per block of 64 positions
    std::array<std::uint64_t, kinds> totals_{};
};

// The weight of some counts, over the kinds listed.
inline std::uint64_t weigh(const KindIndex::Counts& counts, const KindIndex::Weights& weight,
                           std::span<const unsigned> present) {
    std::uint64_t total = 0;
    for (unsigned k : present) total += std::uint64_t{counts[k]} * weight[k];
    return total;
}

}  // namespace lindorf
