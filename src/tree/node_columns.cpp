#include "tree/node_columns.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "splitting/sort_columns.hpp"
#include "support/error.hpp"
#include "tree/feature_draw.hpp"

namespace lindorf {

bool sorts_on_demand(std::size_t n_cols, std::size_t searched, std::size_t rows) {
    // Kept sorted, a split moves every feature's rows; sorted on demand, a node gathers and sorts
    // its searched features, about a dozen passes over each column at large sizes and fewer at
    // small ones. Below a few features per searched one, what little the smallest nodes would
    // save is not worth the bookkeeping.
    if (searched == 0 || n_cols < 8 * searched) return false;
    const double passes = 2.0 + std::min(10.0, std::log2(static_cast<double>(rows) + 1.0));
    return static_cast<double>(n_cols) > passes * static_cast<double>(searched);
}

std::vector<float> values_by_feature(MatrixView rows, WorkerPool* pool) {
    std::vector<float> values(rows.n_rows * rows.n_cols);
    // Square tiles: each reads a few cache lines of every row it covers and writes a few of
    // every feature, instead of a write to a different line for every value.
    constexpr std::size_t tile = 64;
    const std::size_t row_tiles = (rows.n_rows + tile - 1) / tile;
    const std::size_t col_tiles = (rows.n_cols + tile - 1) / tile;
    parallel_for(pool, row_tiles, [&](std::size_t rt) {
        const std::size_t r_end = std::min(rows.n_rows, (rt + 1) * tile);
        for (std::size_t ct = 0; ct < col_tiles; ++ct) {
            const std::size_t f_end = std::min(rows.n_cols, (ct + 1) * tile);
            for (std::size_t f = ct * tile; f < f_end; ++f) {
                float* out = values.data() + f * rows.n_rows;
                for (std::size_t r = rt * tile; r < r_end; ++r)
                    out[r] = rows.data[r * rows.n_cols + f];
            }
        }
    });
    return values;
}

SourceValues by_rows(MatrixView rows) {
    return {rows.data, rows.n_cols, 1};
}

SourceValues by_features(const std::vector<float>& values, std::size_t n_rows) {
    return {values.data(), 1, n_rows};
}

bool gathers_from_rows(std::size_t n_cols, std::size_t searched) {
    constexpr std::size_t line = 64;
    const std::size_t row_lines = (n_cols * sizeof(float) + line - 1) / line;
    return row_lines <= std::max<std::size_t>(searched, 1);
}

bool worth_laying_out_by_feature(std::size_t n_rows, std::size_t n_cols, std::size_t searched,
                                 std::size_t trees) {
    const double levels = std::log2(static_cast<double>(n_rows) + 2.0);
    return static_cast<double>(trees) * levels * static_cast<double>(searched) * 1.5 >
           static_cast<double>(n_cols);
}

namespace {

GatherSource laid_out_by_feature(MatrixView rows, WorkerPool* pool) {
    GatherSource out;
    out.by_feature = values_by_feature(rows, pool);
    out.source = by_features(out.by_feature, rows.n_rows);
    return out;
}

}  // namespace

GatherSource sort_own_source(MatrixView rows, std::size_t max_features, std::size_t trees,
                             WorkerPool* pool) {
    GatherSource out;
    if (max_features == 0 || max_features >= rows.n_cols ||
        !sorts_on_demand(rows.n_cols, max_features, 1))
        return out;
    if (sorts_on_demand(rows.n_cols, max_features, rows.n_rows) &&
        worth_laying_out_by_feature(rows.n_rows, rows.n_cols, max_features, trees))
        return laid_out_by_feature(rows, pool);
    out.source = by_rows(rows);
    return out;
}

GatherSource random_cut_source(MatrixView rows, std::size_t max_features, WorkerPool* pool) {
    const bool drawn = max_features > 0 && max_features < rows.n_cols;
    if (!gathers_from_rows(rows.n_cols, drawn ? max_features : rows.n_cols))
        return laid_out_by_feature(rows, pool);
    GatherSource out;
    out.source = by_rows(rows);
    // Large nodes hold rows close together: laid out by feature, their values of a feature share
    // cache lines, read in sequence, where each row's own values span lines a feature or two of
    // which are wanted. Data small enough to copy at the root never gets there.
    if (rows.n_rows * rows.n_cols > WorkingSet{}.copy_values) {
        out.by_feature = values_by_feature(rows, pool);
        out.dense = by_features(out.by_feature, rows.n_rows);
    }
    return out;
}

void take_rows_from_blocks(WorkingSet& set, NodeRange range) {
    LINDORF_CHECK(!set.entries.empty() && set.node_rows.size() == set.n_rows,
                  "a node without sorted blocks has no rows to take");
    std::span<const Entry> column = set.column(0, range.begin, range.end);
    const auto rows = set.node_rows.begin() + static_cast<std::ptrdiff_t>(range.begin);
    std::copy(column.begin(), column.end(), rows);
    // In ascending order, the node's gathers read the values in sequence, and its sorted columns
    // hold rows of equal values in the order the sorted blocks do, which sums that round read.
    std::sort(rows, rows + static_cast<std::ptrdiff_t>(range.size()),
              [](const Entry& a, const Entry& b) { return a.row < b.row; });
}

void NodeColumns::clear(NodeRange range) {
    rows_ = range.size();
    kept_.clear();
    columns_.clear();
}

// Gathers feature f's values of the node's rows into the slot after the kept columns.
std::span<Entry> NodeColumns::gather_slot(const WorkingSet& set, NodeRange range, std::uint32_t f) {
    const std::size_t slot = kept_.size();
    if (entries_.size() < (slot + 1) * rows_) entries_.resize((slot + 1) * rows_);
    Entry* out = entries_.data() + slot * rows_;
    const float* values = set.source.data + std::size_t{f} * set.source.feature_step;
    const std::size_t step = set.source.row_step;
    const unsigned shift = set.coding.row_shift();
    const Entry* rows = set.node_rows.data() + range.begin;
    if (set.source_of.empty()) {
        for (std::size_t i = 0; i < rows_; ++i)
            out[i] = {values[(rows[i].row >> shift) * step], rows[i].row};
    } else {
        const std::uint32_t* source = set.source_of.data();
        for (std::size_t i = 0; i < rows_; ++i)
            out[i] = {values[std::size_t{source[rows[i].row >> shift]} * step], rows[i].row};
    }
    return {out, rows_};
}

bool NodeColumns::gather(const WorkingSet& set, NodeRange range, std::uint32_t f,
                         bool learn_nan) {
    // Some threshold divides the rows when two numbers differ; NaN goes right of every one,
    // unless its side is learned: then numbers and NaN can be parted too.
    float low = INFINITY, high = -INFINITY;
    std::size_t nan = 0;
    for (const Entry& entry : gather_slot(set, range, f)) {
        low = entry.value < low ? entry.value : low;
        high = entry.value > high ? entry.value : high;
        nan += entry.value != entry.value;
    }
    const bool parts_nan = learn_nan && nan > 0 && nan < rows_;
    if (!(low < high) && !parts_nan) return false;
    kept_.push_back(f);
    return true;
}

std::span<const std::span<const Entry>> NodeColumns::sort(std::span<const std::uint32_t> features,
                                                          WorkerPool* pool) {
    if (buffer_.size() < entries_.size()) buffer_.resize(entries_.size());
    parallel_for(pool, kept_.size(), [&](std::size_t slot) {
        sort_short_entries({entries_.data() + slot * rows_, rows_},
                           {buffer_.data() + slot * rows_, rows_});
    });
    columns_.clear();
    for (std::uint32_t f : features) {
        const auto slot =
            static_cast<std::size_t>(std::find(kept_.begin(), kept_.end(), f) - kept_.begin());
        LINDORF_CHECK(slot < kept_.size(), "feature " + std::to_string(f) + " was not gathered");
        columns_.push_back({entries_.data() + slot * rows_, rows_});
    }
    return columns_;
}

std::span<const Entry> NodeColumns::column(const WorkingSet& set, NodeRange range,
                                           std::uint32_t f) {
    const auto slot =
        static_cast<std::size_t>(std::find(kept_.begin(), kept_.end(), f) - kept_.begin());
    if (slot < kept_.size()) return {entries_.data() + slot * rows_, rows_};
    std::span<Entry> column = gather_slot(set, range, f);
    if (buffer_.size() < rows_) buffer_.resize(rows_);
    sort_short_entries(column, {buffer_.data(), rows_});
    return column;
}

void LooseColumns::clear(WorkingSet& set, NodeRange range) {
    // A node of an eighth of the rows or more finds a few of them in every cache line of a
    // feature's values; below that, a row's own line or two serves more of what it reads.
    constexpr std::size_t dense_share = 8;
    rows_ = range.size();
    used_ = 0;
    features_.clear();
    columns_.clear();
    slots_.clear();
    reads_copy_ = copied_.size() > 0 && copied_.begin <= range.begin && range.end <= copied_.end;
    // Laid out by feature, a row's values are a cache line each: copying all of them would
    // read far more than the node's few features. A place in the copy is a float, exactly.
    if (!reads_copy_ && set.source.feature_step == 1 && rows_ * set.n_cols <= set.copy_values &&
        rows_ <= std::size_t{1} << 24)
        copy_rows(set, range);
    reads_dense_ = !reads_copy_ && set.dense.data != nullptr &&
                   rows_ * dense_share >= set.n_rows;
}

namespace {

// Gathers the values of the node's `n` rows at M features (`from`, each feature's first value
// in the source) into `to`, and their extents into `out`: each column's least and largest number
// and how many numbers it holds, as a pass that keeps a value only when it is strictly beyond the
// bound so far would find them. source_row(i) names the source row of the node's i-th. A row's
// values of the features share its index and, laid out by rows, a cache line or two; a deep
// node's rows lie far apart, so each row is asked for a few rows ahead (`Ahead`) unless they lie
// in sequence, once for the line of the group's first feature and once for its last. Four rows
// at a time, each feature's four values go to vector registers, which keep the bounds lane by lane
// as they are stored: a pass of its own would read every gathered column again. NaN compares false
// and moves no bound.
template <std::size_t M, bool Ahead, class SourceRow>
void gather_group(const float* const* from, std::size_t row_step, std::size_t n,
                  float* const* to, LooseColumn* out, SourceRow& source_row) {
    using Floats = float __attribute__((vector_size(16)));
    using Lanes = std::int32_t __attribute__((vector_size(16)));
    constexpr std::size_t ahead = 16;
    const float* first = from[0];
    const float* last = from[0];
    for (std::size_t k = 1; k < M; ++k) {
        first = from[k] < first ? from[k] : first;
        last = from[k] > last ? from[k] : last;
    }
    auto ask_ahead = [&](std::size_t i) {
        if (!Ahead || i + ahead >= n) return;
        const std::size_t next = std::size_t{source_row(i + ahead)} * row_step;
        __builtin_prefetch(first + next);
        if (M > 1) __builtin_prefetch(last + next);
    };
    const Floats up = {INFINITY, INFINITY, INFINITY, INFINITY};
    Floats low[M], high[M];
    Lanes numbers[M];
    for (std::size_t k = 0; k < M; ++k) low[k] = up, high[k] = -up, numbers[k] = Lanes{};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        std::size_t at[4];
#pragma GCC unroll 4
        for (std::size_t j = 0; j < 4; ++j) {
            ask_ahead(i + j);
            at[j] = std::size_t{source_row(i + j)} * row_step;
        }
#pragma GCC unroll 4
        for (std::size_t k = 0; k < M; ++k) {
            const Floats value = {from[k][at[0]], from[k][at[1]], from[k][at[2]], from[k][at[3]]};
            std::memcpy(to[k] + i, &value, sizeof value);
            numbers[k] -= value == value;
            low[k] = value < low[k] ? value : low[k];
            high[k] = value > high[k] ? value : high[k];
        }
    }
    for (std::size_t k = 0; k < M; ++k) {
        out[k] = {to[k], INFINITY, -INFINITY, 0};
        for (int lane = 0; lane < 4; ++lane) {
            out[k].numbers += static_cast<std::uint32_t>(numbers[k][lane]);
            out[k].least = low[k][lane] < out[k].least ? low[k][lane] : out[k].least;
            out[k].largest = high[k][lane] > out[k].largest ? high[k][lane] : out[k].largest;
        }
    }
    for (; i < n; ++i) {
        ask_ahead(i);
        const std::size_t at = std::size_t{source_row(i)} * row_step;
#pragma GCC unroll 4
        for (std::size_t k = 0; k < M; ++k) {
            const float value = from[k][at];
            to[k][i] = value;
            out[k].numbers += value == value;
            out[k].least = value < out[k].least ? value : out[k].least;
            out[k].largest = value > out[k].largest ? value : out[k].largest;
        }
    }
    // Lanes meet out of order, which only a bound of zero shows: a pass in order keeps the
    // first zero it meets, whichever its sign.
    for (std::size_t k = 0; k < M; ++k) {
        if (out[k].least != 0.0f && out[k].largest != 0.0f) continue;
        const float zero = *std::find(to[k], to[k] + n, 0.0f);
        if (out[k].least == 0.0f) out[k].least = zero;
        if (out[k].largest == 0.0f) out[k].largest = zero;
    }
}

// The same for any number of `features`, into `values`, n for each feature, four at a time.
template <bool Ahead, class SourceRow>
void gather_extents(const SourceValues& source, std::size_t n,
                    std::span<const std::uint32_t> features, float* values,
                    std::span<LooseColumn> out, SourceRow&& source_row) {
    constexpr std::size_t group = 4;
    for (std::size_t g = 0; g < features.size(); g += group) {
        const std::size_t m = std::min(group, features.size() - g);
        const float* from[group];
        float* to[group];
        for (std::size_t k = 0; k < m; ++k) {
            from[k] = source.data + std::size_t{features[g + k]} * source.feature_step;
            to[k] = values + (g + k) * n;
        }
        LooseColumn* into = out.data() + g;
        const std::size_t step = source.row_step;
        switch (m) {
            case 1: gather_group<1, Ahead>(from, step, n, to, into, source_row); break;
            case 2: gather_group<2, Ahead>(from, step, n, to, into, source_row); break;
            case 3: gather_group<3, Ahead>(from, step, n, to, into, source_row); break;
            default: gather_group<4, Ahead>(from, step, n, to, into, source_row); break;
        }
    }
}

}  // namespace

