#include "splitting/entropy_sweep.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "splitting/side_sums.hpp"

namespace lindorf {

EntropyScreen entropy_screen(const NodeCounts& node, const CountLog& table) {
    EntropyScreen screen;
    for (std::uint32_t c : node.present) {
        if (node.counts[c] == 0) continue;
        if (screen.live < 2) screen.pair[screen.live] = c;
        ++screen.live;
    }
    if (node.total == 0 || node.total >= table.values.size()) return screen;
    for (std::uint32_t c : node.present) screen.node_sum += table.values[node.counts[c]];
    const ProxyBounds bounds =
        proxy_bounds(screen.live, node.total, node.parent_entropy, node.parent_size, table);
    const double error = bounds.exact_to_real + bounds.table_to_real;
    const double unit = std::ldexp(static_cast<double>(node.parent_size), table.scale);
    if (!std::isfinite(error)) return screen;
    // Proxies span less than `reach`: none lies below -2 f(total) (the entries added are never
    // negative, the two subtracted are at most f(total) each, the table never decreasing), and
    // none above the table's rounding of T <= 0, at most half a unit per entry and the relative
    // error of the entries themselves. A window or floor beyond that range is clamped to it,
    // which keeps every candidate it kept: a node's screen never switches itself off.
    const double reach = 2.0 * static_cast<double>(table.values[node.total]) +
                         static_cast<double>(screen.live) + 4096.0;
    const double window = std::min(2.0 * error * unit, reach);
    const double floor =
        std::max(-(static_cast<double>(node.parent_entropy) + error) * unit, -reach);
    // f(x+1) - f(x) lies between log2(x+1) and log2(x+1) + log2(e), and moving one unit of a
    // class left changes T by two such differences of opposite sign on each side, at most
    // log2(total) + log2(e) in all; each of the eight table entries involved adds its rounding.
    const double f_top = static_cast<double>(table.values[node.total]);
    const double step = (std::log2(static_cast<double>(node.total)) + 1.4427) *
                            std::ldexp(1.0 + 0x1p-40, table.scale) +
                        5.0 + 24.0 * 0x1p-53 * f_top;
    screen.step_inverse = (1.0 - 0x1p-40) / step;
    // A two-class proxy sums six entries.
    screen.proxy_error =
        3 + static_cast<std::int64_t>(std::ceil(18.0 * 0x1p-53 * f_top * (1.0 + 0x1p-40)));
    // Two entries, each within half a unit and 3 * 2^-53 of its f, which add up to at most
    // f(total); twice that, with room to spare.
    screen.balance_error =
        4 + static_cast<std::int64_t>(std::ceil(8.0 * 0x1p-53 * f_top * (1.0 + 0x1p-40)));
    screen.table_to_real = bounds.table_to_real;
    screen.window = static_cast<std::int64_t>(std::ceil(window)) + 2;
    screen.floor = static_cast<std::int64_t>(std::floor(floor)) - 2;
    screen.usable = true;
    return screen;
}

// The real f(x) + f(total - x) falls strictly up to total / 2 and rises past it (f is convex,
// and symmetric about total / 2 in that sum), so the real proxy rises and falls the other way;
// each table proxy lies within half of `error` of its real value. A table proxy at least
// `error` below the cutoff at y then bounds every table proxy between y and the middle (on
// either side) below the cutoff too.
std::int64_t balanced_room(const std::int64_t* f, std::uint32_t total, std::int64_t node_sum,
                           std::uint32_t left, std::int64_t cutoff, std::int64_t error) {
    auto below = [&](std::uint32_t x) { return node_sum - (f[x] + f[total - x]) + error < cutoff; };
    const std::uint32_t half = total / 2;
    // half and total - half share the sum, the least of all: settled there, settled everywhere.
    if (below(half)) return never_reached;
    if (left >= total - half) return below(left) ? never_reached : 0;
    if (!below(left)) return 0;
    // The most weight below the middle at which the table still settles it.
    std::uint32_t low = left, high = half;  // below(low), not below(high)
    while (high - low > 1) {
        const std::uint32_t middle = low + (high - low) / 2;
        (below(middle) ? low : high) = middle;
    }
    return low - left;
}

namespace {

constexpr std::uint32_t no_class = 0xFFFFFFFFu;

// How many entries ahead the sweeps ask for a row's record, and for its class's counts, which
// need the record first. On large nodes both are cache misses, one after the other, for every
// entry; asked early, they overlap.
constexpr std::size_t record_ahead = 32;
constexpr std::size_t class_ahead = 16;

template <bool Packed, class Counts>
[[gnu::always_inline]] inline void look_ahead(const Counts& counts, std::span<const Entry> column, const RowReader<Packed>& rows,
                std::size_t at) {
    if (at + record_ahead < column.size()) rows.prefetch(column[at + record_ahead].row);
    if constexpr (Counts::by_class)
        if (at + class_ahead < column.size())
            counts.prefetch(rows.cls(column[at + class_ahead].row));
}

// How much weight may move left, after a proxy `gap` units below the cutoff, before a proxy
// could reach it, by the general bound on the change of T per unit of weight (entropy_screen).
std::int64_t general_skip(std::int64_t gap, const EntropyScreen& screen) {
    return static_cast<std::int64_t>(static_cast<double>(gap - 1) * screen.step_inverse);
}

// How many entries of `run` hold class `cls`. The rows skipped between candidates are most of a
// sweep's entries, and counting their classes in vector registers, two entries at a time, takes
// a fraction of the time of moving them left one by one.
template <bool Packed>
std::uint32_t count_class(std::span<const Entry> run, const RowReader<Packed>& rows,
                          std::uint32_t cls) {
    std::size_t k = 0;
    std::uint32_t count = 0;
#if defined(__SSE2__)
    if constexpr (Packed) {
        static_assert(sizeof(Entry) == 8 && offsetof(Entry, row) == 4);
        // Each entry is a 64-bit lane whose upper half is the coded row.
        const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(32 + rows.class_shift));
        const __m128i mask = _mm_set1_epi64x(rows.class_mask);
        const __m128i wanted = _mm_set1_epi64x(cls);
        const __m128i one = _mm_set1_epi64x(1);
        __m128i sum_a = _mm_setzero_si128();
        __m128i sum_b = _mm_setzero_si128();
        auto equal = [&](std::size_t at) {
            const __m128i lanes =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(run.data() + at));
            const __m128i classes = _mm_and_si128(_mm_srl_epi64(lanes, shift), mask);
            return _mm_and_si128(_mm_cmpeq_epi32(classes, wanted), one);
        };
        for (; k + 4 <= run.size(); k += 4) {
            sum_a = _mm_add_epi64(sum_a, equal(k));
            sum_b = _mm_add_epi64(sum_b, equal(k + 2));
        }
        const __m128i sum = _mm_add_epi64(sum_a, sum_b);
        count = static_cast<std::uint32_t>(_mm_cvtsi128_si64(sum) +
                                           _mm_cvtsi128_si64(_mm_unpackhi_epi64(sum, sum)));
    }
#endif
    for (; k < run.size(); ++k) count += rows.cls(run[k].row) == cls;
    return count;
}

