#include "criteria/climb_bound.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace lindorf {

namespace {

constexpr unsigned kinds = 16;
// Guards against the rounding of the double arithmetic below, far above it and far below a unit
// of the float sums.
constexpr double tiny = 0x1p-46;
// Binades this far below the last one take the ratio that holds for any kind (1 + 1/(2s), s the
// least step), all at once (detail::low_binades_climb): they hold a small share of the sum, and
// per kind they would cost most. At 2^16 rows, two trees on distinct labels, 3 let 0.4 % more
// candidates through to the stretch floor than 5 and took 4 % fewer instructions in all; 2,
// 3 % more candidates; one by one, the last few of them ruled out no more.
constexpr int exact_binades = 3;

double log2_of_kind(unsigned k) {
    static const std::array<double, kinds> table = [] {
        std::array<double, kinds> logs{};
        for (unsigned i = 1; i < kinds; ++i) logs[i] = std::log2(static_cast<double>(i));
        return logs;
    }();
    return table[k];
}

// The binade [2^e, 2^(e+1)) of a positive normal double, and a power of two.
int binade_of(double x) {
    return static_cast<int>(std::bit_cast<std::uint64_t>(x) >> 52 & 0x7FF) - 1023;
}
double power_of_two(int e) {
    return std::bit_cast<double>(static_cast<std::uint64_t>(e + 1023) << 52);
}

// A term's step in units of the spacing (q >= 0), rounded to nearest, ties down: the least it
// may be, whichever way the running sum breaks a tie.
double least_step(double q) {
    const double half_below = std::min(q, 0x1p52) - 0.5;
    auto whole = static_cast<std::int64_t>(half_below);
    whole += static_cast<double>(whole) < half_below;
    return static_cast<double>(whole);
}

// The brackets of the kinds a floor climbs with, in the binades where each kind's own ratio
// counts: `n` of them, padded to a multiple of two by repeating the last one.
struct Brackets {
    std::array<double, kinds + 1> low, high;
    std::size_t n = 0;
    double least = std::numeric_limits<double>::infinity();  // the least of `low`

