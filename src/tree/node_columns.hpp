// Nodes that sort the features they search themselves. A working set keeps every feature's rows
// in value order and divides all of them at every split, which costs a node its rows times all
// the features; a node that searches only a few drawn features of many does better to sort
// just those, from the values by feature, for its rows (WorkingSet::node_rows). A node's sorted
// range of a feature is then the same as the working set's block holds, but for the order of
// rows of equal values, which no search, tie rule or partition looks at: the same tree grows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "splitting/general_sweep.hpp"
#include "splitting/working_set.hpp"
#include "support/dataset.hpp"
#include "support/parallel.hpp"

namespace lindorf {

// Whether a node of `rows` rows that searches `searched` of `n_cols` features costs less when
// it sorts those itself than when every feature is kept sorted. Once a node does, its
// descendants do too: the advantage only grows as nodes shrink.
bool sorts_on_demand(std::size_t n_cols, std::size_t searched, std::size_t rows);

// Every feature's values, feature after feature: what nodes gather their columns from when they
// gather many, since gathering from rows reads a cache line for every value.
std::vector<float> values_by_feature(MatrixView rows, WorkerPool* pool);
SourceValues by_rows(MatrixView rows);
SourceValues by_features(const std::vector<float>& values, std::size_t n_rows);

// Whether nodes that gather `searched` of `n_cols` features as their rows lie (random
// thresholds) do better to read them from the rows, each row's values side by side, than laid
// out by feature. A deep node's rows lie far apart, so laid out by feature every value it reads
// is a cache line of its own; a row's values share a few.
bool gathers_from_rows(std::size_t n_cols, std::size_t searched);

// Whether `trees` trees whose nodes all sort their own features gather enough values to be worth
// laying every value out by feature first: each tree's nodes gather about the searched features
// of every row once per level.
bool worth_laying_out_by_feature(std::size_t n_rows, std::size_t n_cols, std::size_t searched,
                                 std::size_t trees);

// The values that nodes gathering their own columns read, and the copy laid out by feature that
// `source` may point into: it moves with the record, so the record is never copied.
struct GatherSource {
    std::vector<float> by_feature;
    SourceValues source;  // empty: no node gathers its own columns
    SourceValues dense;   // by_feature, when source reads rows and large nodes read it instead
    GatherSource() = default;
    GatherSource(GatherSource&&) = default;
    GatherSource& operator=(GatherSource&&) = default;
    GatherSource(const GatherSource&) = delete;
    GatherSource& operator=(const GatherSource&) = delete;
};

// Where the nodes of `trees` trees that search `max_features` (0: all) of the rows' features and
// sort those themselves read their values; empty when no node would sort its own.
GatherSource sort_own_source(MatrixView rows, std::size_t max_features, std::size_t trees,
                             WorkerPool* pool);

// Where nodes that draw thresholds at random gather the `max_features` (0: all) features they
// search.
GatherSource random_cut_source(MatrixView rows, std::size_t max_features, WorkerPool* pool);

// Lets the node of `range` of a working set with sorted blocks sort its features itself: its
// rows from the first block, in ascending order.
void take_rows_from_blocks(WorkingSet& set, NodeRange range);

// The columns of one node's drawn features.
class NodeColumns {
  public:
    // Starts a node.
    void clear(NodeRange range);
    // Gathers the node's values of feature f and keeps them when some threshold puts a row on
    // each side (feature_draw.hpp's divides, NaN sides learned or not); returns whether it does.
    bool gather(const WorkingSet& set, NodeRange range, std::uint32_t f, bool learn_nan = false);
    // Sorts the kept columns and lines them up with `features`, the kept features ascending.
    std::span<const std::span<const Entry>> sort(std::span<const std::uint32_t> features,
                                                 WorkerPool* pool);
    // The sorted column of feature f: a kept one, or one gathered and sorted now (the columns
    // returned by sort() are then no longer valid).
    std::span<const Entry> column(const WorkingSet& set, NodeRange range, std::uint32_t f);

  private:
    std::span<Entry> gather_slot(const WorkingSet& set, NodeRange range, std::uint32_t f);

    std::vector<Entry> entries_;  // the kept columns, then the one gathered last
    std::vector<Entry> buffer_;   // for sorting them, column by column
    std::vector<std::uint32_t> kept_;
    std::vector<std::span<const Entry>> columns_;  // lined up with the features ascending
    std::size_t rows_ = 0;
};

// Moves the n rows whose value (values[i], row i's) is below `threshold`, and with `nan_left`
// those of NaN, to the front of `rows`, the others after them, each side in its order; `right`
// holds n entries. Returns how many go left.
std::size_t divide_by_values(Entry* rows, const float* values, std::size_t n, float threshold,
                             bool nan_left, Entry* right);

// The columns of one node's features as its rows lie, for random thresholds: a drawn threshold
// needs a column's extent and one pass over it, never its order, so nothing is sorted.
class LooseColumns {
  public:
    // Starts a node. A node whose rows' values, every feature's, number at most
    // WorkingSet::copy_values, and that no copy covers yet, copies them side by side once for its
    // whole subtree: a deep node's rows lie far apart in the data, a cache miss or two each, where
    // the copy's stay in cache for every node below. A node's rows keep their place in the copy
    // in their value fields (node_rows' values are otherwise unused) and move only within the
    // range the copy was made at, entries whole, so the copy serves every node inside that range
    // as long as no other record divides those rows or copies them; growth gives each record
    // rows of its own.
    void clear(WorkingSet& set, NodeRange range);
    // Gathers the node's values of `features` in one pass over its rows and keeps those that
    // some threshold divides (feature_draw.hpp's divides), setting answers[k] to whether
    // features[k] is kept.
    void gather(const WorkingSet& set, NodeRange range, std::span<const std::uint32_t> features,
                bool learn_nan, std::span<std::uint8_t> answers);
    // Gathers and keeps feature f whatever its values.
    void keep(const WorkingSet& set, NodeRange range, std::uint32_t f);
    // The copy the current node reads its rows' values from (each row's place in its value
    // field), or null when it reads them elsewhere.
    const float* copy() const { return reads_copy_ ? copy_.data() : nullptr; }
    // The kept columns, in the order they were kept.
    std::span<const LooseColumn> kept() const { return columns_; }
    std::uint32_t feature(std::size_t k) const { return features_[k]; }

    // Divides the node's rows (WorkingSet::node_rows at its range) at feature f's `threshold`:
    // the rows whose number is below it, and with `nan_left` those of NaN, move to the front,
    // each side in its order. Returns how many go left.
    std::size_t divide(WorkingSet& set, NodeRange range, std::uint32_t f, float threshold,
                       bool nan_left);

  private:
    void gather_batch(const WorkingSet& set, NodeRange range,
                      std::span<const std::uint32_t> features);
    void copy_rows(WorkingSet& set, NodeRange range);

    std::vector<float> copy_;  // the copied rows' values, row after row
    NodeRange copied_;         // the range the copy was made at; empty: none
    bool reads_copy_ = false;  // the current node reads the copy
    bool reads_dense_ = false;  // the current node reads WorkingSet::dense

    std::vector<float> values_;  // a slot of rows_ values for each feature gathered at the node
    std::size_t used_ = 0;       // slots gathered into at the node
    std::vector<std::uint32_t> features_;  // kept
    std::vector<LooseColumn> columns_;     // kept, lined up with features_
    std::vector<std::size_t> slots_;       // of the kept columns
    std::vector<LooseColumn> batch_;       // gathered last
    std::vector<Entry> right_;
    std::size_t rows_ = 0;
};

}  // namespace lindorf
