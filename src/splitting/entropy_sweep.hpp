// The information-gain sweep of one feature, screened: every candidate gets the cheap proxy of
// gain_proxy.hpp, and only those whose proxy comes within the proven bounds of the best one are
// scored exactly. The answer is the one an exact sweep gives, bit for bit: a candidate passed
// over scores strictly below some other candidate of the feature, or not above 0.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "criteria/criteria.hpp"
#include "criteria/gain_proxy.hpp"
#include "splitting/column_best.hpp"
#include "splitting/scratch.hpp"
#include "splitting/working_set.hpp"

namespace lindorf {

// What the screening of one node needs, in the table's fixed-point units.
struct EntropyScreen {
    bool usable = false;     // false: no bound could be proven, score every candidate exactly
    std::int64_t window = 0;  // proxies further below the best one cannot win or tie
    std::int64_t floor = 0;   // proxies at or below this cannot score above 0
    double step_inverse = 0.0;     // at most 1 / the largest change of a proxy per unit of weight
    std::int64_t proxy_error = 0;  // how far table rounding may move a two-class proxy
    // Twice as far as table rounding may move f(x) + f(total - x) from its real value.
    std::int64_t balance_error = 0;
    double table_to_real = 0.0;    // ProxyBounds::table_to_real of the node
    std::size_t live = 0;     // classes with a non-zero count in the node
    std::uint32_t pair[2] = {0, 0};  // the first two of them, ascending
    std::int64_t node_sum = 0;  // the table's entries of the node's counts, summed
    // Names the node among those searched with the same scratch slots (ScratchSlots::number),
    // so that work shared by its features is done once per slot; 0: a node of its own.
    std::uint64_t node = 0;
};

EntropyScreen entropy_screen(const NodeCounts& node, const CountLog& table);

// Where every class of a node is held by one row, a candidate's proxy is node_sum - f(left) -
// f(total - left), a function of its left weight alone, which rises up to total / 2 and falls
// past it (up to table rounding, `error` = EntropyScreen::balance_error). How much more weight
// may move left past `left` with no candidate's proxy reaching `cutoff` on the way: 0 when
// rounding leaves that open, `never_reached` when no weight moved left reaches it.
inline constexpr std::int64_t never_reached = std::numeric_limits<std::int64_t>::max();
std::int64_t balanced_room(const std::int64_t* f, std::uint32_t total, std::int64_t node_sum,
                           std::uint32_t left, std::int64_t cutoff, std::int64_t error);

// What the features of one node searched with one screen share: the best proxy found so far in
// any of them, and the best exact score. Candidates that provably score below either are passed
// over, so a feature may return a result short of its own best, which is no loss: that best
// scores strictly below another feature's. The node's answer is the same as without sharing,
// whatever order the features are searched in.
struct SharedBest {
    std::atomic<std::int64_t> proxy{std::numeric_limits<std::int64_t>::min()};
    std::atomic<double> score{0.0};  // nothing at or below 0 is ever chosen
};

// The sweep of split_search.cpp's rules (candidates, min_leaf, min_rows, tie rules) under a
// usable screen, sharing `shared` with the node's other features when given.
FeatureBest screened_entropy_column(std::span<const Entry> column, const WorkingSet& set,
                                    const NodeCounts& node, std::uint32_t min_leaf,
                                    const EntropyScreen& screen, Scratch& scratch,
                                    SharedBest* shared = nullptr, std::uint32_t min_rows = 0);

}  // namespace lindorf
