#include "model/format.hpp"

#include <bit>
#include <cmath>
#include <cstring>

#include "model/predict.hpp"
#include "support/error.hpp"

namespace lindorf {

namespace {

constexpr char magic[8] = {'L', 'N', 'D', 'F', 'M', 'O', 'D', 'L'};
constexpr std::uint8_t leaf_kind = 0;
constexpr std::uint8_t inner_kind = 1;
constexpr std::uint8_t nan_left_kind = 2;  // version 2 on
constexpr std::uint32_t classification_task = 0;
constexpr std::uint32_t regression_task = 1;
// Smallest encodings, which bound the counts a given number of bytes can hold: a leaf of no
// values (version 2) or an inner node (version 1), and one value.
constexpr std::size_t least_node_bytes[] = {0, 1 + 24, 1 + 4 + 8 + 8 + 4 + 4};
constexpr std::size_t value_bytes[] = {0, 8, 12};
constexpr std::size_t header_bytes = sizeof magic + 4 * 4 + 8;
constexpr std::size_t checksum_bytes = 8;
// No model is larger; a size beyond it is damage, and sizes below it add up without overflow.
constexpr std::uint64_t most_model_bytes = std::uint64_t{1} << 56;

std::uint64_t fnv1a(std::span<const std::uint8_t> bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (std::uint8_t byte : bytes) {
        hash ^= byte;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

struct Writer {
    std::vector<std::uint8_t> out;

    void u8(std::uint8_t v) { out.push_back(v); }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void f32(float v) { u32(std::bit_cast<std::uint32_t>(v)); }
    void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
    void bytes(std::string_view v) { out.insert(out.end(), v.begin(), v.end()); }
};

// A node's value vector: a leaf's classes, or any regression node's values by output.
void write_values(Writer& w, const Tree& tree, std::size_t i) {
    const NodeStats& stats = tree.stats[i];
    LINDORF_CHECK(std::uint64_t{stats.values} + stats.n_values <= tree.values.size(),
                  "a node's values are missing");
    w.u32(stats.n_values);
    for (const LeafValue& value :
         std::span<const LeafValue>(tree.values).subspan(stats.values, stats.n_values)) {
        w.u32(value.index);
        w.f64(value.value);
    }
}

void write_tree(Writer& w, const Tree& tree, bool regression) {
    LINDORF_CHECK(tree.has_stats(), "only trees grown with their stats can be saved");
    w.u32(static_cast<std::uint32_t>(tree.nodes.size()));
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        const Node& node = tree.nodes[i];
        const NodeStats& stats = tree.stats[i];
        w.u8(node.is_leaf ? leaf_kind : node.nan_left ? nan_left_kind : inner_kind);
        w.u32(node.prediction);
        w.f64(stats.weight);
        w.f64(stats.impurity);
        w.u32(stats.rows);
        if (!node.is_leaf) {
            w.u32(node.feature);
            w.f32(node.threshold);
            w.u32(node.left);
            w.u32(node.right);
            if (!regression) continue;
        }
        write_values(w, tree, i);
    }
}

[[noreturn]] void damaged(const std::string& why) {
    throw FormatError("the model is damaged: " + why);
}

std::uint32_t le32(std::span<const std::uint8_t> bytes, std::uint64_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | bytes[at + static_cast<std::uint64_t>(i)];
    return v;
}

void check_head(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < sizeof magic || std::memcmp(bytes.data(), magic, sizeof magic) != 0)
        throw FormatError("not a lindorf model: the bytes do not start with its mark");
    if (bytes.size() < sizeof magic + 4) return;
    const std::uint32_t version = le32(bytes, sizeof magic);
    if (version > model_format_version)
        throw FormatError("the model was saved in format version " + std::to_string(version) +
                          ", newer than version " + std::to_string(model_format_version) +
                          " that this lindorf reads: load it with a newer lindorf");
    if (version == 0) damaged("its format version is 0");
}

class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::size_t remaining() const { return bytes_.size() - at_; }

    // Fails unless `count` items of at least `each` bytes could still follow.
    void expect_room(std::uint64_t count, std::size_t each, const char* what) const {
        if (count > remaining() / each)
            damaged(std::to_string(count) + " " + what + " cannot fit in the bytes that remain");
    }