// Nodes of two classes (or one): only the second class's left count and the left total move,
// and a proxy is six table entries.
struct PairCounter {
    static constexpr bool copyable = true;
    static constexpr bool by_class = false;  // reads no table by class
    void prefetch(std::uint32_t) const {}
    const std::int64_t* f;
    std::uint32_t second;  // the second class, or no_class
    std::uint32_t total_first, total_second, total;
    std::uint32_t left_second = 0;
    std::uint32_t left_total = 0;

    void add(std::uint32_t cls, std::uint32_t weight) {
        left_second += cls == second ? weight : 0;
        left_total += weight;
    }
    // Rows of weight 1 each: only how many of them hold the second class matters.
    template <bool Packed>
    void add_run(std::span<const Entry> run, const RowReader<Packed>& rows) {
        left_second += count_class(run, rows, second);
        left_total += static_cast<std::uint32_t>(run.size());
    }
    std::int64_t proxy() const {
        const std::uint32_t left_first = left_total - left_second;
        return (f[left_first] + f[left_second] + f[total_first - left_first] +
                f[total_second - left_second]) -
               (f[left_total] + f[total - left_total]);
    }
    void note(Shortlisted& kept) const {
        kept.left[0] = left_total - left_second;
        kept.left[1] = left_second;
    }

    std::int64_t proxy_at(std::uint32_t first, std::uint32_t second_count) const {
        return (f[first] + f[second_count] + f[total_first - first] +
                f[total_second - second_count]) -
               (f[first + second_count] + f[total - first - second_count]);
    }

    // Whether every candidate reached by moving at most `weight` more left has a proxy below
    // `limit`. T is convex in the two left counts (each side's count-weighted entropy is the
    // perspective of a concave function), and the left counts of those candidates lie in the
    // triangle of moves of at most `weight` clipped to the class totals, so T there is at most
    // its largest value at the corners. Table rounding moves a proxy by at most
    // screen.proxy_error, in either direction.
    bool below_within(std::uint32_t weight, std::int64_t limit) const {
        const std::uint32_t a = left_total - left_second, b = left_second;
        const std::uint32_t a_room = total_first - a, b_room = total_second - b;
        const std::int64_t bar = limit - 2 * screen_error;
        if (proxy_at(a + std::min(weight, a_room), b) >= bar) return false;
        if (proxy_at(a, b + std::min(weight, b_room)) >= bar) return false;
        if (weight > a_room && proxy_at(total_first, b + std::min(weight - a_room, b_room)) >= bar)
            return false;
        if (weight > b_room && proxy_at(a + std::min(weight - b_room, a_room), total_second) >= bar)
            return false;
        return true;
    }

