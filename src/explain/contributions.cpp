#include "explain/contributions.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

#include "support/error.hpp"

namespace lindorf {

namespace {

// Classes per walk: bounds the sums kept per level, however many classes there are.
constexpr std::size_t class_chunk = 8;

// What a tree's walks need that no row changes.
struct TreePlan {
    std::size_t levels = 1;  // depth + 1
    std::size_t points = 0;  // quadrature points: half the most distinct features on a path
    // By node: the level of the nearest ancestor entered by a test of the same feature as this
    // node (-1 if there is none, and for the root).
    std::vector<std::int32_t> prev_level;
    // By node: whether some node below it is entered by a test of its own entering feature.
    std::vector<std::uint8_t> repeated;
    std::vector<double> q_edge;    // by node: its cover over its parent's
    std::vector<double> q_before;  // by node: its feature's zero-fraction above this test
    std::vector<double> expected;  // by class: the leaves' values weighted by their covers
};

struct PathState {
    std::vector<std::int32_t> last_level;  // by feature, on the current path
    std::vector<std::uint32_t> last_node;
    std::vector<double> q_cum;  // by node: its entering feature's zero-fraction up to it
    std::size_t distinct = 0;
    std::size_t most = 0;
};

// A step of the depth-first walk that plans a tree: entering a node (from `parent` by a test
// of `feature`), or leaving it and restoring what the feature's last test was before it.
struct PlanStep {
    std::uint32_t node;
    std::uint32_t level;
    std::uint32_t parent;
    std::uint32_t feature;
    bool leaving;
    std::int32_t saved_level;
    std::uint32_t saved_node;
};

void enter_planned(const Tree& tree, const PlanStep& step, TreePlan& plan, PathState& path,
                   std::vector<PlanStep>& pending) {
    const std::uint32_t c = step.node;
    const std::int32_t prev = path.last_level[step.feature];
    const std::uint32_t prev_node = path.last_node[step.feature];
    const double parent_cover = cover_at(tree, step.parent);
    plan.prev_level[c] = prev;
    plan.q_edge[c] = parent_cover > 0.0 ? cover_at(tree, c) / parent_cover : 0.0;
    plan.q_before[c] = prev >= 0 ? path.q_cum[prev_node] : 1.0;
    path.q_cum[c] = plan.q_before[c] * plan.q_edge[c];
    if (prev >= 0)
        plan.repeated[prev_node] = 1;
    else
        ++path.distinct;
    pending.push_back({c, step.level, step.parent, step.feature, true, prev, prev_node});
    path.last_level[step.feature] = static_cast<std::int32_t>(step.level);
    path.last_node[step.feature] = c;
}

TreePlan plan_tree(const Tree& tree, std::size_t n_features, std::uint32_t n_classes,
                   LeafOutput kind) {
    const std::size_t n = tree.nodes.size();
    TreePlan plan;
    plan.prev_level.assign(n, -1);
    plan.repeated.assign(n, 0);
    plan.q_edge.assign(n, 1.0);
    plan.q_before.assign(n, 1.0);
    PathState path{std::vector<std::int32_t>(n_features, -1),
                   std::vector<std::uint32_t>(n_features, 0), std::vector<double>(n, 1.0)};
    std::vector<PlanStep> pending{{0, 0, 0, 0, false, -1, 0}};
    while (!pending.empty()) {
        const PlanStep step = pending.back();
        pending.pop_back();
        if (step.leaving) {
            path.last_level[step.feature] = step.saved_level;
            path.last_node[step.feature] = step.saved_node;
            if (step.saved_level < 0) --path.distinct;
            continue;
        }
        plan.levels = std::max<std::size_t>(plan.levels, std::size_t{step.level} + 1);
        if (step.node != 0) enter_planned(tree, step, plan, path, pending);
        const Node& node = tree.nodes[step.node];
        if (node.is_leaf) {
            path.most = std::max(path.most, path.distinct);
            continue;
        }
        pending.push_back({node.right, step.level + 1, step.node, node.feature, false, -1, 0});
        pending.push_back({node.left, step.level + 1, step.node, node.feature, false, -1, 0});
    }
    plan.points = (path.most + 1) / 2;
    const double root_cover = cover_at(tree, 0);
    LINDORF_CHECK(root_cover > 0.0, "a tree's root has no training weight");
    plan.expected.assign(n_classes, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        if (!tree.nodes[i].is_leaf) continue;
        const double share = cover_at(tree, i) / root_cover;
        for_leaf_value(tree, i, kind, [&](std::uint32_t label, double value) {
            plan.expected[label] += value * share;
        });
    }
    return plan;
}

// Two quadrature points' values in one SSE2 register: a tree's points are padded to an even
// count with points of weight 0, and every loop over points runs over pairs.
using Pair = double __attribute__((vector_size(16)));

Pair splat(double value) {
    return Pair{value, value};
}

double total(Pair value) {
    return value[0] + value[1];
}

// By node and pair of points (node-major): how a row's product changes on entering the node,
// when it passed every earlier test of the entering feature and passes this one (both), fails
// it (fails) or had failed an earlier one (failed: the cover ratio), and the factor that turns
// the sums of the leaves whose last test of the feature is this one into the feature's value
// when the row passed every test of it (gain); when it did not, that factor is the same for
// every node (loss).
struct EdgeTables {
    std::vector<Pair> both;
    std::vector<Pair> fails;
    std::vector<Pair> failed;
    std::vector<Pair> gain;
    std::vector<Pair> loss;
};

std::size_t pairs_of(const TreePlan& plan) {
    return (plan.points + 1) / 2;
}

void fill_tables(const TreePlan& plan, const Quadrature& quad, EdgeTables& tables) {
    const std::size_t pairs = pairs_of(plan);
    const std::size_t n = plan.q_edge.size();
    tables.both.resize(n * pairs);
    tables.fails.resize(n * pairs);
    tables.failed.resize(n * pairs);
    tables.gain.resize(n * pairs);
    tables.loss.resize(pairs);
    // The padding point sits mid-interval with weight 0: its values are finite and count for
    // nothing.
    auto point = [&](std::size_t j) { return j < quad.t.size() ? quad.t[j] : 0.5; };
    auto weight = [&](std::size_t j) { return j < quad.w.size() ? quad.w[j] : 0.0; };
    for (std::size_t j = 0; j < 2 * pairs; ++j)
        tables.loss[j / 2][j % 2] = -weight(j) / (1.0 - point(j));
    for (std::size_t c = 1; c < n; ++c) {
        const double before = plan.q_before[c];
        const double after = before * plan.q_edge[c];
        for (std::size_t j = 0; j < 2 * pairs; ++j) {
            const double t = point(j);
            const double old_factor = before * (1.0 - t) + t;
            const double new_factor = after * (1.0 - t) + t;
            const std::size_t at = c * pairs + j / 2;
            tables.both[at][j % 2] = new_factor / old_factor;
            tables.fails[at][j % 2] = after * (1.0 - t) / old_factor;
            tables.failed[at][j % 2] = plan.q_edge[c];
            tables.gain[at][j % 2] = (1.0 - after) * weight(j) / new_factor;
        }
    }
}

// The per-level state of a walk: the level's node, which child is next, whether the row passed
// every test of the entering feature so far and goes left here, the product of the path's
// factors at each point, and the sums of the leaves below.
struct Scratch {
    std::vector<std::uint32_t> node;
    std::vector<std::uint8_t> stage;
    std::vector<std::uint8_t> passes;  // by level
    std::vector<std::uint8_t> left;    // by level
    std::vector<Pair> poly;            // levels x pairs
    std::vector<Pair> sums;            // levels x chunk x pairs
    std::vector<Pair> deeper;          // levels x chunk x pairs: sums below deeper tests
    std::vector<double> leaf_values;   // nodes x chunk
    EdgeTables tables;

