// The general path's node work: weights in whole numbers of a unit, one or several outputs,
// NaN sides learned or not, monotonic constraints and random thresholds, with the split search of
// splitting/general_sweep.hpp. Its rules are the exact path's (a leaf's label, the fallback
// split when nothing scores above 0.0, ties), in the double-precision arithmetic of
// criteria/impurity.hpp.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "splitting/column_rules.hpp"
#include "splitting/general_sweep.hpp"
#include "splitting/partition.hpp"
#include "support/error.hpp"
#include "support/streams.hpp"
#include "tree/feature_draw.hpp"
#include "tree/node_columns.hpp"
#include "tree/node_work.hpp"
#include "tree/small_random.hpp"

namespace lindorf {

namespace {

constexpr std::uint32_t no_slot = 0xFFFFFFFFu;

class GeneralWork final : public NodeWork {
  public:
    GeneralWork(WorkingSet& set, const GrowRules& rules)
        : set_(set),
          rules_(rules),
          slots_(class_slots(set)),
          counts_(slots_, 0),
          left_(slots_, 0),
          latest_(slots_, 0),
          draw_(rules, set.n_cols),
          streams_(rules.node_key),
          unit_(set.general.unit),
          min_leaf_units_(units_at_least(rules.min_leaf)) {
        LINDORF_CHECK(set.n_cols > 0, "the general path needs a feature");
        const bool one_output = set.general.n_outputs == 1;
        if (one_output && !set.class_labels.empty() && set.class_labels[0] == 0) zero_slot_ = 0;
        if (!one_output) zero_slot_ = no_slot;
        // Rows of one weight (no weights, no bootstrap) need no weight looked up at a search.
        const std::vector<std::uint64_t>& units = set.general.units;
        if (!units.empty() && std::all_of(units.begin(), units.end(),
                                          [&](std::uint64_t u) { return u == units[0]; }))
            every_unit_ = units[0];
    }

    NodeFacts take(NodeRange range, bool own_rows) override {
        const bool random = rules_.splitter == Splitter::random;
        LINDORF_CHECK(own_rows || !random, "random thresholds read columns as rows lie");
        range_ = range;
        own_rows_ = own_rows && random;
        sorts_own_ = own_rows && !random;
        for (std::uint32_t s : present_) counts_[s] = latest_[s] = 0;
        present_.clear();
        total_ = 0;
        const std::span<const Entry> column =
            own_rows ? std::span<const Entry>(set_.node_rows.data() + range.begin, range.size())
                     : set_.column(0, range.begin, range.end);
        // A node that draws random thresholds reads its rows' weights in their order.
        const bool keep_units = own_rows_ && every_unit_ == 0;
        // Buffers only grow: a node's rows are fewer than its parent's, and zeroing them anew at
        // every node would cost as much as the tally.
        if (keep_units && row_units_.size() < column.size()) row_units_.resize(column.size());
        units_view_ = {row_units_.data(), keep_units ? column.size() : 0};
        // And, when its rows are of one weight and two classes, their classes, which its search
        // then counts without looking up the rows.
        const bool keep_classes = own_rows_ && !keep_units && slots_ == 2 &&
                                  set_.general.n_outputs == 1 &&
                                  rules_.nan_side != NanSide::learned;
        if (keep_classes && row_classes_.size() < column.size())
            row_classes_.resize(column.size());
        classes_view_ = {row_classes_.data(), keep_classes ? column.size() : 0};
        // Two classes are listed in order by these tallies.
        const bool two_classes = !keep_units && slots_ == 2 && set_.general.n_outputs == 1;
        if (keep_classes) {
            take_two_classes(column);
        } else if (two_classes) {
            tally_two_classes(column);
        } else {
            with_general_rows(set_, [&](const auto& rows) {
                for (std::size_t i = 0; i < column.size(); ++i) {
                    const Entry& entry = column[i];
                    const std::uint64_t weight = rows.weight(entry.row);
                    if (keep_units) row_units_[i] = weight;
                    rows.each_slot(entry.row, [&](std::uint32_t s) {
                        if (counts_[s] == 0) present_.push_back(s);
                        counts_[s] += weight;
                    });
                    total_ += weight;
                }
            });
        }
        if (!two_classes) std::sort(present_.begin(), present_.end());
        output_ends_.clear();
        if (set_.general.n_outputs == 1) {
            output_ends_.push_back(static_cast<std::uint32_t>(present_.size()));
        } else {
            for (std::size_t o = 1; o <= set_.general.n_outputs; ++o)
                output_ends_.push_back(static_cast<std::uint32_t>(
                    std::lower_bound(present_.begin(), present_.end(),
                                     set_.general.output_offset[o]) -
                    present_.begin()));
        }
        impurity_ = general_impurity(node(), rules_.impurity, total_,
                                     [&](std::uint32_t s) { return counts_[s]; });
        label_ = majority(column);
        NodeFacts facts;
        facts.weight = weight_of(total_);
        facts.impurity = impurity_;
        facts.rows = static_cast<std::uint32_t>(range.size());
        facts.pure = present_.size() == set_.general.n_outputs;
        facts.label = label_;
        return facts;
    }

