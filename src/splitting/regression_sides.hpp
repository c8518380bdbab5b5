// The running state of one side of a regression candidate, one kind per criterion: the sums of
// the rows left of it (squared error, Poisson deviance) or the median tracks of both sides
// (absolute error), and the same for the node's NaN rows when their side is learned. The sweep
// (regression_sweep.cpp) adds rows in a feature's sorted order and asks each candidate's score
// and, for the best, both sides' values; all of it is inlined into the sweep's loops.
#pragma once

#include <cstddef>
#include <cstdint>

#include "criteria/regression.hpp"
#include "splitting/regression_rows.hpp"
#include "splitting/regression_sweep.hpp"
#include "splitting/scratch.hpp"
#include "splitting/working_set.hpp"

namespace lindorf {

// A row's units and scoring weight, for one weighting fixed at compile time.
template <bool Uniform>
struct Weighing {
    const RegressionRows& rows;

    std::uint64_t units(std::uint32_t local) const {
        if constexpr (Uniform) return 1;
        else return rows.units[local];
    }
    double weight(std::uint64_t units) const {
        if constexpr (Uniform) return 1.0;
        else return units_value(units) * rows.unit;
    }
};

// Every side keeps the running state of the rows left of the candidate, and that of the node's
// NaN rows when their side is learned.
struct SideBase {
    const WorkingSet& set;
    const RegressionRows& rows;
    const RegressionNode& node;
    std::size_t n_out;
    std::uint64_t units = 0;
    std::uint64_t nan_units = 0;

    double weight_of(std::uint64_t u) const {
        return units_value(u) * rows.scoring_unit();
    }
    // What the sweep asks for ahead of reading a row: the sweep calls __builtin_prefetch itself,
    // since GCC drops the prefetch of a helper it finds free of side effects, call and all.
    const void* ahead(const Entry& entry) const { return rows.targets_of(set.local(entry.row)); }
};

template <bool Uniform>
struct SquaredSide : SideBase {
    SplitSum* left = nullptr;
    SplitSum* nan = nullptr;

    void start(RegressionScratch& scratch) {
        scratch.parts.assign(2 * n_out, SplitSum{});
        left = scratch.parts.data();
        nan = left + n_out;
    }
    void add_to(SplitSum* into, std::uint64_t& into_units, const Entry& entry) const {
        const std::uint32_t local = set.local(entry.row);
        for (std::size_t o = 0; o < n_out; ++o) {
            const SplitParts term = rows.squared_term(local, o, node.centre[o], node.grid[o]);
            into[o].high += term.high;
            into[o].low += term.low;
        }
        into_units += Weighing<Uniform>{rows}.units(local);
    }
    void add(const Entry& entry) { add_to(left, units, entry); }
    void add_nan(const Entry& entry) { add_to(nan, nan_units, entry); }

    bool score(bool nan_left, double& out) const {
        const std::uint64_t left_units = units + (nan_left ? nan_units : 0);
        double left_squares = 0.0;
        double right_squares = 0.0;
        for (std::size_t o = 0; o < n_out; ++o) {
            SplitSum l = left[o];
            if (nan_left) l.add(nan[o]);
            const double lv = l.value();
            const double rv = node.centred[o].minus(l);
            left_squares += lv * lv;
            right_squares += rv * rv;
        }
        const double wl = weight_of(left_units);
        const double wr = weight_of(node.units - left_units);
        out = (left_squares * wr + right_squares * wl) / (wl * wr);
        return true;
    }
    // The sides' means (one output), as c + S / W from the centred sums.
    void values(bool nan_left, double& left_value, double& right_value) const {
        const std::uint64_t left_units = units + (nan_left ? nan_units : 0);
        SplitSum l = left[0];
        if (nan_left) l.add(nan[0]);
        left_value = node.centre[0] + l.value() / weight_of(left_units);
        right_value = node.centre[0] + node.centred[0].minus(l) / weight_of(node.units - left_units);
    }
};

template <bool Uniform>
struct PoissonSide : SideBase {
    Sum2* left = nullptr;
    Sum2* nan = nullptr;
    std::uint32_t* positive = nullptr;
    std::uint32_t* nan_positive = nullptr;

