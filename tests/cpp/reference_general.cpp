#include "reference_general.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <numeric>

#include "support/random.hpp"
#include "support/streams.hpp"

namespace reference {

namespace {

using lindorf::GrowRules;
using Positions = std::vector<std::size_t>;

constexpr float inf = std::numeric_limits<float>::infinity();

struct Units {
    std::vector<std::uint64_t> of;  // by row
    double unit = 1.0;
};

Units units_of(const std::vector<double>& weights) {
    double total = 0.0;
    for (double w : weights)
        if (w > 0.0) total += w;
    int exponent = 0;
    std::frexp(total, &exponent);
    Units units{{}, std::ldexp(1.0, exponent - 62)};
    for (double w : weights)
        units.of.push_back(w > 0.0 ? std::max<std::uint64_t>(
                                         1, static_cast<std::uint64_t>(std::nearbyint(w / units.unit)))
                                   : 0);
    return units;
}

// Units by output and class of some rows.
struct Counts {
    std::vector<std::vector<std::uint64_t>> by_class;
    std::uint64_t total = 0;
};

struct Context {
    const General& data;
    const Units& units;
    const GrowRules& rules;
};

template <class Keep>
Counts count(const Context& c, const Positions& rows, Keep&& keep) {
    Counts out;
    for (std::uint32_t k : c.data.classes) out.by_class.emplace_back(k, 0);
    for (std::size_t r : rows) {
        if (!keep(r)) continue;
        for (std::size_t o = 0; o < c.data.classes.size(); ++o)
            out.by_class[o][c.data.labels[r][o]] += c.units.of[r];
        out.total += c.units.of[r];
    }
    return out;
}

double impurity(const Counts& counts, bool gini) {
    if (counts.total == 0) return 0.0;
    const double total = static_cast<double>(counts.total);
    double sum = 0.0;
    for (const auto& classes : counts.by_class) {
        double squares = 0.0;
        for (std::uint64_t c : classes) {
            const double count = static_cast<double>(c);
            if (gini) {
                squares += count * count;
            } else if (count > 0.0) {
                const double p = count / total;
                sum -= p * (std::log(p) / std::log(2.0));
            }
        }
        if (gini) sum += 1.0 - squares / (total * total);
    }
    return sum / static_cast<double>(counts.by_class.size());
}

double gain_of(const Counts& node, const Counts& left, const Counts& right, bool gini) {
    const double w = static_cast<double>(node.total);
    return impurity(node, gini) - static_cast<double>(right.total) / w * impurity(right, gini) -
           static_cast<double>(left.total) / w * impurity(left, gini);
}

std::uint64_t least_units(double weight, double unit) {
    return weight > 0.0 ? static_cast<std::uint64_t>(std::ceil(weight / unit)) : 0;
}

struct Candidate {
    float threshold;
    bool nan_left;
    std::vector<bool> left;  // by position in the node
};

// Whether a split may be taken, and its gain (NaN when it may not).
double score(const Context& c, const Positions& node, const std::vector<bool>& left,
             std::uint32_t feature, double lower, double upper, double min_leaf) {
    std::size_t n_left = std::count(left.begin(), left.end(), true);
    auto in_left = [&](std::size_t r) {
        return left[std::lower_bound(node.begin(), node.end(), r) - node.begin()];
    };
    const Counts all = count(c, node, [](std::size_t) { return true; });
    const Counts l = count(c, node, in_left);
    const Counts rt = count(c, node, [&](std::size_t r) { return !in_left(r); });
    const std::uint64_t least = least_units(min_leaf, c.units.unit);
    const std::uint32_t rows = std::max<std::uint32_t>(c.rules.min_leaf_rows, 1);
    if (n_left < rows || node.size() - n_left < rows || l.total < least || rt.total < least)
        return std::nan("");
    const int constraint = c.rules.monotonic.empty() ? 0 : -c.rules.monotonic[feature];
    if (constraint != 0) {
        const double vl = static_cast<double>(l.by_class[0][0]) / static_cast<double>(l.total);
        const double vr = static_cast<double>(rt.by_class[0][0]) / static_cast<double>(rt.total);
        if (!(vl >= lower && vr >= lower && vl <= upper && vr <= upper &&
              (vl - vr) * constraint <= 0.0))
            return std::nan("");
    }
    return gain_of(all, l, rt, c.rules.impurity == lindorf::Impurity::gini);
}

std::vector<bool> mask(const Positions& node, auto&& keep) {
    std::vector<bool> out;
    for (std::size_t r : node) out.push_back(keep(r));
    return out;
}

// Every candidate of one feature, in the order of the earliest row of its group.
std::vector<Candidate> candidates(const Context& c, const Positions& node, std::uint32_t f) {
    const Rows& x = c.data.rows;
    const bool learn = c.rules.nan_side == lindorf::NanSide::learned;
    std::size_t n_nan = 0;
    float least = inf, largest = -inf;
    for (std::size_t r : node) {
        const float v = x[r][f];
        if (std::isnan(v)) {
            ++n_nan;
        } else {
            least = std::min(least, v);
            largest = std::max(largest, v);
        }
    }
    const bool has_numbers = n_nan < node.size();
    std::vector<Candidate> out;
    std::vector<float> seen;
    bool nan_seen = false;
    for (std::size_t r : node) {
        const float v = x[r][f];
        if (std::isnan(v)) {
            if (learn && n_nan > 0 && has_numbers && !nan_seen && largest < inf)
                out.push_back({inf, false, mask(node, [&](std::size_t q) { return !std::isnan(x[q][f]); })});
            nan_seen = true;
            continue;
        }
        if (std::find(seen.begin(), seen.end(), v) != seen.end()) continue;
        seen.push_back(v);
        const std::vector<bool> below = mask(node, [&](std::size_t q) { return x[q][f] < v; });
        const std::size_t n_below = std::count(below.begin(), below.end(), true);
        const bool larger_left = learn && n_nan == 0 && n_below > node.size() - n_below;
        out.push_back({v, larger_left, below});
        if (learn && n_nan > 0 && n_below > 0)
            out.push_back({v, true, mask(node, [&](std::size_t q) {
                               return x[q][f] < v || std::isnan(x[q][f]);
                           })});
        if (learn && n_nan > 0 && !(largest < inf) && v == least)
            out.push_back({v, true, mask(node, [&](std::size_t q) { return std::isnan(x[q][f]); })});
    }
    return out;
}

std::vector<Candidate> random_candidate(const Context& c, const Positions& node, std::uint32_t f,
                                        std::uint64_t threshold_draw, std::uint64_t side_draw) {
    const Rows& x = c.data.rows;
    const bool learn = c.rules.nan_side == lindorf::NanSide::learned;
    std::vector<float> numbers;
    for (std::size_t r : node)
        if (!std::isnan(x[r][f])) numbers.push_back(x[r][f]);
    if (numbers.empty()) return {};
    std::sort(numbers.begin(), numbers.end());
    const float least = numbers.front(), largest = numbers.back();
    double cut = least;
    if (least < largest) {
        const double u = static_cast<double>(threshold_draw >> 11) * 0x1p-53;
        cut = static_cast<double>(least) + u * (static_cast<double>(largest) - least);
        if (!(cut < largest)) cut = least;
    }
    const std::size_t n_left = std::count_if(numbers.begin(), numbers.end(),
                                             [&](float v) { return v <= cut; });
    const bool has_nan = numbers.size() < node.size();
    const bool above_all = n_left == numbers.size();
    const bool nan_left = learn && (has_nan ? (side_draw & 1) != 0 : n_left > node.size() - n_left);
    if (above_all && (!has_nan || nan_left || !(largest < inf))) return {};
    // The least value above the cut, as its earliest row holds it.
    float threshold = inf;
    if (!above_all)
        for (std::size_t r : node)
            if (x[r][f] == numbers[n_left]) {
                threshold = x[r][f];
                break;
            }
    return {{threshold, nan_left, mask(node, [&](std::size_t q) {
                 return x[q][f] <= cut || (nan_left && std::isnan(x[q][f]));
             })}};
}

}  // namespace

GeneralSplit general_split(const General& data, const Positions& node, const GrowRules& rules,
                           const std::vector<std::uint32_t>& features,
                           const std::vector<std::uint64_t>& draws, double lower, double upper) {
    const Units units = units_of(data.weights);
    const Context c{data, units, rules};
    GeneralSplit best;
    double best_score = 0.0;
    for (std::size_t k = 0; k < features.size(); ++k) {
        const std::uint32_t f = features[k];
        const std::vector<Candidate> all =
            draws.empty() ? candidates(c, node, f)
                          : random_candidate(c, node, f, draws[2 * k], draws[2 * k + 1]);
        for (const Candidate& candidate : all) {
            const double s = score(c, node, candidate.left, f, lower, upper, rules.min_leaf);
            if (s > best_score) {
                best_score = s;
                best = {true, f, candidate.threshold, candidate.nan_left};
            }
        }
    }
    return best;
}

namespace {

struct Pending {
    Positions rows;
    std::uint32_t depth;
    std::uint64_t path;
    double lower = -std::numeric_limits<double>::infinity();
    double upper = std::numeric_limits<double>::infinity();
    std::uint32_t index = 0;  // its node in the tree being built
};

struct Outcome {
    bool split = false;
    GeneralSplit choice;
    double decrease = 0.0;
    Positions left, right;
    double middle = 0.0;
};

class Grower {
  public:
    Grower(const General& data, const GrowRules& rules)
        : data_(data), units_(units_of(data.weights)), rules_(rules) {
        Positions all;
        for (std::size_t r = 0; r < data.rows.size(); ++r)
            if (units_.of[r] > 0) all.push_back(r);
        root_ = all;
        root_weight_ = static_cast<double>(tally(all).total) * units_.unit;
        rules_.min_leaf = std::max(rules_.min_leaf, rules_.min_leaf_fraction * root_weight_);
    }