    std::optional<NodeSplit> split(const NodeAt& at, ScratchSlots& scratch,
                                   WorkerPool* pool) override {
        KeyedStream stream = streams_.at(at.path);
        if (own_rows_) loose_.clear(set_, range_);
        if (sorts_own_) own_.clear(range_);
        const SmallNode small{{set_.node_rows.data() + range_.begin, range_.size()},
                              small_path() ? loose_.copy() : nullptr,
                              set_.n_cols};
        GeneralChoice choice =
            small.copy != nullptr
                ? small_random_search(set_, small, draw_, stream, classes_view_, every_unit_,
                                      node(), search_rules(at, {}, {}))
                : search(at, stream, scratch, pool);
        // Built in place: a record copied out of a function is read back at widths it was not
        // written at, which holds up every node.
        std::optional<NodeSplit> result;
        NodeSplit& split = result.emplace();
        // Nothing scored above 0.0: the fallback, feature 0 at 0.0, if it divides the rows.
        split.choice = {choice.feature, choice.threshold, choice.nan_left};
        if (own_rows_) {
            // The order of a node's rows is nothing its tally or search looks at: they are
            // divided here, even if the node stays a leaf.
            split.n_left =
                small.copy != nullptr
                    ? small_divide(small, split.choice.feature, split.choice.threshold,
                                   split.choice.nan_left)
                    : loose_.divide(set_, range_, split.choice.feature, split.choice.threshold,
                                    split.choice.nan_left);
            split.column = {set_.node_rows.data() + range_.begin, range_.size()};
            split.rows_divided = true;
        } else {
            split.column = sorts_own_ ? own_.column(set_, range_, split.choice.feature)
                                      : set_.column(split.choice.feature, range_.begin, range_.end);
            split.n_left = left_size(split.column, split.choice.threshold);
            split.n_tail_left =
                split.choice.nan_left ? split.column.size() - numbers_in(split.column) : 0;
        }
        const std::span<const Entry> column = split.column;
        const std::size_t left_rows = split.n_left + split.n_tail_left;
        if (left_rows == 0 || left_rows == range_.size()) {
            result.reset();
            return result;
        }
        const std::int8_t constraint =
            rules_.monotonic.empty() ? 0 : rules_.monotonic[split.choice.feature];
        if (!choice.found || constraint != 0) {
            const std::uint64_t left_units = count_left(column, split);
            if (!choice.found && !within_rules(left_units, left_rows, constraint, at.bounds)) {
                result.reset();
                return result;
            }
            if (!choice.found) choice.gain = gain_of(left_units);
            if (constraint != 0) split.middle = middle(left_units);
        }
        if (at.measure)
            split.decrease = weighted_decrease(choice.gain, weight_of(total_), at.root_weight);
        return result;
    }

