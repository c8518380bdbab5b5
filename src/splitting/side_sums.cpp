#include "splitting/side_sums.hpp"

#include <algorithm>
#include <array>

#include "criteria/gini.hpp"
#include "criteria/repeated_sum.hpp"

namespace lindorf {

namespace {

// Below this many classes a side is summed term by term faster than the ordered sums are set up.
constexpr std::size_t ordered_from = 512;
// Setting a position of the ordered sums costs some dozens of operations on each side, building
// them anew a few per position: past this share of the positions moved, they are built anew.
constexpr std::size_t rebuild_share = 8;
// Stretches of positions whose counts of each kind the walks keep: most of a side's stretches
// then add their exact steps within one binade (16 cost least at 2^16 rows; 8 and 32 more).
constexpr std::size_t stretches = 16;

// The count every class of a side holds, or 0 when the counts differ: k counts summing to m are
// all m/k exactly when their squares sum to m * (m/k).
std::uint32_t equal_count(std::uint32_t classes, std::uint64_t squares, std::uint32_t total) {
    if (classes == 0 || total % classes != 0) return 0;
    const std::uint32_t each = total / classes;
    return squares == std::uint64_t{total} * each ? each : 0;
}

// One pass over the node's classes, in their order: a class's position is its rank among them,
// its kind on a side its count there. Counts of 16 or more leave the sides unordered, which is
// known only at the end, so kinds are clamped until then.
void start_sides(const NodeCounts& node, std::size_t live, std::uint64_t number,
                 SideStart& start) {
    start.node = number;
    start.slots_ready = false;
    start.ordered = live >= ordered_from;
    start.squares = 0;
    start.stretch_shift = 0;
    start.kinds.fill(0);
    const std::size_t positions = node.present.size();
    if (start.ordered) {
        start.position.resize(std::max<std::size_t>(start.position.size(),
                                                    std::size_t{node.present.back()} + 1));
        while ((std::size_t{1} << start.stretch_shift) * stretches < positions)
            ++start.stretch_shift;
        start.stretches.assign(((positions - 1) >> start.stretch_shift) + 1, {});
        start.node_kind.resize(positions);
    }
    std::uint32_t largest = 0;
    for (std::size_t i = 0; i < positions; ++i) {
        const std::uint32_t c = node.present[i];
        const std::uint32_t count = node.counts[c];
        start.squares = squares_after_adding(start.squares, 0, count);
        largest = std::max(largest, count);
        if (!start.ordered) continue;
        const std::uint32_t kind = std::min(count, OrderedSum::kinds - 1);
        start.position[c] = static_cast<std::uint32_t>(i);
        start.node_kind[i] = static_cast<std::uint8_t>(kind);
        ++start.kinds[kind];
        ++start.stretches[i >> start.stretch_shift][kind];
    }
    start.ordered = start.ordered && largest < OrderedSum::kinds;
    start.kinds[0] = 0;
}

}  // namespace

SideSums::SideSums(const NodeCounts& node, std::size_t live, std::uint32_t* left_counts,
                   SideScratch& scratch, bool one_row_each, std::uint64_t node_number)
    : node_(node), left_(left_counts), scratch_(scratch), one_row_each_(one_row_each) {
    SideStart& start = scratch.start;
    if (node_number == 0 || start.node != node_number) start_sides(node, live, node_number, start);
    ordered_ = start.ordered;
    right_squares_ = start.squares;
    right_classes_ = static_cast<std::uint32_t>(live);
    if (!ordered_) {
        for (std::uint32_t c : node.present) left_[c] = 0;
        return;
    }
    stretch_shift_ = start.stretch_shift;
    right_kinds_ = start.kinds;
    scratch.right_stretches = start.stretches;
    scratch.left_stretches.assign(start.stretches.size(), {});
    scratch.left_kind.assign(node.present.size(), 0);
    scratch.moved.clear();
}

void SideSums::count_move(std::uint32_t left, std::uint32_t right, std::uint32_t weight) {
    bounded_ = false;
    left_classes_ += left == 0;
    right_classes_ -= right == weight;
    left_squares_ = squares_after_adding(left_squares_, left, weight);
    right_squares_ = squares_after_removing(right_squares_, right, weight);
    left_total_ += weight;
}

void SideSums::move_left(std::uint32_t cls, std::uint32_t weight) {
    if (weight == 0) return;
    if (ordered_) {
        move_at(scratch_.start.position[cls], weight);
        return;
    }
    // A class held by one row has nothing on the left yet and all of it on the right: on large
    // nodes, cache misses a row saved.
    const std::uint32_t left = one_row_each_ ? 0 : left_[cls];
    const std::uint32_t right = one_row_each_ ? weight : node_.counts[cls] - left;
    left_[cls] = left + weight;
    count_move(left, right, weight);
}

void SideSums::move_at(std::uint32_t position, std::uint32_t weight) {
    if (weight == 0) return;
    const std::uint32_t left = one_row_each_ ? 0 : scratch_.left_kind[position];
    const std::uint32_t right = one_row_each_ ? weight : scratch_.start.node_kind[position] - left;
    scratch_.left_kind[position] = static_cast<std::uint8_t>(left + weight);
    count_move(left, right, weight);
    // Kind 0 is no term: its count is never asked.
    --left_kinds_[left];
    ++left_kinds_[left + weight];
    --right_kinds_[right];
    ++right_kinds_[right - weight];
    const std::uint32_t stretch = position >> stretch_shift_;
    std::array<std::uint32_t, OrderedSum::kinds>& on_left = scratch_.left_stretches[stretch];
    std::array<std::uint32_t, OrderedSum::kinds>& on_right = scratch_.right_stretches[stretch];
    --on_left[left];
    ++on_left[left + weight];
    --on_right[right];
    ++on_right[right - weight];
    if (!built_) return;
    scratch_.moved.push_back(position);
    if (scratch_.moved.size() * rebuild_share >= node_.present.size()) built_ = false;
}

// From kind 0 to kind `weight` on the left and back on the right, or the reverse when `back`.
[[gnu::always_inline]] inline void SideSums::cross_whole(std::uint32_t position,
                                                         std::uint32_t weight, bool back) {
    count_whole(weight, back);
    const std::uint32_t from = back ? weight : 0, to = back ? 0 : weight;  // on the left
    scratch_.left_kind[position] = static_cast<std::uint8_t>(to);
    --left_kinds_[from];
    ++left_kinds_[to];
    --right_kinds_[to];
    ++right_kinds_[from];
    const std::uint32_t stretch = position >> stretch_shift_;
    std::array<std::uint32_t, OrderedSum::kinds>& on_left = scratch_.left_stretches[stretch];
    std::array<std::uint32_t, OrderedSum::kinds>& on_right = scratch_.right_stretches[stretch];
    --on_left[from];
    ++on_left[to];
    --on_right[to];
    ++on_right[from];
    if (!built_) return;
    scratch_.moved.push_back(position);
    if (scratch_.moved.size() * rebuild_share >= node_.present.size()) built_ = false;
}

// A class's one row takes its whole count across. The walks move many rows between candidates,
// in value order: their words a cache miss each, asked for this many rows ahead.
constexpr std::size_t slot_ahead = 32;

void SideSums::move_slots(std::span<const Entry> column, std::size_t from, std::size_t to,
                          const std::uint32_t* slots) {
    for (std::size_t k = from; k < to; ++k) {
        if (k + slot_ahead < column.size()) __builtin_prefetch(slots + column[k + slot_ahead].row);
        const std::uint32_t slot = slots[column[k].row];
        if ((slot & 15) != 0) cross_whole(slot >> 4, slot & 15, false);
    }
}

void SideSums::move_slots_back(std::span<const Entry> column, std::size_t from, std::size_t to,
                               const std::uint32_t* slots) {
    for (std::size_t k = to; k-- > from;) {
        if (k >= from + slot_ahead) __builtin_prefetch(slots + column[k - slot_ahead].row);
        const std::uint32_t slot = slots[column[k].row];
        if ((slot & 15) != 0) cross_whole(slot >> 4, slot & 15, true);
    }
}

void SideSums::catch_up() {
    std::vector<std::uint32_t>& moved = scratch_.moved;
    const std::size_t positions = node_.present.size();
    const std::vector<std::uint8_t>& left = scratch_.left_kind;
    const std::vector<std::uint8_t>& node = scratch_.start.node_kind;
    if (built_) {
        for (std::uint32_t position : moved) {
            scratch_.left.set(position, left[position]);
            scratch_.right.set(position, node[position] - left[position]);
        }
    } else {
        std::vector<std::uint8_t>& kinds = scratch_.kinds;
        kinds.resize(positions);
        scratch_.left.assign(left);
        for (std::size_t i = 0; i < positions; ++i)
            kinds[i] = static_cast<std::uint8_t>(node[i] - left[i]);
        scratch_.right.assign(kinds);
        built_ = true;
    }
    moved.clear();
}

// The sum of p * log2(p) over one side, as gain_from_counts forms it.
float SideSums::side_sum(bool right, std::uint32_t classes, std::uint64_t squares,
                         std::uint32_t total) {
    const float size = static_cast<float>(total);
    const std::uint32_t each = equal_count(classes, squares, total);
    if (each != 0) return repeated_sum(detail::plogp_term(each, size), classes);
    if (ordered_) {
        catch_up();
        return (right ? scratch_.right : scratch_.left).sum(size);
    }
    // Most classes hold a few rows: each small count's term is worked out once per sum.
    auto terms = plogp_terms(size);
    float sum = 0.0f;
    for (std::uint32_t c : node_.present)
        sum += terms(right ? node_.counts[c] - left_[c] : left_[c]);
    return sum;
}

float SideSums::side_ceiling(bool right, std::uint32_t classes, std::uint64_t squares,
                             std::uint32_t total, unsigned depth) {
    if (!ordered_ || equal_count(classes, squares, total) != 0)
        return side_sum(right, classes, squares, total);
    const auto size = static_cast<float>(total);
    TermBrackets& terms = right ? right_terms_ : left_terms_;
    float coarse;
    if (depth == 0 &&
        OrderedSum::coarse_ceiling_of(right ? right_kinds_ : left_kinds_, size, terms, coarse))
        return coarse;
    if (depth == 1 &&
        OrderedSum::stretch_ceiling_of(right ? right_kinds_ : left_kinds_,
                                       right ? scratch_.right_stretches : scratch_.left_stretches,
                                       size, terms, coarse))
        return coarse;
    catch_up();
    OrderedSum& sum = right ? scratch_.right : scratch_.left;
    return depth <= 1 ? sum.sum(size) : sum.ceiling(size);
}

// Each float operation of gain_from_sums is monotone in the sides' sums.
double SideSums::ceiling(unsigned depth) {
    const float left = side_ceiling(false, left_classes_, left_squares_, left_total_, depth);
    const float right =
        side_ceiling(true, right_classes_, right_squares_, node_.total - left_total_, depth);
    return gain_from_sums(node_, left_total_, left, right);
}

bool SideSums::reaches(unsigned depth, double bar) {
    const std::uint32_t right_total = node_.total - left_total_;
    auto left = [&] {
        left_bound_ = std::min(left_bound_,
                               side_ceiling(false, left_classes_, left_squares_, left_total_, depth));
    };
    auto right = [&] {
        right_bound_ = std::min(
            right_bound_, side_ceiling(true, right_classes_, right_squares_, right_total, depth));
    };
    auto below = [&] { return gain_from_sums(node_, left_total_, left_bound_, right_bound_) < bar; };
    if (!bounded_) {
        left_bound_ = right_bound_ = 0.0f;  // at or above every sum of p * log2(p)
        bounded_ = true;
        // Each side's logarithm while the other's is worked out.
        if (ordered_) {
            left_terms_.set(static_cast<float>(left_total_));
            right_terms_.set(static_cast<float>(right_total));
        }
        left();
        right();
        return !below();
    }
    // The side of more classes first: its ceilings gain most from a deeper one.
    if (left_classes_ >= right_classes_) {
        left();
        if (below()) return false;
        right();
    } else {
        right();
        if (below()) return false;
        left();
    }
    return !below();
}

// Both sides term by term in one pass: two chains of float additions, each in the order
// gain_from_counts adds, side by side, so that neither waits on the other's.
SideSums::Pair SideSums::unordered_sums() const {
    auto left = plogp_terms(static_cast<float>(left_total_));
    auto right = plogp_terms(static_cast<float>(node_.total - left_total_));
    Pair sums{0.0f, 0.0f};
    for (std::uint32_t c : node_.present) {
        const std::uint32_t on_left = left_[c];
        sums.left += left(on_left);
        sums.right += right(node_.counts[c] - on_left);
    }
    return sums;
}

double SideSums::score() {
    const std::uint32_t right_total = node_.total - left_total_;
    if (!ordered_ && equal_count(left_classes_, left_squares_, left_total_) == 0 &&
        equal_count(right_classes_, right_squares_, right_total) == 0) {
        const Pair sums = unordered_sums();
        return gain_from_sums(node_, left_total_, sums.left, sums.right);
    }
    const float left_sum = side_sum(false, left_classes_, left_squares_, left_total_);
    const float right_sum = side_sum(true, right_classes_, right_squares_, right_total);
    return gain_from_sums(node_, left_total_, left_sum, right_sum);
}

}  // namespace lindorf