// Gathers the features into the slots after those used at this node (batch_).
void LooseColumns::gather_batch(const WorkingSet& set, NodeRange range,
                                std::span<const std::uint32_t> features) {
    const std::size_t first = used_;
    used_ += features.size();
    if (values_.size() < used_ * rows_) {
        values_.resize(used_ * rows_);
        for (std::size_t k = 0; k < columns_.size(); ++k)
            columns_[k].values = values_.data() + slots_[k] * rows_;
    }
    batch_.resize(features.size());
    float* values = values_.data() + first * rows_;
    const Entry* rows = set.node_rows.data() + range.begin;
    const unsigned shift = set.coding.row_shift();
    if (reads_dense_) {
        // The rows ascend, close together: the processor's own prefetch follows each feature.
        if (set.source_of.empty()) {
            gather_extents<false>(set.dense, rows_, features, values, batch_,
                                  [&](std::size_t i) { return rows[i].row >> shift; });
        } else {
            const std::uint32_t* source = set.source_of.data();
            gather_extents<false>(set.dense, rows_, features, values, batch_,
                                  [&](std::size_t i) { return source[set.local(rows[i].row)]; });
        }
    } else if (reads_copy_) {
        // The copy is in cache: asking for rows ahead would only cost instructions.
        const SourceValues copy{copy_.data(), set.n_cols, 1};
        gather_extents<false>(copy, rows_, features, values, batch_, [&](std::size_t i) {
            return static_cast<std::uint32_t>(rows[i].value);
        });
    } else if (set.source_of.empty()) {
        gather_extents<true>(set.source, rows_, features, values, batch_,
                             [&](std::size_t i) { return rows[i].row >> shift; });
    } else {
        const std::uint32_t* source = set.source_of.data();
        gather_extents<true>(set.source, rows_, features, values, batch_,
                             [&](std::size_t i) { return source[set.local(rows[i].row)]; });
    }
}

