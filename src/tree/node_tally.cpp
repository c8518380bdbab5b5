#include "tree/node_tally.hpp"

#include <algorithm>
#include <bit>

#include "criteria/gini.hpp"

namespace lindorf {

namespace {

// Rows in value order name their records and classes in no order at all: on large nodes each is
// a cache miss, asked for this many entries ahead (the class once its record is in) so that
// several are under way at once.
constexpr std::size_t record_ahead = 32;
constexpr std::size_t class_ahead = 16;

template <bool Packed, class ByClass>
[[gnu::always_inline]] inline void look_ahead(const RowReader<Packed>& rows,
                                              std::span<const Entry> entries, std::size_t at,
                                              const ByClass* by_class) {
    if (at + record_ahead < entries.size()) rows.prefetch(entries[at + record_ahead].row);
    if (at + class_ahead < entries.size())
        __builtin_prefetch(by_class + rows.cls(entries[at + class_ahead].row));
}

template <bool Packed>
void tally_entries(const WorkingSet& set, std::span<const Entry> entries, NodeTally& tally) {
    const RowReader<Packed> rows(set);
    for (std::size_t at = 0; at < entries.size(); ++at) {
        look_ahead(rows, entries, at, tally.counts.data());
        const Entry& entry = entries[at];
        std::uint32_t cls = rows.cls(entry.row);
        std::uint32_t weight = rows.weight(entry.row);
        if (tally.counts[cls] == 0) tally.present.push_back(cls);
        tally.counts[cls] += weight;
        tally.total += weight;
    }
}

// Latest positions break ties between the most frequent classes only; they take a lookup per
// row in a table by row, so they are gathered only when such a tie exists.
template <bool Packed>
void find_latest(const WorkingSet& set, std::span<const Entry> entries, NodeTally& tally) {
    const RowReader<Packed> rows(set);
    for (std::size_t at = 0; at < entries.size(); ++at) {
        look_ahead(rows, entries, at, tally.latest.data());
        const Entry& entry = entries[at];
        std::uint32_t cls = rows.cls(entry.row);
        tally.latest[cls] = std::max(tally.latest[cls], set.last_position(set.local(entry.row)));
    }
}

// Puts the present classes in ascending order: by a sort when they are few, and otherwise by
// their bits in a table of every class, read word by word, in time that grows with the classes
// rather than with n log n.
void order_present(NodeTally& tally) {
    std::vector<std::uint32_t>& present = tally.present;
    std::vector<std::uint64_t>& seen = tally.seen;
    if (present.size() * 16 < seen.size()) {
        std::sort(present.begin(), present.end());
        return;
    }
    for (std::uint32_t c : present) seen[c / 64] |= std::uint64_t{1} << (c % 64);
    present.clear();
    for (std::size_t word = 0; word < seen.size(); ++word) {
        for (std::uint64_t bits = seen[word]; bits != 0; bits &= bits - 1)
            present.push_back(static_cast<std::uint32_t>(word * 64 + std::countr_zero(bits)));
        seen[word] = 0;
    }
}

bool top_count_is_shared(const NodeTally& tally) {
    std::uint32_t top = 0;
    std::size_t holders = 0;
    for (std::uint32_t c : tally.present) {
        if (tally.counts[c] > top) {
            top = tally.counts[c];
            holders = 0;
        }
        holders += tally.counts[c] == top;
    }
    return holders > 1;
}

}  // namespace

void tally_node(const WorkingSet& set, std::span<const Entry> entries, NodeTally& tally) {
    for (std::uint32_t c : tally.present) tally.counts[c] = tally.latest[c] = 0;
    tally.present.clear();
    tally.total = 0;
    if (set.coding.packed)
        tally_entries<true>(set, entries, tally);
    else
        tally_entries<false>(set, entries, tally);
    order_present(tally);
    if (!top_count_is_shared(tally)) return;
    if (set.coding.packed)
        find_latest<true>(set, entries, tally);
    else
        find_latest<false>(set, entries, tally);
}

std::uint32_t majority_class(const NodeTally& tally) {
    std::uint32_t best = tally.present.front();
    for (std::uint32_t c : tally.present) {
        if (tally.counts[c] > tally.counts[best] ||
            (tally.counts[c] == tally.counts[best] && tally.latest[c] > tally.latest[best]))
            best = c;
    }
    return best;
}

float node_impurity(const NodeTally& tally, Impurity impurity) {
    if (impurity == Impurity::entropy)
        return entropy_of_counts(tally.present, tally.counts.data(), tally.total);
    std::uint64_t squares = 0;
    for (std::uint32_t c : tally.present)
        squares += std::uint64_t{tally.counts[c]} * tally.counts[c];
    return static_cast<float>(gini_impurity(squares, tally.total));
}

std::uint32_t total_weight(const WorkingSet& set, std::span<const Entry> entries) {
    std::uint32_t total = 0;
    if (set.coding.packed) {
        const RowReader<true> rows(set);
        for (const Entry& entry : entries) total += rows.weight(entry.row);
    } else {
        const RowReader<false> rows(set);
        for (const Entry& entry : entries) total += rows.weight(entry.row);
    }
    return total;
}

NodeCounts counts_of(const NodeTally& tally) {
    NodeCounts node;
    node.present = tally.present;
    node.counts = tally.counts.data();
    node.total = tally.total;
    node.parent_entropy = entropy_of_counts(tally.present, tally.counts.data(), tally.total);
    node.parent_size = static_cast<float>(tally.total);
    return node;
}

}  // namespace lindorf
