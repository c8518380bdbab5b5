// The features one node searches when only some of them are to be: drawn without replacement
// from the node's own stream, skipping those that cannot divide the node's rows, until
// max_features are found. A feature whose node rows hold at most one distinct value besides NaN
// cannot divide them (NaN goes right of every threshold), so it is never counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "splitting/working_set.hpp"
#include "support/streams.hpp"
#include "tree/grow.hpp"

namespace lindorf {

// Whether some threshold puts at least one of the entries left and one right; the entries are
// one feature's range of a node, sorted with NaN last. With NaN sides learned, numbers and NaN
// can be parted too.
bool divides(std::span<const Entry> column, bool learn_nan = false);

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
    using BatchDivides =
        std::function<void(std::span<const std::uint32_t>, std::span<std::uint8_t>)>;
    std::span<const std::uint32_t> features(KeyedStream& stream, const BatchDivides& divide);

  private:
    const GrowRules& rules_;
    bool active_;
    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> chosen_;
    std::vector<std::uint8_t> answers_;
};

}  // namespace lindorf