    void leaf(Tree& tree, std::uint32_t index, const Bounds& bounds, bool record) override {
        if (!rules_.monotonic.empty()) return monotonic_leaf(tree, index, bounds, record);
        tree.nodes[index] = Node{.is_leaf = true, .prediction = label_};
        if (!record) return;
        tree.stats[index].values = static_cast<std::uint32_t>(tree.values.size());
        tree.stats[index].n_values = static_cast<std::uint32_t>(present_.size());
        for (std::uint32_t s : present_) tree.values.push_back({flat(s), weight_of(counts_[s])});
    }

    bool grow_subtree(Tree& tree, std::uint32_t index, const NodeAt& at, const NodeFacts& facts,
                      std::size_t node_limit, ScratchSlots& /*scratch*/) override {
        // A leaf has nothing to copy or search: growth writes it as any other.
        if (!own_rows_ || !small_path() || at.measure || stops_at(rules_, at.depth, facts))
            return false;
        // Every node below reads the copy this node reads, or makes now.
        loose_.clear(set_, range_);
        const float* const copy = loose_.copy();
        if (copy == nullptr) return false;
        // The subtree's rows' class slots, divided with the rows: a node's tally is a sum of
        // its part, and its search reads that part.
        const std::size_t first = range_.begin;
        std::uint32_t classes[small_node_rows];
        std::copy(classes_view_.begin(), classes_view_.end(), classes);
        // Nodes waiting: the right children along the path to the current node, one a level,
        // and a split leaves a row fewer on each side. Plain fields: the list is not zeroed at
        // every call.
        struct Waiting {
            std::size_t begin, end;
            std::uint32_t depth;
            std::uint64_t path;
            std::uint32_t parent;
            bool is_left;
        };
        Waiting waiting[small_node_rows + 1];
        std::size_t n_waiting = 0;
        NodeAt where = at;
        NodeFacts current = facts;
        for (;;) {
            const std::optional<SplitChoice> choice =
                stops_at(rules_, where.depth, current)
                    ? std::nullopt
                    : small_split(where, copy, classes + (range_.begin - first));
            if (choice) {
                tree.nodes[index] = Node{.is_leaf = false, .nan_left = choice->nan_left,
                                         .feature = choice->feature,
                                         .threshold = choice->threshold,
                                         .prediction = current.label};
                const std::size_t middle = small_middle_;
                auto child = [&](bool left) {
                    return Waiting{left ? where.range.begin : middle,
                                   left ? middle : where.range.end, where.depth + 1,
                                   child_path(where.path, choice->feature, choice->threshold,
                                              choice->nan_left, left),
                                   index, left};
                };
                LINDORF_CHECK(n_waiting + 2 <= small_node_rows + 1,
                              "a small subtree waits on a node a level");
                waiting[n_waiting++] = child(false);
                waiting[n_waiting++] = child(true);
            } else {
                leaf(tree, index, where.bounds, rules_.record_stats);
            }
            if (n_waiting == 0) return true;
            const Waiting next = waiting[--n_waiting];
            if (rules_.stop != nullptr) rules_.stop->check();
            check_node_room(tree, 1, node_limit);
            index = static_cast<std::uint32_t>(tree.nodes.size());
            tree.nodes.emplace_back();
            if (rules_.record_stats) tree.stats.emplace_back();
            Node& parent = tree.nodes[next.parent];
            (next.is_left ? parent.left : parent.right) = index;
            where.range = {next.begin, next.end};
            where.depth = next.depth;
            where.path = next.path;
            current = take_small(where.range, {classes + (next.begin - first), where.range.size()});
            record_facts(tree, index, current, rules_);
        }
    }