    // As far as the corners allow, trying moves of 4, 16, 64, ... units: near a node's balance
    // point a unit of weight changes T far less than any general bound on its step.
    std::int64_t skip(std::int64_t proxy, std::int64_t gap, const EntropyScreen&) const {
        const std::int64_t movable = total - left_total;
        std::int64_t weight = 0;
        for (std::int64_t longer = 4; longer < movable; longer *= 4) {
            if (!below_within(static_cast<std::uint32_t>(longer), proxy + gap)) break;
            weight = longer;
        }
        return weight;
    }

    std::int64_t screen_error;  // screen.proxy_error
};

// What the screens of nodes of more than two classes keep: each side's sum of f over its counts
// and the left side's weight.
struct SideTotals {
    static constexpr bool copyable = false;
    const std::int64_t* f;
    std::uint32_t total;
    std::int64_t right_sum;
    std::int64_t left_sum = 0;
    std::uint32_t left_total = 0;

    std::int64_t proxy() const {
        return (left_sum + right_sum) - (f[left_total] + f[total - left_total]);
    }
    void note(Shortlisted&) const {}
    std::int64_t skip(std::int64_t, std::int64_t gap, const EntropyScreen& screen) const {
        return general_skip(gap, screen);
    }
};

// Any number of classes: each side's sum moves by two table differences per row.
struct ManyCounter : SideTotals {
    static constexpr bool by_class = true;
    // The node's counts and the left ones, tables of the caller's.
    const std::uint32_t* node_counts;
    std::uint32_t* left;

    template <bool Packed>
    void add_run(std::span<const Entry> run, const RowReader<Packed>& rows) {
        for (std::size_t k = 0; k < run.size(); ++k) {
            look_ahead(*this, run, rows, k);
            add(rows.cls(run[k].row), 1);
        }
    }
    [[gnu::always_inline]] void prefetch(std::uint32_t cls) const {
        __builtin_prefetch(left + cls, 1);
        __builtin_prefetch(node_counts + cls);
    }
    void add(std::uint32_t cls, std::uint32_t weight) {
        const std::uint32_t l = left[cls];
        const std::uint32_t r = node_counts[cls] - l;
        left_sum += f[l + weight] - f[l];
        right_sum += f[r - weight] - f[r];
        left[cls] = l + weight;
        left_total += weight;
    }
};

// Every class of the node held by one row, as with every label distinct: a row moving left takes
// its class's whole count across, so the sides' sums of f always add up to the node's, and a
// candidate's proxy depends on its left weight alone (balanced_room). No count by class is read
// (on large nodes, two cache misses a row), and once no weight moved further reaches the cutoff
// the sweep ends.
struct DistinctCounter {
    static constexpr bool copyable = true;
    static constexpr bool by_class = false;
    const std::int64_t* f;
    std::uint32_t total;
    std::int64_t node_sum;
    std::uint32_t left_total = 0;

    void prefetch(std::uint32_t) const {}
    template <bool Packed>
    void add_run(std::span<const Entry> run, const RowReader<Packed>&) {
        left_total += static_cast<std::uint32_t>(run.size());
    }
    void add(std::uint32_t, std::uint32_t weight) { left_total += weight; }
    std::int64_t proxy() const { return node_sum - (f[left_total] + f[total - left_total]); }
    void note(Shortlisted&) const {}
    std::int64_t skip(std::int64_t proxy, std::int64_t gap, const EntropyScreen& screen) const {
        const std::int64_t room =
            balanced_room(f, total, node_sum, left_total, proxy + gap, screen.balance_error);
        return room == never_reached ? room : std::max(room, general_skip(gap, screen));
    }
};

// The candidates whose proxy lies within the window of the best proxy seen so far, in this
// feature or (through `shared`) in any feature of the node: a candidate further below than the
// window scores strictly below the one that set the best, whichever feature that was, so it can
// neither win nor tie. Entries that fall out of the window are dropped whenever the list fills
// up, so it stays short unless many candidates really are that close.
class Shortlist {
  public:
    // Proxies at or below `floor` are never kept.
    Shortlist(std::vector<Shortlisted>& kept, const EntropyScreen& screen,
              std::atomic<std::int64_t>* shared)
        : kept_(kept), window_(screen.window), cutoff_(screen.floor + 1), shared_(shared) {
        kept_.clear();
        refresh();
    }