    void size_for(std::size_t levels, std::size_t pairs, std::size_t chunk) {
        node.resize(levels);
        stage.resize(levels);
        passes.resize(levels);
        left.resize(levels);
        poly.resize(levels * pairs);
        sums.resize(levels * chunk * pairs);
        deeper.resize(levels * chunk * pairs);
    }
};

// One tree's walk of one row for classes [first, first + chunk). Pairs (of points) and Chunk
// are the tree's when they are small enough to be known at compile time, so that the loops over
// them unroll into registers; 0 otherwise.
template <std::size_t Pairs, std::size_t Chunk>
struct Walk {
    const Tree& tree;
    const TreePlan& plan;
    const float* values;  // the row's
    double* out;          // the row's (n_features + 1) x n_classes contributions
    std::size_t first;
    std::size_t chunk;
    double scale;
    std::size_t n_classes;
    Scratch& s;

    std::size_t pairs() const { return Pairs != 0 ? Pairs : pairs_of(plan); }
    std::size_t classes() const { return Chunk != 0 ? Chunk : chunk; }
    std::size_t block() const { return classes() * pairs(); }  // one level's sums

    Pair* poly(std::size_t level) { return s.poly.data() + level * pairs(); }
    Pair* sums(std::size_t level) { return s.sums.data() + level * block(); }
    Pair* deeper(std::size_t level) { return s.deeper.data() + level * block(); }