  private:
    // take() for a node of a small subtree, whose rows' class slots the subtree keeps.
    NodeFacts take_small(NodeRange range, std::span<const std::uint32_t> classes) {
        range_ = range;
        for (std::uint32_t s : present_) counts_[s] = latest_[s] = 0;
        present_.clear();
        classes_view_ = classes;
        std::size_t ones = 0;
        for (std::uint32_t slot : classes) ones += slot;
        counts_[0] = (classes.size() - ones) * every_unit_;
        counts_[1] = ones * every_unit_;
        for (std::uint32_t s : {0u, 1u})
            if (counts_[s] > 0) present_.push_back(s);
        total_ = classes.size() * every_unit_;
        output_ends_.clear();
        output_ends_.push_back(static_cast<std::uint32_t>(present_.size()));
        impurity_ = general_impurity(node(), rules_.impurity, total_,
                                     [&](std::uint32_t s) { return counts_[s]; });
        label_ = majority({set_.node_rows.data() + range.begin, range.size()});
        NodeFacts facts;
        facts.weight = weight_of(total_);
        facts.impurity = impurity_;
        facts.rows = static_cast<std::uint32_t>(range.size());
        facts.pure = present_.size() == 1;
        facts.label = label_;
        return facts;
    }

    // split() for a node of a small subtree, its rows' values in `copy` and their class slots
    // in `classes`, divided with them; the left side ends at small_middle_.
    std::optional<SplitChoice> small_split(const NodeAt& at, const float* copy,
                                           std::uint32_t* classes) {
        KeyedStream stream = streams_.at(at.path);
        const SmallNode small{{set_.node_rows.data() + range_.begin, range_.size()}, copy,
                              set_.n_cols};
        const GeneralChoice choice =
            small_random_search(set_, small, draw_, stream, classes_view_, every_unit_, node(),
                                search_rules(at, {}, {}));
        // Nothing scored above 0.0: the fallback, feature 0 at 0.0, if it divides the rows.
        const SplitChoice split{choice.feature, choice.threshold, choice.nan_left};
        const std::size_t n_left =
            small_divide(small, split.feature, split.threshold, split.nan_left, classes);
        small_middle_ = range_.begin + n_left;
        if (n_left == 0 || n_left == range_.size()) return std::nullopt;
        if (!choice.found) {
            NodeSplit fallback;
            fallback.n_left = n_left;
            const std::uint64_t left_units = count_left(small.rows, fallback);
            if (!within_rules(left_units, n_left, 0, at.bounds)) return std::nullopt;
        }
        return split;
    }

    // Whether the current node takes the small path (small_random.hpp): random thresholds over
    // rows of one weight and two classes (classes_view_), nothing constrained, few rows and
    // features.
    bool small_path() const {
        const std::size_t searched = draw_.active() ? rules_.max_features : set_.n_cols;
        return !classes_view_.empty() && rules_.monotonic.empty() &&
               small_enough(range_.size(), searched);
    }

    GeneralRules search_rules(const NodeAt& at, std::span<const std::uint32_t> features,
                              std::span<const std::uint64_t> draws) const {
        return {rules_.impurity,       min_leaf_units_, rules_.min_leaf_rows,
                rules_.nan_side == NanSide::learned, monotonic(at.bounds), features, draws};
    }

    // The node's drawn features and their best split.
    GeneralChoice search(const NodeAt& at, KeyedStream& stream, ScratchSlots& scratch,
                         WorkerPool* pool) {
        const bool learn = rules_.nan_side == NanSide::learned;
        std::span<const std::uint32_t> features;
        if (sorts_own_) {
            features = draw_.features(stream, [&](std::uint32_t f) {
                return own_.gather(set_, range_, f, learn);
            });
        } else if (draw_.active() && own_rows_) {
            features = draw_.features_in_batches(
                stream, [&](std::span<const std::uint32_t> candidates,
                            std::span<std::uint8_t> answers) {
                    loose_.gather(set_, range_, candidates, learn, answers);
                });
        } else if (draw_.active()) {
            features = draw_.features(set_, range_, stream);
        } else if (own_rows_) {
            for (std::uint32_t f = 0; f < set_.n_cols; ++f) loose_.keep(set_, range_, f);
        }
        if (draw_.active() && features.empty()) return {};
        draws_.clear();
        if (rules_.splitter == Splitter::random) {
            const std::size_t n = draw_.active() ? features.size() : set_.n_cols;
            for (std::size_t k = 0; k < 2 * n; ++k) draws_.push_back(stream.next_u64());
        }
        const GeneralRules search = search_rules(at, features, draws_);
        if (own_rows_) return random_search(search, scratch, pool);
        if (sorts_own_)
            return general_search(set_, own_.sort(features, pool), node(), search, scratch, pool);
        return general_search(set_, range_, node(), search, scratch, pool);
    }

