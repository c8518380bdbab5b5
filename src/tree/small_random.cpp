#include "tree/small_random.hpp"

#include <cmath>

#include "support/error.hpp"

namespace lindorf {

namespace {

// Where row i's values start in the copy.
std::size_t place(const SmallNode& node, std::size_t i) {
    return static_cast<std::size_t>(node.rows[i].value) * node.n_cols;
}

// Gathers feature f's values of the node's rows into `to`, with their extent. A pass in order
// that keeps a value only when it is strictly beyond the bound so far: a bound of zero keeps the
// sign of the first zero, as LooseColumns' does.
LooseColumn gather(const SmallNode& node, const std::size_t* places, std::uint32_t f, float* to) {
    LooseColumn out{to, INFINITY, -INFINITY, 0};
    for (std::size_t i = 0; i < node.rows.size(); ++i) {
        const float value = node.copy[places[i] + f];
        to[i] = value;
        out.numbers += value == value;
        out.least = value < out.least ? value : out.least;
        out.largest = value > out.largest ? value : out.largest;
    }
    return out;
}

}  // namespace

GeneralChoice small_random_search(const WorkingSet& set, const SmallNode& node, FeatureDraw& draw,
                                  KeyedStream& stream, std::span<const std::uint32_t> classes,
                                  std::uint64_t every_unit, const GeneralNode& counts,
                                  GeneralRules rules) {
    const std::size_t n = node.rows.size();
    LINDORF_CHECK(n <= small_node_rows, "a small node's rows fit on the stack");
    std::size_t places[small_node_rows];
    for (std::size_t i = 0; i < n; ++i) places[i] = place(node, i);
    float values[small_node_features][small_node_rows];
    LooseColumn kept[small_node_features];
    std::uint32_t kept_features[small_node_features];
    std::size_t n_kept = 0;
    if (draw.active()) {
        // A batch asks about no more candidates than features are still wanted.
        draw.draw_in_batches(
            stream, [&](std::span<const std::uint32_t> candidates, std::span<std::uint8_t> answers) {
                for (std::size_t k = 0; k < candidates.size(); ++k) {
                    const LooseColumn column = gather(node, places, candidates[k], values[n_kept]);
                    answers[k] = column.numbers > 0 && column.least < column.largest;
                    if (answers[k] == 0) continue;
                    kept[n_kept] = column;
                    kept_features[n_kept++] = candidates[k];
                }
            });
        if (n_kept == 0) return {};
    } else {
        for (std::uint32_t f = 0; f < node.n_cols; ++f) {
            kept[n_kept] = gather(node, places, f, values[n_kept]);
            kept_features[n_kept++] = f;
        }
    }
    // The search wants the features and their columns in ascending feature order; the draw
    // kept them as drawn.
    LooseColumn lined_up[small_node_features];
    std::uint32_t features[small_node_features];
    line_up_by_rank(
        n_kept, [&](std::size_t k) { return kept_features[k]; },
        [&](std::size_t rank, std::size_t k) {
            lined_up[rank] = kept[k];
            features[rank] = kept_features[k];
        });
    if (draw.active()) rules.features = {features, n_kept};
    std::uint64_t draws[2 * small_node_features];
    for (std::size_t k = 0; k < 2 * n_kept; ++k) draws[k] = stream.next_u64();
    rules.draws = {draws, 2 * n_kept};
    return two_class_random_search(set, node.rows, every_unit, classes, {lined_up, n_kept},
                                   counts, rules);
}

std::size_t small_divide(const SmallNode& node, std::uint32_t f, float threshold, bool nan_left,
                         std::uint32_t* classes) {
    Entry right[small_node_rows];
    std::uint32_t right_classes[small_node_rows];
    std::size_t left = 0, n_right = 0;
    for (std::size_t i = 0; i < node.rows.size(); ++i) {
        const Entry entry = node.rows[i];
        const float value = node.copy[static_cast<std::size_t>(entry.value) * node.n_cols + f];
        const bool goes_left = (value < threshold) | (nan_left & (value != value));
        node.rows[left] = entry;
        right[n_right] = entry;
        if (classes != nullptr) {
            const std::uint32_t slot = classes[i];
            classes[left] = slot;
            right_classes[n_right] = slot;
        }
        left += goes_left;
        n_right += !goes_left;
    }
    for (std::size_t i = 0; i < n_right; ++i) node.rows[left + i] = right[i];
    if (classes != nullptr)
        for (std::size_t i = 0; i < n_right; ++i) classes[left + i] = right_classes[i];
    return left;
}

}  // namespace lindorf