    void route(std::size_t level) {
        const std::uint32_t at = s.node[level];
        s.left[level] = goes_left(tree, at, values[tree.nodes[at].feature]) ? 1 : 0;
    }

    // The product of the path's factors at node c, entered from the node at level - 1, and
    // whether the row passed every test of the entering feature on the way (kept at `level`).
    void enter_poly(std::size_t level, std::uint32_t c, bool to_left, Pair* here) {
        const std::size_t n = pairs();
        const std::int32_t prev = plan.prev_level[c];
        const bool pold = prev < 0 || s.passes[std::size_t(prev)] != 0;
        const bool pass = pold && (s.left[level - 1] != 0) == to_left;
        s.passes[level] = pass ? 1 : 0;
        const EdgeTables& t = s.tables;
        const Pair* ratio =
            (pass ? t.both.data() : pold ? t.fails.data() : t.failed.data()) + std::size_t{c} * n;
        const Pair* above = poly(level - 1);
#pragma GCC unroll 16
        for (std::size_t j = 0; j < n; ++j) here[j] = above[j] * ratio[j];
    }

    // The weights that turn the sums at node c's points into its feature's value.
    const Pair* factors(std::uint32_t c, std::size_t level) const {
        return s.passes[level] != 0 ? s.tables.gain.data() + std::size_t{c} * pairs()
                                    : s.tables.loss.data();
    }

    void add(std::uint32_t feature, std::size_t k, double value) {
        out[feature * n_classes + first + k] += scale * value;
    }

    // A leaf adds its value at each point to its parent's sums (and to those of the nearest
    // test of the same feature above) and, being the only leaf below itself, gives the
    // entering feature its value directly.
    void leaf(std::size_t level, std::uint32_t c, bool to_left) {
        const std::size_t n = pairs();
        Pair* here = poly(level);
        enter_poly(level, c, to_left, here);
        const Pair* factor = factors(c, level);
        Pair weighted = {};
#pragma GCC unroll 16
        for (std::size_t j = 0; j < n; ++j) weighted += here[j] * factor[j];
        const std::uint32_t feature = tree.nodes[s.node[level - 1]].feature;
        const double* leaf_values = s.leaf_values.data() + std::size_t{c} * classes();
        const std::int32_t prev = plan.prev_level[c];
        Pair* parent = sums(level - 1);
        Pair* target = prev >= 0 ? deeper(std::size_t(prev)) : nullptr;
        for (std::size_t k = 0; k < classes(); ++k) {
            const double v = leaf_values[k];
            if (v == 0.0) continue;
            add(feature, k, v * total(weighted));
            const Pair value = splat(v);
#pragma GCC unroll 16
            for (std::size_t j = 0; j < n; ++j) parent[k * n + j] += value * here[j];
            if (target == nullptr) continue;
#pragma GCC unroll 16
            for (std::size_t j = 0; j < n; ++j) target[k * n + j] += value * here[j];
        }
    }

    void enter_inner(std::size_t level, std::uint32_t c, bool to_left) {
        s.node[level] = c;
        s.stage[level] = 0;
        enter_poly(level, c, to_left, poly(level));
        std::fill_n(sums(level), block(), Pair{});
        if (plan.repeated[c]) std::fill_n(deeper(level), block(), Pair{});
        route(level);
    }