    // The tally of rows of one weight (every_unit_) and two classes: each row's slot, kept for
    // the search, and a count of those of slot 1, free of the chain of additions to one counter
    // that rows of one class in a row would wait on.
    void take_two_classes(std::span<const Entry> column) {
        std::size_t ones = 0, i = 0;
        if (set_.coding.packed) ones = packed_classes(column, i);
        with_general_rows(set_, [&](const auto& rows) {
            for (; i < column.size(); ++i) {
                std::uint32_t slot = 0;
                rows.each_slot(column[i].row, [&](std::uint32_t s) { slot = s; });
                row_classes_[i] = slot;
                ones += slot;
            }
        });
        counts_[0] = (column.size() - ones) * every_unit_;
        counts_[1] = ones * every_unit_;
        for (std::uint32_t s : {0u, 1u})
            if (counts_[s] > 0) present_.push_back(s);
        total_ = column.size() * every_unit_;
    }

    // The class slots of the first rows of `column` whose coded rows carry their class, four at
    // a time in vector registers (a lane a row), into row_classes_; sets `done` to how many it
    // took and returns how many of them are of slot 1.
    std::size_t packed_classes(std::span<const Entry> column, std::size_t& done) {
        using Lanes = std::uint32_t __attribute__((vector_size(16)));
        static_assert(sizeof(Entry) == 2 * sizeof(std::uint32_t));
        const unsigned shift = set_.coding.weight_bits;
        const std::uint32_t bits = (std::uint32_t{1} << set_.coding.class_bits) - 1;
        const Lanes mask = {bits, bits, bits, bits};
        Lanes ones = {0, 0, 0, 0};
        std::size_t i = 0;
        for (; i + 4 <= column.size(); i += 4) {
            // Four entries are eight words, the rows' the odd ones.
            Lanes low, high;
            std::memcpy(&low, column.data() + i, sizeof low);
            std::memcpy(&high, column.data() + i + 2, sizeof high);
            const Lanes slots = (__builtin_shuffle(low, high, Lanes{1, 3, 5, 7}) >> shift) & mask;
            std::memcpy(row_classes_.data() + i, &slots, sizeof slots);
            ones += slots;
        }
        done = i;
        return std::size_t{ones[0]} + ones[1] + ones[2] + ones[3];
    }

    // The tally of rows of two class slots and any weights: the units of all and of those of
    // slot 1, asked for a few dozen rows ahead, free of the branch on a slot's first row that
    // rows of either class in turn would have the processor guess.
    void tally_two_classes(std::span<const Entry> column) {
        constexpr std::size_t ahead = 64;
        std::uint64_t units = 0, ones = 0;
        with_general_rows(set_, [&](const auto& rows) {
            for (std::size_t i = 0; i < column.size(); ++i) {
                if (i + ahead < column.size()) rows.fetch(column[i + ahead].row);
                const std::uint64_t weight = rows.weight(column[i].row);
                std::uint64_t slot = 0;
                rows.each_slot(column[i].row, [&](std::uint32_t s) { slot = s; });
                units += weight;
                ones += weight & (std::uint64_t{0} - slot);
            }
        });
        counts_[0] = units - ones;
        counts_[1] = ones;
        for (std::uint32_t s : {0u, 1u})
            if (counts_[s] > 0) present_.push_back(s);
        total_ = units;
    }

    GeneralNode node() const { return {counts_.data(), total_, present_, output_ends_, impurity_}; }