void LooseColumns::copy_rows(WorkingSet& set, NodeRange range) {
    const std::size_t n_cols = set.n_cols;
    if (copy_.size() < rows_ * n_cols) copy_.resize(rows_ * n_cols);
    Entry* rows = set.node_rows.data() + range.begin;
    const std::uint32_t* source_of = set.source_of.empty() ? nullptr : set.source_of.data();
    auto source_row = [&](std::size_t i) {
        const std::uint32_t local = set.local(rows[i].row);
        const std::size_t row = source_of == nullptr ? local : source_of[local];
        return set.source.data + row * set.source.row_step;
    };
    constexpr std::size_t ahead = 16;
    for (std::size_t i = 0; i < rows_; ++i) {
        if (i + ahead < rows_) {
            const float* next = source_row(i + ahead);
            for (std::size_t f = 0; f < n_cols; f += 16) __builtin_prefetch(next + f);
            __builtin_prefetch(next + n_cols - 1);
        }
        const float* from = source_row(i);
        std::copy(from, from + n_cols, copy_.data() + i * n_cols);
        rows[i].value = static_cast<float>(i);
    }
    copied_ = range;
    reads_copy_ = true;
}

void LooseColumns::gather(const WorkingSet& set, NodeRange range,
                          std::span<const std::uint32_t> features, bool learn_nan,
                          std::span<std::uint8_t> answers) {
    const std::size_t first = used_;
    gather_batch(set, range, features);
    for (std::size_t k = 0; k < features.size(); ++k) {
        const LooseColumn& column = batch_[k];
        // Two different numbers can be parted, and so can numbers and NaN when its side is
        // learned.
        const bool divides = column.numbers > 0 && (column.least < column.largest ||
                                                    (learn_nan && column.numbers < rows_));
        answers[k] = divides;
        if (!divides) continue;
        features_.push_back(features[k]);
        columns_.push_back(column);
        slots_.push_back(first + k);
    }
}