    // How far below the cutoff a proxy lies; 0 when it reaches it and must be kept.
    std::int64_t gap(std::int64_t proxy) {
        if (proxy < cutoff_) refresh();
        return proxy < cutoff_ ? cutoff_ - proxy : 0;
    }

    // Whether `candidate` raises the best proxy, which it does when kept.
    bool leads(const Shortlisted& candidate) const { return candidate.proxy > best_; }
    std::int64_t best() const { return best_; }

    // Raises the best proxy to that of a candidate met later in the sweep, which is then kept
    // (it lies within the window of its own proxy) unless a better one passes it over.
    void lift(std::int64_t proxy) {
        if (proxy <= best_) return;
        // A jump past the whole window leaves every kept candidate behind.
        if (proxy - window_ > best_) kept_.clear();
        best_ = proxy;
        raise(best_ - window_);
        publish();
    }

    // By its fields, in registers: the candidate was just written field by field, and a copy
    // that read it back whole from memory would wait for those stores to finish.
    void keep(std::uint32_t begin, std::uint32_t end, std::int64_t proxy, std::uint32_t left_0,
              std::uint32_t left_1) {
        lift(proxy);
        if (kept_.size() == capacity_) {
            std::erase_if(kept_, [&](const Shortlisted& k) { return k.proxy < cutoff_; });
            if (kept_.size() > capacity_ / 2) capacity_ *= 2;
        }
        kept_.push_back({begin, end, proxy, {left_0, left_1}});
    }

    // Call once the sweep is done, before asking which kept candidates are still in.
    void settle() { refresh(); }
    bool within(const Shortlisted& kept) const { return kept.proxy >= cutoff_; }
    const std::vector<Shortlisted>& kept() const { return kept_; }

  private:
    void raise(std::int64_t cutoff) { cutoff_ = std::max(cutoff_, cutoff); }

    void refresh() {
        if (shared_ == nullptr) return;
        const std::int64_t best = shared_->load(std::memory_order_relaxed);
        if (best != std::numeric_limits<std::int64_t>::min()) raise(best - window_);
    }

    void publish() {
        if (shared_ == nullptr) return;
        std::int64_t seen = shared_->load(std::memory_order_relaxed);
        while (seen < best_ && !shared_->compare_exchange_weak(seen, best_, std::memory_order_relaxed)) {
        }
    }

    std::vector<Shortlisted>& kept_;
    std::int64_t window_;
    std::int64_t cutoff_;
    std::atomic<std::int64_t>* shared_;
    std::int64_t best_ = std::numeric_limits<std::int64_t>::min();
    std::size_t capacity_ = 64;
};

struct SweepContext {
    std::span<const Entry> column;
    const WorkingSet& set;
    const NodeCounts& node;
    std::uint32_t min_leaf;
    const EntropyScreen& screen;
    SharedBest* shared;
    std::uint32_t min_rows;  // least entries on each side

    // As many live classes as entries: each holds exactly one, of non-zero weight.
    bool one_row_each() const { return screen.live == column.size(); }

    bool rows_allow(std::size_t left_rows) const {
        return left_rows >= min_rows && column.size() - left_rows >= min_rows;
    }
};

// The score of the candidates that leave the left side empty, where min_leaf lets them count.
// Only columns that start with weightless rows or end with NaN have such candidates: the node's
// entropy it takes is worked out when one is first offered, not for every column of every node.
class NothingLeft {
  public:
    NothingLeft(const NodeCounts& node, bool allowed) : node_(node), allowed_(allowed) {}

    bool allowed() const { return allowed_; }

    // As gain_from_counts scores an empty left side: its right side's sum is the node's own,
    // term by term in class order.
    double score() {
        if (!known_) {
            const float right_sum = -entropy_of_counts(node_.present, node_.counts, node_.total);
            score_ = gain_from_sums(node_, 0, 0.0f, right_sum);
            known_ = true;
        }
        return score_;
    }

  private:
    const NodeCounts& node_;
    bool allowed_;
    bool known_ = false;
    double score_ = 0.0;
};

// Where a sweep's candidates end: NaN values, the most weight on the left, the most rows.
struct SweepLimits {
    std::size_t numbers;
    std::uint32_t high;
    std::size_t row_high;
};

// Moves the rows [from, to) of the column left.
template <bool Packed, class Counter>
void move_left(Counter& counter, std::span<const Entry> column, const RowReader<Packed>& rows,
               bool unit, std::size_t from, std::size_t to) {
    if (unit) {
        counter.add_run(column.subspan(from, to - from), rows);
        return;
    }
    for (std::size_t k = from; k < to; ++k)
        counter.add(rows.cls(column[k].row), rows.weight(column[k].row));
}

