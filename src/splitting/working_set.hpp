// The training data of one tree as split search and partition work on it.
//
// Each feature keeps its own copy of the tree's rows as (value, row) entries sorted by value, NaN
// last. A node is a range [begin, end) that means the same rows in every feature's block: splits
// partition each block's range stably, so every block stays sorted and no row is ever copied.
//
// Rows are the tree's own local numbering. A tree grown on a sample sees each drawn row once,
// with a weight (how often it was drawn) and the first and last positions at which it was drawn:
// that is all the tie rules of growth ever ask of the order of a training list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "criteria/gain_proxy.hpp"
#include "splitting/regression_rows.hpp"
#include "support/dataset.hpp"

namespace lindorf {

struct ClassIndex;
class WorkerPool;

struct Entry {
    float value;
    std::uint32_t row;
};

struct RowClass {
    std::uint32_t cls;     // dense class index (ascending label order)
    std::uint32_t weight;  // occurrences of the row in the training list; 0: no label
};

inline constexpr std::uint32_t no_position = 0xFFFFFFFFu;

// An allocator whose vectors leave new elements of a trivial type unset. A working set's blocks
// are filled as soon as they are made: setting every entry to zero first would pass over all of
// them once more, on one thread, and take every page's first fault there too, where the
// threads that fill the blocks share them.
template <class T>
struct UnsetAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UnsetAllocator<U>;
    };
    UnsetAllocator() = default;
    template <class U>
    UnsetAllocator(const UnsetAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* place) noexcept {
        static_assert(std::is_trivially_default_constructible_v<U>);
        ::new (static_cast<void*>(place)) U;
    }
    template <class U, class... Args>
    void construct(U* place, Args&&... args) {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

// How the entries of a working set name their rows. Looking a row's class and weight up in a
// table costs a cache miss per entry on large data, so whenever the bits suffice the entry's
// row field carries them along: local row in the high bits, then the class, then the weight
// (left out when every weight is 1).
struct RowCoding {
    bool packed = false;
    unsigned class_bits = 0;
    unsigned weight_bits = 0;
    std::uint32_t weight_base = 1;  // added to the weight bits: 1 when they are left out

    // Where the local row starts in a coded row.
    unsigned row_shift() const { return class_bits + weight_bits; }
};

// Every feature's value of every row of the data a working set was drawn from, laid out by rows
// or by features: the value of feature f of source row r is data[r * row_step + f * feature_step].
struct SourceValues {
    const float* data = nullptr;
    std::size_t row_step = 0;
    std::size_t feature_step = 0;
};

// What the general path keeps beside the entries: each local row's weight as a whole number of
// units (so that sums of weights are exact, whatever their order) and, with several outputs, its
// class in each. With one output, classes come from the entries as on the exact path.
struct GeneralRows {
    std::vector<std::uint64_t> units;  // by local row
    double unit = 1.0;                 // the weight of one unit, a power of two
    std::size_t n_outputs = 1;
    // Several outputs: by local row and output, the flat class index (the classes of every
    // output numbered one after another, from output_offset[o]). Empty with one output.
    std::vector<std::uint32_t> classes;
    std::vector<std::uint32_t> output_offset;  // n_outputs + 1 entries; several outputs only
    // One output and classes and draws carried in the entries: each row's units by its coded
    // row's low bits, when those settle them (weights by class, as class weights give them), in
    // a table of at most 256. Empty otherwise.
    std::vector<std::uint64_t> by_code;
};

struct WorkingSet {
    std::size_t n_rows = 0;  // local rows
    std::size_t n_cols = 0;
    // n_cols blocks of n_rows entries, rows coded
    std::vector<Entry, UnsetAllocator<Entry>> entries;
    RowCoding coding;
    std::vector<RowClass> row_class;   // by local row; released once packed into the entries
    // By local row: earliest and latest position in the training list. Both empty for a plain
    // training list, where local row r is position r: read them through first_position and
    // last_position.
    std::vector<std::uint32_t> first;
    std::vector<std::uint32_t> last;
    std::vector<Label> class_labels;   // the label of each class
    CountLog count_log;                // up to the total weight, unless that is far beyond n_rows
    // For nodes that sort the features they search themselves (tree/node_columns.hpp): the
    // values (not owned; no data: no node does), the source row of each local row (empty: the
    // same), and such nodes' rows as coded rows, at each node's range (values unused).
    SourceValues source;
    std::vector<std::uint32_t> source_of;
    std::vector<Entry> node_rows;
    // Random thresholds: most values (rows times every feature) a node copies for its subtree to
    // gather from (LooseColumns::clear); a quarter of a core's cache. 0: no node copies.
    std::size_t copy_values = std::size_t{1} << 16;
    // Random thresholds: the same values laid out by feature (not owned; no data: none), which
    // nodes holding a large share of the rows gather from instead (LooseColumns::clear).
    SourceValues dense;
    GeneralRows general;  // the general path's rows; empty units on the exact path
    RegressionRows regression;         // a regression tree\'s targets and weights; else empty

    bool is_general() const { return !general.units.empty(); }
    bool is_regression() const { return !regression.targets.empty(); }

    std::span<Entry> column(std::size_t f, std::size_t begin, std::size_t end) {
        return {entries.data() + f * n_rows + begin, end - begin};
    }
    std::span<const Entry> column(std::size_t f, std::size_t begin, std::size_t end) const {
        return {entries.data() + f * n_rows + begin, end - begin};
    }
    std::uint32_t local(std::uint32_t coded) const { return coded >> coding.row_shift(); }
    std::uint32_t first_position(std::uint32_t local) const {
        return first.empty() ? local : first[local];
    }
    std::uint32_t last_position(std::uint32_t local) const {
        return last.empty() ? local : last[local];
    }
};

// Class and weight of a coded row, for one layout fixed at compile time so that loops over
// entries carry no test of it.
template <bool Packed>
struct RowReader {
    explicit RowReader(const WorkingSet& set)
        : table(set.row_class.data()),
          class_shift(set.coding.weight_bits),
          class_mask((std::uint32_t{1} << set.coding.class_bits) - 1),
          weight_mask((std::uint32_t{1} << set.coding.weight_bits) - 1),
          weight_base(set.coding.weight_base) {}

    std::uint32_t cls(std::uint32_t coded) const {
        if constexpr (Packed)
            return (coded >> class_shift) & class_mask;
        else
            return table[coded].cls;
    }
    std::uint32_t weight(std::uint32_t coded) const {
        if constexpr (Packed)
            return (coded & weight_mask) + weight_base;
        else
            return table[coded].weight;
    }
    // Asks for a row's class and weight ahead of their use: rows in value order name their
    // records in no order at all, a cache miss each on large data.
    [[gnu::always_inline]] void prefetch(std::uint32_t coded) const {
        if constexpr (!Packed) __builtin_prefetch(table + coded);
    }

    const RowClass* table;
    unsigned class_shift;
    std::uint32_t class_mask;
    std::uint32_t weight_mask;
    std::uint32_t weight_base;
};

// Chooses the coding for the set's row_class (filled in for every local row) and returns the
// coded row of each local row. Builders store these in the entries, then call release_table,
// which fills in count_log (with `count_table`) and drops row_class when the entries carry it.
std::vector<std::uint32_t> code_rows(WorkingSet& set);
void release_table(WorkingSet& set, bool count_table = true);

// The rows of one node: the same range in every feature's block.
struct NodeRange {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t size() const { return end - begin; }
};

// The working set of a plain training list: row r is local row r, with weight 1 and position r.
// classes.of holds the class of each label; rows beyond the labels get weight 0, labels beyond
// the rows are not looked at. Features are sorted in parallel when a pool is given.
WorkingSet working_set_of_rows(MatrixView rows, const ClassIndex& classes, WorkerPool* pool);

}  // namespace lindorf