    // Those of the kinds in `present`, and their real sum with counts[kind] terms of each kind,
    // added in ascending order of kind: kept in registers while they are summed.
    template <class Count>
    double fill(const std::array<Count, 16>& counts, const TermBrackets& terms, unsigned present) {
        double real = 0.0, lowest = least;
        std::size_t i = n;
        for (unsigned bits = present; bits != 0; bits &= bits - 1) {
            const auto k = static_cast<unsigned>(std::countr_zero(bits));
            const double term = terms.low[k];
            low[i] = term;
            high[i] = terms.high[k];
            lowest = std::min(lowest, term);
            real += static_cast<double>(counts[k]) * term;
            ++i;
        }
        n = i;
        least = lowest;
        return real;
    }
    void pad() {
        for (; n % 2 != 0; ++n) {
            low[n] = low[n - 1];
            high[n] = high[n - 1];
        }
    }
};

// ceil(v) for 0 < v < 2^52: v + 2^52 - 2^52 is v rounded to the nearest integer, one more when
// that lies below v. The least step is that of q - 1/2 (ties down), with q below 2^31 wherever a
// floor asks (it climbs only binades at or above a few below its least term), capped all the same.
#if defined(__SSE2__)
[[gnu::always_inline]] inline double narrow_ratio(const Brackets& kinds, double per_unit) {
    const __m128d scale = _mm_set1_pd(per_unit);
    const __m128d cap = _mm_set1_pd(0x1p52);
    const __m128d half = _mm_set1_pd(0.5);
    const __m128d one = _mm_set1_pd(1.0);
    __m128d ratio = one;
    for (std::size_t i = 0; i < kinds.n; i += 2) {
        const __m128d q = _mm_mul_pd(_mm_loadu_pd(kinds.low.data() + i), scale);
        const __m128d below = _mm_sub_pd(_mm_min_pd(q, cap), half);
        const __m128d nearest = _mm_sub_pd(_mm_add_pd(below, cap), cap);
        const __m128d step = _mm_add_pd(nearest, _mm_and_pd(_mm_cmplt_pd(nearest, below), one));
        ratio = _mm_max_pd(
            ratio, _mm_div_pd(_mm_mul_pd(_mm_loadu_pd(kinds.high.data() + i), scale), step));
    }
    return std::max(_mm_cvtsd_f64(ratio), _mm_cvtsd_f64(_mm_unpackhi_pd(ratio, ratio)));
}
#else
double narrow_ratio(const Brackets& kinds, double per_unit) {
    double ratio = 1.0;
    for (std::size_t i = 0; i < kinds.n; ++i)
        ratio = std::max(ratio, kinds.high[i] * per_unit / least_step(kinds.low[i] * per_unit));
    return ratio;
}
#endif

#if defined(__GNUC__) && defined(__x86_64__)
#define LINDORF_WIDE_RATIOS 1
// Kinds four at a time where the processor has the instructions: the loops over all sixteen
// unrolled, each a few instructions a pass.

// The lanes of four kinds' bits, as masks.
alignas(32) const std::array<std::array<std::int64_t, 4>, 16> lane_masks = [] {
    std::array<std::array<std::int64_t, 4>, 16> masks{};
    for (unsigned bits = 0; bits < 16; ++bits)
        for (unsigned lane = 0; lane < 4; ++lane) masks[bits][lane] = (bits >> lane & 1) ? -1 : 0;
    return masks;
}();

[[gnu::target("avx")]] inline __m256d lanes_of(unsigned bits) {
    return _mm256_load_pd(reinterpret_cast<const double*>(lane_masks[bits & 15].data()));
}

// Four kinds' counts from kind i on, exactly. Unsigned 32-bit counts are shifted by 2^31 into
// the signed range and back; 64-bit ones below 2^52 (as wide_totals checks) or'd into the bits of
// 2^52 make 2^52 plus the count.
[[gnu::target("avx")]] inline __m256d counts_at(const std::array<std::uint32_t, kinds>& counts,
                                                unsigned i) {
    const __m128i flip = _mm_set1_epi32(static_cast<int>(0x80000000u));
    const __m128i c =
        _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(counts.data() + i)), flip);
    return _mm256_add_pd(_mm256_cvtepi32_pd(c), _mm256_set1_pd(0x1p31));
}
[[gnu::target("avx")]] inline __m256d counts_at(const std::array<std::uint64_t, kinds>& counts,
                                                unsigned i) {
    const __m256d bits = _mm256_castsi256_pd(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(counts.data() + i)));
    const __m256d magic = _mm256_set1_pd(0x1p52);
    return _mm256_sub_pd(_mm256_or_pd(bits, magic), magic);
}

[[gnu::target("avx")]] inline double least_lane(__m256d v) {
    const __m128d pair = _mm_min_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return std::min(_mm_cvtsd_f64(pair), _mm_cvtsd_f64(_mm_unpackhi_pd(pair, pair)));
}

// What a floor takes from the counts of the kinds of `present` with a non-zero count, `held`, as
// Brackets::fill and a loop over them would: the real sum of their low brackets (the products of
// other kinds masked to +0, which leaves the sum as it is, added lane by lane in ascending order
// of kind, the order of the loop) and the least of those brackets. `exact` is false where a
// 64-bit count of a kind of `present` reaches 2^52, which only the loop converts (the counts of
// other kinds, kind 0's too, may hold anything).
struct KindTotals {
    double real = 0.0;
    double least = std::numeric_limits<double>::infinity();
    unsigned held = 0;
    bool exact = true;
};