// The best proxy of the candidates a few dozen, then twice, four times, ... as many rows past
// `from` (a candidate of the sweep, its rows moved left in `counter`), as long as they keep
// rising. A sweep that meets a new best proxy usually climbs on towards the best of the column,
// and each step would be a new best to keep, its rows moved one group at a time: with the best
// from further up the slope the climb falls below the window and is skipped. Every candidate
// looked at is one the sweep itself reaches (a group's first row, within its limits), so its
// proxy is a best that the sweep would set, only sooner.
template <bool Packed, class Counter>
std::int64_t proxy_ahead(const SweepContext& context, Counter counter,
                         const RowReader<Packed>& rows, bool unit, std::size_t from,
                         const SweepLimits& limits) {
    const std::span<const Entry> column = context.column;
    std::int64_t best = std::numeric_limits<std::int64_t>::min();
    std::size_t at = from;
    for (std::size_t step = 64; at < limits.numbers; step *= 2) {
        const std::size_t to = std::min(at + step, limits.numbers);
        move_left(counter, column, rows, unit, at, to);
        at = to;
        while (at < limits.numbers && column[at].value == column[at - 1].value) {
            counter.add(rows.cls(column[at].row), rows.weight(column[at].row));
            ++at;
        }
        if (at >= limits.numbers || counter.left_total > limits.high || at > limits.row_high)
            break;
        const std::int64_t proxy = counter.proxy();
        if (proxy <= best) break;
        best = proxy;
    }
    return best;
}

// The same for a node whose every class is held by one row, whose proxies rise up to the middle
// weight and fall past it (balanced_room): the best of the last candidate below the middle and
// the first at or past it, the rows up to there moved in one pass, their records asked for ahead
// as the sweep asks for them.
template <bool Packed>
std::int64_t balanced_ahead(const SweepContext& context, DistinctCounter counter,
                            const RowReader<Packed>& rows, bool unit, std::size_t from,
                            const SweepLimits& limits) {
    const std::span<const Entry> column = context.column;
    const std::uint32_t half = counter.total / 2;
    std::int64_t best = std::numeric_limits<std::int64_t>::min();
    std::size_t at = from;
    if (unit && counter.left_total < half) {
        const std::size_t run =
            std::min<std::size_t>(half - counter.left_total, limits.numbers - at);
        counter.add_run(column.subspan(at, run), rows);
        at += run;
    }
    while (at < limits.numbers) {
        const float value = column[at].value;
        for (; at < limits.numbers && column[at].value == value; ++at) {
            look_ahead(counter, column, rows, at);
            counter.add(rows.cls(column[at].row), rows.weight(column[at].row));
        }
        if (at >= limits.numbers || counter.left_total > limits.high || at > limits.row_high) break;
        best = std::max(best, counter.proxy());
        if (counter.left_total >= half) break;
    }
    return best;
}