void LooseColumns::keep(const WorkingSet& set, NodeRange range, std::uint32_t f) {
    const std::size_t slot = used_;
    gather_batch(set, range, {&f, 1});
    features_.push_back(f);
    columns_.push_back(batch_[0]);
    slots_.push_back(slot);
}

namespace {

// Moves the rows whose value is below `threshold` (and, with NanLeft, those of NaN) to the front
// of `rows`, the others after them, each side in its order; `right` holds n entries. Returns
// how many go left. Either side is a coin flip to the branch predictor: no branch decides it, and
// a right row's place is the rows before it less those gone left. It goes on from row i, `left`
// of the rows before it gone left and the others into `right`.
template <bool NanLeft>
std::size_t divide_rows(Entry* rows, const float* values, std::size_t n, float threshold,
                        Entry* right, std::size_t left, std::size_t i) {
    auto goes_left = [&](float value) {
        return NanLeft ? (value < threshold) | (value != value) : value < threshold;
    };
    for (; i + 4 <= n; i += 4) {
        // Four rows are read before any is written: a write to the front can then never hold
        // up the reads behind it.
        Entry entry[4];
        bool goes[4];
#pragma GCC unroll 4
        for (std::size_t k = 0; k < 4; ++k) {
            entry[k] = rows[i + k];
            goes[k] = goes_left(values[i + k]);
        }
#pragma GCC unroll 4
        for (std::size_t k = 0; k < 4; ++k) {
            rows[left] = entry[k];
            right[i + k - left] = entry[k];
            left += goes[k];
        }
    }
    for (; i < n; ++i) {
        const Entry entry = rows[i];
        const bool goes = goes_left(values[i]);
        rows[left] = entry;
        right[i - left] = entry;
        left += goes;
    }
    std::copy(right, right + (n - left), rows + left);
    return left;
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same eight rows at a time where the processor has AVX2: each half of four rows is packed
// twice through a table of lane orders, the rows going left to the front of one register and
// those going right to the front of another, each in its order, and both are stored whole. A
// store runs past the rows it packs only onto places already read (the left side never passes
// the rows read, nor the right side's count those rows) that later stores overwrite.
struct PackOrders {
    std::int32_t left[16][8];   // by a half's mask: its left rows first, two words a row
    std::int32_t right[16][8];  // its right rows first
    constexpr PackOrders() : left{}, right{} {
        for (int mask = 0; mask < 16; ++mask) {
            int l = 0, r = 0;
            for (int k = 0; k < 4; ++k) {
                auto& to = (mask >> k & 1) != 0 ? left[mask][2 * l++] : right[mask][2 * r++];
                (&to)[0] = 2 * k;
                (&to)[1] = 2 * k + 1;
            }
            for (; l < 4; ++l) left[mask][2 * l] = 0, left[mask][2 * l + 1] = 1;
            for (; r < 4; ++r) right[mask][2 * r] = 0, right[mask][2 * r + 1] = 1;
        }
    }
};
constexpr PackOrders pack_orders{};

// Stores a half's four rows (`entries`, mask bit k set when row k goes left): its left rows at
// rows + left, its right rows at right + (at - left), where `at` is the half's first row.
// Returns the new count gone left.
[[gnu::target("avx2,popcnt"), gnu::always_inline]] inline std::size_t pack_half(
    __m256i entries, unsigned half, std::size_t at, std::size_t left, Entry* rows,
    Entry* right) {
    const __m256i to_left =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pack_orders.left[half]));
    const __m256i to_right =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pack_orders.right[half]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(rows + left),
                        _mm256_permutevar8x32_epi32(entries, to_left));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(right + (at - left)),
                        _mm256_permutevar8x32_epi32(entries, to_right));
    return left + static_cast<std::size_t>(__builtin_popcount(half));
}

