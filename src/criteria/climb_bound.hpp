// A floor of an ordered sum of magnitudes from how many terms of each kind it adds, whatever
// their order: for a sum of many small terms, far closer than the bound gamma(n-1) on any sum.
//
// Within a binade of the running sum (spacing U), a term of magnitude t adds exactly its step s,
// t rounded to a multiple of U, as long as the sum stays in the binade; the term that leaves the
// binade adds t within U. So while the sum climbs through a binade it consumes at most rho times
// the distance climbed, rho the largest ratio t/s among the kinds present, and the real sum of
// the terms, known from the counts, takes the float sum at least that far: binade by binade, the
// least float the sum can reach. Each kind's step is a known number per binade, so rho is close
// to 1 where every kind's term lies close to a multiple of the spacing.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace lindorf {

// Each kind's term for one size, bracketed: the float term -detail::plogp_term(kind, size) lies
// within [low, high] (see least_sum_of_counts). Every floor of a side starts from them; a side
// keeps them while its size stays, so that its floors at each depth work them out once.
struct TermBrackets {
    float size = 0.0f;                                 // that of the brackets; 0: none yet
    alignas(32) std::array<double, 16> low{}, high{};  // by kind; kind 0's are 0
    // The brackets for `size`, unless they already are: of every kind at once, four at a time
    // where the processor has the instructions, the same either way. A floor asks only those of
    // a size of 32 or more; a side may set any size, 0 too, whose brackets no floor reads.
    void set(float size);
};

// Kinds as the floors take them: bit k for kind k (1 to 15).
struct KindBits {
    unsigned bits = 0;
};
KindBits kind_bits(std::span<const unsigned> kinds);

// A float at or below every value that adding the magnitudes -detail::plogp_term(kind, size),
// counts[kind] of each kind, in any order can leave. `present` lists every kind with a non-zero
// count (kinds below 16, not 0); `size` at least 32, so that every p = kind / size stays below
// 1/2.
float least_sum_of_counts(const std::array<std::uint64_t, 16>& counts, float size,
                          std::span<const unsigned> present);
// The same with the brackets of `size` already set, and `present` any kinds that hold every kind
// with a non-zero count.
float least_sum_of_counts(const std::array<std::uint64_t, 16>& counts, const TermBrackets& terms,
                          KindBits present);

// The same for terms added stretch after stretch, from how many of each kind each stretch holds
// (index 0 unused, whatever it holds): far closer, since a stretch that ends in the binade where
// it starts adds exactly its steps there, and only the few that cross a binade's top are bounded
// by the climb. `present` lists every kind with a non-zero count in any stretch; `size` as above.
float least_sum_of_stretches(std::span<const std::array<std::uint32_t, 16>> stretches, float size,
                             std::span<const unsigned> present);
float least_sum_of_stretches(std::span<const std::array<std::uint32_t, 16>> stretches,
                             const TermBrackets& terms, KindBits present);

namespace detail {

// The floors above with each kind's ratio and step worked out one or two kinds at a time (`wide`
// false) or four (true, where the processor has the instructions; elsewhere the same as false):
// the same floors bit for bit, whichever the processor takes.
float least_sum_of_counts(const std::array<std::uint64_t, 16>& counts, const TermBrackets& terms,
                          KindBits present, bool wide);
float least_sum_of_stretches(std::span<const std::array<std::uint32_t, 16>> stretches,
                             const TermBrackets& terms, KindBits present, bool wide);

// What a float sum climbing from 2^e, e the binade of the least term `least`, through `binades`
// binades consumes at most, each with the ratio 1 + 1/(2s) of any term to its step that the
// least term's step s there gives: infinite where that is not worked out at once.
double low_binades_climb(double least, int binades);

}  // namespace detail

}  // namespace lindorf