// Screens every candidate with a non-empty left side that min_leaf and min_rows allow.
// Candidates with an empty left side (the first value, values that follow only weightless rows,
// and NaN) all score `nothing_left`, offered straight away when min_leaf and min_rows let them
// count.
//
// A proxy far below the cutoff also rules out the candidates that follow it: T cannot climb
// faster than Counter::skip allows (a bound per unit of weight, or for two classes the corners
// of the counts still reachable), so until that much weight has moved the sweep only counts
// rows, without looking at values.
template <bool Packed, class Counter>
void screen_column(const SweepContext& context, Counter& counter, Shortlist& list, ColumnBest& best,
                   NothingLeft& nothing_left) {
    const RowReader<Packed> rows(context.set);
    // Every row weighs 1: as many rows move left as the room allows.
    const bool unit = Packed && rows.weight_mask == 0 && rows.weight_base == 1;
    const std::span<const Entry> column = context.column;
    const std::size_t numbers = static_cast<std::size_t>(
        std::partition_point(column.begin(), column.end(),
                             [](const Entry& e) { return !std::isnan(e.value); }) -
        column.begin());
    auto absorb_group = [&](std::size_t begin) {
        const float value = column[begin].value;
        std::size_t end = begin;
        for (; end < numbers && column[end].value == value; ++end) {
            look_ahead(counter, column, rows, end);
            counter.add(rows.cls(column[end].row), rows.weight(column[end].row));
        }
        return end;
    };
    std::size_t i = 0;
    while (i < numbers && counter.left_total == 0) {
        const std::size_t end = absorb_group(i);
        if (nothing_left.allowed() && context.rows_allow(i))
            best.offer(nothing_left.score(), column.subspan(i, end - i), context.set);
        i = end;
    }
    const std::uint32_t total = context.node.total;
    const std::uint32_t low = std::max(context.min_leaf, 1u);
    const std::uint32_t high = total >= context.min_leaf ? total - context.min_leaf : 0;
    const std::size_t row_high = column.size() - std::min<std::size_t>(context.min_rows, column.size());
    const SweepLimits limits{numbers, high, row_high};
    while (i < numbers && counter.left_total <= high && i <= row_high) {
        // Weight that may move left before a proxy is due again; below the least rows, one
        // group at a time.
        std::int64_t skip = std::int64_t{low} - counter.left_total - 1;
        if (counter.left_total >= low && i < context.min_rows) skip = 0;
        if (counter.left_total >= low && i >= context.min_rows) {
            Shortlisted candidate{static_cast<std::uint32_t>(i), 0, counter.proxy(), {0, 0}};
            const std::int64_t gap = list.gap(candidate.proxy);
            if (gap == 0) {
                counter.note(candidate);
                const bool leads = list.leads(candidate);
                i = absorb_group(i);
                candidate.end = static_cast<std::uint32_t>(i);
                list.keep(candidate.begin, candidate.end, candidate.proxy, candidate.left[0],
                          candidate.left[1]);
                if constexpr (std::is_same_v<Counter, DistinctCounter>) {
                    if (leads) list.lift(balanced_ahead(context, counter, rows, unit, i, limits));
                } else if constexpr (Counter::copyable) {
                    if (leads) list.lift(proxy_ahead(context, counter, rows, unit, i, limits));
                }
                continue;
            }
            skip = counter.skip(candidate.proxy, gap, context.screen);
            if (skip == never_reached) break;
        }
        // Rows move left without a look at their values while they stay within the skip (and
        // below `high`, past which no candidate counts); the group of the first row that does
        // not is taken whole, and the candidate after it is due.
        std::int64_t room = std::min<std::int64_t>(skip, high - counter.left_total);
        if (unit) {
            const std::size_t run =
                std::min(static_cast<std::size_t>(std::max<std::int64_t>(room, 0)), numbers - i);
            counter.add_run(column.subspan(i, run), rows);
            i += run;
        } else {
            for (; i < numbers; ++i) {
                look_ahead(counter, column, rows, i);
                const std::uint32_t weight = rows.weight(column[i].row);
                if (weight > room) break;
                room -= weight;
                counter.add(rows.cls(column[i].row), weight);
            }
        }
        if (i < numbers) i = absorb_group(i);
    }
    list.settle();
    if (numbers < column.size() && nothing_left.allowed() && context.rows_allow(numbers))
        best.offer(nothing_left.score(), column.subspan(numbers), context.set);
}

// Exact scores of the shortlisted candidates of a pair node, from their noted counts.
void score_pairs(const SweepContext& context, const Shortlist& list, std::uint32_t* left_counts,
                 ColumnBest& best) {
    const std::uint32_t first = context.screen.pair[0];
    const std::uint32_t second = context.screen.live > 1 ? context.screen.pair[1] : no_class;
    for (const Shortlisted& kept : list.kept()) {
        if (!list.within(kept)) continue;
        left_counts[first] = kept.left[0];
        if (second != no_class) left_counts[second] = kept.left[1];
        const double score = gain_from_counts(context.node, left_counts, kept.left[0] + kept.left[1]);
        best.offer(score, context.column.subspan(kept.begin, kept.end - kept.begin), context.set);
    }
}

// The most a candidate can score: its real gain, from its proxy, and the bounds between the two
// for the classes and weights of its sides.
double score_ceiling(const SweepContext& context, const Shortlisted& kept, const SideSums& sides,
                     CandidateBounds& bound) {
    const NodeCounts& node = context.node;
    // 2^-scale, exactly as ldexp would scale by it.
    const double per_unit =
        std::bit_cast<double>(static_cast<std::uint64_t>(1023 - context.set.count_log.scale) << 52);
    const double real = static_cast<double>(node.parent_entropy) +
                        static_cast<double>(kept.proxy) * per_unit /
                            static_cast<double>(node.parent_size);
    const double exact = bound(sides.left_classes(), sides.right_classes(), sides.left_total(),
                               node.total - sides.left_total(), node.parent_entropy,
                               node.parent_size);
    return real + context.screen.table_to_real + exact + 1e-9;
}

// The best exact score of any feature of the node so far, and this feature's own once it gains.
double node_best(const SweepContext& context, const ColumnBest& best) {
    if (context.shared == nullptr) return best.score;
    return std::max(best.score, context.shared->score.load(std::memory_order_relaxed));
}

void publish(const SweepContext& context, double score) {
    if (context.shared == nullptr) return;
    double seen = context.shared->score.load(std::memory_order_relaxed);
    while (seen < score &&
           !context.shared->score.compare_exchange_weak(seen, score, std::memory_order_relaxed)) {
    }
}

