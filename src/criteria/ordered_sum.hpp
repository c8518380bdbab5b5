// The single-precision entropy sum of a side of a split, class by class in ascending order, when
// every class holds few rows: exactly what
//
//     float sum = 0.0f;
//     for (position ascending) if (kind[position] != 0) sum += detail::plogp_term(kind, size);
//
// leaves, in time that grows with the number of binades the sum crosses, not with the number of
// classes. A position is a class, its kind the class's count on the side (below `kinds`).
//
// Within a binade [2^e, 2^(e+1)) of the running magnitude, floats are spaced U = 2^(e-23) apart,
// so adding a term moves the sum by the term rounded to a multiple of U, the same for every term
// of a kind, as long as the sum stays in the binade and the term is not exactly halfway between
// two multiples (round-to-even would then depend on the sum). A run of such steps is one integer
// sum of per-kind steps, found with counts of each kind per block of positions (KindIndex); the
// step that leaves the binade, and every term of a kind that sits halfway, is added as a float.
//
// A split search asks for the sums of one side after every few rows move, so each sum keeps its
// runs: kept up to date as kinds change, they are taken again whole while the binade, the steps
// and the fit are unchanged (the steps provably are while the size stays within a range worked
// out from how fast a term changes with it), and otherwise locate the new run in a few moves.
//
// A ceiling of the sum costs less: the terms of the first positions, a small fraction of the
// sum, are replaced by the least float their sum can round to (their real sum from the kind
// counts, less the bound gamma(n-1) on adding n terms of one sign), which is carried through the
// rest as a float. Float addition is monotone, so the sum of magnitudes comes out at or below
// the real one's; each binade climbed halves, in units, how far below.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "criteria/climb_bound.hpp"
#include "criteria/kind_index.hpp"

namespace lindorf {

class OrderedSum {
  public:
    static constexpr unsigned kinds = KindIndex::kinds;
    using KindCounts = std::array<std::uint64_t, kinds>;

    void assign(std::span<const std::uint8_t> kinds_by_position);
    void set(std::size_t position, unsigned kind);
    unsigned kind(std::size_t position) const { return index_.kind(position); }

    // The sum above, for a side of `size` members.
    float sum(float size);

    // A float at or above sum(size): the first 2^-bracketed_binades of the positions are
    // bracketed rather than added. A shallower bracket (a quarter) before this one cost more
    // than it saved at 2^16 rows, two trees on distinct labels: it ruled out half the
    // candidates, at most of the price of this one; 3, 5 and 6 binades cost more than 4.
    static constexpr int bracketed_binades = 4;
    float ceiling(float size);
    // A float at or above sum(size) from how many terms of each kind it adds alone
    // (least_sum_of_counts): far cheaper than ceiling(), and close enough to rule out most
    // candidates before it.
    float coarse_ceiling(float size);
    // The same from a side's counts of each kind, without the sum's positions; false when the
    // side is so small that the ceiling is the sum itself.
    // `terms` are set to the brackets of `size` where they are needed, and kept for the next.
    static bool coarse_ceiling_of(const KindCounts& counts, float size, TermBrackets& terms,
                                  float& ceiling);
    // From the counts of each kind of each stretch of positions, in order, too
    // (least_sum_of_stretches): closer, at a few times the cost.
    static bool stretch_ceiling_of(const KindCounts& counts,
                                   std::span<const std::array<std::uint32_t, kinds>> stretches,
                                   float size, TermBrackets& terms, float& ceiling);

  private:
    class Terms;
    // A run of a sum: the occupied positions after `start` up to `last`, how many of each kind
    // they hold, their steps in binade `exponent` and total `weight`. The steps of the kinds in
    // `known` hold for every size within `reach` of `size`.
    struct Run {
        std::int64_t start;
        std::int64_t last;
        KindIndex::Counts counts;
        KindIndex::Weights steps;
        std::uint64_t weight;
        int exponent;
        std::uint32_t known;
        float size;
        float reach;  // 0: the steps are not to be taken again
    };

    // The runs of one way of adding the terms: the last sum's, which hint at the next one's.
    struct Track {
        std::vector<Run> hints;  // the runs of the last sum, ascending
        std::vector<Run> runs;   // of the sum being taken
    };

    std::uint64_t list_present();
    float sum_one_by_one(float size) const;
    float add_from(Track& track, std::int64_t p, float a, float size, Terms& terms);
    bool reusable(Run& run, int exponent, float size, std::uint32_t room, Terms& terms);
    bool fresh_run(Track& track, Run& run, std::int64_t start, int exponent, std::uint32_t room,
                   Terms& terms, std::size_t& cursor);
    bool run_from_hints(Track& track, KindIndex::Stretch& stretch, const KindIndex::Weights& step,
                        std::uint64_t room, std::int64_t start, std::size_t& cursor);
    void note_kind(Track& track, std::size_t position, unsigned old, unsigned kind);

    KindIndex index_;
    std::vector<unsigned> present_;  // kinds that occur, for the sum being taken
    Track exact_;
    Track ceiling_;
};

}  // namespace lindorf