    lindorf::Tree grow() {
        Pending root{root_, 0, 0};
        root.index = place();
        if (rules_.max_leaf_nodes == 0) {
            depth_first(root);
        } else {
            best_first(root);
        }
        lindorf::Tree out;
        preorder(out, 0);
        return out;
    }

  private:
    Counts tally(const Positions& rows) const {
        return count(Context{data_, units_, rules_}, rows, [](std::size_t) { return true; });
    }

    std::uint32_t place() {
        tree_.nodes.emplace_back();
        tree_.stats.emplace_back();
        return static_cast<std::uint32_t>(tree_.nodes.size() - 1);
    }

    // The first output's heaviest class; a tie goes to the class whose latest row comes last
    // (one output) or the lowest (several).
    lindorf::Label label_of(const Positions& rows, const Counts& counts) const {
        const auto& first = counts.by_class[0];
        lindorf::Label best = 0;
        for (lindorf::Label k = 1; k < first.size(); ++k)
            if (first[k] > first[best]) best = k;
        if (data_.classes.size() > 1) return best;
        std::size_t latest_best = 0;
        for (std::size_t r : rows)
            if (data_.labels[r][0] == best) latest_best = r;
        for (lindorf::Label k = 0; k < first.size(); ++k) {
            if (first[k] != first[best] || k == best) continue;
            std::size_t latest = 0;
            for (std::size_t r : rows)
                if (data_.labels[r][0] == k) latest = r;
            if (latest > latest_best) best = k, latest_best = latest;
        }
        return best;
    }