// Walks that move the rows of one feature left, candidate by candidate in order.
template <bool Packed>
struct Rewalk {
    const SweepContext& context;
    SideSums sides;
    std::size_t at = 0;
    const std::uint32_t* slots = nullptr;  // SideScratch::slot, where the walk moves by it

    Rewalk(const SweepContext& context, std::uint32_t* left_counts, SideScratch& scratch)
        : context(context),
          sides(context.node, context.screen.live, left_counts, scratch,
                context.one_row_each(), context.screen.node) {
        if constexpr (!Packed)
            if (sides.one_row_ordered()) slots = slots_of(scratch);
    }

    // Where every class holds one row and the rows' records are a table, a walk would look up
    // each row's record and then its class's position, one cache miss after the other; the
    // node's first walk on a scratch slot puts both in one word by row for all of them.
    // The start is the node's (SideSums worked it out or found it), and so are its slots once
    // ready.
    const std::uint32_t* slots_of(SideScratch& scratch) const {
        SideStart& start = scratch.start;
        if (start.slots_ready) return start.slot.data();
        const std::span<const Entry> column = context.column;
        const RowReader<false> rows(context.set);
        start.slot.resize(std::max(start.slot.size(), context.set.n_rows));
        for (std::size_t k = 0; k < column.size(); ++k) {
            look_ahead(sides, column, rows, k);  // the class's position, as the walk would
            const std::uint32_t row = column[k].row;
            start.slot[row] = start.position[rows.cls(row)] << 4 | rows.weight(row);
        }
        start.slots_ready = true;
        return start.slot.data();
    }

    SideSums& to(const Shortlisted& kept) {
        const std::span<const Entry> column = context.column;
        if (slots != nullptr) {
            if (at < kept.begin) sides.move_slots(column, at, kept.begin, slots);
            at = std::max<std::size_t>(at, kept.begin);
            return sides;
        }
        const RowReader<Packed> rows(context.set);
        if (sides.whole_classes()) {
            if (at < kept.begin) sides.move_whole_classes(column, at, kept.begin, rows);
            at = std::max<std::size_t>(at, kept.begin);
            return sides;
        }
        for (; at < kept.begin; ++at) {
            look_ahead(sides, context.column, rows, at);
            const std::uint32_t row = context.column[at].row;
            sides.move_left(rows.cls(row), rows.weight(row));
        }
        return sides;
    }
};

// Walks of nodes of one row per class also move back, by the rows' words.
template <bool Packed>
SideSums& back_to(Rewalk<Packed>& walk, const Shortlisted& kept) {
    if (walk.at > kept.begin)
        walk.sides.move_slots_back(walk.context.column, kept.begin, walk.at, walk.slots);
    walk.at = std::min<std::size_t>(walk.at, kept.begin);
    return walk.sides;
}

std::span<const Entry> group_of(const SweepContext& context, const Shortlisted& kept) {
    return context.column.subspan(kept.begin, kept.end - kept.begin);
}

