// Dividing a node's rows between its two children: a row goes left when its value at the split
// feature is strictly below the threshold; equal values, NaN values and a NaN threshold go right.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "splitting/scratch.hpp"
#include "splitting/working_set.hpp"
#include "support/dataset.hpp"
#include "support/parallel.hpp"

namespace lindorf {

// Row indices of each side, each in ascending order.
struct Partition {
    std::vector<std::uint32_t> left;
    std::vector<std::uint32_t> right;
};

// No rows give two empty sides. Otherwise a feature beyond the rows' width, or fewer labels than
// rows, is an internal failure; labels beyond the rows are ignored.
Partition split(MatrixView rows, std::span<const Label> labels, std::uint32_t feature,
                float threshold);

// How many entries of a column range, sorted by value with NaN last, go left at `threshold`:
// they are always a prefix.
std::size_t left_size(std::span<const Entry> column, float threshold);

// The side each local row goes to at the split of its node, one bit per row. A node's rows lie
// scattered over the whole numbering, so every entry a partition moves looks its row up at
// random: a byte per row would outgrow the caches on large data (10 MB for ten million rows,
// against 1.25 MB of bits) and make that lookup a miss for most entries.
class SideFlags {
  public:
    explicit SideFlags(std::size_t rows) : words_((rows + 63) / 64) {}

    // The rows of a split feature's sorted range go left when among its first `n_left` or its
    // last `n_tail_left` (its NaN rows, when they go left). `concurrent`: other threads may mark
    // other rows, in the same words, at the same time.
    void mark(const WorkingSet& set, std::span<const Entry> split_column, std::size_t n_left,
              std::size_t n_tail_left, bool concurrent);
    // One row's side, when no other thread marks rows at the same time.
    void mark(std::uint32_t local, bool left) {
        std::atomic<std::uint64_t>& word = words_[local / 64];
        const std::uint64_t bit = std::uint64_t{1} << (local % 64);
        const std::uint64_t old = word.load(std::memory_order_relaxed);
        word.store(left ? old | bit : old & ~bit, std::memory_order_relaxed);
    }
    bool left(std::uint32_t local) const {
        return (words_[local / 64].load(std::memory_order_relaxed) >> (local % 64)) & 1;
    }
    // The bits for a loop that looks up many rows: read through it, the words' address is read
    // once, where the stores of a division would otherwise have it read again for every row.
    struct Reader {
        const std::atomic<std::uint64_t>* words;
        bool left(std::uint32_t local) const {
            return (words[local / 64].load(std::memory_order_relaxed) >> (local % 64)) & 1;
        }
    };
    Reader reader() const { return {words_.data()}; }
    // Asks for a row's bit ahead of its lookup: the lookups of a partition are independent of
    // each other, and fetching a few dozen entries ahead hides the cache misses that remain.
    void fetch(std::uint32_t local) const {
#if defined(__GNUC__)
        __builtin_prefetch(&words_[local / 64]);
#endif
    }

    // Whether the bits fit in a core's first-level cache with room to spare, where they stay
    // while a node's blocks are divided: then asking for them ahead only costs instructions.
    bool fits_nearby() const { return words_.size() * sizeof(std::uint64_t) <= 16 * 1024; }

  private:
    std::vector<std::atomic<std::uint64_t>> words_;
};

// Moves the rows that go left (marked in `sides`: the first `n_left` of the split feature's
// range and its last `n_tail_left`) to the front of the node's range in every feature, keeping
// each side in its sorted order. With a pool the features are partitioned in parallel.
// `first_only`: only the first feature's block (and a regression set's target order), all that
// children which cannot split read of their rows.
void partition_node(WorkingSet& set, NodeRange range, std::uint32_t feature, std::size_t n_left,
                    const SideFlags& sides, ScratchSlots& scratch, WorkerPool* pool,
                    std::size_t n_tail_left = 0, bool first_only = false);

// The same for a node that sorts its features itself: its rows (WorkingSet::node_rows).
void partition_node_rows(WorkingSet& set, NodeRange range, std::size_t n_left,
                         const SideFlags& sides, Scratch& scratch);

// Moves the `n_left` entries whose rows go left to the front of `entries`, keeping each side in
// its order; `buffer` is working memory.
void partition_entries(std::span<Entry> entries, const SideFlags& sides, unsigned row_shift,
                       std::size_t n_left, std::vector<Entry>& buffer);

}  // namespace lindorf
