#include "criteria/ordered_sum.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>

#include "criteria/climb_bound.hpp"
#include "criteria/criteria.hpp"

namespace lindorf {

namespace {

constexpr double u = 0x1p-24;
constexpr unsigned hint_steps = 48;  // moves a hint may take before the blocks are asked instead
// Binades where runs would hold fewer terms than this, on average, are added one term at a time.
constexpr std::uint32_t min_run = 64;

// The binade of a positive normal float, and the power of two that scales it to [2^23, 2^24).
int exponent_of(float a) {
    return static_cast<int>(std::bit_cast<std::uint32_t>(a) >> 23) - 127;
}
float scale_of(int exponent) {
    return std::bit_cast<float>(static_cast<std::uint32_t>(127 + 23 - exponent) << 23);
}

double log2_of_kind(unsigned k) {
    static const std::array<double, OrderedSum::kinds> table = [] {
        std::array<double, OrderedSum::kinds> logs{};
        for (unsigned i = 1; i < OrderedSum::kinds; ++i)
            logs[i] = std::log2(static_cast<double>(i));
        return logs;
    }();
    return table[k];
}

}  // namespace

// The magnitudes of the terms of one sum: exact ones (detail::plogp_term) as they are needed,
// and a real-valued approximation within 12u of them. For p = k/size <= 1/2 the float term errs
// from the real one by at most about 10u: 2u from p, 2.9u from log2 of the shifted p (|log2 p| >=
// 1), 4u from log2f (2 ulp) and 1u from the product.
class OrderedSum::Terms {
  public:
    explicit Terms(float size) : size_(size), log_size_(std::log2(static_cast<double>(size))) {}

    float exact(unsigned k) {
        if ((known_ >> k & 1) == 0) {
            exact_[k] = -detail::plogp_term(k, size_);
            known_ |= 1u << k;
        }
        return exact_[k];
    }
    // Asked for in every binade: worked out once per kind.
    double approx(unsigned k) {
        if ((approx_known_ >> k & 1) == 0) {
            approx_[k] =
                static_cast<double>(k) / static_cast<double>(size_) * (log_size_ - log2_of_kind(k));
            approx_known_ |= 1u << k;
        }
        return approx_[k];
    }
    float size() const { return size_; }

    // A term's step in units of 1/scale: its magnitude rounded to a whole number of units, room
    // + 1 when it does not fit in the room, room + 2 when it sits exactly halfway.
    std::uint32_t step(unsigned k, float scale, std::uint32_t room) {
        const double x = approx(k) * scale;
        const double half = std::floor(x) + 0.5;
        double rounded = x < half ? half - 0.5 : half + 0.5;
        if (std::abs(x - half) <= 12.0 * u * x + 1e-9) {
            // Too close to halfway for the approximation to tell: ask the exact term.
            const float exact_x = exact(k) * scale;
            const float whole = std::floor(exact_x);
            if (exact_x - whole == 0.5f) return room + 2;
            rounded = exact_x - whole < 0.5f ? whole : whole + 1.0f;
        }
        return rounded > room ? room + 1 : static_cast<std::uint32_t>(rounded);
    }

    // How far the size may move before the step of kind k (not halfway) could change: within a
    // quarter of the size the approximation moves by at most 2 x / size per unit of size. With
    // g(m) = (k/m) log2(m/k) and L = log2(m/k), |g'(m)| = (k/m^2) |L - 1/ln 2|; k/size <= 15/32
    // puts L at 1.09 or more at the size, and L moves by at most 0.42 within the quarter, so
    // |L - 1/ln 2| stays below the L of the size and (size/m)^2 below 16/9: |g'| < 16/9 g/size.
    float reach(unsigned k, float scale, std::uint32_t step) {
        const double x = approx(k) * scale;
        const double slack = 0.5 - std::abs(x - step) - (30.0 * u * x + 2e-9);
        if (!(slack > 0.0)) return 0.0f;
        const double reach = slack * static_cast<double>(size_) / (2.0 * 1.01 * x);
        return static_cast<float>(std::min(reach, static_cast<double>(size_) / 4.0));
    }