    void finish(std::size_t level) {
        const std::size_t n = pairs();
        const std::uint32_t c = s.node[level];
        const std::uint32_t feature = tree.nodes[s.node[level - 1]].feature;
        const Pair* factor = factors(c, level);
        const Pair* h = sums(level);
        // With deeper tests of the feature below, only the leaves whose last test of it is this
        // one count here.
        const Pair* d = plan.repeated[c] ? deeper(level) : nullptr;
        for (std::size_t k = 0; k < classes(); ++k) {
            Pair value = {};
            if (d == nullptr) {
#pragma GCC unroll 16
                for (std::size_t j = 0; j < n; ++j) value += h[k * n + j] * factor[j];
            } else {
#pragma GCC unroll 16
                for (std::size_t j = 0; j < n; ++j)
                    value += (h[k * n + j] - d[k * n + j]) * factor[j];
            }
            add(feature, k, total(value));
        }
        Pair* parent = sums(level - 1);
        for (std::size_t i = 0; i < block(); ++i) parent[i] += h[i];
        const std::int32_t prev = plan.prev_level[c];
        if (prev < 0) return;
        Pair* target = deeper(std::size_t(prev));
        for (std::size_t i = 0; i < block(); ++i) target[i] += h[i];
    }

    void run() {
        if (tree.nodes[0].is_leaf) return;  // a single leaf: every value is 0
        s.node[0] = 0;
        s.stage[0] = 0;
        s.passes[0] = 1;
        std::fill_n(poly(0), pairs(), splat(1.0));
        std::fill_n(sums(0), block(), Pair{});
        route(0);
        std::size_t level = 0;
        for (;;) {
            if (s.stage[level] < 2) {
                const Node& node = tree.nodes[s.node[level]];
                const bool to_left = s.stage[level]++ == 0;
                const std::uint32_t child = to_left ? node.left : node.right;
                if (tree.nodes[child].is_leaf) {
                    leaf(level + 1, child, to_left);
                } else {
                    enter_inner(level + 1, child, to_left);
                    ++level;
                }
                continue;
            }
            if (level == 0) return;
            finish(level);
            --level;
        }
    }
};

// Calls run.template operator()<n>() for the common numbers of pairs n, with 0 for the others.
template <class Run>
void with_pairs(std::size_t n, Run&& run) {
    switch (n) {
        case 1: return run.template operator()<1>();
        case 2: return run.template operator()<2>();
        case 3: return run.template operator()<3>();
        case 4: return run.template operator()<4>();
        case 5: return run.template operator()<5>();
        case 6: return run.template operator()<6>();
        case 7: return run.template operator()<7>();
        case 8: return run.template operator()<8>();
        default: return run.template operator()<0>();
    }
}

void fill_leaf_values(const Tree& tree, LeafOutput kind, std::size_t first, std::size_t chunk,
                      std::vector<double>& values) {
    values.assign(tree.nodes.size() * chunk, 0.0);
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        if (!tree.nodes[i].is_leaf) continue;
        for_leaf_value(tree, i, kind, [&](std::uint32_t label, double value) {
            if (label >= first && label < first + chunk) values[i * chunk + label - first] = value;
        });
    }
}

// Rows per task: enough for each thread to take a few, but never so few that building a tree's
// tables (a few divisions per node and point) weighs on walking it.
std::size_t rows_per_block(std::size_t n_rows, WorkerPool* pool) {
    const std::size_t threads = pool == nullptr ? 1 : pool->threads();
    const std::size_t even = (n_rows + 4 * threads - 1) / (4 * threads);
    return std::clamp<std::size_t>(even, 64, 256);
}

// One tree's values for the rows [begin, end), added to `out`.
void explain_rows(const Tree& tree, const TreePlan& plan, const Quadrature& quad, LeafOutput kind,
                  std::size_t computed, MatrixView rows, std::size_t begin, std::size_t end,
                  std::size_t n_classes, double scale, double* out, Scratch& s,
                  const StopToken* stop) {
    if (tree.nodes[0].is_leaf) return;
    fill_tables(plan, quad, s.tables);
    const std::size_t width = (rows.n_cols + 1) * n_classes;
    for (std::size_t first = 0; first < computed; first += class_chunk) {
        const std::size_t chunk = std::min(class_chunk, computed - first);
        s.size_for(plan.levels, pairs_of(plan), chunk);
        fill_leaf_values(tree, kind, first, chunk, s.leaf_values);
        auto walk = [&]<std::size_t Pairs, std::size_t Chunk>() {
            for (std::size_t r = begin; r < end; ++r) {
                if (stop != nullptr && r % 16 == 0) stop->check();
                Walk<Pairs, Chunk>{tree,  plan,  rows.data + r * rows.n_cols, out + r * width,
                                   first, chunk, scale, n_classes, s}
                    .run();
            }
        };
        with_pairs(pairs_of(plan), [&]<std::size_t Pairs>() {
            if (chunk == 1)
                walk.template operator()<Pairs, 1>();
            else
                walk.template operator()<Pairs, 0>();
        });
    }
}

}  // namespace