// Exact scores of the shortlisted candidates of a node of many classes, by walks that move the
// rows left up to each of them. The candidate of the best proxy goes first: its score then rules
// out every candidate whose ceiling lies below it, which the window of the screen, made for the
// worst case of any two candidates, still kept; so does the best score of the node's other
// features, which for many classes are as good as this one's (with every label distinct the
// real gain depends on the left side's weight alone, and rounding picks the winner).
//
// The ceiling is a bound for the worst case of any rounding, and the rounding that really tells
// such candidates apart is a few per cent of it: thousands of them stay in. Where the sides are
// ordered sums, a candidate gets three cheaper ceilings of its exact score first (from each
// side's counts of each kind, which no walk over classes needs and which rules out two in
// three; from those of each stretch of classes, which rules out most of the rest; then the
// bracket of the first sixteenth of the classes, hundreds of units of the sums above it), and
// only those that reach the best score so far are scored exactly. Past the first, each ceiling
// is taken side by side, and a side's with the other's from the ceiling before often rules the
// candidate out alone.
template <bool Packed>
void score_by_rewalk(const SweepContext& context, const Shortlist& list,
                     std::uint32_t* left_counts, SideScratch& scratch, ColumnBest& best) {
    const Shortlisted* top = nullptr;
    for (const Shortlisted& kept : list.kept())
        if (list.within(kept) && (top == nullptr || kept.proxy > top->proxy)) top = &kept;
    if (top == nullptr) return;
    auto judge = [&](const Shortlisted& kept, SideSums& sides) {
        if (score_ceiling(context, kept, sides, scratch.candidate_bound) < node_best(context, best))
            return;
        if (sides.ordered() && (!sides.reaches(0, node_best(context, best)) ||
                                !sides.reaches(1, node_best(context, best)) ||
                                !sides.reaches(2, node_best(context, best))))
            return;
        best.offer(sides.score(), group_of(context, kept), context.set);
    };
    const std::vector<Shortlisted>& kept = list.kept();
    // Once another feature has scored, its best serves as the first one's score would: one walk.
    const bool lead = node_best(context, best) <= 0.0;
    if (lead) {
        Rewalk<Packed> walk(context, left_counts, scratch);
        SideSums& sides = walk.to(*top);
        if (score_ceiling(context, *top, sides, scratch.candidate_bound) >=
            node_best(context, best))
            best.offer(sides.score(), group_of(context, *top), context.set);
        publish(context, best.score);
        // Where the walk moves by words it goes on to the candidates past the top, then back to
        // those before it, unless walking from the start again up to them moves fewer rows.
        // (Candidates are kept in the order of the sweep.)
        const auto top_at = static_cast<std::size_t>(top - kept.data());
        std::size_t first = top_at, last = top_at;
        for (std::size_t k = 0; k < kept.size(); ++k)
            if (list.within(kept[k]) && k != top_at) {
                first = std::min(first, k);
                last = std::max(last, k);
            }
        if (first == top_at && last == top_at) return;
        const std::size_t afresh = kept[last].begin;
        const std::size_t on =
            kept[last].begin - top->begin +
            (first < top_at ? std::max(kept[last].begin, top->begin) - kept[first].begin : 0);
        if (walk.slots != nullptr && on <= afresh) {
            for (std::size_t k = top_at + 1; k <= last; ++k)
                if (list.within(kept[k])) judge(kept[k], walk.to(kept[k]));
            for (std::size_t k = top_at; k-- > first;)
                if (list.within(kept[k])) judge(kept[k], back_to(walk, kept[k]));
            publish(context, best.score);
            return;
        }
    }
    Rewalk<Packed> walk(context, left_counts, scratch);
    for (const Shortlisted& candidate : kept) {
        if (!list.within(candidate) || (lead && &candidate == top)) continue;
        judge(candidate, walk.to(candidate));
    }
    publish(context, best.score);
}

template <bool Packed>
FeatureBest screened_column(const SweepContext& context, Scratch& scratch,
                            std::uint32_t* left_counts, const std::int64_t* f) {
    const NodeCounts& node = context.node;
    const bool distinct = context.screen.live > 2 && context.one_row_each();
    // Walks zero their own counts; only the pair and many-class screens read these.
    if (!distinct)
        for (std::uint32_t c : node.present) left_counts[c] = 0;
    NothingLeft nothing_left(node, context.min_leaf == 0);
    ColumnBest best;
    Shortlist list(scratch.shortlist, context.screen,
                   context.shared != nullptr ? &context.shared->proxy : nullptr);
    if (context.screen.live <= 2) {
        const EntropyScreen& screen = context.screen;
        const bool two = screen.live == 2;
        PairCounter counter{f,
                            two ? screen.pair[1] : no_class,
                            node.counts[screen.pair[0]],
                            two ? node.counts[screen.pair[1]] : 0u,
                            node.total,
                            0,
                            0,
                            screen.proxy_error};
        screen_column<Packed>(context, counter, list, best, nothing_left);
        score_pairs(context, list, left_counts, best);
    } else {
        const std::int64_t right_sum = context.screen.node_sum;
        if (distinct) {
            DistinctCounter counter{f, node.total, right_sum};
            screen_column<Packed>(context, counter, list, best, nothing_left);
        } else {
            ManyCounter counter{{f, node.total, right_sum}, node.counts, left_counts};
            screen_column<Packed>(context, counter, list, best, nothing_left);
        }
        score_by_rewalk<Packed>(context, list, left_counts, scratch.sides, best);
    }
    return best.result(context.set);
}

}  // namespace

FeatureBest screened_entropy_column(std::span<const Entry> column, const WorkingSet& set,
                                    const NodeCounts& node, std::uint32_t min_leaf,
                                    const EntropyScreen& screen, Scratch& scratch,
                                    SharedBest* shared, std::uint32_t min_rows) {
    const std::size_t classes = std::max<std::size_t>(set.class_labels.size(), 1);
    std::uint32_t* left_counts = scratch.counts(classes);
    const SweepContext context{column, set, node, min_leaf, screen, shared, min_rows};
    const std::int64_t* f = set.count_log.values.data();
    return set.coding.packed ? screened_column<true>(context, scratch, left_counts, f)
                             : screened_column<false>(context, scratch, left_counts, f);
}

}  // namespace lindorf