  private:
    float size_;
    double log_size_;
    std::uint32_t known_ = 0;
    std::uint32_t approx_known_ = 0;
    std::array<float, OrderedSum::kinds> exact_{};
    std::array<double, OrderedSum::kinds> approx_{};
};

void OrderedSum::assign(std::span<const std::uint8_t> kinds_by_position) {
    index_.assign(kinds_by_position);
    for (Track* track : {&exact_, &ceiling_}) track->hints.clear();
}

void OrderedSum::set(std::size_t position, unsigned kind) {
    const unsigned old = index_.set(position, kind);
    if (old == kind) return;
    for (Track* track : {&exact_, &ceiling_}) note_kind(*track, position, old, kind);
}

// The run that holds the position, if any, keeps its counts; its weight stays right while every
// kind in it has a known step.
void OrderedSum::note_kind(Track& track, std::size_t position, unsigned old, unsigned kind) {
    auto after = std::partition_point(track.hints.begin(), track.hints.end(), [&](const Run& run) {
        return run.start < static_cast<std::int64_t>(position);
    });
    if (after == track.hints.begin()) return;
    Run& run = *(after - 1);
    if (static_cast<std::int64_t>(position) > run.last) return;
    if (old != 0) {
        --run.counts[old];
        run.weight -= run.steps[old];
    }
    if (kind != 0) {
        ++run.counts[kind];
        run.weight += run.steps[kind];
        if ((run.known >> kind & 1) == 0) run.reach = 0.0f;
    }
}

float OrderedSum::sum_one_by_one(float size) const {
    float sum = 0.0f;
    for (std::int64_t p = index_.next(-1); p >= 0; p = index_.next(p))
        sum += detail::plogp_term(index_.kind(static_cast<std::size_t>(p)), size);
    return sum;
}

// Whether a run of the last sum, from the same start, is this sum's run: in the same binade,
// with steps that still hold (or, once the size moved beyond their reach, are worked out again),
// and still the longest that fits.
bool OrderedSum::reusable(Run& run, int exponent, float size, std::uint32_t room, Terms& terms) {
    if (run.exponent != exponent) return false;
    const float scale = scale_of(exponent);
    if (!(std::abs(size - run.size) < run.reach)) {
        run.size = size;
        run.reach = std::numeric_limits<float>::max();
        run.known = 0;
        for (unsigned k : present_) {
            if (run.counts[k] == 0) continue;
            run.known |= 1u << k;
            run.steps[k] = terms.step(k, scale, room);
            if (run.steps[k] > room) return false;
            run.reach = std::min(run.reach, terms.reach(k, scale, run.steps[k]));
        }
        run.weight = weigh(run.counts, run.steps, present_);
    }
    if (run.weight > room) return false;
    const std::int64_t following = index_.next(run.last);
    if (following < 0) return true;
    const unsigned k = index_.kind(static_cast<std::size_t>(following));
    const std::uint64_t step =
        (run.known >> k & 1) != 0 ? run.steps[k] : terms.step(k, scale, room);
    return run.weight + step > room;
}

// The longest run from `start`, or false when terms of kinds that sit halfway are so common that
// runs would be a few terms long: the binade is then best added one term at a time.
bool OrderedSum::fresh_run(Track& track, Run& run, std::int64_t start, int exponent,
                           std::uint32_t room, Terms& terms, std::size_t& cursor) {
    const float scale = scale_of(exponent);
    run = {start, start, {}, {}, 0, exponent, 0, terms.size(), std::numeric_limits<float>::max()};
    std::uint64_t total = 0, halfway = 0;
    for (unsigned k : present_) {
        run.steps[k] = terms.step(k, scale, room);
        total += index_.count(k);
        if (run.steps[k] == room + 2) halfway += index_.count(k);
    }
    if (halfway * min_run > total) return false;
    KindIndex::Stretch stretch;
    if (!run_from_hints(track, stretch, run.steps, room, start, cursor))
        stretch = index_.longest(start, run.steps, room, present_);
    run.last = stretch.last;
    run.counts = stretch.counts;
    run.weight = stretch.weight;
    for (unsigned k : present_) {
        if (run.counts[k] == 0) continue;
        run.known |= 1u << k;
        run.reach = std::min(run.reach, terms.reach(k, scale, run.steps[k]));
    }
    return true;
}

// The longest run after `start`, pieced together from the runs of the last sum: the one that
// holds the position after `start`, moved to begin there, then the runs that follow, whole,
// while they fit, then shortened or lengthened one position at a time. False when that takes
// more than a few moves. What is left of the last run used stands in for it from then on.
bool OrderedSum::run_from_hints(Track& track, KindIndex::Stretch& stretch,
                                const KindIndex::Weights& step, std::uint64_t room,
                                std::int64_t start, std::size_t& cursor) {
    std::vector<Run>& hints = track.hints;
    while (cursor < hints.size() && hints[cursor].last <= start) ++cursor;
    if (cursor == hints.size()) return false;
    unsigned budget = hint_steps;
    const Run& first = hints[cursor];
    KindIndex::Counts counts = first.counts;
    if (start > first.start) {
        for (std::int64_t x = index_.next(first.start); x >= 0 && x <= start; x = index_.next(x)) {
            --counts[index_.kind(static_cast<std::size_t>(x))];
            if (--budget == 0) return false;
        }
    } else {
        for (std::int64_t x = index_.prev(first.start + 1); x > start; x = index_.prev(x)) {
            ++counts[index_.kind(static_cast<std::size_t>(x))];
            if (--budget == 0) return false;
        }
    }
    std::uint64_t weight = weigh(counts, step, present_);
    std::size_t c = cursor;
    while (weight <= room && c + 1 < hints.size()) {
        const Run& following = hints[c + 1];
        KindIndex::Counts more = following.counts;
        for (std::int64_t x = index_.next(hints[c].last); x >= 0 && x <= following.start;
             x = index_.next(x)) {
            ++more[index_.kind(static_cast<std::size_t>(x))];
            if (--budget == 0) return false;
        }
        const std::uint64_t added = weigh(more, step, present_);
        if (weight + added > room) break;
        weight += added;
        for (unsigned k : present_) counts[k] += more[k];
        ++c;
    }
    const std::int64_t end = hints[c].last;
    std::int64_t last =
        std::max(index_.kind(static_cast<std::size_t>(end)) != 0 ? end : index_.prev(end), start);
    KindIndex::Counts returned{};
    while (weight > room) {
        const unsigned k = index_.kind(static_cast<std::size_t>(last));
        weight -= step[k];
        --counts[k];
        ++returned[k];
        last = index_.prev(last);
        if (--budget == 0) return false;
    }
    for (std::int64_t x = index_.next(last);
         x >= 0 && weight + step[index_.kind(static_cast<std::size_t>(x))] <= room;
         x = index_.next(x)) {
        const unsigned k = index_.kind(static_cast<std::size_t>(x));
        weight += step[k];
        ++counts[k];
        last = x;
        if (--budget == 0) return false;
    }
    if (last >= hints[c].start && last < end)
        hints[c] = Run{last, end, returned, {}, 0, 0, 0, 0.0f, 0.0f};
    cursor = c;
    stretch = {last, weight, counts};
    return true;
}

std::uint64_t OrderedSum::list_present() {
    present_.clear();
    std::uint64_t total = 0;
    for (unsigned k = 1; k < kinds; ++k) {
        if (index_.count(k) == 0) continue;
        present_.push_back(k);
        total += index_.count(k);
    }
    return total;
}

float OrderedSum::sum(float size) {
    const std::uint64_t total = list_present();
    if (total == 0) return 0.0f;
    // At least 32 members keep every p at or below 15/32: the terms' approximations hold.
    if (total <= 16 || !(size >= 32.0f && size <= 0x1p32f)) return sum_one_by_one(size);
    Terms terms(size);
    // Rounding to nearest is symmetric: the sum of the magnitudes is the negated sum.
    const std::int64_t p = index_.next(-1);
    return -add_from(exact_, p, terms.exact(index_.kind(static_cast<std::size_t>(p))), size, terms);
}

float OrderedSum::ceiling(float size) {
    const std::uint64_t total = list_present();
    if (total <= 16 || !(size >= 32.0f && size <= 0x1p32f)) return sum(size);
    // The prefix ends at a block boundary, the same for every sum taken from the index, so that
    // the runs after it start where the last ceiling's did; the occupied positions of a side
    // spread over the index, so their terms add up to about that share of the sum.
    const std::size_t end = (index_.size() >> bracketed_binades) & ~std::size_t{63};
    const std::int64_t last = index_.prev(static_cast<std::int64_t>(end));
    if (end == 0 || last < 0) return sum(size);
    Terms terms(size);
    const KindIndex::Counts counts = index_.below(end, present_);
    double real = 0.0;
    std::uint64_t added = 0;
    for (unsigned k : present_) {
        real += static_cast<double>(counts[k]) * terms.exact(k);
        added += counts[k];
    }
    if (added < 2 || static_cast<double>(added) * u >= 0x1p-4) return sum(size);
    // n terms of one sign added in order err by at most gamma(n - 1) times their real sum; the
    // products above are exact in double (counts below 2^29) and their sum errs by far less
    // than the margin.
    const double n = static_cast<double>(added - 1);
    const double least = real - real * (n * u / (1.0 - n * u) + 0x1p-40);
    float low = static_cast<float>(least);
    if (static_cast<double>(low) > least) low = std::nextafter(low, 0.0f);
    return -add_from(ceiling_, last, low, size, terms);
}

float OrderedSum::coarse_ceiling(float size) {
    KindCounts counts{};
    for (unsigned k = 1; k < kinds; ++k) counts[k] = index_.count(k);
    TermBrackets terms;
    float ceiling;
    return coarse_ceiling_of(counts, size, terms, ceiling) ? ceiling : sum(size);
}

namespace {

// The kinds a side holds terms of, and how many terms in all: unrolled, without a branch a kind,
// which sides of a few kinds would take at random.
struct PresentKinds {
    KindBits kinds;
    std::uint64_t total = 0;
};

PresentKinds present_kinds(const OrderedSum::KindCounts& counts) {
    PresentKinds out;
#pragma GCC unroll 15
    for (unsigned k = 1; k < OrderedSum::kinds; ++k) {
        out.kinds.bits |= static_cast<unsigned>(counts[k] != 0) << k;
        out.total += counts[k];
    }
    return out;
}

// As sum() decides: sides of few terms or an odd size it adds one by one, with no ceiling.
bool bounded_by_counts(std::uint64_t total, float size) {
    return total > 16 && size >= 32.0f && size <= 0x1p32f;
}

}  // namespace

bool OrderedSum::coarse_ceiling_of(const KindCounts& counts, float size, TermBrackets& terms,
                                   float& ceiling) {
    if (!bounded_by_counts(present_kinds(counts).total, size)) return false;
    terms.set(size);
    // Every kind: the floor leaves out those of no count as it reads them.
    ceiling = -least_sum_of_counts(counts, terms, KindBits{0xFFFEu});
    return true;
}

bool OrderedSum::stretch_ceiling_of(const KindCounts& counts,
                                    std::span<const std::array<std::uint32_t, kinds>> stretches,
                                    float size, TermBrackets& terms, float& ceiling) {
    const PresentKinds present = present_kinds(counts);
    if (!bounded_by_counts(present.total, size)) return false;
    terms.set(size);
    ceiling = -least_sum_of_stretches(stretches, terms, present.kinds);
    return true;
}

// The magnitudes' sum from a running value `a` that holds every term up to position p.
float OrderedSum::add_from(Track& track, std::int64_t p, float a, float size, Terms& terms) {
    track.runs.clear();
    std::vector<Run>& hints = track.hints;
    std::size_t cursor = 0;  // the first run of the last sum that may still serve
    std::int64_t following = index_.next(p);
    while (following >= 0) {
        // In units of 2^(e-23) the sum is an integer in [2^23, 2^24); it may gain `room` units
        // and stay at least one unit below 2^(e+1).
        const int exponent = exponent_of(a);
        const float scale = scale_of(exponent);
        const auto units = static_cast<std::uint32_t>(a * scale);
        const std::uint32_t room = (1u << 24) - 1 - units;
        const float next_units =
            terms.exact(index_.kind(static_cast<std::size_t>(following))) * scale;
        if (next_units * static_cast<float>(min_run) <= static_cast<float>(room)) {
            while (cursor < hints.size() && hints[cursor].start < p) ++cursor;
            Run run;
            if (cursor < hints.size() && hints[cursor].start == p &&
                reusable(hints[cursor], exponent, size, room, terms))
                run = hints[cursor];
            else if (!fresh_run(track, run, p, exponent, room, terms, cursor))
                run.last = -1;
            if (run.last >= 0) {
                track.runs.push_back(run);
                a = static_cast<float>(units + run.weight) / scale;
                p = run.last;
                following = index_.next(p);
                if (following < 0) break;
            }
        }
        // One term at a time to the end of the binade: the step that leaves it, or all of them
        // where runs would be short.
        do {
            a += terms.exact(index_.kind(static_cast<std::size_t>(following)));
            p = following;
            following = index_.next(p);
        } while (following >= 0 && exponent_of(a) == exponent);
    }
    hints.swap(track.runs);
    return a;
}

}  // namespace lindorf