    void start(RegressionScratch& scratch) {
        scratch.sums.assign(2 * n_out, Sum2{});
        scratch.positive.assign(2 * n_out, 0);
        left = scratch.sums.data();
        nan = left + n_out;
        positive = scratch.positive.data();
        nan_positive = positive + n_out;
    }
    void add_to(Sum2* into, std::uint32_t* into_positive, std::uint64_t& into_units,
                const Entry& entry) const {
        const Weighing<Uniform> weighing{rows};
        const std::uint32_t local = set.local(entry.row);
        const double* y = rows.targets_of(local);
        const std::uint64_t u = weighing.units(local);
        const double w = weighing.weight(u);
        for (std::size_t o = 0; o < n_out; ++o) {
            into[o].add(Uniform ? y[o] : w * y[o]);
            into_positive[o] += y[o] > 0.0;
        }
        into_units += u;
    }
    void add(const Entry& entry) { add_to(left, positive, units, entry); }
    void add_nan(const Entry& entry) { add_to(nan, nan_positive, nan_units, entry); }

    // A side whose targets of some output are all 0 would predict 0: not a candidate.
    bool score(bool nan_left, double& out) const {
        const std::uint64_t left_units = units + (nan_left ? nan_units : 0);
        const double left_weight = weight_of(left_units);
        const double right_weight = weight_of(node.units - left_units);
        double left_terms = 0.0;
        double right_terms = 0.0;
        for (std::size_t o = 0; o < n_out; ++o) {
            const std::uint32_t lp = positive[o] + (nan_left ? nan_positive[o] : 0);
            if (lp == 0 || lp == node.positive[o]) return false;
            Sum2 l = left[o];
            if (nan_left) l.add(nan[o]);
            const double lv = l.value();
            const double rv = node.sum[o].minus(l);
            if (!(lv > 0.0) || !(rv > 0.0)) return false;
            left_terms += poisson_term(lv, left_weight);
            right_terms += poisson_term(rv, right_weight);
        }
        out = left_terms + right_terms;
        return true;
    }
    void values(bool nan_left, double& left_value, double& right_value) const {
        const std::uint64_t left_units = units + (nan_left ? nan_units : 0);
        Sum2 l = left[0];
        if (nan_left) l.add(nan[0]);
        left_value = l.value() / weight_of(left_units);
        right_value = node.sum[0].minus(l) / weight_of(node.units - left_units);
    }
};

// Two tracks per output (left, right), or four when the NaN rows' side is learned (left with
// NaN, right without).
template <bool Uniform>
struct AbsoluteSide : SideBase {
    MedianTrack* tracks = nullptr;
    bool with_nan = false;

    MedianTrack& track(std::size_t o, std::size_t which) const { return tracks[o * 4 + which]; }

    void start(RegressionScratch& scratch, bool nan_tracked) {
        with_nan = nan_tracked;
        if (scratch.tracks.size() < 4 * n_out) scratch.tracks.resize(4 * n_out);
        tracks = scratch.tracks.data();
        for (std::size_t o = 0; o < n_out; ++o) {
            track(o, 0).start_empty(node.ranked[o]);
            track(o, 1) = node.full[o];
            if (!with_nan) continue;
            track(o, 2).start_empty(node.ranked[o]);
            track(o, 3) = node.full[o];
        }
    }
    const void* ahead(const Entry& entry) const {
        return node.ranked_rows + std::size_t{set.local(entry.row)} * n_out;
    }
    void add(const Entry& entry) {
        const RankedRow* row = node.ranked_rows + std::size_t{set.local(entry.row)} * n_out;
        for (std::size_t o = 0; o < n_out; ++o) {
            track(o, 0).insert(row[o].rank, row[o].units, row[o].weighted);
            track(o, 1).erase(row[o].rank, row[o].units, row[o].weighted);
            if (!with_nan) continue;
            track(o, 2).insert(row[o].rank, row[o].units, row[o].weighted);
            track(o, 3).erase(row[o].rank, row[o].units, row[o].weighted);
        }
        units += Uniform ? 1 : row[0].units;
    }
    void add_nan(const Entry& entry) {
        const RankedRow* row = node.ranked_rows + std::size_t{set.local(entry.row)} * n_out;
        for (std::size_t o = 0; o < n_out; ++o) {
            track(o, 2).insert(row[o].rank, row[o].units, row[o].weighted);
            track(o, 3).erase(row[o].rank, row[o].units, row[o].weighted);
        }
        nan_units += Uniform ? 1 : row[0].units;
    }

    bool score(bool nan_left, double& out) const {
        double total = 0.0;
        for (std::size_t o = 0; o < n_out; ++o)
            total += nan_left ? track(o, 2).deviation() + track(o, 3).deviation()
                              : track(o, 0).deviation() + track(o, 1).deviation();
        out = -total;
        return true;
    }
    void values(bool nan_left, double& left_value, double& right_value) const {
        left_value = track(0, nan_left ? 2 : 0).median();
        right_value = track(0, nan_left ? 3 : 1).median();
    }
};

}  // namespace lindorf