template <bool NanLeft>
[[gnu::target("avx2,popcnt")]] std::size_t divide_eight(Entry* rows, const float* values,
                                                        std::size_t n, float threshold,
                                                        Entry* right, std::size_t& done) {
    const __m256 cut = _mm256_set1_ps(threshold);
    std::size_t left = 0, i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 value = _mm256_loadu_ps(values + i);
        __m256 goes = _mm256_cmp_ps(value, cut, _CMP_LT_OQ);
        if (NanLeft) goes = _mm256_or_ps(goes, _mm256_cmp_ps(value, value, _CMP_UNORD_Q));
        const auto mask = static_cast<unsigned>(_mm256_movemask_ps(goes));
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows + i));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows + i + 4));
        left = pack_half(low, mask & 15u, i, left, rows, right);
        left = pack_half(high, mask >> 4, i + 4, left, rows, right);
    }
    done = i;
    return left;
}

bool has_avx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    return avx2;
}
#endif

template <bool NanLeft>
std::size_t divide_any(Entry* rows, const float* values, std::size_t n, float threshold,
                       Entry* right) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (n >= 8 && has_avx2()) {
        std::size_t i = 0;
        const std::size_t left = divide_eight<NanLeft>(rows, values, n, threshold, right, i);
        return divide_rows<NanLeft>(rows, values, n, threshold, right, left, i);
    }
#endif
    return divide_rows<NanLeft>(rows, values, n, threshold, right, 0, 0);
}

}  // namespace

std::size_t divide_by_values(Entry* rows, const float* values, std::size_t n, float threshold,
                             bool nan_left, Entry* right) {
    return nan_left ? divide_any<true>(rows, values, n, threshold, right)
                    : divide_any<false>(rows, values, n, threshold, right);
}

std::size_t LooseColumns::divide(WorkingSet& set, NodeRange range, std::uint32_t f,
                                float threshold, bool nan_left) {
    const auto slot = static_cast<std::size_t>(
        std::find(features_.begin(), features_.end(), f) - features_.begin());
    if (slot == features_.size()) gather_batch(set, range, {&f, 1});
    const float* values = slot < features_.size() ? columns_[slot].values : batch_[0].values;
    // Kept stable, a node's rows stay in ascending order, and so its gathers read ascending.
    Entry* rows = set.node_rows.data() + range.begin;
    if (right_.size() < rows_) right_.resize(rows_);
    return divide_by_values(rows, values, rows_, threshold, nan_left, right_.data());
}

}  // namespace lindorf