template <class Count>
[[gnu::target("avx")]] inline KindTotals wide_totals(const std::array<Count, kinds>& counts,
                                                     const TermBrackets& terms, unsigned present) {
    const __m256d infinity = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    const __m256d zero = _mm256_setzero_pd();
    __m256d least = infinity, any = zero;
    KindTotals totals;
    std::array<double, 4> products;  // unaligned: a frame aligned to 32 costs every call
#pragma GCC unroll 4
    for (unsigned i = 0; i < kinds; i += 4) {
        const __m256d listed = lanes_of(present >> i);
        const __m256d count = counts_at(counts, i);
        const __m256d low = _mm256_load_pd(terms.low.data() + i);
        if constexpr (sizeof(Count) == 8)
            any = _mm256_or_pd(
                any,
                _mm256_and_pd(listed, _mm256_castsi256_pd(_mm256_loadu_si256(
                                          reinterpret_cast<const __m256i*>(counts.data() + i)))));
        const __m256d on = _mm256_and_pd(listed, _mm256_cmp_pd(count, zero, _CMP_NEQ_OQ));
        totals.held |= static_cast<unsigned>(_mm256_movemask_pd(on)) << i;
        // Masked by bits: GCC may turn a blend by a mask from memory into a branch a lane.
        least = _mm256_min_pd(least,
                              _mm256_or_pd(_mm256_and_pd(on, low), _mm256_andnot_pd(on, infinity)));
        _mm256_storeu_pd(products.data(), _mm256_and_pd(_mm256_mul_pd(count, low), on));
        for (double product : products) totals.real += product;
    }
    if constexpr (sizeof(Count) == 8) {
        const __m128d pair = _mm_or_pd(_mm256_castpd256_pd128(any), _mm256_extractf128_pd(any, 1));
        const auto bits = static_cast<std::uint64_t>(
            _mm_cvtsi128_si64(_mm_castpd_si128(_mm_or_pd(pair, _mm_unpackhi_pd(pair, pair)))));
        totals.exact = bits >> 52 == 0;
    }
    totals.least = least_lane(least);
    return totals;
}

// The largest ratios of the kinds of `present` in the four binades from `first`, kind by kind
// (largest_ratios' below, for count 1 to 4, writing all four): each the same one division of the
// same numbers as narrow_ratio's, with the ceiling in one instruction, so the largest is the same
// bit for bit. In a binade where the least term's q is at most 1/2 its step is 0 (and so may be
// other kinds', which leave infinities there), and the ratio is 0 by convention; where it is not,
// no kind's step is 0.
[[gnu::target("avx"), gnu::always_inline]] inline void wide_ratios(const TermBrackets& terms,
                                                                   unsigned present, double least,
                                                                   int first, double* ratios) {
    const double top = power_of_two(23 - first);
    const __m256d scale = _mm256_set_pd(top / 8, top / 4, top / 2, top);
    const __m256d cap = _mm256_set1_pd(0x1p52);
    const __m256d half = _mm256_set1_pd(0.5);
    __m256d ratio = _mm256_set1_pd(1.0);
    for (unsigned bits = present; bits != 0; bits &= bits - 1) {
        const auto k = static_cast<unsigned>(std::countr_zero(bits));
        const __m256d q = _mm256_mul_pd(_mm256_set1_pd(terms.low[k]), scale);
        const __m256d step = _mm256_round_pd(_mm256_sub_pd(_mm256_min_pd(q, cap), half),
                                             _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC);
        const __m256d high = _mm256_mul_pd(_mm256_set1_pd(terms.high[k]), scale);
        ratio = _mm256_max_pd(ratio, _mm256_div_pd(high, step));
    }
    const __m256d none =
        _mm256_cmp_pd(_mm256_mul_pd(_mm256_set1_pd(least), scale), half, _CMP_LE_OQ);
    _mm256_storeu_pd(ratios, _mm256_andnot_pd(none, ratio));
}

const bool has_wide = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx") != 0;
}();
#endif

bool wide_by_default() {
#if defined(LINDORF_WIDE_RATIOS)
    return has_wide;
#else
    return false;
#endif
}

// The largest ratio of a term to its least step over `kinds`, at least 1, in each of `count`
// binades from `first`; 0 where a term may add nothing (the least step of the least term, and so
// of some term, is 0: its q is at most 1/2). Every floor works this out for each kind in each of
// its last binades, in one call.
static_assert(exact_binades + 1 <= 4, "the count floor's ratios come in one call of up to four");
void largest_ratios(const Brackets& kinds, int first, int count, double* ratios) {
    for (int b = 0; b < count; ++b) {
        const double per_unit = power_of_two(23 - first - b);
        ratios[b] = kinds.least * per_unit <= 0.5 ? 0.0 : narrow_ratio(kinds, per_unit);
    }
}

