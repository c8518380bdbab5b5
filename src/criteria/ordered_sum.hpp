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
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "criteria/kind_index.hpp"

namespace lindorf {

class OrderedSum {
  public:
    static constexpr unsigned kinds = KindIndex::kinds;

    void assign(std::span<const std::uint8_t> kinds_by_position);
    void set(std::size_t position, unsigned kind);
    unsigned kind(std::size_t position) const { return index_.kind(position); }

    // The sum above, for a side of `size` members.
    float sum(float size);

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

    float sum_one_by_one(float size) const;
    bool reusable(Run& run, int exponent, float size, std::uint32_t room, Terms& terms);
    bool fresh_run(Run& run, std::int64_t start, int exponent, std::uint32_t room, Terms& terms,
                   std::size_t& cursor);
    bool run_from_hints(KindIndex::Stretch& stretch, const KindIndex::Weights& step,
                        std::uint64_t room, std::int64_t start, std::size_t& cursor);

    KindIndex index_;
    std::vector<unsigned> present_;  // kinds that occur, for the sum being taken
    std::vector<Run> hints_;         // the runs of the last sum, ascending
    std::vector<Run> runs_;          // of the sum being taken
};

}  // namespace lindorf
