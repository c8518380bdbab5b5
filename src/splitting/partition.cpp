#include "splitting/partition.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "splitting/regression_tally.hpp"
#include "support/error.hpp"

namespace lindorf {

Partition split(MatrixView rows, std::span<const Label> labels, std::uint32_t feature,
                float threshold) {
    Partition parts;
    if (rows.n_rows == 0) return parts;
    LINDORF_CHECK(feature < rows.n_cols, "index out of bounds: the len is " +
                                             std::to_string(rows.n_cols) + " but the index is " +
                                             std::to_string(feature));
    LINDORF_CHECK(labels.size() >= rows.n_rows, "cannot split " + std::to_string(rows.n_rows) +
                                                    " rows with only " +
                                                    std::to_string(labels.size()) + " labels");
    for (std::size_t r = 0; r < rows.n_rows; ++r) {
        auto index = static_cast<std::uint32_t>(r);
        if (rows.at(r, feature) < threshold)
            parts.left.push_back(index);
        else
            parts.right.push_back(index);
    }
    return parts;
}

std::size_t left_size(std::span<const Entry> column, float threshold) {
    auto end = std::partition_point(column.begin(), column.end(),
                                    [threshold](const Entry& e) { return e.value < threshold; });
    return static_cast<std::size_t>(end - column.begin());
}

void SideFlags::mark(const WorkingSet& set, std::span<const Entry> split_column,
                     std::size_t n_left, std::size_t n_tail_left, bool concurrent) {
    constexpr std::size_t ahead = 64;
    const std::size_t tail = split_column.size() - n_tail_left;
    for (std::size_t i = 0; i < split_column.size(); ++i) {
        if (i + ahead < split_column.size()) fetch(set.local(split_column[i + ahead].row));
        const std::uint32_t local = set.local(split_column[i].row);
        std::atomic<std::uint64_t>& word = words_[local / 64];
        const std::uint64_t bit = std::uint64_t{1} << (local % 64);
        const bool left = i < n_left || i >= tail;
        if (concurrent) {
            if (left)
                word.fetch_or(bit, std::memory_order_relaxed);
            else
                word.fetch_and(~bit, std::memory_order_relaxed);
        } else {
            const std::uint64_t old = word.load(std::memory_order_relaxed);
            word.store(left ? old | bit : old & ~bit, std::memory_order_relaxed);
        }
    }
}

namespace {

// How many entries ahead a row's side is asked for when the side bits do not stay in the nearest
// cache.
constexpr std::size_t fetch_ahead = 64;

// An entry moved as one 64-bit word: copied as its two fields, it took two stores where one does,
// and the divisions below are bound by their stores.
struct Moved {
    std::uint64_t word;
    std::uint32_t row;
};
inline Moved move_from(const Entry* entry) {
    Moved moved{0, entry->row};
    std::memcpy(&moved.word, entry, sizeof(Entry));
    return moved;
}
inline void move_to(Entry* slot, const Moved& moved) { std::memcpy(slot, &moved.word, sizeof(Entry)); }
static_assert(sizeof(Entry) == sizeof(std::uint64_t), "an entry moves as one 64-bit word");

// Lefts compacted to the front of `entries`, rights to `rights` in order; the number of lefts.
// Every entry is written to both places and only the cursor of its side moves (the rights' is
// the entries read less the lefts).
template <bool Fetch>
std::size_t divide_forwards(Entry* entries, std::size_t size, const SideFlags& sides,
                            unsigned row_shift, Entry* rights) {
    const SideFlags::Reader side = sides.reader();
    std::size_t write = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (Fetch && i + fetch_ahead < size) sides.fetch(entries[i + fetch_ahead].row >> row_shift);
        const Moved entry = move_from(entries + i);
        const std::size_t left = side.left(entry.row >> row_shift);
        move_to(entries + write, entry);
        move_to(rights + (i - write), entry);
        write += left;
    }
    return write;
}

// Stable two-way partition of one block. Only the smaller side passes through the buffer: the
// larger one is compacted in place, towards the front (left larger) or the back (right larger).
// Which side a row takes is a coin flip to the branch predictor, so every entry is written to
// both places and only the cursor of its side moves: a write that is not kept lands on a slot
// that a later entry (or the final copy) overwrites. The buffer has one spare slot for that.
// `Fetch`: each row's side is asked for a few dozen entries ahead (sides too large to stay in
// the nearest cache).
template <bool Fetch>
void partition_block_with(std::span<Entry> block, const SideFlags& sides, unsigned row_shift,
                          std::size_t n_left, std::vector<Entry>& buffer) {
    const std::size_t size = block.size();
    const std::size_t n_right = size - n_left;
    if (buffer.size() < std::min(n_left, n_right) + 1) buffer.resize(std::min(n_left, n_right) + 1);
    Entry* const held_entries = buffer.data();
    Entry* const entries = block.data();
    if (n_left <= n_right) {
        // Backwards: rights go to the back of the block, lefts to buffer slots n_left..1 (the
        // next at n_left + 1 + i - write: n_left less the lefts read so far).
        const SideFlags::Reader side = sides.reader();
        std::size_t write = size;
        for (std::size_t i = size; i-- > 0;) {
            if (Fetch && i >= fetch_ahead) sides.fetch(entries[i - fetch_ahead].row >> row_shift);
            const Moved entry = move_from(entries + i);
            const std::size_t left = side.left(entry.row >> row_shift);
            move_to(held_entries + (n_left + 1 + i - write), entry);
            move_to(entries + write - 1, entry);
            write -= 1 - left;
        }
        std::copy(held_entries + 1, held_entries + 1 + n_left, entries);
    } else {
        // Forwards: lefts go to the front of the block, rights to buffer slots 0..n_right-1.
        divide_forwards<Fetch>(entries, size, sides, row_shift, held_entries);
        std::copy(held_entries, held_entries + n_right, entries + n_left);
    }
}

void partition_block(std::span<Entry> block, const SideFlags& sides, unsigned row_shift,
                     std::size_t n_left, std::vector<Entry>& buffer) {
    if (sides.fits_nearby())
        partition_block_with<false>(block, sides, row_shift, n_left, buffer);
    else
        partition_block_with<true>(block, sides, row_shift, n_left, buffer);
}

// Nodes of at most this many rows divide their blocks through divide_few.
constexpr std::size_t few_entries = 32;

// The blocks of a node of few rows, each divided stably with its right side held on the stack.
// Most nodes of a deep tree have a handful of rows: for them, the calls, the buffer's upkeep and
// the copies of partition_block would cost more than moving the entries themselves.
void divide_few(WorkingSet& set, NodeRange range, std::size_t blocks, std::uint32_t feature,
                std::size_t n_tail_left, const SideFlags& sides) {
    const std::size_t size = range.size();
    const unsigned shift = set.coding.row_shift();
    Entry right[few_entries];
    for (std::size_t f = 0; f < blocks; ++f) {
        // The split feature's left rows are its prefix, unless a tail goes left too.
        if (f == feature && n_tail_left == 0) continue;
        Entry* entries = set.column(f, range.begin, range.end).data();
        const std::size_t left = divide_forwards<false>(entries, size, sides, shift, right);
        for (std::size_t k = 0; k < size - left; ++k) entries[left + k] = right[k];
    }
}

}  // namespace