// Climbs from `at`, a power of two or a float of binade e that the sum reaches, by `real`, what
// is still to add (less its error): within a binade the float sum gains at least the distance
// climbed over ratio_of(e), the largest ratio of a term to its step there (0 when some term may
// add nothing, which leaves the sum where it stands), and the term that leaves a binade errs by at
// most that binade's spacing. Returns a number at or below the float sum.
template <class RatioOf>
[[gnu::always_inline]] inline double climb(double at, double real, int e, RatioOf ratio_of) {
    while (true) {
        double ratio = ratio_of(e);
        if (ratio == 0.0) return at;
        ratio *= 1.0 + tiny;
        const double top = power_of_two(e + 1);
        const double room = (top - at) * ratio;
        if (real <= room) return (at + real / ratio) * (1.0 - tiny);
        real -= room * (1.0 + tiny) + power_of_two(e - 23);
        at = top;
        ++e;
    }
}

// The least float at or above x >= 0: where a sum known to be at or above x is. A float at or
// above +0 that rounded down steps up by one unit of its last place, +0 to the least subnormal:
// what nextafter does, without a call for every other floor.
float float_at_or_above(double x) {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) < x) f = std::bit_cast<float>(std::bit_cast<std::uint32_t>(f) + 1);
    return f;
}

// The least steps of every kind in one binade, in units of its spacing: the same as each ratio
// takes (least_step, with no cap below 2^52).
struct BinadeSteps {
    alignas(32) std::array<double, kinds> step;
    int binade = std::numeric_limits<int>::min();  // none yet
    unsigned zero = 0;                             // the kinds whose step is 0 (bit by kind)
};

void narrow_steps(const TermBrackets& terms, int e, BinadeSteps& steps) {
    const double per_unit = power_of_two(23 - e);
    steps.binade = e;
    steps.zero = 0;
    for (unsigned k = 0; k < kinds; ++k) {
        steps.step[k] = least_step(terms.low[k] * per_unit);
        steps.zero |= static_cast<unsigned>(steps.step[k] == 0.0) << k;
    }
}

// Of a stretch, its terms' least steps in all: exact in double wherever it is at most 2^53, and
// at least that otherwise, which no binade has room for.
double narrow_weight(const std::array<std::uint32_t, kinds>& counts, const BinadeSteps& steps,
                     unsigned present) {
    double weight = 0.0;
    for (unsigned bits = present; bits != 0; bits &= bits - 1) {
        const auto k = static_cast<unsigned>(std::countr_zero(bits));
        weight += static_cast<double>(counts[k]) * steps.step[k];
    }
    return weight;
}

// largest_ratios' ratio over the kinds of `held` (bit by kind) in the binade of `steps`.
double narrow_held_ratio(const TermBrackets& terms, const BinadeSteps& steps, unsigned held) {
    if ((held & steps.zero) != 0) return 0.0;
    const double per_unit = power_of_two(23 - steps.binade);
    double ratio = 1.0;
    for (unsigned bits = held; bits != 0; bits &= bits - 1) {
        const auto k = static_cast<unsigned>(std::countr_zero(bits));
        ratio = std::max(ratio, terms.high[k] * per_unit / steps.step[k]);
    }
    return ratio;
}

#if defined(LINDORF_WIDE_RATIOS)
// The same, four kinds at a time: the same roundings of the same numbers.
[[gnu::target("avx")]] void wide_steps(const TermBrackets& terms, int e, BinadeSteps& steps) {
    const __m256d scale = _mm256_set1_pd(power_of_two(23 - e));
    const __m256d cap = _mm256_set1_pd(0x1p52);
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d zero = _mm256_setzero_pd();
    steps.binade = e;
    unsigned none = 0;
#pragma GCC unroll 4
    for (unsigned i = 0; i < kinds; i += 4) {
        const __m256d q = _mm256_mul_pd(_mm256_load_pd(terms.low.data() + i), scale);
        // -0 where q is below 1/2: as 0, in a product and in the test.
        const __m256d step = _mm256_round_pd(_mm256_sub_pd(_mm256_min_pd(q, cap), half),
                                             _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC);
        _mm256_store_pd(steps.step.data() + i, step);
        none |= static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(step, zero, _CMP_EQ_OQ)))
                << i;
    }
    steps.zero = none;
}