    std::uint8_t u8() { return take(1)[0]; }
    std::uint32_t u32() {
        std::span<const std::uint8_t> b = take(4);
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = v << 8 | b[static_cast<std::size_t>(i)];
        return v;
    }
    std::uint64_t u64() {
        std::uint64_t low = u32();
        return low | std::uint64_t{u32()} << 32;
    }
    float f32() { return std::bit_cast<float>(u32()); }
    double f64() { return std::bit_cast<double>(u64()); }
    std::string text(std::size_t size) {
        std::span<const std::uint8_t> b = take(size);
        return std::string(b.begin(), b.end());
    }

  private:
    std::span<const std::uint8_t> take(std::size_t n) {
        if (n > remaining()) damaged("it ends in the middle of a field");
        std::span<const std::uint8_t> b = bytes_.subspan(at_, n);
        at_ += n;
        return b;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

// What the reader checks trees against.
struct Shape {
    std::uint32_t version = 0;
    std::uint32_t n_features = 0;
    std::uint32_t n_classes = 0;     // over every output
    std::uint32_t first_output = 0;  // classes of the first output, which labels index
    bool regression = false;         // n_classes counts the targets; every node has values
};

// A version 1 leaf's class list: classes ascending and below the class count, none of them
// empty, adding up to the leaf's weight, its label among them.
void read_leaf_v1(Reader& r, const Shape& shape, Tree& tree, Node& node, NodeStats& stats) {
    node.prediction = r.u32();
    const std::uint32_t weight = r.u32();
    stats.weight = weight;
    stats.impurity = r.f32();
    const std::uint32_t n_counts = r.u32();
    r.expect_room(n_counts, value_bytes[1], "class counts");
    stats.values = static_cast<std::uint32_t>(tree.values.size());
    stats.n_values = n_counts;
    std::uint64_t sum = 0;
    bool has_label = false;
    for (std::uint32_t k = 0; k < n_counts; ++k) {
        const std::uint32_t label = r.u32();
        const std::uint32_t count = r.u32();
        if (label >= shape.n_classes) damaged("a leaf's class is not below the class count");
        if (k > 0 && label <= tree.values.back().index) damaged("a leaf's classes are not ascending");
        if (count == 0) damaged("a leaf lists a class it does not hold");
        has_label = has_label || label == node.prediction;
        sum += count;
        tree.values.push_back({label, static_cast<double>(count)});
    }
    if (!has_label) damaged("a leaf's label is not one of its classes");
    if (sum != weight) damaged("a leaf's class counts do not add up to its weight");
}

// A regression node's values: one finite value for each output, in output order.
void read_target_values(Reader& r, const Shape& shape, Tree& tree, NodeStats& stats) {
    const std::uint32_t n_values = r.u32();
    if (n_values != shape.n_classes) damaged("a node does not hold a value for each target");
    r.expect_room(n_values, value_bytes[2], "node values");
    stats.values = static_cast<std::uint32_t>(tree.values.size());
    stats.n_values = n_values;
    for (std::uint32_t k = 0; k < n_values; ++k) {
        const LeafValue value{r.u32(), r.f64()};
        if (value.index != k) damaged("a node's values are not one for each target, in order");
        if (!std::isfinite(value.value)) damaged("a node's value is not a finite number");
        tree.values.push_back(value);
    }
}

// A leaf's value vector: indices ascending and below the class count, values finite and above 0.
void read_values(Reader& r, const Shape& shape, Tree& tree, NodeStats& stats) {
    if (shape.regression) return read_target_values(r, shape, tree, stats);
    const std::uint32_t n_values = r.u32();
    r.expect_room(n_values, value_bytes[2], "leaf values");
    stats.values = static_cast<std::uint32_t>(tree.values.size());
    stats.n_values = n_values;
    for (std::uint32_t k = 0; k < n_values; ++k) {
        const LeafValue value{r.u32(), r.f64()};
        if (value.index >= shape.n_classes) damaged("a leaf's class is not below the class count");
        if (k > 0 && value.index <= tree.values.back().index)
            damaged("a leaf's classes are not ascending");
        if (!(value.value > 0.0) || !std::isfinite(value.value))
            damaged("a leaf's value is not a finite number above 0");
        tree.values.push_back(value);
    }
}

void read_children(Reader& r, std::uint32_t index, const Shape& shape,
                   std::vector<std::uint32_t>& parents, Node& node) {
    node.is_leaf = false;
    node.feature = r.u32();
    node.threshold = r.f32();
    node.left = r.u32();
    node.right = r.u32();
    if (node.feature >= shape.n_features) damaged("a node tests a feature beyond the feature count");
    for (std::uint32_t child : {node.left, node.right}) {
        if (child <= index || child >= parents.size())
            damaged("a node's child is not after it in the node list");
        if (++parents[child] > 1) damaged("a node is the child of more than one node");
    }
}

void read_node_v1(Reader& r, std::uint32_t index, const Shape& shape,
                  std::vector<std::uint32_t>& parents, Tree& tree) {
    Node& node = tree.nodes[index];
    NodeStats& stats = tree.stats[index];
    const std::uint8_t kind = r.u8();
    if (kind == leaf_kind) return read_leaf_v1(r, shape, tree, node, stats);
    if (kind != inner_kind) damaged("a node is neither a leaf nor an inner node");
    read_children(r, index, shape, parents, node);
    stats.weight = r.u32();
    stats.impurity = r.f32();
}

void read_node_v2(Reader& r, std::uint32_t index, const Shape& shape,
                  std::vector<std::uint32_t>& parents, Tree& tree) {
    Node& node = tree.nodes[index];
    NodeStats& stats = tree.stats[index];
    const std::uint8_t kind = r.u8();
    if (kind > nan_left_kind) damaged("a node is neither a leaf nor an inner node");
    node.prediction = r.u32();
    stats.weight = r.f64();
    stats.impurity = r.f64();
    stats.rows = r.u32();
    if (node.prediction >= shape.first_output) damaged("a node's label is not a class");
    if (!(stats.weight > 0.0) || !std::isfinite(stats.weight) || !std::isfinite(stats.impurity))
        damaged("a node's weight or impurity is not a finite number, or its weight not above 0");
    if (kind == leaf_kind) return read_values(r, shape, tree, stats);
    read_children(r, index, shape, parents, node);
    node.nan_left = kind == nan_left_kind;
    if (shape.regression) read_target_values(r, shape, tree, stats);
}

SharedTree read_tree(Reader& r, const Shape& shape) {
    auto tree = std::make_shared<Tree>();
    const std::uint32_t n_nodes = r.u32();
    if (n_nodes == 0) damaged("a tree has no nodes");
    r.expect_room(n_nodes, least_node_bytes[shape.version], "nodes");
    tree->nodes.resize(n_nodes);
    tree->stats.resize(n_nodes);
    std::vector<std::uint32_t> parents(n_nodes, 0);
    for (std::uint32_t i = 0; i < n_nodes; ++i) {
        if (shape.version == 1)
            read_node_v1(r, i, shape, parents, *tree);
        else
            read_node_v2(r, i, shape, parents, *tree);
    }
    for (std::uint32_t i = 1; i < n_nodes; ++i)
        if (parents[i] != 1) damaged("a node is not the child of any node");
    return tree;
}

// The outputs' class counts: version 1 holds one, version 2 a list after the task.
void read_outputs(Reader& r, std::uint32_t version, Model& model) {
    if (version == 1) {
        model.n_classes = r.u32();
        model.output_classes = {model.n_classes};
        return;
    }
    const std::uint32_t task = r.u32();
    if (task != classification_task && task != regression_task)
        damaged("it holds a kind of model this lindorf does not know");
    const std::uint32_t n_outputs = r.u32();
    if (task == regression_task) {
        if (n_outputs == 0) damaged("it has no targets");
        model.n_targets = n_outputs;
        return;
    }
    if (n_outputs == 0) damaged("it has no outputs");
    r.expect_room(n_outputs, 4, "outputs");
    std::uint64_t total = 0;
    for (std::uint32_t o = 0; o < n_outputs; ++o) {
        const std::uint32_t classes = r.u32();
        if (classes == 0) damaged("an output has no classes");
        model.output_classes.push_back(classes);
        total += classes;
    }
    if (total > 0xFFFFFFFFu) damaged("its outputs have more classes than it can index");
    model.n_classes = static_cast<std::uint32_t>(total);
}

}  // namespace

std::vector<std::uint8_t> encode_model(const Model& model, std::string_view metadata) {
    Writer w;
    w.bytes(std::string_view(magic, sizeof magic));
    w.u32(model_format_version);
    w.u32(model.n_features);
    w.u32(model.regression() ? regression_task : classification_task);
    if (model.regression()) {
        w.u32(model.n_targets);
    } else {
        const std::vector<std::uint32_t> outputs = model.classes_per_output();
        w.u32(static_cast<std::uint32_t>(outputs.size()));
        for (std::uint32_t classes : outputs) w.u32(classes);
    }
    w.u32(static_cast<std::uint32_t>(model.trees.size()));
    w.u64(metadata.size());
    w.bytes(metadata);
    for (const SharedTree& tree : model.trees) write_tree(w, *tree, model.regression());
    w.u64(fnv1a(w.out));
    return std::move(w.out);
}

DecodedModel decode_model(std::span<const std::uint8_t> bytes) {
    check_head(bytes);
    if (bytes.size() < header_bytes + checksum_bytes) damaged("it is cut short");
    std::span<const std::uint8_t> body = bytes.first(bytes.size() - checksum_bytes);
    Reader r(body);
    r.text(sizeof magic);
    const std::uint32_t version = r.u32();  // checked above
    if (Reader(bytes.last(checksum_bytes)).u64() != fnv1a(body))
        damaged("its checksum does not match (it was cut short or altered)");
    DecodedModel decoded;
    Model& model = decoded.model;
    model.read_version = version;
    model.n_features = r.u32();
    read_outputs(r, version, model);
    const std::uint32_t n_trees = r.u32();
    const std::uint64_t metadata_size = r.u64();
    r.expect_room(metadata_size, 1, "metadata bytes");
    decoded.metadata = r.text(static_cast<std::size_t>(metadata_size));
    r.expect_room(n_trees, 4 + least_node_bytes[version], "trees");
    const Shape shape =
        model.regression()
            ? Shape{version, model.n_features, model.n_targets, 1, true}
            : Shape{version, model.n_features, model.n_classes, model.output_classes[0], false};
    model.trees.reserve(n_trees);
    for (std::uint32_t t = 0; t < n_trees; ++t) model.trees.push_back(read_tree(r, shape));
    if (r.remaining() != 0) damaged("bytes follow its last tree");
    prepare_walks(model);
    return decoded;
}

ModelExtent model_extent(std::span<const std::uint8_t> prefix) {
    check_head(prefix);
    const std::uint64_t have = prefix.size();
    if (have < header_bytes) return {header_bytes + checksum_bytes, false};
    const std::uint32_t version = le32(prefix, sizeof magic);
    // Version 2 lists each output's class count before the tree count.
    std::uint64_t at = sizeof magic + 8;
    if (version >= 2) {
        const std::uint64_t outputs = le32(prefix, at + 4);
        if (outputs == 0 || outputs > most_model_bytes / 4) damaged("its outputs cannot be that many");
        at += 8 + 4 * outputs;
    } else {
        at += 4;
    }
    if (have < at + 12) return {at + 12 + checksum_bytes, false};
    const std::uint32_t n_trees = le32(prefix, at);
    const std::uint64_t metadata_size = le32(prefix, at + 4) | std::uint64_t{le32(prefix, at + 8)} << 32;
    if (metadata_size > most_model_bytes) damaged("its metadata cannot be that large");
    at += 12 + metadata_size;
    // The fewest bytes the model can have when the walk stops at `at` with this much left.
    const std::uint64_t least_node = least_node_bytes[version];
    const auto least = [&](std::uint64_t trees_left, std::uint64_t nodes_left) {
        return ModelExtent{at + trees_left * (4 + least_node) + nodes_left * least_node +
                               checksum_bytes,
                           false};
    };
    // Where a leaf's number of values lies, and an inner node's size: version 1's kind, label,
    // weight and impurity come first; version 2's kind, label, weight, impurity and rows.
    const std::uint64_t count_at = version >= 2 ? 1 + 4 + 8 + 8 + 4 : 1 + 4 + 4 + 4;
    const std::uint64_t inner_size = version >= 2 ? count_at + 16 : least_node_bytes[1];
    for (std::uint32_t t = 0; t < n_trees; ++t) {
        if (have < at + 4) return least(n_trees - t, 0);
        const std::uint32_t n_nodes = le32(prefix, at);
        if (n_nodes == 0) damaged("a tree has no nodes");
        at += 4;
        for (std::uint32_t i = 0; i < n_nodes; ++i) {
            if (have < at + 1) return least(n_trees - t - 1, n_nodes - i);
            const std::uint8_t kind = prefix[at];
            if (kind == inner_kind || (version >= 2 && kind == nan_left_kind)) {
                if (have < at + inner_size) return least(n_trees - t - 1, n_nodes - i);
                at += inner_size;
            } else if (kind == leaf_kind) {
                if (have < at + count_at + 4) return least(n_trees - t - 1, n_nodes - i);
                const std::uint32_t n_values = le32(prefix, at + count_at);
                if (version == 1 && n_values == 0) damaged("a leaf holds no class");
                at += count_at + 4 + std::uint64_t{n_values} * value_bytes[version];
            } else {
                damaged("a node is neither a leaf nor an inner node");
            }
        }
    }
    return {at + checksum_bytes, true};
}

}  // namespace lindorf
