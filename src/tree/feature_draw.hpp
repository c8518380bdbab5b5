// The features one node searches when only some of them are to be: drawn without replacement
// from the node's own stream, skipping those that cannot divide the node's rows, until
// max_features are found. A feature whose node rows hold at most one distinct value besides NaN
// cannot divide them (NaN goes right of every threshold), so it is never counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <functional>
#include <numeric>
#include <span>
#include <vector>

#include "splitting/working_set.hpp"
#include "support/random.hpp"
#include "support/streams.hpp"
#include "tree/grow.hpp"

namespace lindorf {

// Whether some threshold puts at least one of the entries left and one right; the entries are
// one feature's range of a node, sorted with NaN last. With NaN sides learned, numbers and NaN
// can be parted too.
bool divides(std::span<const Entry> column, bool learn_nan = false);

// Calls put(rank, k) for k below n, its rank the count of the n distinct keys below key(k): few
// drawn features lined up in ascending order with no branch deciding anything, where a sort's
// comparisons of drawn features are coin flips to the branch predictor.
template <class Key, class Put>
void line_up_by_rank(std::size_t n, Key&& key, Put&& put) {
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t rank = 0;
        for (std::size_t j = 0; j < n; ++j) rank += key(j) < key(k);
        put(rank, k);
    }
}

class FeatureDraw {
  public:
    FeatureDraw(const GrowRules& rules, std::size_t n_cols);

    // Whether the rules search fewer features than there are.
    bool active() const { return active_; }

    // The node's features, ascending: empty when no feature can divide the node (a search would
    // then find nothing above 0). Valid until the next call.
    std::span<const std::uint32_t> features(const WorkingSet& set, NodeRange range,
                                            std::uint64_t path);
    // The same, drawn from a stream the caller goes on drawing from.
    std::span<const std::uint32_t> features(const WorkingSet& set, NodeRange range,
                                            KeyedStream& stream);
    // The same, asking `divides(f)` whether feature f can divide the node.
    std::span<const std::uint32_t> features(std::uint64_t path,
                                            const std::function<bool(std::uint32_t)>& divides);
    std::span<const std::uint32_t> features(KeyedStream& stream,
                                            const std::function<bool(std::uint32_t)>& divides);
    // The same, asking `divide(candidates, answers)` about several candidates at once: those
    // that will be looked at whatever the answers, as many as features are still wanted. It sets
    // answers[k] to whether candidates[k] can divide the node.
    // A template rather than a std::function: every node of a forest's trees draws here.
    template <class Divide>
    std::span<const std::uint32_t> features_in_batches(KeyedStream& stream, Divide&& divide);
    // The same draws and questions, the features kept by the caller as `divide` answers, in the
    // order drawn; returns how many it kept.
    template <class Divide>
    std::size_t draw_in_batches(KeyedStream& stream, Divide&& divide);

  private:
    void sort_chosen();
    std::size_t draw_at(KeyedStream& stream, std::size_t i) {
        return i + draw_below(stream, ranges_[i]);
    }

    const GrowRules& rules_;
    bool active_;
    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> chosen_;
    std::vector<std::uint8_t> answers_;
    std::vector<DrawRange> ranges_;  // the i-th draw's, from the n_cols - i features left
    std::vector<std::uint32_t> sorted_;
};

template <class Divide>
std::size_t FeatureDraw::draw_in_batches(KeyedStream& stream, Divide&& divide) {
    // The draws of a candidate never depend on the answers about earlier ones, and the search
    // can only end at the last candidate a batch asks about: the same draws, the same features.
    std::iota(order_.begin(), order_.end(), 0u);
    const std::size_t n = order_.size();
    std::size_t i = 0, kept = 0;
    while (i < n && kept < rules_.max_features) {
        const std::size_t batch = std::min<std::size_t>(rules_.max_features - kept, n - i);
        for (std::size_t k = i; k < i + batch; ++k) std::swap(order_[k], order_[draw_at(stream, k)]);
        answers_.assign(batch, 0);
        divide(std::span<const std::uint32_t>(order_.data() + i, batch),
               std::span<std::uint8_t>(answers_));
        for (std::size_t k = 0; k < batch; ++k) kept += answers_[k] != 0;
        i += batch;
    }
    return kept;
}

template <class Divide>
std::span<const std::uint32_t> FeatureDraw::features_in_batches(KeyedStream& stream,
                                                                Divide&& divide) {
    chosen_.clear();
    draw_in_batches(stream, [&](std::span<const std::uint32_t> candidates,
                                std::span<std::uint8_t> answers) {
        divide(candidates, answers);
        for (std::size_t k = 0; k < candidates.size(); ++k)
            if (answers[k] != 0) chosen_.push_back(candidates[k]);
    });
    sort_chosen();
    return chosen_;
}

}  // namespace lindorf