// Every lane: a kind absent from the side counts 0 in each stretch, and kind 0 (whatever its
// count) has a step of 0. Counts as counts_at takes them.
[[gnu::target("avx")]] double wide_weight(const std::array<std::uint32_t, kinds>& counts,
                                          const BinadeSteps& steps) {
    __m256d sum = _mm256_setzero_pd();
#pragma GCC unroll 4
    for (unsigned i = 0; i < kinds; i += 4) {
        const __m256d count = counts_at(counts, i);
        sum = _mm256_add_pd(sum, _mm256_mul_pd(count, _mm256_load_pd(steps.step.data() + i)));
    }
    const __m128d pair = _mm_add_pd(_mm256_castpd256_pd128(sum), _mm256_extractf128_pd(sum, 1));
    return _mm_cvtsd_f64(_mm_add_sd(pair, _mm_unpackhi_pd(pair, pair)));
}

[[gnu::target("avx")]] double wide_held_ratio(const TermBrackets& terms, const BinadeSteps& steps,
                                              unsigned held) {
    if ((held & steps.zero) != 0) return 0.0;
    const __m256d scale = _mm256_set1_pd(power_of_two(23 - steps.binade));
    const __m256d one = _mm256_set1_pd(1.0);
    __m256d ratio = one;
#pragma GCC unroll 4
    for (unsigned i = 0; i < kinds; i += 4) {
        const unsigned bits = held >> i & 15;
        if (bits == 0) continue;
        const __m256d high = _mm256_mul_pd(_mm256_load_pd(terms.high.data() + i), scale);
        const __m256d each = _mm256_div_pd(high, _mm256_load_pd(steps.step.data() + i));
        const __m256d on = lanes_of(bits);  // by bits, as wide_totals masks
        ratio =
            _mm256_max_pd(ratio, _mm256_or_pd(_mm256_and_pd(on, each), _mm256_andnot_pd(on, one)));
    }
    const __m128d pair = _mm_max_pd(_mm256_castpd256_pd128(ratio), _mm256_extractf128_pd(ratio, 1));
    return std::max(_mm_cvtsd_f64(pair), _mm_cvtsd_f64(_mm_unpackhi_pd(pair, pair)));
}
#endif

#if defined(LINDORF_WIDE_RATIOS)
// Kinds and their logarithms as doubles, four lanes at a time.
struct KindLogs {
    alignas(32) std::array<double, kinds> kind, log;
};
const KindLogs kind_logs = [] {
    KindLogs logs{};
    for (unsigned k = 0; k < kinds; ++k) {
        logs.kind[k] = k;
        logs.log[k] = log2_of_kind(k);
    }
    return logs;
}();

// TermBrackets::set's brackets, four kinds at a time: the same operations in the same order.
[[gnu::target("avx")]] void wide_brackets(TermBrackets& terms, double log_size, double per_size) {
    const __m256d of_size = _mm256_set1_pd(per_size);
    const __m256d logs = _mm256_set1_pd(log_size);
    const __m256d below = _mm256_set1_pd(1.0 - 24.0 * 0x1p-24);
    const __m256d above = _mm256_set1_pd(1.0 + 24.0 * 0x1p-24);
#pragma GCC unroll 4
    for (unsigned i = 0; i < kinds; i += 4) {
        const __m256d t =
            _mm256_mul_pd(_mm256_mul_pd(_mm256_load_pd(kind_logs.kind.data() + i), of_size),
                          _mm256_sub_pd(logs, _mm256_load_pd(kind_logs.log.data() + i)));
        _mm256_store_pd(terms.low.data() + i, _mm256_mul_pd(t, below));
        _mm256_store_pd(terms.high.data() + i, _mm256_mul_pd(t, above));
    }
}
#endif

#if !defined(LINDORF_WIDE_RATIOS)
// Named for the wide stretch floor, which is never taken here.
void wide_steps(const TermBrackets& terms, int e, BinadeSteps& steps) {
    narrow_steps(terms, e, steps);
}
double wide_weight(const std::array<std::uint32_t, kinds>& counts, const BinadeSteps& steps) {
    return narrow_weight(counts, steps, 0xFFFEu);  // every kind but 0, as the wide one takes them
}
double wide_held_ratio(const TermBrackets& terms, const BinadeSteps& steps, unsigned held) {
    return narrow_held_ratio(terms, steps, held);
}
#endif

// (4^b - 1) / 3 * 2^-24 for the binades low_binades_climb takes at once, as it would work it out.
const std::array<double, 49> low_excess = [] {
    std::array<double, 49> excess{};
    for (int b = 1; b <= 48; ++b) excess[b] = (power_of_two(2 * b) - 1.0) / 3.0 * 0x1p-24;
    return excess;
}();