    std::vector<std::uint32_t> searched(const Pending& node, lindorf::KeyedStream& stream) const {
        const std::size_t n = data_.rows[0].size();
        std::vector<std::uint32_t> all(n);
        std::iota(all.begin(), all.end(), 0u);
        if (rules_.max_features == 0 || rules_.max_features >= n) return all;
        const bool learn = rules_.nan_side == lindorf::NanSide::learned;
        std::vector<std::uint32_t> chosen;
        for (std::size_t i = 0; i < n && chosen.size() < rules_.max_features; ++i) {
            std::swap(all[i], all[i + lindorf::draw_below(stream, lindorf::draw_range(n - i))]);
            const std::uint32_t f = all[i];
            float least = inf, largest = -inf;
            bool nan = false;
            for (std::size_t r : node.rows) {
                const float v = data_.rows[r][f];
                if (std::isnan(v)) nan = true;
                else least = std::min(least, v), largest = std::max(largest, v);
            }
            if (least <= largest && (least < largest || (learn && nan))) chosen.push_back(f);
        }
        std::sort(chosen.begin(), chosen.end());
        return chosen;
    }

    Outcome decide(const Pending& node, const Counts& counts) const {
        Outcome out;
        const double weight = static_cast<double>(counts.total) * units_.unit;
        bool pure = true;
        for (const auto& classes : counts.by_class)
            pure = pure && std::count_if(classes.begin(), classes.end(),
                                         [](std::uint64_t k) { return k > 0; }) == 1;
        if (node.depth == rules_.max_depth || pure || weight < rules_.min_split ||
            weight < 2.0 * rules_.min_leaf || node.rows.size() < rules_.min_split_rows ||
            node.rows.size() < 2.0 * rules_.min_leaf_rows)
            return out;
        lindorf::KeyedStream stream = lindorf::node_stream(rules_.node_key, node.path);
        const std::vector<std::uint32_t> features = searched(node, stream);
        const bool drawn = rules_.max_features > 0 && rules_.max_features < data_.rows[0].size();
        std::vector<std::uint64_t> draws;
        if (rules_.splitter == lindorf::Splitter::random)
            for (std::size_t k = 0; k < 2 * features.size(); ++k) draws.push_back(stream.next_u64());
        if (!drawn || !features.empty())
            out.choice = general_split(data_, node.rows, rules_, features, draws, node.lower, node.upper);
        if (!out.choice.found) out.choice = {false, 0, 0.0f, false};
        const GeneralSplit& s = out.choice;
        for (std::size_t r : node.rows) {
            const float v = data_.rows[r][s.feature];
            (v < s.threshold || (s.nan_left && std::isnan(v)) ? out.left : out.right).push_back(r);
        }
        if (out.left.empty() || out.right.empty()) return out;
        const Context c{data_, units_, rules_};
        const double gain = score(c, node.rows, mask(node.rows, [&](std::size_t r) {
                                      return std::binary_search(out.left.begin(), out.left.end(), r);
                                  }), s.feature, node.lower, node.upper, rules_.min_leaf);
        if (std::isnan(gain)) return out;
        out.decrease = weight / root_weight_ * gain;
        if (rules_.min_impurity_decrease > 0.0 && out.decrease + DBL_EPSILON < rules_.min_impurity_decrease)
            return out;
        const Counts l = tally(out.left), r = tally(out.right);
        if (!rules_.monotonic.empty())
            out.middle = static_cast<double>(l.by_class[0][0]) / (2.0 * static_cast<double>(l.total)) +
                         static_cast<double>(r.by_class[0][0]) / (2.0 * static_cast<double>(r.total));
        out.split = true;
        return out;
    }

