#include "model/format.hpp"

#include <bit>
#include <cstring>

#include "model/predict.hpp"
#include "support/error.hpp"

namespace lindorf {

namespace {

constexpr char magic[8] = {'L', 'N', 'D', 'F', 'M', 'O', 'D', 'L'};
constexpr std::uint8_t leaf_kind = 0;
constexpr std::uint8_t inner_kind = 1;
// Smallest encodings, which bound the counts a given number of bytes can hold: an inner node,
// or a leaf of one class.
constexpr std::size_t least_node_bytes = 1 + 24;
constexpr std::size_t class_count_bytes = 8;
constexpr std::size_t least_tree_bytes = 4 + least_node_bytes;
constexpr std::size_t header_bytes = sizeof magic + 4 * 4 + 8;
constexpr std::size_t checksum_bytes = 8;
// A leaf before its class pairs: kind, label, weight, impurity, number of classes.
constexpr std::size_t leaf_head_bytes = 1 + 4 * 4;
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
    void bytes(std::string_view v) { out.insert(out.end(), v.begin(), v.end()); }
};

void write_tree(Writer& w, const Tree& tree) {
    LINDORF_CHECK(tree.has_stats(), "only trees grown with their stats can be saved");
    w.u32(static_cast<std::uint32_t>(tree.nodes.size()));
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        const Node& node = tree.nodes[i];
        const NodeStats& stats = tree.stats[i];
        if (node.is_leaf) {
            w.u8(leaf_kind);
            w.u32(node.prediction);
        } else {
            w.u8(inner_kind);
            w.u32(node.feature);
            w.f32(node.threshold);
            w.u32(node.left);
            w.u32(node.right);
        }
        w.u32(stats.weight);
        w.f32(stats.impurity);
        if (!node.is_leaf) continue;
        LINDORF_CHECK(std::uint64_t{stats.counts} + stats.n_counts <= tree.class_counts.size(),
                      "a leaf's class counts are missing");
        w.u32(stats.n_counts);
        for (const ClassCount& count : leaf_class_counts(tree, i)) {
            w.u32(count.label);
            w.u32(count.count);
        }
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

// A leaf's class list: classes ascending and below the class count, none of them empty, adding
// up to the leaf's weight, its label among them.
void read_leaf(Reader& r, const Model& model, Tree& tree, Node& node, NodeStats& stats) {
    node.prediction = r.u32();
    stats.weight = r.u32();
    stats.impurity = r.f32();
    const std::uint32_t n_counts = r.u32();
    r.expect_room(n_counts, class_count_bytes, "class counts");
    stats.counts = static_cast<std::uint32_t>(tree.class_counts.size());
    stats.n_counts = n_counts;
    std::uint64_t sum = 0;
    bool has_label = false;
    for (std::uint32_t k = 0; k < n_counts; ++k) {
        const ClassCount count{r.u32(), r.u32()};
        if (count.label >= model.n_classes) damaged("a leaf's class is not below the class count");
        if (k > 0 && count.label <= tree.class_counts.back().label)
            damaged("a leaf's classes are not ascending");
        if (count.count == 0) damaged("a leaf lists a class it does not hold");
        has_label = has_label || count.label == node.prediction;
        sum += count.count;
        tree.class_counts.push_back(count);
    }
    if (!has_label) damaged("a leaf's label is not one of its classes");
    if (sum != stats.weight) damaged("a leaf's class counts do not add up to its weight");
}

void read_inner(Reader& r, std::uint32_t index, std::uint32_t n_features,
                std::vector<std::uint32_t>& parents, Node& node, NodeStats& stats) {
    node.is_leaf = false;
    node.feature = r.u32();
    node.threshold = r.f32();
    node.left = r.u32();
    node.right = r.u32();
    stats.weight = r.u32();
    stats.impurity = r.f32();
    if (node.feature >= n_features) damaged("a node tests a feature beyond the feature count");
    for (std::uint32_t child : {node.left, node.right}) {
        if (child <= index || child >= parents.size())
            damaged("a node's child is not after it in the node list");
        if (++parents[child] > 1) damaged("a node is the child of more than one node");
    }
}

SharedTree read_tree(Reader& r, const Model& model) {
    auto tree = std::make_shared<Tree>();
    const std::uint32_t n_nodes = r.u32();
    if (n_nodes == 0) damaged("a tree has no nodes");
    r.expect_room(n_nodes, least_node_bytes, "nodes");
    tree->nodes.resize(n_nodes);
    tree->stats.resize(n_nodes);
    std::vector<std::uint32_t> parents(n_nodes, 0);
    for (std::uint32_t i = 0; i < n_nodes; ++i) {
        std::uint8_t kind = r.u8();
        if (kind == leaf_kind)
            read_leaf(r, model, *tree, tree->nodes[i], tree->stats[i]);
        else if (kind == inner_kind)
            read_inner(r, i, model.n_features, parents, tree->nodes[i], tree->stats[i]);
        else
            damaged("a node is neither a leaf nor an inner node");
    }
    for (std::uint32_t i = 1; i < n_nodes; ++i)
        if (parents[i] != 1) damaged("a node is not the child of any node");
    return tree;
}

}  // namespace

std::vector<std::uint8_t> encode_model(const Model& model, std::string_view metadata) {
    Writer w;
    w.bytes(std::string_view(magic, sizeof magic));
    w.u32(model_format_version);
    w.u32(model.n_features);
    w.u32(model.n_classes);
    w.u32(static_cast<std::uint32_t>(model.trees.size()));
    w.u64(metadata.size());
    w.bytes(metadata);
    for (const SharedTree& tree : model.trees) write_tree(w, *tree);
    w.u64(fnv1a(w.out));
    return std::move(w.out);
}

DecodedModel decode_model(std::span<const std::uint8_t> bytes) {
    check_head(bytes);
    if (bytes.size() < header_bytes + checksum_bytes) damaged("it is cut short");
    std::span<const std::uint8_t> body = bytes.first(bytes.size() - checksum_bytes);
    Reader r(body);
    r.text(sizeof magic);
    r.u32();  // the version, checked above
    if (Reader(bytes.last(checksum_bytes)).u64() != fnv1a(body))
        damaged("its checksum does not match (it was cut short or altered)");
    DecodedModel decoded;
    Model& model = decoded.model;
    model.n_features = r.u32();
    model.n_classes = r.u32();
    const std::uint32_t n_trees = r.u32();
    const std::uint64_t metadata_size = r.u64();
    r.expect_room(metadata_size, 1, "metadata bytes");
    decoded.metadata = r.text(static_cast<std::size_t>(metadata_size));
    r.expect_room(n_trees, least_tree_bytes, "trees");
    model.trees.reserve(n_trees);
    for (std::uint32_t t = 0; t < n_trees; ++t) model.trees.push_back(read_tree(r, model));
    if (r.remaining() != 0) damaged("bytes follow its last tree");
    prepare_walks(model);
    return decoded;
}

ModelExtent model_extent(std::span<const std::uint8_t> prefix) {
    check_head(prefix);
    const std::uint64_t have = prefix.size();
    if (have < header_bytes) return {header_bytes + checksum_bytes, false};
    const std::uint32_t n_trees = le32(prefix, header_bytes - 12);
    const std::uint64_t metadata_size =
        le32(prefix, header_bytes - 8) | std::uint64_t{le32(prefix, header_bytes - 4)} << 32;
    if (metadata_size > most_model_bytes) damaged("its metadata cannot be that large");
    std::uint64_t at = header_bytes + metadata_size;
    // The fewest bytes the model can have when the walk stops at `at` with this much left.
    const auto least = [&](std::uint64_t trees_left, std::uint64_t nodes_left) {
        return ModelExtent{at + trees_left * least_tree_bytes + nodes_left * least_node_bytes +
                               checksum_bytes,
                           false};
    };
    for (std::uint32_t t = 0; t < n_trees; ++t) {
        if (have < at + 4) return least(n_trees - t, 0);
        const std::uint32_t n_nodes = le32(prefix, at);
        if (n_nodes == 0) damaged("a tree has no nodes");
        at += 4;
        for (std::uint32_t i = 0; i < n_nodes; ++i) {
            if (have < at + leaf_head_bytes) return least(n_trees - t - 1, n_nodes - i);
            if (prefix[at] == inner_kind) {
                at += least_node_bytes;
            } else if (prefix[at] == leaf_kind) {
                const std::uint32_t n_counts = le32(prefix, at + leaf_head_bytes - 4);
                if (n_counts == 0) damaged("a leaf holds no class");
                at += leaf_head_bytes + std::uint64_t{n_counts} * class_count_bytes;
            } else {
                damaged("a node is neither a leaf nor an inner node");
            }
        }
    }
    return {at + checksum_bytes, true};
}

}  // namespace lindorf