// With t = m x (x = 2^e, 1 <= m < 2), the binade j above x (spacing 2^(j-23) x) has s >= q - 1/2,
// q = m 2^(23-j), so it consumes at most x 2^j (1 + 2^-23) + x 2^(2j-24) / (m - 2^(j-24)); over
// J binades, taking every denominator at the last one's, x (2^J - 1) (1 + 2^-23) +
// x 2^-24 (4^J - 1) / 3 / (m - 2^(J-25)). Only where the last binade's q is at least 4: the
// excess over 1 is then a small share of the climb, and the uniform denominator costs little of
// it.
[[gnu::always_inline]] inline double low_climb(double least, int binades) {
    if (binades <= 0 || binades > 48) return std::numeric_limits<double>::infinity();
    const int e = binade_of(least);
    const double x = power_of_two(e);
    const double m = least * power_of_two(-e);  // least / x, exactly, without a division
    if (!(m >= power_of_two(binades - 22))) return std::numeric_limits<double>::infinity();
    const double whole = power_of_two(binades) - 1.0;
    const double excess =
        low_excess[static_cast<std::size_t>(binades)] / (m - power_of_two(binades - 25));
    // The few roundings of these lines, each within 2^-53, are far below the margin.
    return x * (whole * (1.0 + 0x1p-23) + excess) * (1.0 + 0x1p-40);
}

}  // namespace

double detail::low_binades_climb(double least, int binades) {
    return low_climb(least, binades);
}

// Each kind's float term is bracketed: k/size * log2(size/k) in double is within 24u of it (p
// rounds once, log2 of a p at most 15/32 moves by less than 1.4u for it, log2f adds an ulp, the
// product rounds once: about 5u).
void TermBrackets::set(float new_size) {
    if (new_size == size) return;
    size = new_size;
    const double log_size = std::log2(static_cast<double>(size));
    const double per_size = 1.0 / static_cast<double>(size);
#if defined(LINDORF_WIDE_RATIOS)
    if (has_wide) return wide_brackets(*this, log_size, per_size);
#endif
    for (unsigned k = 0; k < kinds; ++k) {
        const double t = k * per_size * (log_size - log2_of_kind(k));
        low[k] = t * (1.0 - 24.0 * 0x1p-24);
        high[k] = t * (1.0 + 24.0 * 0x1p-24);
    }
}

