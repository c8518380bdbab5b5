// The exact scores of candidates of a node of many classes, as a walk over one feature's rows
// moves them left: each side's sum of p * log2(p), summed in ascending class order, exactly as
// gain_from_counts sums it. A side whose classes all hold the same count sums one repeated term;
// when every class of the node holds few rows, a side's terms take few values and are summed by
// OrderedSum; otherwise term by term.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "criteria/criteria.hpp"
#include "criteria/gain_proxy.hpp"
#include "criteria/ordered_sum.hpp"
#include "splitting/working_set.hpp"

namespace lindorf {

// What every walk over a node's features starts from, all rows right: worked out once per node
// on each thread that walks it (the same for every feature), not once per walk.
struct SideStart {
    std::uint64_t node = 0;  // the node's number (EntropyScreen::node); 0: none, never reused
    bool ordered = false;
    std::uint64_t squares = 0;  // of the node's counts
    unsigned stretch_shift = 0;
    OrderedSum::KindCounts kinds{};  // the node's classes of each kind (kind 0 unset)
    std::vector<std::uint32_t> position;  // by class: its rank among the node's present classes
    std::vector<std::uint8_t> node_kind;  // by position: the class's count in the node
    std::vector<std::array<std::uint32_t, OrderedSum::kinds>> stretches;  // the node's, per stretch
    // By local row, where every class holds one row: the position of the row's class shifted left
    // by 4, or'd with the row's weight. Filled by the node's first walk that asks for it.
    std::vector<std::uint32_t> slot;
    bool slots_ready = false;
};

// Working memory of SideSums, reused from node to node.
struct SideScratch {
    SideStart start;
    OrderedSum left, right;
    // By position: each class's count on the left. Kept by position rather than by class, the
    // ordered sums are set up from it in order, and it fits in a core's cache where a table by
    // class does not.
    std::vector<std::uint8_t> left_kind;
    std::vector<std::uint8_t> kinds;
    std::vector<std::uint32_t> moved;  // positions moved since the ordered sums were last brought up
    // Of each side, how many classes of each kind each stretch of positions holds.
    std::vector<std::array<std::uint32_t, OrderedSum::kinds>> left_stretches, right_stretches;
    CandidateBounds candidate_bound;  // of the candidates the walks reach
};

class SideSums {
  public:
    // All rows right. Unless the sides are ordered sums, which keep their own by position,
    // `left_counts` (by class) is zeroed for the node's classes and kept up to date; `live` is
    // the number of classes with a non-zero count.
    // `one_row_each`: every live class of the node is held by a single row, as when every label
    // is distinct, so a row moving left takes its class across whole.
    // `node_number` names the node among those whose walks share `scratch` (0: a node of its
    // own), so that its start is worked out once.
    SideSums(const NodeCounts& node, std::size_t live, std::uint32_t* left_counts,
             SideScratch& scratch, bool one_row_each = false, std::uint64_t node_number = 0);

