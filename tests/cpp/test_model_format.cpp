// The saved model format: a round trip keeps every field, and damaged or altered bytes are
// refused with FormatError, never read out of bounds (the sanitizer build checks that part).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "model/format.hpp"
#include "model/predict.hpp"
#include "tree/grow.hpp"
#include "tree_testing.hpp"

namespace lindorf {
namespace {

using testing_support::make_data;
using testing_support::same_tree;

Model small_model() {
    const testing_support::Data data = make_data(
        {{0, 1}, {1, 1}, {2, 0}, {3, 0}, {4, NAN}, {5, 1}, {6, 0}, {7, 1}}, {0, 2, 2, 0, 2, 1, 2, 0});
    Model model{2, 3, {}};
    for (std::uint32_t depth : {0u, 1u, 2u, 9u})
        model.trees.push_back(std::make_shared<Tree>(
            grow_tree(data.view(), data.labels, {},
                      GrowRules{.max_depth = depth, .min_split = 2, .record_stats = true})));
    return model;
}

std::string refusal(const std::vector<std::uint8_t>& bytes) {
    try {
        decode_model(bytes);
    } catch (const FormatError& error) {
        return error.what();
    }
    return "(accepted)";
}

TEST(ModelFormat, RoundTripKeepsEveryTreeAndTheMetadata) {
    const Model model = small_model();
    const std::vector<std::uint8_t> bytes = encode_model(model, "{\"k\": 1}");
    const DecodedModel decoded = decode_model(bytes);
    EXPECT_EQ(decoded.metadata, "{\"k\": 1}");
    EXPECT_EQ(decoded.model.n_features, 2u);
    EXPECT_EQ(decoded.model.n_classes, 3u);
    ASSERT_EQ(decoded.model.trees.size(), model.trees.size());
    for (std::size_t t = 0; t < model.trees.size(); ++t)
        EXPECT_TRUE(same_tree(*decoded.model.trees[t], *model.trees[t]));
    EXPECT_EQ(encode_model(decoded.model, decoded.metadata), bytes);
    const FeatureMatrix probe{3, 2, {2.5f, 0.0f, NAN, 1.0f, -1.0f, NAN}};
    EXPECT_EQ(forest_votes(decoded.model.trees, probe.view(), 3, nullptr),
              forest_votes(model.trees, probe.view(), 3, nullptr));
}

TEST(ModelFormat, EveryTruncationAndEveryFlippedBitIsRefused) {
    const std::vector<std::uint8_t> bytes = encode_model(small_model(), "meta");
    for (std::size_t size = 0; size < bytes.size(); ++size) {
        std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
        ASSERT_NE(refusal(cut), "(accepted)") << "cut at " << size;
    }
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        for (int bit : {0, 7}) {
            std::vector<std::uint8_t> flipped = bytes;
            flipped[at] ^= static_cast<std::uint8_t>(1 << bit);
            ASSERT_NE(refusal(flipped), "(accepted)") << "byte " << at << " bit " << bit;
        }
    }
    std::vector<std::uint8_t> newer = bytes;
    newer[8] = static_cast<std::uint8_t>(model_format_version + 1);
    EXPECT_NE(refusal(newer).find("newer than version"), std::string::npos);
}

// Trees that no growth makes, saved with a valid checksum: the reader's own checks refuse them.
// Tree 0 is a single leaf of all three classes, tree 3 a deep one.
TEST(ModelFormat, AlteredIndicesAreRefusedEvenWithAValidChecksum) {
    using Change = std::function<void(Model&, Tree&)>;
    const std::tuple<const char*, std::size_t, Change> cases[] = {
        {"not after it", 3, [](Model&, Tree& t) { t.nodes[0].left = 0; }},
        {"not after it", 3, [](Model&, Tree& t) { t.nodes[0].right = 99; }},
        {"more than one node", 3, [](Model&, Tree& t) { t.nodes[0].right = t.nodes[0].left; }},
        {"feature beyond", 3, [](Model& m, Tree&) { m.n_features = 0; }},
        {"not below the class count", 0, [](Model& m, Tree&) { m.n_classes = 2; }},
        {"not ascending", 0,
         [](Model&, Tree& t) { std::swap(t.class_counts[0], t.class_counts[1]); }},
        {"does not hold", 0, [](Model&, Tree& t) { t.class_counts[1].count = 0; }},
        {"not one of its classes", 3, [](Model&, Tree& t) {
             for (Node& n : t.nodes) if (n.is_leaf) n.prediction = (n.prediction + 1) % 3;
         }},
        {"do not add up", 3, [](Model&, Tree& t) { t.stats.back().weight += 1; }},
    };
    for (const auto& [message, at, change] : cases) {
        Model model = small_model();
        auto tree = std::make_shared<Tree>(*model.trees[at]);
        change(model, *tree);
        model.trees[at] = tree;
        EXPECT_NE(refusal(encode_model(model, "")).find(message), std::string::npos) << message;
    }
}

}  // namespace
}  // namespace lindorf