namespace {

// The first term lands exactly, at or above the power of two below the least term; a term that
// leaves a binade errs by at most that binade's spacing, charged once per binade left; ratios
// are kept at or above 1, so that the leaving term's distance counts. Climbed in two parts, so
// that a floor works out the ratios of its last binades in between, in its own instructions.

// Where the climb stands once the first term and the low binades are climbed, from the real sum
// of the terms' low brackets and the least of them: `at`, with `real` still to add, and the last
// binades from `last` on to climb with each kind's own ratio; or, where it is `done`, the floor.
struct CountClimb {
    double at = 0.0, real = 0.0;
    int last = 0;
    bool done = true;
    float floor = 0.0f;
};

[[gnu::always_inline]] inline CountClimb climb_low(double real, double least_term) {
    CountClimb climbed;
    if (!(real > 0.0)) return climbed;
    real *= 1.0 - tiny;
    climbed.last = binade_of(real) - exact_binades;
    double x = power_of_two(binade_of(least_term));
    if (real <= x) {
        climbed.floor = static_cast<float>(x);
        return climbed;
    }
    real -= x;
    const double below = low_climb(least_term, climbed.last - binade_of(x));
    if (below < real) {
        real -= below;
        x = power_of_two(climbed.last);
    }
    climbed.at = x;
    climbed.real = real;
    climbed.done = false;
    return climbed;
}

constexpr int top_binades = exact_binades + 1;

// The rest, with the largest ratios of the kinds in the binades from `last` on (largest_ratios),
// and `beyond(e)` that of a binade above them. The floor stays below the real sum, under
// 2^(last + exact_binades + 1): the climb ends by binade last + exact_binades, and `beyond` is
// there for the rounding of the real sum alone.
template <class Beyond>
[[gnu::always_inline]] inline float climb_top(const CountClimb& climbed, double least_term,
                                              const std::array<double, 4>& top_ratios,
                                              Beyond beyond) {
    return float_at_or_above(climb(climbed.at, climbed.real, binade_of(climbed.at), [&](int e) {
        if (e >= climbed.last) {
            const auto b = static_cast<std::size_t>(e - climbed.last);
            return b < top_binades ? top_ratios[b] : beyond(e);
        }
        const double per_unit = power_of_two(23 - e);
        const double step = least_step(least_term * per_unit);
        return step == 0.0 ? 0.0 : 1.0 + 0.5 / step;
    }));
}

template <class Count>
float narrow_count_floor(const std::array<Count, kinds>& counts, const TermBrackets& terms,
                         unsigned present) {
    unsigned held = 0;
    for (unsigned bits = present; bits != 0; bits &= bits - 1) {
        const auto k = static_cast<unsigned>(std::countr_zero(bits));
        held |= static_cast<unsigned>(counts[k] != 0) << k;
    }
    Brackets brackets;
    const double real = brackets.fill(counts, terms, held);
    if (brackets.n == 0) return 0.0f;
    brackets.pad();
    const CountClimb climbed = climb_low(real, brackets.least);
    if (climbed.done) return climbed.floor;
    std::array<double, 4> top_ratios;
    largest_ratios(brackets, climbed.last, top_binades, top_ratios.data());
    return climb_top(climbed, brackets.least, top_ratios, [&](int e) {
        double ratio;
        largest_ratios(brackets, e, 1, &ratio);
        return ratio;
    });
}

#if defined(LINDORF_WIDE_RATIOS)
[[gnu::target("avx")]] double wide_ratio_at(const TermBrackets& terms, unsigned present,
                                            double least, int binade) {
    std::array<double, 4> ratios;
    wide_ratios(terms, present, least, binade, ratios.data());
    return ratios[0];
}

// The same with the counts taken four kinds at a time and each kind's ratios in four binades at
// once, straight from the brackets by size: no copy of the kinds' brackets in between.
template <class Count>
[[gnu::target("avx")]] float wide_count_floor(const std::array<Count, kinds>& counts,
                                              const TermBrackets& terms, unsigned present) {
    const KindTotals totals = wide_totals(counts, terms, present);
    if (!totals.exact) return narrow_count_floor(counts, terms, present);
    if (totals.held == 0) return 0.0f;
    const CountClimb climbed = climb_low(totals.real, totals.least);
    if (climbed.done) return climbed.floor;
    std::array<double, 4> top_ratios;
    wide_ratios(terms, totals.held, totals.least, climbed.last, top_ratios.data());
    return climb_top(climbed, totals.least, top_ratios,
                     [&](int e) { return wide_ratio_at(terms, totals.held, totals.least, e); });
}
#endif

// `present` holds every kind with a non-zero count, and may hold others.
template <class Count>
float count_floor(const std::array<Count, kinds>& counts, const TermBrackets& terms,
                  unsigned present, bool wide) {
#if defined(LINDORF_WIDE_RATIOS)
    if (wide) return wide_count_floor(counts, terms, present);
#else
    (void)wide;
#endif
    return narrow_count_floor(counts, terms, present);
}

}  // namespace

KindBits kind_bits(std::span<const unsigned> kinds) {
    KindBits out;
    for (unsigned k : kinds) out.bits |= 1u << k;
    return out;
}

float detail::least_sum_of_counts(const std::array<std::uint64_t, 16>& counts,
                                  const TermBrackets& terms, KindBits present, bool wide) {
    return count_floor(counts, terms, present.bits, wide);
}