void partition_node(WorkingSet& set, NodeRange range, std::uint32_t feature, std::size_t n_left,
                    const SideFlags& sides, ScratchSlots& scratch, WorkerPool* pool,
                    std::size_t n_tail_left, bool first_only) {
    const std::size_t blocks = first_only ? std::min<std::size_t>(set.n_cols, 1) : set.n_cols;
    auto divide = [&](std::size_t f, Scratch& held) {
        // The split feature's left rows are its prefix, unless a tail goes left too.
        if (f == feature && n_tail_left == 0) return;
        partition_block(set.column(f, range.begin, range.end), sides, set.coding.row_shift(),
                        n_left + n_tail_left, held.entries);
    };
    if (pool == nullptr && range.size() <= few_entries) {
        divide_few(set, range, blocks, feature, n_tail_left, sides);
    } else {
        // The many small nodes of deep trees divide their blocks on one thread (no pool): one
        // lease and a plain loop, where a call through the pool's loop and a lease per block
        // would cost such a node about as much as dividing its few entries.
        for_each_leased(pool, blocks, scratch, false, divide);
    }
    partition_targets(set.regression, set.n_rows, range, sides, scratch);
}

void partition_entries(std::span<Entry> entries, const SideFlags& sides, unsigned row_shift,
                       std::size_t n_left, std::vector<Entry>& buffer) {
    partition_block(entries, sides, row_shift, n_left, buffer);
}

void partition_node_rows(WorkingSet& set, NodeRange range, std::size_t n_left,
                         const SideFlags& sides, Scratch& scratch) {
    partition_block({set.node_rows.data() + range.begin, range.size()}, sides,
                    set.coding.row_shift(), n_left, scratch.entries);
}

}  // namespace lindorf
