#include "splitting/working_set.hpp"

#include <algorithm>
#include <string>

#include "criteria/classes.hpp"
#include "splitting/scratch.hpp"
#include "splitting/sort_columns.hpp"
#include "support/error.hpp"
#include "support/parallel.hpp"

namespace lindorf {

namespace {

unsigned bits_for(std::uint64_t largest) {
    unsigned bits = 0;
    while (bits < 64 && (largest >> bits) != 0) ++bits;
    return bits;
}

void tabulate_counts(WorkingSet& set) {
    // One class (a regression tree's set among them): every node is pure and none is searched.
    // The table would cost a logarithm per unit of weight, a million of them on a million rows.
    if (set.class_labels.size() < 2) {
        set.count_log = CountLog{};
        return;
    }
    std::uint64_t total = 0;
    for (const RowClass& row : set.row_class) total += row.weight;
    // The table costs 8 bytes per unit of weight, the entries 8 per row and feature: sets whose
    // weights would make the table outgrow the entries are searched without screening instead.
    const std::uint64_t largest =
        std::max<std::uint64_t>(std::uint64_t{set.n_rows} * std::max<std::size_t>(set.n_cols, 4),
                                std::uint64_t{1} << 16);
    set.count_log = total <= largest ? count_log_table(total) : CountLog{};
}

}  // namespace

std::vector<std::uint32_t> code_rows(WorkingSet& set) {
    std::uint32_t heaviest = 0;
    bool all_single = true;
    for (const RowClass& row : set.row_class) {
        heaviest = std::max(heaviest, row.weight);
        all_single = all_single && row.weight == 1;
    }
    RowCoding coding;
    coding.weight_bits = all_single ? 0 : bits_for(heaviest);
    coding.weight_base = all_single ? 1 : 0;
    coding.class_bits = set.class_labels.size() > 1 ? bits_for(set.class_labels.size() - 1) : 0;
    unsigned row_bits = set.n_rows > 1 ? bits_for(set.n_rows - 1) : 0;
    const unsigned row_shift = coding.row_shift();
    // Without features there are no entries to carry anything: the table stays.
    coding.packed = set.n_cols > 0 && row_shift < 32 && row_bits + row_shift <= 32;
    std::vector<std::uint32_t> coded(set.n_rows);
    if (!coding.packed) {
        set.coding = RowCoding{};
        for (std::size_t r = 0; r < set.n_rows; ++r) coded[r] = static_cast<std::uint32_t>(r);
        return coded;
    }
    set.coding = coding;
    for (std::size_t r = 0; r < set.n_rows; ++r) {
        const RowClass& row = set.row_class[r];
        std::uint32_t weight = coding.weight_bits == 0 ? 0 : row.weight;
        coded[r] =
            (static_cast<std::uint32_t>(r) << row_shift) | (row.cls << coding.weight_bits) | weight;
    }
    return coded;
}

void release_table(WorkingSet& set, bool count_table) {
    // Built last, so that it never adds to the memory that sorting the entries needs.
    if (count_table) tabulate_counts(set);
    if (set.coding.packed) std::vector<RowClass>().swap(set.row_class);
}

WorkingSet working_set_of_rows(MatrixView rows, const ClassIndex& classes, WorkerPool* pool) {
    LINDORF_CHECK(rows.n_rows < no_position,
                  std::to_string(rows.n_rows) + " rows are more than a tree can be grown from");
    WorkingSet set;
    set.n_rows = rows.n_rows;
    set.n_cols = rows.n_cols;
    set.class_labels = classes.labels;
    set.row_class.resize(rows.n_rows);
    for (std::size_t r = 0; r < rows.n_rows; ++r) {
        bool labelled = r < classes.of.size();
        set.row_class[r] = {labelled ? classes.of[r] : 0u, labelled ? 1u : 0u};
    }
    std::vector<std::uint32_t> coded = code_rows(set);
    set.entries.resize(rows.n_rows * rows.n_cols);
    WorkerPool* sort_pool = rows.n_rows >= parallel_sort_rows ? pool : nullptr;
    // One pass over the rows fills every feature's block: reading the row-major matrix once per
    // feature would fetch every cache line of it once per feature. Stretches of rows are filled
    // in parallel: on large data this copy is as long as a feature's sort.
    constexpr std::size_t stretch = 1 << 14;
    parallel_for(sort_pool, (rows.n_rows + stretch - 1) / stretch, [&](std::size_t s) {
        const std::size_t end = std::min(rows.n_rows, (s + 1) * stretch);
        for (std::size_t r = s * stretch; r < end; ++r) {
            const std::span<const float> row = rows.row(r);
            for (std::size_t f = 0; f < rows.n_cols; ++f)
                set.entries[f * rows.n_rows + r] = {row[f], coded[r]};
        }
    });
    std::vector<std::uint32_t>().swap(coded);
    {
        ScratchSlots buffers(sort_pool != nullptr ? sort_pool->threads() : 1);
        parallel_for(sort_pool, rows.n_cols, [&](std::size_t f) {
            auto lease = buffers.claim();
            sort_entries(set.column(f, 0, rows.n_rows), lease->entries);
        });
    }
    release_table(set);
    return set;
}

}  // namespace lindorf