Quadrature gauss_legendre(std::size_t m) {
    Quadrature q{std::vector<double>(m), std::vector<double>(m)};
    // Newton's method on the Legendre polynomial of degree m from the usual first guesses; the
    // roots are symmetric about 0.
    for (std::size_t i = 0; i < (m + 1) / 2; ++i) {
        double z = std::cos(std::numbers::pi * (static_cast<double>(i) + 0.75) /
                            (static_cast<double>(m) + 0.5));
        double derivative = 1.0;
        for (int iteration = 0; iteration < 100; ++iteration) {
            double p1 = 1.0;
            double p2 = 0.0;
            for (std::size_t j = 1; j <= m; ++j) {
                const double p3 = p2;
                p2 = p1;
                p1 = ((2.0 * double(j) - 1.0) * z * p2 - (double(j) - 1.0) * p3) / double(j);
            }
            derivative = double(m) * (z * p1 - p2) / (z * z - 1.0);
            const double step = p1 / derivative;
            z -= step;
            if (std::abs(step) < 1e-16) break;
        }
        // On [0, 1], half of the usual weight 2 / ((1 - z^2) P'(z)^2) on [-1, 1].
        const double weight = 1.0 / ((1.0 - z * z) * derivative * derivative);
        q.t[i] = (1.0 - z) / 2.0;
        q.t[m - 1 - i] = (1.0 + z) / 2.0;
        q.w[i] = weight;
        q.w[m - 1 - i] = weight;
    }
    return q;
}

std::vector<double> contributions(std::span<const SharedTree> trees, std::uint32_t n_features,
                                  std::uint32_t n_classes, LeafOutput kind, MatrixView rows,
                                  WorkerPool* pool, const StopToken* stop) {
    LINDORF_CHECK(rows.n_cols == n_features, "the rows have " + std::to_string(rows.n_cols) +
                                                 " features, not " + std::to_string(n_features));
    LINDORF_CHECK(!trees.empty(), "a model without trees explains nothing");
    std::vector<TreePlan> plans(trees.size());
    parallel_for(pool, trees.size(), [&](std::size_t t) {
        check_explainable(*trees[t], n_features, n_classes);
        plans[t] = plan_tree(*trees[t], n_features, n_classes, kind);
    });
    std::vector<Quadrature> rules;  // by number of points
    for (const TreePlan& plan : plans)
        while (rules.size() <= plan.points) rules.push_back(gauss_legendre(rules.size()));
    const double scale = 1.0 / static_cast<double>(trees.size());
    const std::size_t width = (std::size_t{n_features} + 1) * n_classes;
    std::vector<double> out(rows.n_rows * width, 0.0);
    // A classifier's leaf values add up to 1, so each feature's values over the classes add up
    // to 0: the last class's are the others' negated sum. A regression tree's targets are free.
    const bool free_values = kind == LeafOutput::target;
    const std::size_t computed = free_values ? n_classes : n_classes > 1 ? n_classes - 1 : 0;
    const std::size_t block = rows_per_block(rows.n_rows, pool);
    parallel_for(pool, (rows.n_rows + block - 1) / block, [&](std::size_t b) {
        const std::size_t begin = b * block;
        const std::size_t end = std::min(rows.n_rows, begin + block);
        Scratch s;
        for (std::size_t t = 0; t < trees.size(); ++t)
            explain_rows(*trees[t], plans[t], rules[plans[t].points], kind, computed, rows,
                         begin, end, n_classes, scale, out.data(), s, stop);
        for (std::size_t r = begin; r < end; ++r) {
            double* values = out.data() + r * width;
            for (std::size_t f = 0; f < n_features && n_classes > 1 && !free_values; ++f) {
                double sum = 0.0;
                for (std::size_t k = 0; k < computed; ++k) sum += values[f * n_classes + k];
                values[f * n_classes + n_classes - 1] = -sum;
            }
            for (const TreePlan& plan : plans)
                for (std::size_t k = 0; k < n_classes; ++k)
                    values[n_features * n_classes + k] += scale * plan.expected[k];
        }
    });
    return out;
}

}  // namespace lindorf