    void move_left(std::uint32_t cls, std::uint32_t weight);
    // The same for ordered sums, by the position of the row's class.
    void move_at(std::uint32_t position, std::uint32_t weight);
    // Whether the sides are ordered sums and every class is held by one row: a row then moves by
    // its class's position and its weight alone, both below 2^28 and 16.
    bool one_row_ordered() const { return ordered_ && one_row_each_; }
    // Where one_row_ordered, moves the rows of column[from, to) left by their words of `slots`
    // (by row: the position of the row's class shifted left by 4, or'd with its weight), as
    // move_at would one by one.
    void move_slots(std::span<const Entry> column, std::size_t from, std::size_t to,
                    const std::uint32_t* slots);
    // Whether every class is held by one row and the sides are summed class by class: a row
    // then moves by its class and weight alone (move_whole_classes).
    bool whole_classes() const { return one_row_each_ && !ordered_; }
    // Where whole_classes, moves the rows of column[from, to) left, as move_left would one by
    // one, in one loop without a call a row.
    template <bool Packed>
    void move_whole_classes(std::span<const Entry> column, std::size_t from, std::size_t to,
                            const RowReader<Packed>& rows) {
        constexpr std::size_t record_ahead = 32, class_ahead = 16;
        for (std::size_t k = from; k < to; ++k) {
            if (k + record_ahead < column.size()) rows.prefetch(column[k + record_ahead].row);
            if (k + class_ahead < column.size())
                __builtin_prefetch(left_ + rows.cls(column[k + class_ahead].row), 1);
            const std::uint32_t row = column[k].row;
            const std::uint32_t weight = rows.weight(row);
            if (weight == 0) continue;
            left_[rows.cls(row)] = weight;
            count_whole(weight, false);
        }
    }
    // The reverse: moves the rows of column[from, to), which move_slots moved left, back right.
    void move_slots_back(std::span<const Entry> column, std::size_t from, std::size_t to,
                         const std::uint32_t* slots);
    // Asks for what move_left(cls, ...) reads: a walk knows its classes some rows ahead.
    static constexpr bool by_class = true;
    // Inlined always: GCC takes a function of nothing but prefetches for one without effects
    // and drops its calls.
    [[gnu::always_inline]] void prefetch(std::uint32_t cls) const {
        if (ordered_) {
            __builtin_prefetch(scratch_.start.position.data() + cls);
            return;
        }
        __builtin_prefetch(left_ + cls, 1);
        if (!one_row_each_) __builtin_prefetch(node_.counts + cls);
    }
    std::uint32_t left_total() const { return left_total_; }
    std::uint32_t left_classes() const { return left_classes_; }  // with a non-zero count
    std::uint32_t right_classes() const { return right_classes_; }
    // The score of the split between the rows moved left so far and the rest.
    double score();
    // A score at or above score(), cheaper where the sides are ordered sums (depth 0: from their
    // counts of each kind, OrderedSum::coarse_ceiling; 1: from those of each stretch of
    // positions, least_sum_of_stretches; 2: OrderedSum::ceiling), and score() itself where they
    // are not.
    double ceiling(unsigned depth);
    // Whether the score may reach `bar`, by the ceilings of depth 0 to `depth` in turn (each
    // call one depth deeper than the last, for the rows moved so far). A side's ceiling, with the
    // other side's from the depth before, may already fall short: the score only rises with
    // either side's sum, so the other side is then never summed at this depth.
    bool reaches(unsigned depth, double bar);
    bool ordered() const { return ordered_; }

  private:
    // Counts, squares and weight of a class held by one row, of `weight`, crossing whole: to the
    // left, or back right when `back`.
    void count_whole(std::uint32_t weight, bool back) {
        bounded_ = false;
        const std::uint64_t square = std::uint64_t{weight} * weight;
        if (back) {
            --left_classes_;
            ++right_classes_;
            left_squares_ -= square;
            right_squares_ += square;
            left_total_ -= weight;
            return;
        }
        ++left_classes_;
        --right_classes_;
        left_squares_ += square;
        right_squares_ -= square;
        left_total_ += weight;
    }
    // The same where the sides are ordered sums, with the class's kinds at `position`.
    void cross_whole(std::uint32_t position, std::uint32_t weight, bool back);
    // Counts, squares and weight of a move of `weight` from a class's `right` to its `left`.
    void count_move(std::uint32_t left, std::uint32_t right, std::uint32_t weight);
    float side_sum(bool right, std::uint32_t classes, std::uint64_t squares, std::uint32_t total);
    float side_ceiling(bool right, std::uint32_t classes, std::uint64_t squares,
                       std::uint32_t total, unsigned depth);
    struct Pair {
        float left, right;
    };
    // Both sides' sums where they are neither ordered sums nor of one count each.
    Pair unordered_sums() const;
    // Brings the ordered sums up to the rows moved so far.
    void catch_up();

    const NodeCounts& node_;
    std::uint32_t* left_;
    SideScratch& scratch_;
    bool ordered_;  // the sides are summed by scratch_.left and scratch_.right
    bool one_row_each_;
    // Most candidates are ruled out by their counts of each kind alone, so rows move left
    // without touching the ordered sums, which catch up only for a candidate that asks them:
    // moved again class by class, or built anew once more classes moved than that costs.
    bool built_ = false;
    OrderedSum::KindCounts left_kinds_{}, right_kinds_{};
    unsigned stretch_shift_ = 0;  // a position's stretch is the position shifted by this
    std::uint32_t left_total_ = 0;
    std::uint32_t left_classes_ = 0;
    std::uint32_t right_classes_ = 0;
    std::uint64_t left_squares_ = 0;
    std::uint64_t right_squares_ = 0;
    // Each side's brackets of its terms, for its size: the same at each depth of a candidate.
    TermBrackets left_terms_, right_terms_;
    // The least ceiling of each side's sum found by reaches() since rows last moved.
    bool bounded_ = false;
    float left_bound_ = 0.0f, right_bound_ = 0.0f;
};

}  // namespace lindorf
