#include "model/prune.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <queue>
#include <utility>

#include "support/error.hpp"

namespace lindorf {

namespace {

constexpr std::uint32_t no_node = 0xFFFFFFFFu;

// The weakest-link search over a tree, one prune at a time. A heap holds every candidate's
// alpha as of its last change; stale entries are skipped when they come up.
class Pruner {
  public:
    explicit Pruner(const Tree& tree) : tree_(tree), n_(tree.nodes.size()) {
        LINDORF_CHECK(tree.has_stats(), "only a tree with node statistics can be pruned");
        parent_.assign(n_, no_node);
        r_node_.resize(n_);
        r_branch_.assign(n_, 0.0);
        leaves_.assign(n_, 0);
        in_tree_.assign(n_, 1);
        is_leaf_.assign(n_, 0);
        version_.assign(n_, 0);
        const double total = tree.stats[0].weight;
        for (std::size_t i = 0; i < n_; ++i) {
            r_node_[i] = tree.stats[i].weight * tree.stats[i].impurity / total;
            const Node& node = tree.nodes[i];
            if (node.is_leaf) {
                is_leaf_[i] = 1;
            } else {
                parent_[node.left] = parent_[node.right] = static_cast<std::uint32_t>(i);
            }
        }
        for (std::size_t i = 0; i < n_; ++i) {
            if (!is_leaf_[i]) continue;
            r_branch_[i] = r_node_[i];
            for (std::uint32_t at = static_cast<std::uint32_t>(i); at != 0;) {
                at = parent_[at];
                r_branch_[at] += r_node_[i];
                ++leaves_[at];
            }
        }
        for (std::size_t i = 0; i < n_; ++i)
            if (!is_leaf_[i]) push(static_cast<std::uint32_t>(i));
    }

    double cost() const { return r_branch_[0]; }
    bool done() const { return is_leaf_[0] != 0; }

    // The weakest link's alpha, and its position.
    std::pair<double, std::uint32_t> weakest() {
        for (;;) {
            const Entry top = heap_.top();
            if (!is_leaf_[top.node] && in_tree_[top.node] && top.version == version_[top.node])
                return {top.alpha, top.node};
            heap_.pop();
        }
    }

    void prune(std::uint32_t node) {
        std::vector<std::uint32_t> below{tree_.nodes[node].left, tree_.nodes[node].right};
        while (!below.empty()) {
            const std::uint32_t at = below.back();
            below.pop_back();
            in_tree_[at] = 0;
            if (!tree_.nodes[at].is_leaf) {
                below.push_back(tree_.nodes[at].left);
                below.push_back(tree_.nodes[at].right);
            }
        }
        is_leaf_[node] = 1;
        const std::uint32_t pruned_leaves = leaves_[node] - 1;
        leaves_[node] = 0;
        const double change = r_node_[node] - r_branch_[node];
        r_branch_[node] = r_node_[node];
        for (std::uint32_t at = parent_[node]; at != no_node; at = parent_[at]) {
            leaves_[at] -= pruned_leaves;
            r_branch_[at] += change;
            push(at);
        }
    }

    const std::vector<std::uint8_t>& leaves_now() const { return is_leaf_; }
    const std::vector<std::uint8_t>& kept() const { return in_tree_; }

  private:
    struct Entry {
        double alpha;
        std::uint32_t node;
        std::uint32_t version;
    };
    struct Later {
        bool operator()(const Entry& a, const Entry& b) const {
            return a.alpha > b.alpha || (a.alpha == b.alpha && a.node > b.node);
        }
    };

    void push(std::uint32_t node) {
        const double alpha = (r_node_[node] - r_branch_[node]) / (leaves_[node] - 1.0);
        heap_.push({alpha, node, ++version_[node]});
    }

    const Tree& tree_;
    std::size_t n_;
    std::vector<std::uint32_t> parent_;
    std::vector<double> r_node_;
    std::vector<double> r_branch_;
    std::vector<std::uint32_t> leaves_;
    std::vector<std::uint8_t> in_tree_;
    std::vector<std::uint8_t> is_leaf_;
    std::vector<std::uint32_t> version_;
    std::priority_queue<Entry, std::vector<Entry>, Later> heap_;
};

// The values of every leaf below `node`, summed by index.
std::vector<LeafValue> summed_values(const Tree& tree, std::uint32_t node) {
    std::map<std::uint32_t, double> sums;
    std::vector<std::uint32_t> below{node};
    while (!below.empty()) {
        const std::uint32_t at = below.back();
        below.pop_back();
        const Node& n = tree.nodes[at];
        if (n.is_leaf) {
            for (const LeafValue& value : leaf_values(tree, at)) sums[value.index] += value.value;
            continue;
        }
        below.push_back(n.right);
        below.push_back(n.left);
    }
    std::vector<LeafValue> out;
    for (const auto& [index, value] : sums) out.push_back({index, value});
    return out;
}

}  // namespace

PruningPath pruning_path(const Tree& tree) {
    Pruner pruner(tree);
    PruningPath path{{0.0}, {pruner.cost()}};
    while (!pruner.done()) {
        const auto [alpha, node] = pruner.weakest();
        pruner.prune(node);
        path.alphas.push_back(alpha);
        path.impurities.push_back(pruner.cost());
    }
    return path;
}

Tree pruned(const Tree& tree, double alpha) {
    Pruner pruner(tree);
    while (!pruner.done()) {
        const auto [weakest, node] = pruner.weakest();
        if (alpha < weakest) break;
        pruner.prune(node);
    }
    // The kept nodes in their preorder, the new leaves with their leaves' values summed.
    const std::vector<std::uint8_t>& kept = pruner.kept();
    const std::vector<std::uint8_t>& leaf = pruner.leaves_now();
    std::vector<std::uint32_t> position(tree.nodes.size(), no_node);
    Tree out;
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        if (!kept[i]) continue;
        position[i] = static_cast<std::uint32_t>(out.nodes.size());
        Node node = tree.nodes[i];
        NodeStats stats = tree.stats[i];
        // A node that holds values of its own (a leaf, any node of a regression tree) keeps
        // them; a classifier's inner node made a leaf holds its leaves' values summed.
        const std::span<const LeafValue> own =
            std::span<const LeafValue>(tree.values).subspan(stats.values, stats.n_values);
        if (leaf[i] || !own.empty()) {
            const std::vector<LeafValue> values =
                node.is_leaf || !own.empty()
                    ? std::vector<LeafValue>(own.begin(), own.end())
                    : summed_values(tree, static_cast<std::uint32_t>(i));
            if (leaf[i]) node = Node{.is_leaf = true, .prediction = node.prediction};
            stats.values = static_cast<std::uint32_t>(out.values.size());
            stats.n_values = static_cast<std::uint32_t>(values.size());
            out.values.insert(out.values.end(), values.begin(), values.end());
        }
        out.nodes.push_back(node);
        out.stats.push_back(stats);
    }
    for (Node& node : out.nodes) {
        if (node.is_leaf) continue;
        node.left = position[node.left];
        node.right = position[node.right];
    }
    return out;
}

}  // namespace lindorf