    void record(const Pending& node, const Counts& counts) {
        lindorf::NodeStats& stats = tree_.stats[node.index];
        stats.weight = static_cast<double>(counts.total) * units_.unit;
        stats.impurity = impurity(counts, rules_.impurity == lindorf::Impurity::gini);
        stats.rows = static_cast<std::uint32_t>(node.rows.size());
        tree_.nodes[node.index].prediction = label_of(node.rows, counts);
    }

    void make_leaf(const Pending& node, const Counts& counts) {
        lindorf::Node& leaf = tree_.nodes[node.index];
        lindorf::NodeStats& stats = tree_.stats[node.index];
        leaf.is_leaf = true;
        stats.values = static_cast<std::uint32_t>(leaf_values_.size());
        const double weight = static_cast<double>(counts.total) * units_.unit;
        std::vector<lindorf::LeafValue> values;
        if (!rules_.monotonic.empty()) {
            double share = static_cast<double>(counts.by_class[0][0]) / static_cast<double>(counts.total);
            share = share < node.lower ? node.lower : share > node.upper ? node.upper : share;
            const double rest = 1.0 - share;
            if (share > rest) leaf.prediction = 0;
            if (rest > share) leaf.prediction = 1;
            for (const lindorf::LeafValue v : {lindorf::LeafValue{0, share * weight},
                                               lindorf::LeafValue{1, rest * weight}})
                if (v.value > 0.0) values.push_back(v);
        } else {
            std::uint32_t offset = 0;
            for (const auto& classes : counts.by_class) {
                for (std::uint32_t k = 0; k < classes.size(); ++k)
                    if (classes[k] > 0)
                        values.push_back({offset + k, static_cast<double>(classes[k]) * units_.unit});
                offset += static_cast<std::uint32_t>(classes.size());
            }
        }
        stats.n_values = static_cast<std::uint32_t>(values.size());
        leaf_values_.insert(leaf_values_.end(), values.begin(), values.end());
    }