namespace {

// Float addition is monotone in the running sum, so a float at or below the sum after some
// stretches bounds what the rest adds to it. Within the binade of that float (spacing U) each
// term adds at least its least step, while the sum stays there, and once it leaves, at least the
// top: a stretch whose least steps keep it at or below the top adds at least their total. One
// that would cross climbs as least_sum_of_counts does, from that float, with each kind's ratio.
// A binade's steps serve every stretch that starts in it, and the climb that leaves it.
// Inlined whole into each way of working the steps out, so that the wide one's instructions
// inline with it.
template <bool Wide>
[[gnu::always_inline]] inline float stretch_floor(
    std::span<const std::array<std::uint32_t, 16>> stretches, const TermBrackets& terms,
    unsigned on_side) {
    float x = 0.0f;
    BinadeSteps steps;
    for (const std::array<std::uint32_t, 16>& counts : stretches) {
        if (x == 0.0f) {
            x = count_floor(counts, terms, on_side, Wide);  // 0 while the stretches hold none
            continue;
        }
        const int e = binade_of(x);
        // A step of the whole binade or more leaves it alone: as many units count as much.
        if (e != steps.binade) {
            if constexpr (Wide)
                wide_steps(terms, e, steps);
            else
                narrow_steps(terms, e, steps);
        }
        if ((steps.zero & on_side) != 0) continue;  // the sum stays at least where it is
        double weight;
        if constexpr (Wide)
            weight = wide_weight(counts, steps);
        else
            weight = narrow_weight(counts, steps, on_side);
        const double spacing = power_of_two(e - 23);
        const double at = static_cast<double>(x);
        if (at + weight * spacing <= power_of_two(e + 1)) {
            // A whole number of units within the binade: exact.
            x = static_cast<float>(at + weight * spacing);
            continue;
        }
        double real = 0.0;
        unsigned held = 0;  // the kinds the stretch holds
#if defined(LINDORF_WIDE_RATIOS)
        if constexpr (Wide) {
            const KindTotals totals = wide_totals(counts, terms, on_side);
            real = totals.real;
            held = totals.held;
        } else
#endif
        {
            for (unsigned bits = on_side; bits != 0; bits &= bits - 1) {
                const auto k = static_cast<unsigned>(std::countr_zero(bits));
                real += static_cast<double>(counts[k]) * terms.low[k];
                held |= static_cast<unsigned>(counts[k] != 0) << k;
            }
        }
        real *= 1.0 - tiny;
        const float f =
            float_at_or_above(climb(at, real, e, [&](int binade) __attribute__((always_inline)) {
                if constexpr (Wide) {
                    if (binade != steps.binade) wide_steps(terms, binade, steps);
                    return wide_held_ratio(terms, steps, held);
                } else {
                    if (binade != steps.binade) narrow_steps(terms, binade, steps);
                    return narrow_held_ratio(terms, steps, held);
                }
            }));
        x = std::max(x, f);
    }
    return x;
}

float narrow_stretch_floor(std::span<const std::array<std::uint32_t, 16>> stretches,
                           const TermBrackets& terms, unsigned present) {
    return stretch_floor<false>(stretches, terms, present);
}

#if defined(LINDORF_WIDE_RATIOS)
[[gnu::target("avx")]] float wide_stretch_floor(
    std::span<const std::array<std::uint32_t, 16>> stretches, const TermBrackets& terms,
    unsigned present) {
    return stretch_floor<true>(stretches, terms, present);
}
#endif

}  // namespace

float detail::least_sum_of_stretches(std::span<const std::array<std::uint32_t, 16>> stretches,
                                     const TermBrackets& terms, KindBits present, bool wide) {
#if defined(LINDORF_WIDE_RATIOS)
    if (wide) return wide_stretch_floor(stretches, terms, present.bits);
#else
    (void)wide;
#endif
    return narrow_stretch_floor(stretches, terms, present.bits);
}

float least_sum_of_counts(const std::array<std::uint64_t, 16>& counts, const TermBrackets& terms,
                          KindBits present) {
    return detail::least_sum_of_counts(counts, terms, present, wide_by_default());
}

float least_sum_of_counts(const std::array<std::uint64_t, 16>& counts, float size,
                          std::span<const unsigned> present) {
    TermBrackets terms;
    terms.set(size);
    return least_sum_of_counts(counts, terms, kind_bits(present));
}

float least_sum_of_stretches(std::span<const std::array<std::uint32_t, 16>> stretches,
                             const TermBrackets& terms, KindBits present) {
    return detail::least_sum_of_stretches(stretches, terms, present, wide_by_default());
}

float least_sum_of_stretches(std::span<const std::array<std::uint32_t, 16>> stretches, float size,
                             std::span<const unsigned> present) {
    TermBrackets terms;
    terms.set(size);
    return least_sum_of_stretches(stretches, terms, kind_bits(present));
}

}  // namespace lindorf