    // The node's rows as they lie, its drawn features' columns gathered (loose_) in the order
    // the draw kept them, which the search wants ascending.
    GeneralChoice random_search(GeneralRules search, ScratchSlots& scratch, WorkerPool* pool) {
        const std::span<const LooseColumn> kept = loose_.kept();
        lined_up_.assign(kept.begin(), kept.end());
        if (!search.features.empty()) {
            line_up_by_rank(
                kept.size(), [&](std::size_t k) { return loose_.feature(k); },
                [&](std::size_t rank, std::size_t k) { lined_up_[rank] = kept[k]; });
        }
        const std::span<const Entry> rows(set_.node_rows.data() + range_.begin, range_.size());
        return general_random_search(set_, rows, units_view_, every_unit_, classes_view_, lined_up_,
                                     node(), search, scratch, pool);
    }

    double weight_of(std::uint64_t units) const { return static_cast<double>(units) * unit_; }

    std::uint32_t flat(std::uint32_t slot) const {
        return set_.general.n_outputs == 1 ? set_.class_labels[slot] : slot;
    }

    std::uint64_t units_at_least(double weight) const {
        if (!(weight > 0.0)) return 0;
        const double units = std::ceil(weight / unit_);
        return units >= 0x1p63 ? std::uint64_t{1} << 63 : static_cast<std::uint64_t>(units);
    }

    Monotonic monotonic(const Bounds& bounds) const {
        return {rules_.monotonic, zero_slot_, bounds.lower, bounds.upper};
    }

    // The first output's most frequent class; between equally frequent ones, with one output
    // the one whose latest row comes last (as on the exact path), with several the lowest.
    Label majority(std::span<const Entry> column) {
        const std::span<const std::uint32_t> first(present_.data(), output_ends_[0]);
        std::uint32_t best = first.front();
        std::size_t holders = 0;
        for (std::uint32_t s : first) {
            if (counts_[s] > counts_[best]) best = s, holders = 0;
            holders += counts_[s] == counts_[best];
        }
        if (holders > 1 && set_.general.n_outputs == 1) {
            with_general_rows(set_, [&](const auto& rows) {
                for (const Entry& entry : column) {
                    const std::uint32_t last = set_.last_position(set_.local(entry.row));
                    rows.each_slot(entry.row, [&](std::uint32_t s) {
                        latest_[s] = std::max(latest_[s], last);
                    });
                }
            });
            for (std::uint32_t s : first)
                if (counts_[s] == counts_[best] && latest_[s] > latest_[best]) best = s;
        }
        return flat(best);
    }

    // Counts the split's left rows into left_, by slot; returns their units.
    std::uint64_t count_left(std::span<const Entry> column, const NodeSplit& split) {
        for (std::uint32_t s : present_) left_[s] = 0;
        std::uint64_t units = 0;
        auto add = [&](std::span<const Entry> entries) {
            with_general_rows(set_, [&](const auto& rows) {
                for (const Entry& entry : entries) {
                    const std::uint64_t weight = rows.weight(entry.row);
                    rows.each_slot(entry.row, [&](std::uint32_t s) { left_[s] += weight; });
                    units += weight;
                }
            });
        };
        add(column.first(split.n_left));
        add(column.last(split.n_tail_left));
        return units;
    }

    double zero_share(std::uint64_t zero, std::uint64_t units) const {
        return static_cast<double>(zero) / static_cast<double>(units);
    }

    bool within_rules(std::uint64_t left_units, std::size_t left_rows, std::int8_t constraint,
                      const Bounds& bounds) const {
        const std::size_t right_rows = range_.size() - left_rows;
        const std::uint64_t right_units = total_ - left_units;
        if (left_rows < rules_.min_leaf_rows || right_rows < rules_.min_leaf_rows ||
            left_units < min_leaf_units_ || right_units < min_leaf_units_)
            return false;
        if (constraint == 0) return true;
        const std::uint64_t zero_left = zero_slot_ == no_slot ? 0 : left_[zero_slot_];
        const std::uint64_t zero_all = zero_slot_ == no_slot ? 0 : counts_[zero_slot_];
        const double left = zero_share(zero_left, left_units);
        const double right = zero_share(zero_all - zero_left, right_units);
        return left >= bounds.lower && right >= bounds.lower && left <= bounds.upper &&
               right <= bounds.upper && (left - right) * -constraint <= 0.0;
    }