    std::pair<Pending, Pending> children(const Pending& node, const Outcome& out) {
        lindorf::Node& inner = tree_.nodes[node.index];
        inner.is_leaf = false;
        inner.feature = out.choice.feature;
        inner.threshold = out.choice.threshold;
        inner.nan_left = out.choice.nan_left;
        const GeneralSplit& s = out.choice;
        Pending left{out.left, node.depth + 1,
                     lindorf::child_path(node.path, s.feature, s.threshold, s.nan_left, true),
                     node.lower, node.upper};
        Pending right{out.right, node.depth + 1,
                      lindorf::child_path(node.path, s.feature, s.threshold, s.nan_left, false),
                      node.lower, node.upper};
        const int constraint = rules_.monotonic.empty() ? 0 : -rules_.monotonic[out.choice.feature];
        if (constraint == 1) left.upper = right.lower = out.middle;
        if (constraint == -1) left.lower = right.upper = out.middle;
        left.index = place();
        tree_.nodes[node.index].left = left.index;
        right.index = place();
        tree_.nodes[node.index].right = right.index;
        return {left, right};
    }

    void depth_first(const Pending& node) {
        const Counts counts = tally(node.rows);
        record(node, counts);
        const Outcome out = decide(node, counts);
        if (!out.split) return make_leaf(node, counts);
        auto [left, right] = children(node, out);
        depth_first(left);
        depth_first(right);
    }

    void best_first(const Pending& root) {
        struct Waiting {
            Pending node;
            Outcome out;
        };
        std::vector<Waiting> frontier;
        auto add = [&](const Pending& node) {
            const Counts counts = tally(node.rows);
            record(node, counts);
            Outcome out = decide(node, counts);
            if (out.split)
                frontier.push_back({node, out});
            else
                make_leaf(node, counts);
        };
        add(root);
        std::uint32_t splits = rules_.max_leaf_nodes - 1;
        while (!frontier.empty()) {
            std::size_t best = 0;  // the largest decrease, the earliest made on a tie
            for (std::size_t k = 1; k < frontier.size(); ++k)
                if (frontier[k].out.decrease > frontier[best].out.decrease) best = k;
            const Waiting next = frontier[best];
            frontier.erase(frontier.begin() + static_cast<std::ptrdiff_t>(best));
            if (splits == 0) {
                make_leaf(next.node, tally(next.node.rows));
                continue;
            }
            --splits;
            auto [left, right] = children(next.node, next.out);
            add(left);
            add(right);
        }
    }

    // The subtree at `from`, copied into `out` in preorder; returns the copy's position.
    std::uint32_t preorder(lindorf::Tree& out, std::uint32_t from) const {
        const auto index = static_cast<std::uint32_t>(out.nodes.size());
        const lindorf::NodeStats& stats = tree_.stats[from];
        out.nodes.push_back(tree_.nodes[from]);
        out.stats.push_back(stats);
        if (tree_.nodes[from].is_leaf) {
            out.stats[index].values = static_cast<std::uint32_t>(out.values.size());
            out.values.insert(out.values.end(), leaf_values_.begin() + stats.values,
                              leaf_values_.begin() + stats.values + stats.n_values);
            return index;
        }
        const std::uint32_t left = preorder(out, tree_.nodes[from].left);
        out.nodes[index].left = left;
        out.nodes[index].right = preorder(out, tree_.nodes[from].right);
        return index;
    }

    const General& data_;
    Units units_;
    GrowRules rules_;
    Positions root_;
    double root_weight_ = 0.0;
    lindorf::Tree tree_;
    std::vector<lindorf::LeafValue> leaf_values_;
};

}  // namespace

lindorf::Tree grow_general(const General& data, const GrowRules& rules) {
    return Grower(data, rules).grow();
}

}  // namespace reference