    double gain_of(std::uint64_t left_units) const {
        const GeneralNode n = node();
        const std::uint64_t right_units = total_ - left_units;
        const double left = general_impurity(n, rules_.impurity, left_units,
                                             [&](std::uint32_t s) { return left_[s]; });
        const double right = general_impurity(n, rules_.impurity, right_units,
                                              [&](std::uint32_t s) { return counts_[s] - left_[s]; });
        return split_gain(impurity_, left, static_cast<double>(left_units), right,
                          static_cast<double>(right_units), static_cast<double>(total_));
    }

    // The mean of the two sides' class-0 shares, halves first, as the bounds of the children meet.
    double middle(std::uint64_t left_units) const {
        const std::uint64_t zero_left = zero_slot_ == no_slot ? 0 : left_[zero_slot_];
        const std::uint64_t zero_all = zero_slot_ == no_slot ? 0 : counts_[zero_slot_];
        return static_cast<double>(zero_left) / (2.0 * static_cast<double>(left_units)) +
               static_cast<double>(zero_all - zero_left) /
                   (2.0 * static_cast<double>(total_ - left_units));
    }

    // Two classes under monotonic constraints: the class-0 share clipped to the node's bounds,
    // class 1 the rest; the label follows the larger share (the majority's on a tie).
    void monotonic_leaf(Tree& tree, std::uint32_t index, const Bounds& bounds, bool record) {
        const std::uint64_t zero = zero_slot_ == no_slot ? 0 : counts_[zero_slot_];
        double share = zero_share(zero, total_);
        if (share < bounds.lower)
            share = bounds.lower;
        else if (share > bounds.upper)
            share = bounds.upper;
        const double rest = 1.0 - share;
        const Label label = share > rest ? 0 : rest > share ? 1 : label_;
        tree.nodes[index] = Node{.is_leaf = true, .prediction = label};
        if (!record) return;
        const double weight = weight_of(total_);
        tree.stats[index].values = static_cast<std::uint32_t>(tree.values.size());
        for (const LeafValue value : {LeafValue{0, share * weight}, LeafValue{1, rest * weight}})
            if (value.value > 0.0) tree.values.push_back(value);
        tree.stats[index].n_values =
            static_cast<std::uint32_t>(tree.values.size()) - tree.stats[index].values;
    }

    WorkingSet& set_;
    const GrowRules& rules_;
    std::size_t slots_;
    std::vector<std::uint64_t> counts_;
    std::vector<std::uint64_t> left_;
    std::vector<std::uint32_t> latest_;
    std::vector<std::uint32_t> present_;
    std::vector<std::uint32_t> output_ends_;
    std::vector<std::uint64_t> draws_;
    FeatureDraw draw_;
    NodeStreams streams_;  // of the tree's nodes
    bool own_rows_ = false;   // random thresholds over the node's rows as they lie
    bool sorts_own_ = false;  // the node sorts its drawn features itself
    LooseColumns loose_;
    NodeColumns own_;
    std::vector<LooseColumn> lined_up_;
    std::vector<std::uint64_t> row_units_;  // of the node's own rows, in their order
    std::vector<std::uint32_t> row_classes_;  // their class slots, in their order
    std::span<const std::uint64_t> units_view_;   // the node's part of row_units_; empty: none
    std::span<const std::uint32_t> classes_view_;  // and of row_classes_
    std::uint64_t every_unit_ = 0;          // every row's weight, when all are the same
    double unit_;
    std::uint64_t min_leaf_units_;
    std::uint32_t zero_slot_ = no_slot;
    NodeRange range_;
    std::size_t small_middle_ = 0;  // small_split's
    std::uint64_t total_ = 0;
    double impurity_ = 0.0;
    Label label_ = 0;
};

}  // namespace

std::unique_ptr<NodeWork> general_node_work(WorkingSet& set, const GrowRules& rules) {
    return std::make_unique<GeneralWork>(set, rules);
}

}  // namespace lindorf
